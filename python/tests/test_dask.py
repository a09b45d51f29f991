"""velk.dask on real distributed clusters: two worker processes of a
LocalCluster, and a scheduler and a worker started as programs of their
own. Tasks carry paths; the workers load the plug-in themselves."""

import json
import os
import pathlib
import subprocess
import sys
import time

import numpy as np
import pytest
import soundfile

import velk
import velk.dask
from conftest import FILES, reference

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, processes=True,
                                  threads_per_worker=1,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        yield client


# A lambda travels by value: the workers cannot import this module.
plugin_loaded = lambda: (  # noqa: E731
    os.getpid(), "libvlkdec.so" in pathlib.Path("/proc/self/maps").read_text())


def test_read_bag_reads_in_the_workers(client):
    bag = velk.dask.read_bag(FILES, dtype="int16", always_2d=True)
    records = bag.compute()
    assert [r["path"] for r in records] == [str(p) for p in FILES]
    for record in records:
        np.testing.assert_array_equal(record["array"],
                                      reference(record["path"]))
        assert record["samplerate"] == velk.info(record["path"]).samplerate
        assert record["channels"] == record["array"].shape[1]
    workers = client.run(plugin_loaded).values()
    assert all(loaded and pid != os.getpid() for pid, loaded in workers)


def test_info_frame_gives_header_facts_and_reasons(client, tmp_path):
    frame = velk.dask.info_frame(FILES + [tmp_path]).compute()
    assert list(frame.path) == [str(p) for p in FILES + [tmp_path]]
    for row, path in zip(frame.itertuples(), FILES):
        facts = velk.info(path)
        assert (row.samplerate, row.channels, row.frames, row.version,
                row.seek_entries) == (facts.samplerate, facts.channels,
                                      facts.frames, facts.version,
                                      facts.seek_entries)
        assert row.error is None
    assert "is not a regular file" in frame.error.iloc[-1]
    assert frame.frames.isna().iloc[-1]


def check_converted(report, paths, out):
    for row in report.itertuples():
        if row.error is None:
            data, rate = soundfile.read(row.output, dtype="int16",
                                        always_2d=True)
            np.testing.assert_array_equal(data, reference(row.path))
            assert row.frames == len(data)
    # Outputs only: no temporary file is left behind.
    assert sorted(os.listdir(out)) == sorted(
        os.path.basename(o) for o in report.output.dropna())


def test_convert_reports_every_file(client, tmp_path):
    out = tmp_path / "out"
    twin = tmp_path / "twin"
    twin.mkdir()
    (twin / "demo.velka").write_bytes(FILES[-1].read_bytes())
    paths = FILES + [tmp_path / "missing.velka", twin / "demo.velka"]
    report = velk.dask.convert(paths, out, format="flac", client=client)
    assert list(report.path) == [str(p) for p in paths]
    errors = dict(zip(report.path, report.error))
    assert all(errors[str(p)] is None for p in FILES)
    assert "No such file or directory" in errors[str(paths[-2])]
    assert "is also that of" in errors[str(paths[-1])]
    check_converted(report, paths, out)
    again = velk.dask.convert(FILES[:2], out, client=client)
    assert again.error.str.contains("exists").all()
    again = velk.dask.convert(FILES[:2], out, client=client, overwrite=True)
    assert again.error.isna().all()
    # Lossy Ogg Vorbis: the length only.
    vorbis = velk.dask.convert(FILES[-1:], tmp_path / "ogg", format="ogg",
                               client=client)
    assert soundfile.info(vorbis.output[0]).frames == vorbis.frames[0]


def test_separate_scheduler_and_worker_processes(tmp_path):
    address_file = tmp_path / "scheduler.json"
    cli = [sys.executable, "-m"]
    scheduler = subprocess.Popen(
        cli + ["distributed.cli.dask_scheduler", "--host", "127.0.0.1",
               "--port", "0", "--no-dashboard",
               "--scheduler-file", str(address_file)],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    worker = None
    try:
        deadline = time.monotonic() + 60
        while not address_file.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        worker = subprocess.Popen(
            cli + ["distributed.cli.dask_worker", "--nthreads", "1",
                   "--no-dashboard", "--scheduler-file", str(address_file)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        address = json.loads(address_file.read_text())["address"]
        with distributed.Client(address, timeout=60) as client:
            client.wait_for_workers(1, timeout=60)
            out = tmp_path / "out"
            report = velk.dask.convert(FILES, out, format="wav",
                                       client=client)
            assert report.error.isna().all()
            check_converted(report, FILES, out)
            (pid, loaded), = client.run(plugin_loaded).values()
            assert loaded and pid not in (os.getpid(), worker.pid)
    finally:
        for process in (worker, scheduler):
            if process is not None:
                process.terminate()
                process.wait(timeout=30)
