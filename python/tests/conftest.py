"""Shared data for the velk tests: the known-answer files, the demo, and
their decodes by `velka decode --raw`, the reference every read is held to.

The tests import velk as installed (scripts/test-python.sh installs the
wheel into a fresh venv and runs them from outside the source tree). ORV_SOURCE
names the source tree and VELKA the velka binary; both default to this
checkout and its release build.
"""

import functools
import os
import pathlib
import subprocess

import numpy as np

import velk

ROOT = pathlib.Path(os.environ.get(
    "ORV_SOURCE", pathlib.Path(__file__).resolve().parents[2]))
VELKA = os.environ.get("VELKA", str(ROOT / "build/release/tools/velka/velka"))
VECTORS = sorted((ROOT / "tests/data/vectors/files").glob("*.VELKA"))
DEMO = ROOT / "samples/demo.velka"
FILES = VECTORS + [DEMO]


def file_id(path: pathlib.Path) -> str:
    return path.stem


def velka_decode(path, *options: str) -> np.ndarray:
    """`velka decode PATH - --raw OPTIONS` as int16 frames x channels."""
    run = subprocess.run([VELKA, "decode", str(path), "-", "--raw", *options],
                         stdout=subprocess.PIPE)
    # 3: decoded, with damage (the damaged known-answer file).
    if run.returncode not in (0, 3):
        raise subprocess.CalledProcessError(run.returncode, run.args)
    pcm = run.stdout
    channels = velk.info(path).channels
    return np.frombuffer(pcm, "<i2").reshape(-1, channels)


@functools.lru_cache(maxsize=None)
def reference(path) -> np.ndarray:
    """The whole file as `velka decode --raw` gives it."""
    return velka_decode(path)
