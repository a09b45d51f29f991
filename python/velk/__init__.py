"""Velk audio files (*.velka) as numpy arrays.

The API follows python-soundfile's::

    import velk
    data, samplerate = velk.read('song.velka', dtype='float32')
    print(velk.info('song.velka'))
    with velk.VelkFile('song.velka') as f:
        f.seek(samplerate * 60)
        minute = f.read(samplerate * 60)
    velk.write('copy.velka', data, samplerate, quality=60)

Decoding goes through the Velk plug-in module that comes with the package,
with the GIL released. Every failure to read a file raises VelkError (a
RuntimeError) naming the file and the reason. ``velk.dask`` (imported on
its own, when Dask is installed) spreads reads and conversions over a Dask
cluster.
"""

from ._file import Info, VelkError, VelkFile, info, read, write
from ._version import __version__

__all__ = ["Info", "VelkError", "VelkFile", "info", "read", "write",
           "__version__"]
