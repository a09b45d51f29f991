#!/usr/bin/env python3
"""Rate-quality table of the encoder: bit rate and SNR at several qualities.

Each test signal is written as a WAV file, encoded with `velka encode
--quality Q`, decoded back with `velka decode` (through the plug-in) and
compared with the input. Prints a Markdown table for the README.

usage: scripts/rate_quality.py [--velka PATH] [--qualities 0,20,...]
"""

import argparse
import array
import math
import os
import random
import subprocess
import sys
import tempfile
import wave

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VECTORS = os.path.join(ROOT, "tests", "data", "vectors", "files")

# Bundled known-answer PCM files: name, channels, rate.
BUNDLED = [
    ("signal-chord-2ch-44100", 2, 44100),
    ("ch2-48000", 2, 48000),
    ("ch1-32000", 1, 32000),
    ("ch6-16000", 6, 16000),
]


def synthetic(kind, channels, rate, seconds):
    """Interleaved 16-bit samples of one of the music-like test signals."""
    rng = random.Random(1)
    frames = int(rate * seconds)
    out = array.array("h", bytes(2 * frames * channels))
    for c in range(channels):
        phase = 0.0
        for i in range(frames):
            t = i / rate
            if kind == "chord":
                f0 = 196.0 * (1 + 0.19 * c)
                swell = 0.55 + 0.45 * math.sin(2 * math.pi * 1.3 * t + c)
                v = 0.0
                for ratio in (1.0, 1.25, 1.5):
                    for h in range(1, 5):
                        f = f0 * ratio * h
                        if f >= 0.45 * rate:
                            break
                        p = 2 * math.pi * f * t - f * 0.006 / 5.5 * math.cos(2 * math.pi * 5.5 * t)
                        v += math.sin(p + c) / (h * 1.6)
                v *= 4200.0 * swell
            elif kind == "bursts":
                v = 1600.0 * math.sin(2 * math.pi * 330.0 * (1 + 0.1 * c) * t)
                since = math.fmod(t + 0.03 * c, 0.25)
                if since < 0.06:
                    v += 9000.0 * math.exp(-since * 40.0) * rng.gauss(0.0, 1.0)
            elif kind == "chirp":
                f = 40.0 + (0.45 * rate - 40.0) * t / seconds
                phase += 2 * math.pi * f / rate
                v = 12000.0 * math.sin(phase + c)
            else:
                raise ValueError(kind)
            out[i * channels + c] = max(-32768, min(32767, round(v)))
    return out


def write_wav(path, samples, channels, rate):
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(samples.tobytes())


def worst_channel_snr(ref, dec, channels):
    worst = math.inf
    for c in range(channels):
        sig = err = 0
        for x, y in zip(ref[c::channels], dec[c::channels]):
            sig += x * x
            err += (x - y) * (x - y)
        snr = math.inf if err == 0 else 10 * math.log10(sig / err) if sig else -math.inf
        worst = min(worst, snr)
    return worst


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--velka", default=os.path.join(ROOT, "build", "release", "tools", "velka", "velka"))
    ap.add_argument("--qualities", default="0,20,40,50,60,80,100")
    args = ap.parse_args()
    qualities = [int(q) for q in args.qualities.split(",")]

    signals = []
    for name, channels, rate in BUNDLED:
        samples = array.array("h")
        with open(os.path.join(VECTORS, name + ".pcm"), "rb") as f:
            samples.frombytes(f.read())
        if sys.byteorder != "little":
            samples.byteswap()
        signals.append((name, channels, rate, samples))
    for kind in ("chord", "bursts", "chirp"):
        signals.append((kind + " (synthetic)", 2, 44100, synthetic(kind, 2, 44100, 1.0)))

    with tempfile.TemporaryDirectory() as tmp:
        results = {}
        for name, channels, rate, samples in signals:
            wav = os.path.join(tmp, "in.wav")
            write_wav(wav, samples, channels, rate)
            seconds = len(samples) / channels / rate
            for q in qualities:
                enc = os.path.join(tmp, "out.velka")
                raw = os.path.join(tmp, "out.raw")
                subprocess.run([args.velka, "encode", wav, enc, "--quality", str(q)], check=True)
                subprocess.run([args.velka, "decode", enc, raw], check=True)
                dec = array.array("h")
                with open(raw, "rb") as f:
                    dec.frombytes(f.read())
                if sys.byteorder != "little":
                    dec.byteswap()
                kbps = os.path.getsize(enc) * 8 / seconds / 1000
                results[name, q] = (kbps, worst_channel_snr(samples, dec, channels))

    print("| signal | channels, rate | " + " | ".join(f"q {q}" for q in qualities) + " |")
    print("|---|---|" + "---|" * len(qualities))
    for name, channels, rate, _ in signals:
        cells = []
        for q in qualities:
            kbps, snr = results[name, q]
            cells.append(f"{kbps:.0f} kbit/s, {snr:.1f} dB")
        print(f"| {name} | {channels}, {rate} Hz | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
