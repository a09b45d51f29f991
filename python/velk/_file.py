"""Reading and writing Velk audio files: the soundfile-like API."""

from __future__ import annotations

import contextlib
import dataclasses
import io
import os
import secrets
from typing import Any, BinaryIO, Iterator, Optional, Tuple, Union

import numpy as np

from . import _velk
from ._velk import VelkError

# The plug-in module travels in the package, beside this file.
PLUGIN_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                           "libvlkdec.so")
_velk.load_plugin(PLUGIN_PATH)

FileArg = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, BinaryIO]

_DTYPES = ("float64", "float32", "int32", "int16")


def _check_dtype(dtype: Any) -> np.dtype:
    dt = np.dtype(dtype)
    if dt.name not in _DTYPES:
        raise ValueError(f"dtype must be one of {', '.join(_DTYPES)}, "
                         f"not {dt.name}")
    return dt


def _name_of(file: Any) -> str:
    name = getattr(file, "name", None)
    if isinstance(name, (str, bytes)) and name:
        return os.fsdecode(name)
    return f"<{type(file).__name__}>"


def _input_size(file: Any, name: str) -> Optional[int]:
    """The size of a file-like object by seeking to its end; None when it
    cannot seek."""
    try:
        if hasattr(file, "seekable") and not file.seekable():
            return None
        size = file.seek(0, io.SEEK_END)
        return int(size) if size is not None else int(file.tell())
    except io.UnsupportedOperation:
        return None
    except Exception as e:
        raise VelkError(f"I/O error reading '{name}': {e}") from e


def _open_decoder(file: FileArg) -> _velk.Decoder:
    """A decoder on a path, a bytes-like object or a file-like object; a file
    shorter than its header says is refused as truncated."""
    if isinstance(file, (str, os.PathLike)):
        name = os.fsdecode(os.fspath(file))
        decoder = _velk.Decoder(_velk.Kind.PATH, name, name)
        size = os.stat(name).st_size
    elif hasattr(file, "read") and hasattr(file, "seek"):
        name = _name_of(file)
        size = _input_size(file, name)
        if size is not None:
            decoder = _velk.Decoder(_velk.Kind.FILE, file, name)
        else:
            # A stream that cannot seek is read whole first.
            try:
                data = memoryview(file.read())
            except Exception as e:
                raise VelkError(f"I/O error reading '{name}': {e}") from e
            size = data.nbytes
            decoder = _velk.Decoder(_velk.Kind.BUFFER, data, name)
    else:
        try:
            data = memoryview(file)
        except TypeError:
            raise TypeError("file must be a path, a bytes-like object or a "
                            f"file-like object, not {type(file).__name__}"
                            ) from None
        if not data.c_contiguous:
            data = memoryview(data.tobytes())
        name = f"<{type(file).__name__}>"
        size = data.nbytes
        decoder = _velk.Decoder(_velk.Kind.BUFFER, data.cast("B"), name)
    if size < decoder.file_size:
        decoder.close()
        raise VelkError(f"'{name}' is truncated: it holds {size} of the "
                        f"{decoder.file_size} bytes its header gives")
    return decoder


@dataclasses.dataclass(frozen=True)
class Info:
    """What the header of a Velk audio file says, as velk.info gives it."""

    name: str
    samplerate: int
    channels: int
    frames: int
    duration: float  # seconds
    version: int  # format version, 0 to 2
    bitrate: Optional[int]  # bits per second over the whole file
    file_size: int  # bytes, as the header gives it
    seek_entries: int  # 0: no seek table
    blocks_per_seek_entry: int  # the seek table's stretch; 0 before version 2

    def __str__(self) -> str:
        rows = [("samplerate", f"{self.samplerate} Hz"),
                ("channels", self.channels),
                ("frames", self.frames),
                ("duration", f"{self.duration:.3f} s"),
                ("version", self.version),
                ("bitrate", "unknown" if self.bitrate is None
                 else f"{self.bitrate / 1000:.1f} kbit/s"),
                ("file size", f"{self.file_size} bytes"),
                ("seek table", f"{self.seek_entries} entries of "
                 f"{self.blocks_per_seek_entry} blocks"
                 if self.seek_entries else "none")]
        return self.name + "\n" + "\n".join(f"{k}: {v}" for k, v in rows)


def _info_of(decoder: _velk.Decoder) -> Info:
    return Info(name=decoder.name, samplerate=decoder.samplerate,
                channels=decoder.channels, frames=decoder.frames,
                duration=decoder.frames / decoder.samplerate,
                version=decoder.version, bitrate=decoder.bitrate,
                file_size=decoder.file_size,
                seek_entries=decoder.seek_entries,
                blocks_per_seek_entry=decoder.blocks_per_seek_entry)


class VelkFile:
    """A Velk audio file open for reading.

    ``file`` is a path (str or path-like), a bytes-like object holding the
    whole file, or a binary file-like object with ``read`` and ``seek``
    (BytesIO, an open file). Use it as a context manager::

        with velk.VelkFile('song.velka') as f:
            f.seek(44100)
            chunk = f.read(1024, dtype='float32')

    Samples are 16-bit; as other types they come as the 16-bit value / 32768
    (float32, float64) or times 65536 (int32). Reads stop at the header's
    length. A damaged block decodes the way the plug-in defines (silence or
    skipped) and never raises; a file that is not a Velk audio file, whose
    header is refused or that is shorter than its header says raises
    VelkError, as does an exception from a file-like object's read or seek.
    """

    def __init__(self, file: FileArg, mode: str = "r") -> None:
        if mode not in ("r", "rb"):
            raise ValueError("VelkFile opens files for reading only; "
                             "velk.write writes them")
        self._decoder = _open_decoder(file)

    @property
    def name(self) -> str:
        """The path, the file-like object's name, or ``<bytes>``."""
        return self._decoder.name

    @property
    def samplerate(self) -> int:
        """Sample frames per second."""
        return self._decoder.samplerate

    @property
    def channels(self) -> int:
        """Channels per frame, 1 to 8."""
        return self._decoder.channels

    @property
    def frames(self) -> int:
        """Sample frames in the file, as its header gives them."""
        return self._decoder.frames

    @property
    def closed(self) -> bool:
        return self._decoder.closed

    def __len__(self) -> int:
        return self.frames

    @property
    def info(self) -> Info:
        """The header's facts (see velk.info)."""
        return _info_of(self._decoder)

    def __repr__(self) -> str:
        return (f"VelkFile({self.name!r}, samplerate={self.samplerate}, "
                f"channels={self.channels}, frames={self.frames})")

    def __enter__(self) -> "VelkFile":
        return self

    def __exit__(self, *args: Any) -> None:
        self.close()

    def close(self) -> None:
        """Closes the file; reading afterwards raises VelkError."""
        self._decoder.close()

    def seekable(self) -> bool:
        """Always True. Files with a seek table seek through it (the cost of
        a seek does not grow with the target); others are decoded from the
        start up to the target."""
        return True

    def seek(self, frames: int, whence: int = io.SEEK_SET) -> int:
        """Moves to a sample frame, exactly, and returns the new position.

        ``whence`` is ``io.SEEK_SET`` (from the start), ``io.SEEK_CUR`` or
        ``io.SEEK_END``, as for files. The target lies in [0, frames].
        """
        if whence == io.SEEK_CUR:
            frames += self.tell()
        elif whence == io.SEEK_END:
            frames += self.frames
        elif whence != io.SEEK_SET:
            raise ValueError(f"invalid whence {whence}")
        if not 0 <= frames <= self.frames:
            raise ValueError(f"cannot seek to frame {frames} of "
                             f"'{self.name}' (0 to {self.frames})")
        self._decoder.seek(frames)
        return frames

    def tell(self) -> int:
        """The sample frame the next read starts at."""
        return self._decoder.tell()

    def set_loop(self, start: int, end: int, passes: int = 0) -> None:
        """Plays frames [start, end) round and round once playback reaches
        ``end``: ``passes`` times in all, or without end when 0. Reads then
        run round the loop (a read of -1 frames needs a finite loop). Needs
        a file with a seek table (format version 2)."""
        if passes < 0:
            raise ValueError("passes must be 0 (without end) or more")
        self._decoder.set_loop(start, end, passes)

    def read(self, frames: int = -1, dtype: Any = "float64",
             always_2d: bool = False,
             out: Optional[np.ndarray] = None) -> np.ndarray:
        """Reads sample frames from the current position.

        Parameters
        ----------
        frames : int, optional
            How many frames to read (at most the rest of the file, unless
            a loop is set); -1 (the default) reads to the end, or
            ``len(out)`` frames when ``out`` is given.
        dtype : {'float64', 'float32', 'int32', 'int16'}, optional
            The type of the returned array; floats lie in [-1.0, 1.0).
            Ignored when ``out`` is given.
        always_2d : bool, optional
            By default a mono file gives a 1-D array; True always gives
            frames x channels.
        out : numpy.ndarray, optional
            A C-contiguous array to read into (frames x channels, or 1-D for
            mono); then a view of its first rows is returned when fewer
            frames were left.

        Returns
        -------
        numpy.ndarray
            frames x channels (1-D for mono unless ``always_2d``); fewer
            rows than asked at the end of the file.
        """
        channels = self.channels
        if out is not None:
            dt = _check_dtype(out.dtype)
            if not out.flags.c_contiguous or out.ndim not in (1, 2) or (
                    out.ndim == 1 and channels != 1) or (
                    out.ndim == 2 and out.shape[1] != channels):
                raise ValueError(f"out must be a C-contiguous array of "
                                 f"frames x {channels}")
            n = len(out) if frames < 0 else min(frames, len(out))
            got = self._decoder.read(out.reshape(len(out), channels), n)
            return out[:got] if got < len(out) else out
        dt = _check_dtype(dtype)
        if not self._decoder.looping:
            # The array is made at the size asked: never more than is left.
            left = max(self.frames - self.tell(), 0)
            frames = left if frames < 0 else min(frames, left)
        elif frames < 0:
            return self._read_loop_to_end(dt, always_2d)
        data = np.empty((frames, channels), dt)
        got = self._decoder.read(data, frames)
        if got < frames:
            data = data[:got]
        return data if always_2d or channels != 1 else data.reshape(-1)

    def _read_loop_to_end(self, dt: np.dtype, always_2d: bool) -> np.ndarray:
        if self._decoder.loop_passes == 0:
            raise ValueError("a loop without end never ends: give read a "
                             "frame count")
        parts = []
        while True:
            part = self.read(1 << 16, dt, True)
            parts.append(part)
            if len(part) < 1 << 16:
                break
        data = np.concatenate(parts)
        return data if always_2d or self.channels != 1 else data.reshape(-1)

    def blocks(self, blocksize: Optional[int] = None, overlap: int = 0,
               frames: int = -1, dtype: Any = "float64",
               always_2d: bool = False,
               out: Optional[np.ndarray] = None) -> Iterator[np.ndarray]:
        """Yields successive blocks of ``blocksize`` frames, each starting
        ``overlap`` frames before the previous one ended; the last may be
        shorter. ``frames`` limits the total read (-1: to the end); with
        ``out`` every block is read into (a view of) that array, whose
        length is then the block size."""
        if out is not None:
            if blocksize is None:
                blocksize = len(out)
            elif blocksize != len(out):
                raise ValueError("blocksize must match len(out)")
        if blocksize is None or blocksize <= 0:
            raise ValueError("blocksize must be given and above 0")
        if not 0 <= overlap < blocksize:
            raise ValueError("overlap must lie in [0, blocksize)")
        dt = _check_dtype(dtype if out is None else out.dtype)
        if frames < 0:
            if self._decoder.looping and self._decoder.loop_passes == 0:
                raise ValueError("a loop without end never ends: give "
                                 "blocks a frame count")
            frames = None if self._decoder.looping else max(
                self.frames - self.tell(), 0)
        block = np.empty((blocksize, self.channels), dt)
        kept = 0  # frames at the start of `block` from the previous block
        while frames is None or frames > 0:
            want = blocksize - kept
            if frames is not None:
                want = min(want, frames)
            got = self._decoder.read(block[kept:kept + want], want)
            if frames is not None:
                frames -= got
            if got == 0:
                break
            view = block[:kept + got]
            result = view if always_2d or self.channels != 1 else \
                view.reshape(-1)
            if out is None:
                yield result.copy()
            else:
                target = out[:kept + got]
                target[...] = result
                yield target
            if got < want:
                break
            if overlap:
                block[:overlap] = block[blocksize - overlap:]
            kept = overlap


def read(file: FileArg, frames: int = -1, start: int = 0,
         stop: Optional[int] = None, dtype: Any = "float64",
         always_2d: bool = False,
         out: Optional[np.ndarray] = None) -> Tuple[np.ndarray, int]:
    """Reads a Velk audio file into a numpy array.

    Parameters
    ----------
    file : str, path-like, bytes-like or file-like object
        The file to read: a path, the whole file's bytes, or a binary
        object with ``read`` and ``seek`` (BytesIO, an open file).
    frames : int, optional
        How many frames to read; -1 (the default) reads to ``stop`` or the
        end.
    start : int, optional
        Where to start reading, in sample frames; negative counts from the
        end. Only the seek-table stretch holding it is decoded before it.
    stop : int, optional
        Where to stop reading (not with ``frames``); negative counts from
        the end.
    dtype : {'float64', 'float32', 'int32', 'int16'}, optional
        The type of the returned array. Samples are 16-bit: floats are the
        sample / 32768, int32 the sample * 65536, int16 the samples as
        decoded. Ignored when ``out`` is given.
    always_2d : bool, optional
        By default a mono file gives a 1-D array; True always gives
        frames x channels.
    out : numpy.ndarray, optional
        A C-contiguous array to read into instead of a new one.

    Returns
    -------
    data : numpy.ndarray
        frames x channels, or 1-D for mono unless ``always_2d``.
    samplerate : int
        The sample rate of the file.

    Raises
    ------
    VelkError
        The file is not a Velk audio file, its header is refused, it is
        shorter than its header says, it cannot be opened, or a file-like
        object's read or seek raised. The message names the file. A damaged
        block never raises: it decodes the way the plug-in defines.

    Examples
    --------
    >>> import velk
    >>> data, samplerate = velk.read('song.velka', dtype='float32')
    >>> data.shape
    (727650, 2)
    """
    with VelkFile(file) as f:
        if frames >= 0 and stop is not None:
            raise TypeError("only one of frames and stop may be given")
        start, stop, _ = slice(start, stop).indices(f.frames)
        stop = max(stop, start)
        if frames < 0:
            frames = stop - start
        if start != 0:
            f.seek(start)
        data = f.read(frames, dtype, always_2d, out)
        return data, f.samplerate


def info(file: FileArg) -> Info:
    """The header's facts of a Velk audio file, without decoding it: sample
    rate, channels, frames, duration, format version, bit rate, file size
    and the seek table's size and stretch. Raises VelkError like read."""
    decoder = _open_decoder(file)
    try:
        return _info_of(decoder)
    finally:
        decoder.close()


def _to_int16(data: np.ndarray) -> np.ndarray:
    """Samples as 16-bit: int16 as they are; floats (full scale 1.0) and
    int32 (full scale 2**31) rounded to the nearest 16-bit value, ties to
    even, and saturated."""
    if data.dtype == np.int16:
        return np.ascontiguousarray(data)
    if data.dtype == np.int32:
        scaled = data / 65536.0
    elif data.dtype.kind == "f":
        scaled = np.nan_to_num(data.astype(np.float64), nan=0.0) * 32768.0
    else:
        raise TypeError(f"data must be int16, int32, float32 or float64, "
                        f"not {data.dtype}")
    return np.clip(np.rint(scaled), -32768, 32767).astype(np.int16)


def write(file: Union[str, "os.PathLike[str]", BinaryIO], data: Any,
          samplerate: int, quality: int = 50,
          bitrate: Optional[float] = None) -> None:
    """Writes audio to a Velk audio file through the encoder library.

    Parameters
    ----------
    file : str, path-like or file-like object
        Where to write. A path is written under a temporary name in the same
        folder and renamed when complete; what stands there already is
        replaced only when it is a regular file (through a symbolic link,
        the file it names). A file-like object gets the
        whole file in one ``write``.
    data : array_like
        frames x channels (1 to 8 channels), or 1-D for mono: int16, or
        float (full scale 1.0) rounded to the nearest 16-bit value and
        saturated, as ``velka encode`` does.
    samplerate : int
        1 to 65535 Hz.
    quality : int, optional
        Constant perceptual quality, 0 to 100 (default 50).
    bitrate : float, optional
        An average bit rate in kbit/s to keep instead of a quality.

    Raises VelkError naming the file when it cannot be encoded or written.
    """
    samples = np.asarray(data)
    if samples.ndim == 1:
        samples = samples.reshape(-1, 1)
    if samples.ndim != 2:
        raise ValueError("data must be frames x channels, or 1-D for mono")
    if not 0 <= quality <= 100:
        raise ValueError("quality must lie in [0, 100]")
    if bitrate is not None and not bitrate > 0:
        raise ValueError("bitrate must be above 0 kbit/s")
    path = None
    if isinstance(file, (str, bytes, os.PathLike)):
        path = os.fsdecode(os.fspath(file))
        name = path
    else:
        name = _name_of(file)
    try:
        encoded = _velk.encode(_to_int16(samples), int(samplerate),
                               int(quality), float(bitrate or 0.0))
    except VelkError as e:
        raise VelkError(f"cannot write '{name}': {e}") from None
    if path is None:
        try:
            file.write(encoded)
        except Exception as e:
            raise VelkError(f"I/O error writing '{name}': {e}") from e
        return
    try:
        with replacing(path) as temporary, open(temporary, "xb") as out:
            out.write(encoded)
    except OSError as e:
        raise VelkError(f"cannot write '{path}': {e.strerror or e}") from e


@contextlib.contextmanager
def replacing(path: str, overwrite: bool = True) -> Iterator[str]:
    """A temporary name beside `path` for the block to write; once the block
    completes the file is synced and renamed to `path`, and when it fails
    the file is removed, so `path` is either whole or as it was. Only a
    regular file is replaced: through a symbolic link, the file it names
    (the link stays); anything else there raises OSError, as does a file
    there when not `overwrite`."""
    if os.path.lexists(path):
        if not os.path.isfile(path):
            raise OSError("it exists and is not a regular file")
        if not overwrite:
            raise FileExistsError("it exists (pass overwrite=True to replace "
                                  "it)")
        path = os.path.realpath(path)
    folder, base = os.path.split(path)
    temporary = os.path.join(folder,
                             f".{base}.{os.getpid()}-{secrets.token_hex(4)}")
    try:
        yield temporary
        descriptor = os.open(temporary, os.O_RDONLY)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
