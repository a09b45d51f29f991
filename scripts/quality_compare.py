#!/usr/bin/env python3
"""The work of scripts/quality-compare.sh once the tools are in place: makes
the excerpts, encodes and decodes them with every setting, aligns, grades
with PEAQ (when $PEAQ names the meter) and prints the table.

--items and --settings (comma-separated names) pick a subset; --jobs sets
how many encodes and gradings run at once (the speed is measured alone,
after them)."""
import argparse
import concurrent.futures
import os
import re
import resource
import subprocess
import sys
import time
import wave

import numpy as np

MUSIC = "/usr/share/games/torus-trooper/sounds/musics"
SINGULARITY = "/usr/share/games/singularity/music"
FRETS = "/usr/share/games/fretsonfire/data/songs"
WESNOTH = "/usr/share/games/wesnoth/1.16/data/core/music"
# Each excerpt: its source (a file, or folders of utterances to join), the
# start in seconds, and whether it is mastered to full scale. Those are
# resampled at unity gain, so that the overs resampling makes are clipped
# at full scale as in the master; the others get sox's guard gain.
ITEMS = {
    "electronic": (f"{MUSIC}/tt1.ogg", 30, False),
    "percussive": (f"{SINGULARITY}/Enemy Unknown.ogg", 30, False),
    "sparse": (f"{SINGULARITY}/A New Journey.ogg", 30, False),
    "tonal": (f"{SINGULARITY}/Advanced Simulacra.ogg", 30, False),
    "speech": (["/usr/share/klettres/en/alpha", "/usr/share/klettres/en/syllab"],
               0, False),
    "loud": (f"{FRETS}/muldjord/armygeddon/song.ogg", 30, True),
    "drums": (f"{FRETS}/sectoid/Metal madness/song.ogg", 40, True),
    "quiet": (f"{WESNOTH}/wanderer.ogg", 0, False),
    "speech2": (["/usr/share/ktuberling/sounds/en"], 0, False),
}
VELKA_RATES = [96, 128, 160, 192, 256]
SETTINGS = [f"velka-{r}" for r in VELKA_RATES] + [
    "velka-default", "lame-128", "oggenc-128", "opusenc-128"]


def run(cmd, **kw):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, **kw)


def make_excerpt(name, out, seconds):
    src, start, full_scale = ITEMS[name]
    fmt = ["-b", "16", "-r", "48000", "-c", "2"]
    if isinstance(src, list):
        files = sorted(os.path.join(d, f) for d in src
                       for f in os.listdir(d) if f.endswith(".ogg"))
        # Each utterance to 48 kHz stereo, then all joined.
        parts = []
        for i, f in enumerate(files):
            p = f"{out}.part{i}.wav"
            run(["sox", "-G", "-q", f] + fmt + [p, "rate", "-v", "48000",
                                           "channels", "2"])
            parts.append(p)
        run(["sox", "-q"] + parts + [out, "trim", "0", str(seconds)])
        for p in parts:
            os.remove(p)
    else:
        gain = ["-V1"] if full_scale else ["-G"]
        run(["sox", "-q"] + gain + [src] + fmt +
            [out, "trim", str(start), str(seconds), "rate", "-v", "48000",
             "channels", "2"])


def encode_decode(setting, velka, ref, stem):
    """Returns (compressed file, decoded wav, encode seconds)."""
    tool, _, arg = setting.partition("-")
    dec = f"{stem}.{setting}.wav"
    t0 = time.perf_counter()
    if tool == "velka":
        comp = f"{stem}.{setting}.velka"
        extra = [] if arg == "default" else ["--bitrate", arg]
        run([velka, "encode", "--force", "-Q", ref, comp] + extra)
        elapsed = time.perf_counter() - t0
        run([velka, "decode", "--force", comp, dec])
    elif tool == "lame":
        comp = f"{stem}.mp3"
        run(["lame", "--quiet", "-b", arg, ref, comp])
        elapsed = time.perf_counter() - t0
        run(["lame", "--quiet", "--decode", comp, dec])
    elif tool == "oggenc":
        comp = f"{stem}.ogg"
        run(["oggenc", "--quiet", "-b", arg, "-o", comp, ref])
        elapsed = time.perf_counter() - t0
        run(["oggdec", "--quiet", "-o", dec, comp])
    else:
        comp = f"{stem}.opus"
        run(["opusenc", "--quiet", "--bitrate", arg, ref, comp])
        elapsed = time.perf_counter() - t0
        run(["opusdec", "--quiet", "--rate", "48000", comp, dec])
    return comp, dec, elapsed


def read_wav(path):
    with wave.open(path, "rb") as w:
        ch = w.getnchannels()
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
    return data.reshape(-1, ch).astype(np.float64)


def write_wav(path, x):
    with wave.open(path, "wb") as w:
        w.setnchannels(x.shape[1])
        w.setsampwidth(2)
        w.setframerate(48000)
        w.writeframes(np.clip(np.round(x), -32768, 32767).astype("<i2")
                      .tobytes())


def align(ref_path, dec_path, out_path, max_lag=8192):
    """Shifts the decoded file by the lag of the cross-correlation peak and
    cuts or pads it to the reference's length."""
    ref, dec = read_wav(ref_path), read_wav(dec_path)
    if dec.shape[1] == 1:
        dec = np.repeat(dec, 2, axis=1)
    a, b = ref.mean(axis=1), dec.mean(axis=1)
    size = 1 << int(np.ceil(np.log2(len(a) + len(b))))
    corr = np.fft.irfft(np.fft.rfft(b, size) * np.conj(np.fft.rfft(a, size)),
                        size)
    lags = np.concatenate([np.arange(0, max_lag + 1), np.arange(-max_lag, 0)])
    lag = int(lags[np.argmax(corr[lags])])
    out = np.zeros_like(ref)
    src = dec[lag:] if lag >= 0 else np.vstack([np.zeros((-lag, 2)), dec])
    m = min(len(src), len(ref))
    out[:m] = src[:m]
    write_wav(out_path, out)
    return lag


def grade(peaq, ref, test):
    out = subprocess.run([peaq, ref, test], check=True, capture_output=True,
                         text=True).stdout
    m = re.search(r"Objective Difference Grade:\s*(-?[0-9.]+)", out)
    return float(m.group(1)) if m else float("nan")


SPEED_RUNS = [
    ("velka default quality", "velka", []),
    ("velka --bitrate 128", "velka", ["--bitrate", "128"]),
    ("velka --bitrate 192", "velka", ["--bitrate", "192"]),
    ("lame -b 128", "lame", []),
    ("oggenc -b 128", "oggenc", []),
    ("opusenc --bitrate 128", "opusenc", []),
]


def cpu_seconds(cmd):
    """User plus system CPU time of one run of cmd."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    run(cmd)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime -
                                                  before.ru_stime)


def speed(velka, work):
    """Encode speed, x real time in CPU seconds (best of 3, the encoders
    taking turns), of 60 s of stereo 44.1 kHz music."""
    src = f"{work}/speed-44100.wav"
    if not os.path.exists(src):
        run(["sox", "-G", "-q", f"{MUSIC}/tt1.ogg", "-b", "16", src, "trim", "0",
             "60", "rate", "-v", "44100", "channels", "2"])
    commands = {
        "velka": lambda extra: [velka, "encode", "--force", "-Q", src,
                                f"{work}/speed.velka"] + extra,
        "lame": lambda _: ["lame", "--quiet", "-b", "128", src,
                           f"{work}/speed.mp3"],
        "oggenc": lambda _: ["oggenc", "--quiet", "-b", "128", "-o",
                             f"{work}/speed.ogg", src],
        "opusenc": lambda _: ["opusenc", "--quiet", "--bitrate", "128", src,
                              f"{work}/speed.opus"],
    }
    best = {label: float("inf") for label, _, _ in SPEED_RUNS}
    for _ in range(3):
        for label, tool, extra in SPEED_RUNS:
            best[label] = min(best[label], cpu_seconds(commands[tool](extra)))
    return {label: 60.0 / t for label, t in best.items()}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--velka", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--items", default=",".join(ITEMS))
    ap.add_argument("--settings", default=",".join(SETTINGS))
    ap.add_argument("--no-speed", action="store_true")
    ap.add_argument("--speed-only", action="store_true")
    ap.add_argument("--jobs", type=int, default=2,
                    help="encodes and gradings run at once")
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    peaq = os.environ.get("PEAQ")
    items = [] if args.speed_only else args.items.split(",")
    settings = [] if args.speed_only else args.settings.split(",")

    for item in items:
        ref = f"{args.work}/{item}.wav"
        stamp = f"{ref}.{args.seconds:g}s"
        if not os.path.exists(stamp):
            make_excerpt(item, ref, args.seconds)
            open(stamp, "w").close()

    def measure(item, setting):
        ref, stem = f"{args.work}/{item}.wav", f"{args.work}/{item}"
        comp, dec, _ = encode_decode(setting, args.velka, ref, stem)
        kbps = os.path.getsize(comp) * 8 / args.seconds / 1000
        odg = float("nan")
        if peaq:
            aligned = f"{stem}.{setting}.aligned.wav"
            align(ref, dec, aligned)
            odg = grade(peaq, ref, aligned)
        print(f"{item:11} {setting:14} {kbps:6.1f} kbit/s  ODG {odg:6.2f}",
              file=sys.stderr)
        return kbps, odg

    # Every file of a run has its own name, so runs may overlap.
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        futures = {(item, setting): pool.submit(measure, item, setting)
                   for item in items for setting in settings}
        results = {key: f.result() for key, f in futures.items()}

    if items and settings:
        print_grades(items, settings, results, peaq)
    if not args.no_speed:
        s = speed(args.velka, args.work)
        lame = s["lame -b 128"]
        print("\nEncode speed, 60 s of stereo 44.1 kHz music, CPU time, best "
              "of 3:\n\n| encoder | x real time | x lame's speed |\n"
              "|---|---:|---:|")
        for label, x in s.items():
            print(f"| {label} | {x:.0f} | {x / lame:.2f} |")


def print_grades(items, settings, results, peaq):
    print("| setting | " + " | ".join(items) + " | mean kbit/s | mean ODG"
          " | worst ODG |")
    print("|---|" + "---:|" * (len(items) + 3))
    for setting in settings:
        cells, rates, grades = [], [], []
        for item in items:
            kbps, odg = results[item, setting]
            rates.append(kbps)
            grades.append(odg)
            grade_text = "n/a" if np.isnan(odg) else f"{odg:.2f}"
            cells.append(f"{kbps:.0f} / {grade_text}" if peaq else f"{kbps:.0f}")
        graded = [g for g in grades if not np.isnan(g)]
        mean = f"{np.mean(graded):.2f}" if graded else "n/a"
        worst = f"{min(graded):.2f}" if graded else "n/a"
        print(f"| {setting} | " + " | ".join(cells) +
              f" | {np.mean(rates):.0f} | {mean} | {worst} |")
    if not peaq:
        print("(PEAQ unset: grading skipped)")
    elif any(np.isnan(g) for _, g in results.values()):
        print("(n/a: the meter gave no grade for that file; the mean and "
              "worst leave it out)")


if __name__ == "__main__":
    main()
