#!/usr/bin/env python3
"""Writes demo/demo.mid, the short piece kolva-render plays in the README.

A Standard MIDI File of type 1: a tempo track (120 bpm, slowing to 100 bpm after two
bars) and one note track with chords, a bass line and a melody (which visits A4, note
69), with varied velocities, a little pitch bend and mod wheel. Four bars, about 9 s.
Running status is used wherever it applies. Standard library only; the output is
byte-for-byte reproducible.

Usage: scripts/make-demo-midi.py [OUTPUT]   (default: demo/demo.mid next to this script)
"""

import os
import struct
import sys

TPQ = 480  # ticks per quarter note
BEAT = TPQ
BAR = 4 * BEAT
CHANNEL = 0


def vlq(value):
    """MIDI variable-length quantity."""
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def meta(kind, payload):
    return bytes([0xFF, kind]) + vlq(len(payload)) + payload


def tempo_meta(bpm):
    return meta(0x51, (round(60_000_000 / bpm)).to_bytes(3, "big"))


def encode_track(events):
    """events: (tick, order, bytes). Sorted by tick then order; running status applied."""
    data = bytearray()
    last_tick = 0
    running = None
    for tick, _, message in sorted(events, key=lambda e: (e[0], e[1])):
        data += vlq(tick - last_tick)
        last_tick = tick
        status = message[0]
        if status < 0xF0 and status == running:
            data += message[1:]
        else:
            data += message
            running = status if status < 0xF0 else None
    return b"MTrk" + struct.pack(">I", len(data)) + bytes(data)


def tempo_track(end_tick):
    events = [
        (0, 0, meta(0x03, b"Kolva demo")),
        (0, 1, meta(0x58, bytes([4, 2, 24, 8]))),  # 4/4
        (0, 2, tempo_meta(120)),
        (2 * BAR, 0, tempo_meta(100)),
        (end_tick, 9, meta(0x2F, b"")),
    ]
    return encode_track(events)


def note_track():
    events = []

    def note(start, length, key, velocity):
        # Note-off as note-on with velocity 0, so running status carries through.
        events.append((start, 1, bytes([0x90 | CHANNEL, key, velocity])))
        events.append((start + length, 0, bytes([0x90 | CHANNEL, key, 0])))

    def bend(tick, amount):
        """amount in -1..1 of the bend range."""
        value = max(0, min(16383, 8192 + round(amount * 8191)))
        events.append((tick, 2, bytes([0xE0 | CHANNEL, value & 0x7F, value >> 7])))

    def mod_wheel(tick, value):
        events.append((tick, 2, bytes([0xB0 | CHANNEL, 1, value])))

    # Chords, one per bar (Am, F, C, G then Am): A3 = 57, C4 = 60, E4 = 64.
    chords = [
        (0, BAR, [57, 60, 64], 72),
        (BAR, BAR, [53, 57, 60], 66),
        (2 * BAR, BAR, [55, 60, 64], 78),
        (3 * BAR, 2 * BEAT, [55, 59, 62], 70),
        (3 * BAR + 2 * BEAT, 2 * BEAT, [57, 60, 64], 84),
    ]
    for start, length, keys, velocity in chords:
        for i, key in enumerate(keys):
            note(start, length - 10, key, velocity - 4 * i)

    # Bass: root on beat 1, a pushed eighth before beat 3, the fifth on beat 4.
    roots = [45, 41, 36, 43]
    for bar, root in enumerate(roots):
        start = bar * BAR
        note(start, BEAT - 20, root, 104)
        note(start + BEAT + BEAT // 2, BEAT // 2 - 10, root, 88)
        note(start + 2 * BEAT, BEAT - 20, root, 96)
        note(start + 3 * BEAT, BEAT - 20, root + 7, 92)

    # Melody: (start beat, length in beats, key, velocity).
    melody = [
        (0, 1, 76, 96), (1, 1, 74, 84), (2, 1, 72, 90), (3, 1, 69, 110),
        (4, 2, 72, 100), (6, 1, 69, 86), (7, 1, 65, 80),
        (8, 1, 67, 92), (9, 1, 64, 82), (10, 1, 67, 88), (11, 1, 72, 104),
        (12, 1, 71, 94), (13, 1, 74, 100), (14, 2, 69, 115),
    ]
    for beat, beats, key, velocity in melody:
        note(beat * BEAT, beats * BEAT - 15, key, velocity)

    # A slow bend up and back on the long C5 in bar 2.
    for step in range(9):
        tick = 4 * BEAT + step * BEAT // 4
        bend(tick, 0.25 * (step / 4 if step <= 4 else (8 - step) / 4))
    # Mod wheel swells through bar 3 and falls back in bar 4.
    for step in range(9):
        tick = 2 * BAR + step * BEAT // 2
        mod_wheel(tick, min(127, step * 10))
    for step in range(9):
        tick = 3 * BAR + step * BEAT // 2
        mod_wheel(tick, max(0, 80 - step * 10))

    end = 4 * BAR
    events.append((0, 0, meta(0x03, b"Notes")))
    events.append((end, 9, meta(0x2F, b"")))
    return encode_track(events), end


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "demo", "demo.mid")
    notes, end = note_track()
    header = b"MThd" + struct.pack(">IHHH", 6, 1, 2, TPQ)
    with open(path, "wb") as f:
        f.write(header + tempo_track(end) + notes)
    print(f"wrote {os.path.normpath(path)}")


if __name__ == "__main__":
    main()
