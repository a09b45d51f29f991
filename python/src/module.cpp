// velk._velk: the native half of the velk package. The Python half
// (velk/_file.py) turns paths, buffers and file-like objects into decoders,
// shapes the arrays and gives the soundfile-like API.
#include <pybind11/pybind11.h>

#include "decoder.h"

namespace py = pybind11;
using velk_python::Decoder;

PYBIND11_MODULE(_velk, m) {
  m.doc() =
      "Native part of velk: decoding through the Velk plug-in module "
      "and encoding through the encoder library.";

  velk_python::velk_error_type =
      py::register_local_exception<velk_python::Error>(m, "VelkError",
                                                       PyExc_RuntimeError);

  m.def("load_plugin", &velk_python::load_plugin, py::arg("path"),
        "Loads the plug-in module at PATH for the process (once).");
  m.def("encode", &velk_python::encode, py::arg("pcm"), py::arg("samplerate"),
        py::arg("quality"), py::arg("bitrate_kbps"),
        "Encodes int16 frames x channels to the bytes of a Velk audio file.");

  py::enum_<Decoder::Kind>(m, "Kind")
      .value("PATH", Decoder::Kind::path)
      .value("BUFFER", Decoder::Kind::buffer)
      .value("FILE", Decoder::Kind::file);

  py::class_<Decoder>(m, "Decoder")
      .def(py::init<Decoder::Kind, py::object, std::string>(), py::arg("kind"),
           py::arg("input"), py::arg("name"))
      .def_property_readonly("name", &Decoder::name)
      .def_property_readonly("samplerate", &Decoder::sample_rate)
      .def_property_readonly("channels", &Decoder::channels)
      .def_property_readonly("frames", &Decoder::frames)
      .def_property_readonly(
          "version", [](const Decoder& d) { return d.header().version; })
      .def_property_readonly(
          "file_size", [](const Decoder& d) { return d.header().file_size; })
      .def_property_readonly(
          "seek_entries",
          [](const Decoder& d) { return d.header().seek_entry_count; })
      .def_property_readonly(
          "blocks_per_seek_entry",
          [](const Decoder& d) { return d.header().blocks_per_seek_entry; })
      .def_property_readonly(
          "bitrate",
          [](const Decoder& d) -> py::object {
            if ((d.info().answered & VELK_HOST_INFO_INPUT_BIT_RATE) == 0) {
              return py::none();
            }
            return py::int_(d.info().input_bit_rate);
          })
      .def_property_readonly("seekable", &Decoder::seekable)
      .def_property_readonly("looping", &Decoder::looping)
      .def_property_readonly("loop_passes", &Decoder::loop_passes)
      .def_property_readonly("closed", &Decoder::closed)
      .def("read", &Decoder::read, py::arg("out"), py::arg("frames"))
      .def("seek", &Decoder::seek, py::arg("frame"))
      .def("tell", &Decoder::tell)
      .def("set_loop", &Decoder::set_loop, py::arg("start"), py::arg("end"),
           py::arg("passes"))
      .def("close", &Decoder::close);
}
