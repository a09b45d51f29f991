"""Reading: bit-exact with velka, every kind of input, exact seeks, loops,
blocks, writing, threads."""

import concurrent.futures
import io
import pathlib
import wave

import numpy as np
import pytest

import velk
from conftest import DEMO, FILES, VECTORS, file_id, reference, velka_decode

MONO = next(p for p in VECTORS if p.stem == "ch1-32000")
SIX = next(p for p in VECTORS if p.stem == "ch6-16000")
NO_TABLE = next(p for p in VECTORS if p.stem == "version-0")


@pytest.mark.parametrize("path", FILES, ids=file_id)
def test_read_is_velka_decode_bit_for_bit(path):
    ref = reference(path)
    as_int16, rate = velk.read(path, dtype="int16", always_2d=True)
    assert rate == velk.info(path).samplerate
    np.testing.assert_array_equal(as_int16, ref)
    for dtype, expected in [("float32", ref / np.float32(32768)),
                            ("float64", ref / 32768.0),
                            ("int32", ref.astype(np.int32) << 16)]:
        data, _ = velk.read(path, dtype=dtype, always_2d=True)
        assert data.dtype == dtype
        np.testing.assert_array_equal(data, expected)


def test_shapes_follow_soundfile():
    mono, _ = velk.read(MONO)
    assert mono.ndim == 1 and mono.dtype == np.float64
    assert velk.read(MONO, always_2d=True)[0].shape == (len(mono), 1)
    assert velk.read(DEMO)[0].shape == (velk.info(DEMO).frames, 2)
    out = np.zeros((1000, 2), np.float32)
    data, _ = velk.read(DEMO, out=out, start=500)
    assert data is out
    np.testing.assert_array_equal(out, reference(DEMO)[500:1500] / 32768.0)
    tail = np.zeros((1000, 2), np.int16)
    assert len(velk.read(DEMO, out=tail, start=-300)[0]) == 300
    with velk.VelkFile(DEMO) as f:  # a count past the end reads the rest
        f.seek(f.frames - 10)
        assert len(f.read(1 << 40)) == 10


class NoReadinto:
    """A file-like object with read, seek and tell only, delivering in small
    pieces."""

    def __init__(self, data):
        self._data, self._at = data, 0

    def read(self, n=-1):
        n = 1000 if n < 0 else min(n, 1000)
        piece = self._data[self._at:self._at + n]
        self._at += len(piece)
        return piece

    def seek(self, offset, whence=io.SEEK_SET):
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._at,
                io.SEEK_END: len(self._data)}[whence]
        self._at = base + offset
        return self._at

    def tell(self):
        return self._at


class Unseekable(io.RawIOBase):
    def __init__(self, data):
        self._stream = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buffer):
        return self._stream.readinto(buffer)

    def seekable(self):
        return False


INPUTS = {
    "str": str,
    "pathlib": pathlib.Path,
    "bytes": lambda p: p.read_bytes(),
    "bytearray": lambda p: bytearray(p.read_bytes()),
    "memoryview": lambda p: memoryview(p.read_bytes()),
    "numpy": lambda p: np.frombuffer(p.read_bytes(), np.uint8),
    "BytesIO": lambda p: io.BytesIO(p.read_bytes()),
    "open file": lambda p: open(p, "rb"),
    "read and seek only": lambda p: NoReadinto(p.read_bytes()),
    "unseekable": lambda p: Unseekable(p.read_bytes()),
}


@pytest.mark.parametrize("kind", INPUTS)
@pytest.mark.parametrize("path", [DEMO, MONO, NO_TABLE], ids=file_id)
def test_every_kind_of_input_reads_the_same(path, kind):
    for start, frames in [(0, -1), (1234, 777)]:
        source = INPUTS[kind](path)
        data = velk.read(source, dtype="int16", always_2d=True, start=start,
                         frames=frames)[0]
        np.testing.assert_array_equal(
            data, reference(path)[start:start + frames if frames > 0 else None])
        if hasattr(source, "close"):
            source.close()


def targets(path):
    total = velk.info(path).frames
    return sorted({t for t in [0, 1, 3, 5, 4095, 4096, 12345, total // 2 + 1,
                               total - 5, total] if t <= total})


SEEK_FILES = [DEMO, MONO, SIX, NO_TABLE]


@pytest.mark.parametrize("path", SEEK_FILES, ids=file_id)
def test_exact_seek_gives_the_whole_decode_from_the_target(path):
    whole = reference(path)
    with velk.VelkFile(path) as f:
        for target in targets(path):
            assert f.seek(target) == target and f.tell() == target
            np.testing.assert_array_equal(
                f.read(dtype="int16", always_2d=True), whole[target:],
                err_msg=f"from frame {target}")
            assert f.tell() == f.frames
        # Targets across the first seek entries, in an order that leaves
        # other blocks decoded before each seek.
        sweep = list(range(0, min(f.frames, 70000), 331))
        np.random.default_rng(1).shuffle(sweep)
        for target in sweep:
            f.seek(target)
            np.testing.assert_array_equal(
                f.read(500, dtype="int16", always_2d=True),
                whole[target:target + 500], err_msg=f"from frame {target}")
        assert f.seek(-10, io.SEEK_END) == f.frames - 10
        assert f.seek(-5, io.SEEK_CUR) == f.frames - 15
        with pytest.raises(ValueError):
            f.seek(f.frames + 1)


@pytest.mark.parametrize("path", [DEMO, MONO, SIX], ids=file_id)
@pytest.mark.parametrize("ms", [0, 7, 111, 250, 499])
def test_exact_seek_ends_as_velka_decode_start(path, ms):
    # velka --start delivers from the target moved back to the skip's step
    # (at most 7 frames); velk delivers from the target itself. (Where a
    # target lies in the first crossfade of a seek entry, velka's first
    # frames lack the crossfade with the block before; velk decodes that
    # block too, so these targets keep clear of such frames.)
    rate = velk.info(path).samplerate
    target = ms * rate // 1000
    ours = velk.read(path, start=target, dtype="int16", always_2d=True)[0]
    theirs = velka_decode(path, "--start", str(ms))
    assert 0 <= len(theirs) - len(ours) < 8
    np.testing.assert_array_equal(ours, theirs[len(theirs) - len(ours):])


@pytest.mark.parametrize("path, start, end, at", [
    (DEMO, 44101, 90003, 40000),   # the start off the skip's step
    (DEMO, 44100, 88200, 88100),   # on it; reading starts in the loop
    (MONO, 1001, 9999, 0),
    (SIX, 777, 5000, 100),
])
def test_loops_run_round_exactly(path, start, end, at):
    whole = reference(path)
    with velk.VelkFile(path) as f:
        f.seek(at)
        f.set_loop(start, end, passes=3)
        got = f.read(dtype="int16", always_2d=True)
    expected = np.concatenate([whole[at:end]] + [whole[start:end]] * 2)
    np.testing.assert_array_equal(got, expected)


def test_endless_loop_reads_by_count_only():
    whole = reference(DEMO)
    with velk.VelkFile(DEMO) as f:
        f.set_loop(1000, 2001)
        with pytest.raises(ValueError):
            f.read()
        got = f.read(5003, dtype="int16", always_2d=True)
    cycle = whole[1000:2001]
    expected = np.concatenate([whole[:2001]] + [cycle] * 3)[:5003]
    np.testing.assert_array_equal(got, expected)
    with velk.VelkFile(NO_TABLE) as f, pytest.raises(velk.VelkError,
                                                     match="seek table"):
        f.set_loop(10, 100)


@pytest.mark.parametrize("blocksize, overlap", [(4096, 0), (1000, 250)])
def test_blocks_cover_the_file(blocksize, overlap):
    whole = reference(DEMO)
    with velk.VelkFile(DEMO) as f:
        f.seek(100)
        blocks = list(f.blocks(blocksize, overlap, dtype="int16"))
    step = blocksize - overlap
    for i, block in enumerate(blocks):
        np.testing.assert_array_equal(
            block, whole[100 + i * step:100 + i * step + blocksize])
    assert 100 + (len(blocks) - 1) * step + len(blocks[-1]) == len(whole)


def wav_bytes(pcm, rate):
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(pcm.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(pcm.astype("<i2").tobytes())
    return out.getvalue()


@pytest.mark.parametrize("channels, rate, options", [
    (2, 44100, {}),
    (1, 22050, {"quality": 90}),
    (3, 16000, {"bitrate": 96}),
])
def test_write_is_velka_encode_and_reads_back(tmp_path, channels, rate,
                                              options):
    import subprocess

    from conftest import VELKA

    t = np.arange(rate * 3 // 2)[:, None] / rate
    signal = 0.3 * np.sin(2 * np.pi * (220 + 110 * np.arange(channels)) * t)
    pcm = np.rint(signal * 32768).astype(np.int16)
    velk.write(tmp_path / "a.velka", pcm, rate, **options)
    velk.write(tmp_path / "b.velka", signal, rate, **options)  # rounded
    buffer = io.BytesIO()
    velk.write(buffer, pcm, rate, **options)
    (tmp_path / "in.wav").write_bytes(wav_bytes(pcm, rate))
    flags = {"quality": "--quality", "bitrate": "--bitrate"}
    subprocess.run([VELKA, "encode", str(tmp_path / "in.wav"),
                    str(tmp_path / "c.velka")] +
                   [s for k, v in options.items() for s in (flags[k], str(v))],
                   check=True, stdout=subprocess.DEVNULL)
    written = (tmp_path / "a.velka").read_bytes()
    assert written == (tmp_path / "b.velka").read_bytes()
    assert written == buffer.getvalue()
    assert written == (tmp_path / "c.velka").read_bytes()
    back, back_rate = velk.read(tmp_path / "a.velka", always_2d=True)
    assert back_rate == rate and back.shape == pcm.shape
    noise = back - pcm / 32768.0
    assert 10 * np.log10(np.sum(signal ** 2) / np.sum(noise ** 2)) > 10


def test_write_saturates_and_replaces_only_regular_files(tmp_path):
    loud = np.array([[2.0], [-2.0], [np.nan], [0.5 / 32768], [1.5 / 32768]])
    velk.write(tmp_path / "loud.velka", np.repeat(loud, 1000, 0), 8000)
    quiet = np.repeat(np.array([[32767], [-32768], [0], [0], [2]],
                               np.int16), 1000, 0)
    velk.write(tmp_path / "quiet.velka", quiet, 8000)
    assert (tmp_path / "loud.velka").read_bytes() == \
        (tmp_path / "quiet.velka").read_bytes()
    (tmp_path / "folder").mkdir()
    with pytest.raises(velk.VelkError, match="not a regular file"):
        velk.write(tmp_path / "folder", quiet, 8000)
    with pytest.raises(velk.VelkError, match="many.velka"):
        velk.write(tmp_path / "many.velka", np.zeros((10, 9)), 8000)
    # Through a link, the file it names is replaced and the link stays.
    (tmp_path / "link.velka").symlink_to("quiet.velka")
    velk.write(tmp_path / "link.velka", quiet[:500], 8000)
    assert (tmp_path / "link.velka").is_symlink()
    assert velk.info(tmp_path / "quiet.velka").frames == 500
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "folder", "link.velka", "loud.velka", "quiet.velka"]


def test_threads_decode_independently():
    paths = FILES * 3
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        results = list(pool.map(
            lambda p: velk.read(p, dtype="int16", always_2d=True)[0], paths))
    for path, data in zip(paths, results):
        np.testing.assert_array_equal(data, reference(path))
    # One file shared by threads: each read takes whole frames in turn.
    with velk.VelkFile(DEMO) as f:
        def drain(_):
            frames = 0
            while len(chunk := f.read(1000, dtype="int16")):
                frames += len(chunk)
            return frames
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            assert sum(pool.map(drain, range(4))) == f.frames
