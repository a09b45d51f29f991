// GStreamer plug-in for Velk audio files: the audio/x-velka type finder
// (gstvelkatypefind.cpp) and the velkadec element (gstvelkadec.cpp).
#include <gst/gst.h>

#include "gstvelkaelements.h"

namespace {

gboolean plugin_init(GstPlugin* plugin) {
  gboolean registered = FALSE;
  registered |= GST_TYPE_FIND_REGISTER(velka, plugin);
  registered |= GST_ELEMENT_REGISTER(velkadec, plugin);
  return registered;
}

}  // namespace

#define PACKAGE "vlkdec"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, velka,
                  "Velk audio files: type finder and decoder", plugin_init,
                  ORV_GST_VERSION, "unknown", "vlkdec", "vlkdec project")
