"""Bad input: one VelkError naming the file and the reason, nothing leaked;
damaged blocks decode without raising."""

import io
import os
import sys

import numpy as np
import pytest

import velk
from conftest import DEMO, reference

GOOD = DEMO.read_bytes()


def patched(offset, value):
    data = bytearray(GOOD)
    data[offset:offset + len(value)] = value
    return bytes(data)


BAD = {
    "empty": (b"", "is not a Velk audio file"),
    "not velk": (b"RIFF\x24\0\0\0WAVEfmt " + bytes(100),
                 "is not a Velk audio file"),
    "truncated": (GOOD[:len(GOOD) // 2], "is truncated: it holds 251037 of"),
    "cut in the header": (GOOD[:10], "refuses the file"),
    "unknown version": (patched(4, b"\x09"), "refuses the file"),
    "no channels": (patched(5, b"\x00"), "refuses the file"),
}


class Failing(io.BytesIO):
    """Raises error() from readinto after `reads` successful calls, or from
    seek."""

    def __init__(self, data, reads=0, seek_fails=False,
                 error=lambda: OSError(5, "Input/output error")):
        super().__init__(data)
        self.reads, self.seek_fails, self.error = reads, seek_fails, error

    def readinto(self, buffer):
        if self.reads == 0:
            raise self.error()
        self.reads -= 1
        return super().readinto(buffer)

    def seek(self, *args):
        if self.seek_fails and args[0] != 0:
            raise ConnectionError("peer went away")
        return super().seek(*args)


def sources(tmp_path, data):
    path = tmp_path / "bad.velka"
    path.write_bytes(data)
    return {"path": (path, str(path)), "bytes": (data, "'<bytes>'"),
            "BytesIO": (io.BytesIO(data), "'<BytesIO>'")}


@pytest.mark.parametrize("kind", ["path", "bytes", "BytesIO"])
@pytest.mark.parametrize("case", BAD)
def test_bad_file_raises_velk_error(tmp_path, case, kind):
    data, reason = BAD[case]
    source, name = sources(tmp_path, data)[kind]
    for call in (velk.read, velk.info, velk.VelkFile):
        with pytest.raises(velk.VelkError) as raised:
            call(source)
        assert isinstance(raised.value, RuntimeError)
        assert name in str(raised.value) and reason in str(raised.value)


@pytest.mark.parametrize("source, reason", [
    (lambda tmp: tmp, "is not a regular file"),
    (lambda tmp: tmp / "missing.velka", "No such file or directory"),
    (lambda tmp: Failing(GOOD), "I/O error reading '<Failing>': OSError"),
    (lambda tmp: Failing(GOOD, reads=5), "I/O error reading '<Failing>'"),
], ids=["directory", "missing", "read fails at once", "read fails later"])
def test_unreadable_input_raises_velk_error(tmp_path, source, reason):
    with pytest.raises(velk.VelkError) as raised:
        velk.read(source(tmp_path))
    assert reason in str(raised.value)
    if isinstance(source(tmp_path), Failing):
        assert isinstance(raised.value.__cause__, OSError)


def test_interrupt_in_a_read_goes_on_unchanged():
    with pytest.raises(KeyboardInterrupt):
        velk.read(Failing(GOOD, reads=5, error=KeyboardInterrupt))


def test_failing_seek_raises_velk_error():
    with velk.VelkFile(Failing(GOOD, reads=1 << 30, seek_fails=True)) as f:
        with pytest.raises(velk.VelkError, match="I/O error seeking in "
                           "'<Failing>': ConnectionError: peer went away"):
            f.seek(300000)


@pytest.mark.parametrize("seed", range(6))
def test_damaged_blocks_decode_without_raising(seed):
    rng = np.random.default_rng(seed)
    data = bytearray(GOOD)
    # Past the header and seek table: bytes flipped, and a stretch of noise.
    for at in rng.integers(200, len(data), 40):
        data[at] ^= 0xFF
    at = int(rng.integers(200, len(data) - 5000))
    data[at:at + 4000] = rng.integers(0, 256, 4000, np.uint8).tobytes()
    whole, _ = velk.read(bytes(data), dtype="int16", always_2d=True)
    assert 0 < len(whole) <= len(reference(DEMO))
    part, _ = velk.read(bytes(data), start=300000, frames=50000)
    assert len(part) <= 50000


def open_files():
    return len(os.listdir("/proc/self/fd"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_failures_leak_nothing(tmp_path):
    paths = {case: tmp_path / f"{i}.velka" for i, case in enumerate(BAD)}
    for case, path in paths.items():
        path.write_bytes(BAD[case][0])

    def every_failure():
        for case, (data, _) in BAD.items():
            for source in (paths[case], data, io.BytesIO(data)):
                with pytest.raises(velk.VelkError):
                    velk.read(source)
        for failing in (Failing(GOOD), Failing(GOOD, reads=5)):
            with pytest.raises(velk.VelkError):
                velk.read(failing)
        with pytest.raises(velk.VelkError):
            velk.read(tmp_path)

    every_failure()
    files, resident = open_files(), resident_bytes()
    for _ in range(300):
        every_failure()
    assert open_files() == files
    # A stream's allocation alone is tens of kilobytes: 6000 failures
    # leaking one each would show in hundreds of megabytes.
    assert resident_bytes() - resident < 16 << 20
    # Every input is let go: a buffer can be resized again, and a file-like
    # object has no reference more than before.
    for data, _ in BAD.values():
        buffer, stream = bytearray(data), io.BytesIO(data)
        references = sys.getrefcount(stream)
        for source in (buffer, stream):
            try:  # pytest.raises would keep the traceback and its frames
                velk.read(source)
                pytest.fail("no VelkError")
            except velk.VelkError:
                pass
        del source
        buffer.extend(b"more")
        assert sys.getrefcount(stream) == references
