"""Speed of the velk package beside its peers, measured side by side in one
run on stereo 44.1 kHz music, and printed as one Markdown table:

- whole one-minute files read as float32: velk.read against
  python-soundfile on the same audio stored as FLAC and as Ogg Vorbis;
- the same velk.read (int16 and float32) against the C path,
  `velka decode --raw` to /dev/null, less velka's own start-up (the same
  command on a file of one block);
- a 5-second slice read from the end of a one-hour file and from its start;
- 200 ten-second files read by ThreadPoolExecutor(2) and by one thread;
- 500 three-second files converted to FLAC by velk.dask.convert on a
  two-worker LocalCluster and by `velka decode -j 2`: wall time, and the
  CPU time of every process involved (this one, which holds the scheduler
  and the client, and the workers), whose difference per file is Dask's
  overhead.

CPU times are the best of several runs (process time, or the child's user
and system time); the thread figures and the cluster's first row are
best-of wall times, which need the two cores free.
Run by scripts/bench-python.sh, which builds and installs the wheel.
"""

import argparse
import concurrent.futures
import os
import pathlib
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import soundfile

import velk

RATE = 44100
MUSIC = "/usr/share/games/singularity/music"


def best(fn, repeats, clock=time.process_time):
    """The least time of `repeats` calls of fn by `clock` (by default this
    process's CPU time)."""
    result = float("inf")
    for _ in range(repeats):
        start = clock()
        fn()
        result = min(result, clock() - start)
    return result


def best_child_cpu(command, repeats):
    best = float("inf")
    for _ in range(repeats):
        with open(os.devnull, "wb") as null:
            child = subprocess.Popen(command, stdout=null)
            _, status, usage = os.wait4(child.pid, 0)
        if status != 0:
            raise RuntimeError(f"{command[:2]} failed")
        best = min(best, usage.ru_utime + usage.ru_stime)
    return best


def process_cpu():
    """The CPU time of the calling process; run in each Dask worker (a
    function of the main script travels by value)."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def prepare(work, velka):
    """The music (every track of singularity-music joined, resampled to
    44.1 kHz stereo) and the files cut from it; made once, kept in `work`."""
    work.mkdir(parents=True, exist_ok=True)
    music = work / "music.wav"
    if not music.exists():
        tracks = sorted(str(p) for p in pathlib.Path(MUSIC).glob("*.ogg"))
        subprocess.run(["sox", *tracks, "-b", "16", str(music) + ".tmp.wav",
                        "rate", "-v", str(RATE), "channels", "2"],
                       check=True)
        os.replace(str(music) + ".tmp.wav", music)
    pcm = soundfile.read(music, dtype="int16", frames=3600 * RATE)[0]
    if len(pcm) < 3600 * RATE:  # repeat to a whole hour
        pcm = np.resize(pcm, (3600 * RATE, 2))

    def encode(name, part):
        velka_file = work / f"{name}.velka"
        if not velka_file.exists():
            wav = work / f"{name}.wav"
            soundfile.write(wav, part, RATE)
            subprocess.run([velka, "encode", "-Q", str(wav), str(velka_file)],
                           check=True, stdout=subprocess.DEVNULL)
            wav.unlink()
        return velka_file

    minute = pcm[600 * RATE:660 * RATE]
    files = {"minute": encode("minute", minute),
             "block": encode("block", minute[:2048]),
             "hour": encode("hour", pcm)}
    for fmt, name in [("FLAC", "minute.flac"), ("OGG", "minute.ogg")]:
        if not (work / name).exists():
            # In pieces: libsndfile's Vorbis writer fails on a minute in
            # one call.
            with soundfile.SoundFile(work / name, "w", RATE, 2,
                                     format=fmt) as out:
                for at in range(0, len(minute), 1 << 16):
                    out.write(minute[at:at + (1 << 16)])
        files[name] = work / name
    for folder, count, seconds in [("ten", 200, 10), ("three", 500, 3)]:
        out = work / folder
        if not out.exists():
            wavs = work / (folder + "-wav")
            wavs.mkdir(exist_ok=True)
            for i in range(count):
                at = (i * 17 * RATE) % (len(pcm) - seconds * RATE)
                soundfile.write(wavs / f"{folder}-{i:03}.wav",
                                pcm[at:at + seconds * RATE], RATE)
            subprocess.run([velka, "encode", "-Q", *sorted(map(str, wavs.iterdir())),
                            "-o", str(out) + ".tmp", "-j", "2"], check=True,
                           stdout=subprocess.DEVNULL)
            os.replace(str(out) + ".tmp", out)
            shutil.rmtree(wavs)
        files[folder] = sorted(out.glob("*.velka"))
    return files


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--velka", required=True)
    parser.add_argument("--work", required=True, type=pathlib.Path)
    parser.add_argument("--repeats", type=int, default=15)
    args = parser.parse_args()
    files = prepare(args.work, args.velka)
    load = os.getloadavg()[0]
    n = args.repeats
    rows = []

    def row(what, ours, peer, peer_name, goal):
        rows.append((what, ours, peer, peer_name, peer / ours, goal))

    # Whole files as float32.
    minute = str(files["minute"])
    f32 = best(lambda: velk.read(minute, dtype="float32"), n)
    i16 = best(lambda: velk.read(minute, dtype="int16"), n)
    flac = best(lambda: soundfile.read(files["minute.flac"],
                                       dtype="float32"), n)
    ogg = best(lambda: soundfile.read(files["minute.ogg"],
                                      dtype="float32"), max(n // 3, 3))
    row("one minute, float32: velk.read / soundfile FLAC", f32, flac,
        "soundfile", ">= 2x")
    row("one minute, float32: velk.read / soundfile Ogg Vorbis", f32, ogg,
        "soundfile", ">= 5x")

    # The C path, less velka's start-up.
    decode = [args.velka, "decode", "-", "--raw"]
    c_path = best_child_cpu(decode[:2] + [minute] + decode[2:], n) - \
        best_child_cpu(decode[:2] + [str(files["block"])] + decode[2:], n)
    row("one minute, int16: velk.read / velka decode --raw", i16, c_path,
        "C path", "<= 10 % over")
    row("one minute, float32: velk.read / velka decode --raw", f32, c_path,
        "C path", "<= 10 % over")

    # Slices of the hour.
    hour = str(files["hour"])
    total = velk.info(hour).frames
    slice_frames = 5 * RATE
    start = best(lambda: velk.read(hour, frames=slice_frames,
                                   dtype="float32"), n)
    end = best(lambda: velk.read(hour, start=total - slice_frames,
                                 frames=slice_frames, dtype="float32"), n)
    rows.append(("5 s of a one-hour file: from the end / from the start",
                 end, start, "start", start / end, "end within 2x"))

    # Threads.
    ten = [str(p) for p in files["ten"]]

    def read_all(workers):
        with concurrent.futures.ThreadPoolExecutor(workers) as pool:
            for _ in pool.map(lambda p: velk.read(p, dtype="float32"), ten):
                pass
    # Alternated, so that both see the machine's quieter moments alike.
    # The CPU time the two threads got over their wall time tells how much
    # of the two cores the machine left to them.
    rounds = []
    for _ in range(5):
        cpu = time.process_time()
        two = best(lambda: read_all(2), 1, time.perf_counter)
        cores = (time.process_time() - cpu) / two
        rounds.append((two, best(lambda: read_all(1), 1,
                                 time.perf_counter), cores))
    two, one, _ = (min(r) for r in zip(*rounds))
    cores = max(r[2] for r in rounds)
    row("200 ten-second files: ThreadPoolExecutor(2) / one thread", two, one,
        "one thread", ">= 1.7x")
    # What bounds that speed-up on an idle machine: the share of a read
    # that holds the GIL is at most that of reading a file of one block
    # (opening it, the array, the call) in the read of a ten-second file.
    block = str(files["block"])
    held = best(lambda: velk.read(block, dtype="float32"), n) / \
        best(lambda: velk.read(ten[0], dtype="float32"), n)
    bound = 1 / (held + (1 - held) / 2)

    # Conversion on a cluster.
    import dask
    import distributed
    from velk import dask as velk_dask

    three = [str(p) for p in files["three"]]
    shm = pathlib.Path("/dev/shm")
    scratch = pathlib.Path(tempfile.mkdtemp(
        dir=shm if shm.is_dir() else args.work))
    try:
        def velka_batch():
            out = scratch / "velka"
            shutil.rmtree(out, ignore_errors=True)
            started = time.perf_counter()
            child = subprocess.Popen(
                [args.velka, "decode", "-Q", *three, "-o", str(out), "--format",
                 "flac", "-j", "2"], stdout=subprocess.DEVNULL)
            _, status, usage = os.wait4(child.pid, 0)
            assert status == 0
            return (time.perf_counter() - started,
                    usage.ru_utime + usage.ru_stime)

        with distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                      processes=True,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            def cluster_cpu():
                # This process holds the scheduler and the client.
                return time.process_time() + sum(
                    client.run(process_cpu).values())

            def dask_batch():
                out = scratch / "dask"
                shutil.rmtree(out, ignore_errors=True)
                cpu, started = cluster_cpu(), time.perf_counter()
                report = velk_dask.convert(three, out, format="flac",
                                           client=client)
                wall = time.perf_counter() - started
                assert report.error.isna().all(), report.error.dropna()
                return wall, cluster_cpu() - cpu

            velk_dask.convert(three[:4], scratch / "warm", client=client)
            on_dask = [min(m) for m in zip(*(dask_batch() for _ in range(3)))]
            # What the cluster spends doing nothing, per second.
            idle = cluster_cpu()
            time.sleep(3)
            idle = (cluster_cpu() - idle) / 3
        on_velka = [min(m) for m in zip(*(velka_batch() for _ in range(3)))]

        def in_process():
            out = scratch / "sync"
            shutil.rmtree(out, ignore_errors=True)
            with dask.config.set(scheduler="sync"):
                velk_dask.convert(three, out, format="flac")
        alone = best(in_process, 3)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    rows.append(("500 three-second files to FLAC, wall: velk.dask.convert "
                 "(LocalCluster, 2 workers) / velka decode -j 2",
                 on_dask[0], on_velka[0], "velka -j 2", on_velka[0] / on_dask[0],
                 "report"))
    rows.append(("the same, CPU time of every process", on_dask[1],
                 on_velka[1], "velka -j 2", on_velka[1] / on_dask[1],
                 "report"))
    rows.append(("the same conversion in one process (Dask's synchronous "
                 "scheduler), CPU time / velka decode -j 2", alone,
                 on_velka[1], "velka -j 2", on_velka[1] / alone, "report"))
    overhead = (on_dask[1] - alone) / len(three)
    background = idle * on_dask[0] / len(three)

    print("| measurement | velk | peer | peer / velk | goal |")
    print("|---|---|---|---|---|")
    for what, ours, peer, peer_name, ratio, goal in rows:
        print(f"| {what} | {ours * 1000:.1f} ms | {peer_name} "
              f"{peer * 1000:.1f} ms | {ratio:.2f}x | {goal} |")
    print(f"\nThe GIL is held for at most {held * 100:.1f} % of a read of a "
          f"ten-second file, which bounds two threads' speed-up at "
          f"{bound:.2f}x; the two threads got at most {cores:.2f} cores "
          f"of the machine.")
    print(f"Dask's overhead per file, in CPU time (the cluster's less the "
          f"same conversion in one process): {overhead * 1000:.2f} ms (goal "
          f"< 5 ms), of which {background * 1000:.2f} ms is what the idle "
          f"cluster spends ({idle * 1000:.0f} ms per second) over the "
          f"conversion's wall time. velk.read of one minute: "
          f"{60 / f32:.0f}x real time (float32).")
    print(f"Python {sys.version.split()[0]}, numpy {np.__version__}, "
          f"soundfile {soundfile.__version__} (libsndfile "
          f"{soundfile.__libsndfile_version__}), {os.cpu_count()} CPUs, "
          f"load average {load:.1f} at the start, {os.getloadavg()[0]:.1f} at "
          f"the end.")


if __name__ == "__main__":
    main()
