#!/usr/bin/env python3
"""Synthesises the demo piece: 8 bars at 120 bpm (16 s), stereo, 44.1 kHz.

A chord pad (I-vi-IV-V twice), a bass line, a plucked melody and a drum kit
(kick, snare, hi-hat), mixed and written as a 16-bit WAV file. Everything is
computed from fixed formulas and a fixed pseudo-random sequence, so the
output is the same on every run.

usage: make_demo_sample.py OUT.wav
"""
import math
import struct
import sys
import wave

RATE = 44100
BPM = 120
BEAT = 60.0 / BPM
BARS = 8
LENGTH = int(BARS * 4 * BEAT * RATE) + RATE // 2  # half a second of tail


def midi_hz(note):
    return 440.0 * 2.0 ** ((note - 69) / 12.0)


class Noise:
    """A 32-bit linear congruential generator giving values in [-1, 1)."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF

    def next(self):
        self.state = (self.state * 1664525 + 1013904223) & 0xFFFFFFFF
        return self.state / 2147483648.0 - 1.0


def add(buffer, start, samples, pan):
    """Mixes mono `samples` into the stereo buffer at frame `start`."""
    left = math.cos(pan * math.pi / 2)
    right = math.sin(pan * math.pi / 2)
    for i, s in enumerate(samples):
        j = start + i
        if j >= LENGTH:
            break
        buffer[2 * j] += s * left
        buffer[2 * j + 1] += s * right


def pad_note(hz, seconds, level):
    n = int(seconds * RATE)
    out = []
    attack, release = 0.08 * RATE, 0.3 * RATE
    for i in range(n):
        t = i / RATE
        env = min(1.0, i / attack, (n - i) / release)
        s = 0.0
        # A soft saw: the first six harmonics, two voices detuned apart.
        for detune in (-0.004, 0.004):
            f = hz * (1.0 + detune)
            for h in range(1, 7):
                s += math.sin(2 * math.pi * f * h * t) / (h * 1.4)
        out.append(level * env * s / 4.0)
    return out


def pluck(hz, seconds, level):
    n = int(seconds * RATE)
    out = []
    for i in range(n):
        t = i / RATE
        env = math.exp(-t * 5.0) * min(1.0, i / 40.0)
        s = math.sin(2 * math.pi * hz * t) + 0.35 * math.sin(4 * math.pi * hz * t)
        out.append(level * env * s)
    return out


def bass_note(hz, seconds, level):
    n = int(seconds * RATE)
    out = []
    for i in range(n):
        t = i / RATE
        env = min(1.0, i / 200.0, (n - i) / 400.0) * math.exp(-t * 2.0)
        phase = (hz * t) % 1.0
        tri = 4.0 * abs(phase - 0.5) - 1.0
        out.append(level * env * (0.7 * tri + 0.3 * math.sin(2 * math.pi * hz * t)))
    return out


def kick(level):
    n = int(0.35 * RATE)
    out, phase = [], 0.0
    for i in range(n):
        t = i / RATE
        f = 45.0 + 75.0 * math.exp(-t * 30.0)
        phase += 2 * math.pi * f / RATE
        out.append(level * math.exp(-t * 9.0) * math.sin(phase))
    return out


def snare(level, noise):
    n = int(0.2 * RATE)
    out = []
    for i in range(n):
        t = i / RATE
        tone = math.sin(2 * math.pi * 185.0 * t) * math.exp(-t * 25.0)
        out.append(level * (0.6 * noise.next() * math.exp(-t * 18.0) + 0.5 * tone))
    return out


def hat(level, noise):
    n = int(0.05 * RATE)
    out, previous = [], 0.0
    for i in range(n):
        t = i / RATE
        x = noise.next()
        out.append(level * (x - previous) * 0.5 * math.exp(-t * 80.0))  # bright
        previous = x
    return out


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    mix = [0.0] * (2 * LENGTH)
    noise = Noise(20261208)
    # C, A minor, F, G: root-position triads an octave below middle C and up.
    chords = [(48, 52, 55), (45, 48, 52), (41, 45, 48), (43, 47, 50)]
    melody = [72, 76, 79, 76, 74, 72, 69, 72, 72, 69, 67, 69, 71, 74, 79, 74]
    bar = int(4 * BEAT * RATE)
    eighth = int(BEAT * RATE / 2)
    for b in range(BARS):
        chord = chords[b % 4]
        start = b * bar
        for k, note in enumerate(chord):
            add(mix, start, pad_note(midi_hz(note + 12), 4 * BEAT, 0.09), 0.3 + 0.2 * k)
        for e in range(8):
            root = chord[0] - 12 if e % 4 != 3 else chord[2] - 12
            add(mix, start + e * eighth, bass_note(midi_hz(root), BEAT / 2, 0.32), 0.5)
        if b >= 2:  # the melody comes in on the third bar
            for q in range(4):
                note = melody[(b * 4 + q) % len(melody)]
                add(mix, start + q * 2 * eighth, pluck(midi_hz(note), BEAT * 1.5, 0.22), 0.7)
        for q in range(4):
            if q % 2 == 0:
                add(mix, start + q * 2 * eighth, kick(0.7), 0.5)
            elif b >= 1:
                add(mix, start + q * 2 * eighth, snare(0.35, noise), 0.45)
        for e in range(8):
            add(mix, start + e * eighth, hat(0.25 if e % 2 else 0.15, noise), 0.62)
    peak = max(abs(s) for s in mix)
    gain = 0.89 / peak
    frames = bytearray()
    for s in mix:
        frames += struct.pack("<h", int(round(s * gain * 32767.0)))
    with wave.open(sys.argv[1], "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(frames))


if __name__ == "__main__":
    main()
