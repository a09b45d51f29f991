"""The installed wheel: self-contained, found from anywhere."""

import os
import pathlib
import shutil
import subprocess
import sys

import velk
from conftest import DEMO, ROOT


def test_installed_outside_the_source_tree():
    package = pathlib.Path(velk.__file__).resolve().parent
    assert not package.is_relative_to(ROOT.resolve())
    assert package.is_relative_to(pathlib.Path(sys.prefix).resolve())
    # The plug-in in use is the one beside the package, whatever else the
    # machine has.
    mapped = {line.split()[-1] for line in
              pathlib.Path("/proc/self/maps").read_text().splitlines()
              if line.endswith("libvlkdec.so")}
    assert mapped == {str(package / "libvlkdec.so")}


def test_native_modules_need_nothing_of_ours():
    package = pathlib.Path(velk.__file__).parent
    for module in [*package.glob("_velk*.so"), package / "libvlkdec.so"]:
        libraries = subprocess.run(["ldd", str(module)], check=True,
                                   capture_output=True, text=True).stdout
        assert "not found" not in libraries
        for line in libraries.splitlines():
            name = line.split()[0]
            assert "velk" not in name and "vlkdec" not in name, line


def test_imports_and_reads_from_elsewhere(tmp_path):
    (tmp_path / "samples").mkdir()
    shutil.copy(DEMO, tmp_path / "samples")
    environment = {k: v for k, v in os.environ.items()
                   if k not in ("VELKA_PLUGIN", "LD_LIBRARY_PATH",
                                "PYTHONPATH")}
    shown = subprocess.run(
        [sys.executable, "-c", "import velk; "
         "print(velk.read('samples/demo.velka')[0].shape)"],
        cwd=tmp_path, env=environment, check=True, capture_output=True,
        text=True).stdout
    assert shown.strip() == f"({velk.info(DEMO).frames}, 2)"
