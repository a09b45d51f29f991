"""Velk audio files on a Dask cluster.

Imported on its own (``import velk.dask``) where Dask, ``distributed``,
pandas and python-soundfile are installed. Every function runs one task per
file (or per partition of files) on whatever scheduler is in use: a
``distributed.Client`` passed in or made the default, a local cluster, or
Dask's threads. Tasks carry only paths and options; each worker reads the
files itself, through the plug-in module of its own velk installation, so
every worker needs the velk wheel and access to the paths (a shared file
system or object store mounted at the same place)::

    from distributed import Client
    import velk.dask

    client = Client('tcp://scheduler:8786')
    report = velk.dask.convert(paths, '/shared/flac', client=client)
    print(report[report.error.notna()])
"""

from __future__ import annotations

import functools
import os
from typing import Any, Dict, Iterable, List, Optional

import dask
import dask.bag
import dask.dataframe
import pandas as pd

from ._file import VelkError, info, read, replacing

__all__ = ["read_bag", "info_frame", "convert"]

# Output formats of convert: libsndfile's name and the file extension.
_FORMATS = {"flac": ("FLAC", ".flac"), "wav": ("WAV", ".wav"),
            "aiff": ("AIFF", ".aiff"), "ogg": ("OGG", ".ogg")}

_WRITE_FRAMES = 1 << 16

_INFO_COLUMNS = {"path": "object", "samplerate": "Int64",
                 "channels": "Int64", "frames": "Int64",
                 "duration": "float64", "version": "Int64",
                 "bitrate": "Int64", "file_size": "Int64",
                 "seek_entries": "Int64", "blocks_per_seek_entry": "Int64",
                 "error": "object"}


def _paths(paths: Iterable[Any]) -> List[str]:
    return [os.fsdecode(os.fspath(p)) for p in paths]


def _read_record(path: str, dtype: str, always_2d: bool) -> Dict[str, Any]:
    data, samplerate = read(path, dtype=dtype, always_2d=always_2d)
    channels = 1 if data.ndim == 1 else data.shape[1]
    return {"path": path, "samplerate": samplerate, "channels": channels,
            "array": data}


def read_bag(paths: Iterable[Any], dtype: str = "float32",
             always_2d: bool = False,
             npartitions: Optional[int] = None) -> dask.bag.Bag:
    """A Dask bag of one record per file: a dict with ``path``,
    ``samplerate``, ``channels`` and ``array`` (as velk.read gives it).

    A file that cannot be read fails the computation with its VelkError,
    which names the file; velk.dask.info_frame finds such files first.
    """
    paths = _paths(paths)
    bag = dask.bag.from_sequence(paths, npartitions=npartitions)
    return bag.map(_read_record, dtype=dtype, always_2d=always_2d)


def _info_record(path: str) -> Dict[str, Any]:
    record: Dict[str, Any] = dict.fromkeys(_INFO_COLUMNS)
    record["path"] = path
    try:
        facts = info(path)
    except VelkError as e:
        record["error"] = str(e)
        return record
    for key in _INFO_COLUMNS:
        if key not in ("path", "error"):
            record[key] = getattr(facts, key)
    return record


def info_frame(paths: Iterable[Any],
               npartitions: Optional[int] = None) -> dask.dataframe.DataFrame:
    """A Dask DataFrame of the header facts of every file, one row each (see
    velk.info): path, samplerate, channels, frames, duration, version,
    bitrate, file_size, seek_entries, blocks_per_seek_entry, and error,
    the reason when the file could not be read (then the facts are NA).
    Nothing is decoded."""
    paths = _paths(paths)
    meta = pd.DataFrame({k: pd.Series(dtype=t)
                         for k, t in _INFO_COLUMNS.items()})
    bag = dask.bag.from_sequence(paths, npartitions=npartitions)
    return bag.map(_info_record).to_dataframe(meta=meta)


def _convert_one(path: str, output: str, sf_format: str,
                 subtype: Optional[str], overwrite: bool) -> Dict[str, Any]:
    import soundfile

    record = {"path": path, "output": None, "frames": None, "error": None}
    try:
        os.makedirs(os.path.dirname(output) or ".", exist_ok=True)
        # The output is checked before the input is decoded.
        with replacing(output, overwrite) as temporary:
            data, samplerate = read(path, dtype="int16", always_2d=True)
            with soundfile.SoundFile(temporary, "x", samplerate,
                                     data.shape[1], subtype,
                                     format=sf_format) as sound:
                # In pieces: libsndfile's Vorbis writer fails on a whole
                # long file in one call.
                for at in range(0, len(data), _WRITE_FRAMES):
                    sound.write(data[at:at + _WRITE_FRAMES])
        record["output"] = output
        record["frames"] = len(data)
    except VelkError as e:  # reported per file, never raised
        record["error"] = str(e)
    except Exception as e:
        record["error"] = f"cannot convert '{path}' to '{output}': {e}"
    return record


def convert(paths: Iterable[Any], out_dir: Any, format: str = "flac",
            client: Any = None, subtype: Optional[str] = None,
            overwrite: bool = False) -> pd.DataFrame:
    """Converts Velk audio files to another format on the cluster, one task
    per file, and returns a report with one row per input, in order.

    Parameters
    ----------
    paths : iterable of paths
        The Velk audio files.
    out_dir : path
        Where the outputs go, as ``out_dir/NAME.EXT`` (created if missing).
        Each output is written under a temporary name and renamed when
        complete; an existing output is kept unless ``overwrite``.
    format : {'flac', 'wav', 'aiff', 'ogg'}
        The output format, written through python-soundfile (16-bit
        samples; Ogg Vorbis for 'ogg').
    client : distributed.Client, optional
        The cluster to use; by default the scheduler in effect (the default
        client if one exists, else Dask's threads).
    subtype : str, optional
        A libsndfile subtype (e.g. 'PCM_24') instead of the format's
        default.
    overwrite : bool
        Replace outputs that exist (regular files only).

    Returns
    -------
    pandas.DataFrame
        Columns ``path``, ``output`` (None on failure), ``frames`` and
        ``error`` (None on success, else the reason naming the file).
        Failures never raise and are never skipped.
    """
    if format not in _FORMATS:
        raise ValueError(f"format must be one of {', '.join(_FORMATS)}")
    sf_format, extension = _FORMATS[format]
    paths = _paths(paths)
    out_dir = os.fsdecode(os.fspath(out_dir))
    outputs = [os.path.join(out_dir, os.path.splitext(os.path.basename(p))[0]
                            + extension) for p in paths]
    # Two inputs of the same name would write the same output.
    first: Dict[str, int] = {}
    rows: List[Optional[Dict[str, Any]]] = [None] * len(paths)
    todo = []
    for i, (path, output) in enumerate(zip(paths, outputs)):
        if output in first:
            rows[i] = {"path": path, "output": None, "frames": None,
                       "error": f"cannot convert '{path}': its output "
                                f"'{output}' is also that of "
                                f"'{paths[first[output]]}'"}
        else:
            first[output] = i
            todo.append(i)
    task = functools.partial(_convert_one, sf_format=sf_format,
                             subtype=subtype, overwrite=overwrite)
    if client is not None:
        futures = client.map(task, [paths[i] for i in todo],
                             [outputs[i] for i in todo], pure=False)
        done = client.gather(futures)
    else:
        done = dask.compute(*[dask.delayed(task, pure=False)(
            paths[i], outputs[i]) for i in todo])
    for i, record in zip(todo, done):
        rows[i] = record
    report = pd.DataFrame(rows, columns=["path", "output", "frames", "error"])
    report["frames"] = report["frames"].astype("Int64")
    return report
