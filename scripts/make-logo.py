#!/usr/bin/env python3
"""Draws the stand-in logo (app/resources/logo.png): the word QOVA in white geometric strokes
on a transparent background, 452 x 288 pixels, 8-bit RGBA. Transparent pixels are black so
that a scaler working on straight alpha would show grey fringes. A distributor replaces the
PNG with the official picture; run this again only when the stand-in changes. Its output is
committed."""
import math
import struct
import sys
import zlib

WIDTH, HEIGHT = 452, 288
HALF_STROKE = 10.0
TOP, BOTTOM = 64.0, 224.0  # outer edges of the letters
MIDDLE = (TOP + BOTTOM) / 2
LETTER_WIDTH = 96.0
GAP = 16.0
LEFT = (WIDTH - 4 * LETTER_WIDTH - 3 * GAP) / 2


def segment_distance(px, py, ax, ay, bx, by):
    lx, ly = bx - ax, by - ay
    k = max(0.0, min(1.0, ((px - ax) * lx + (py - ay) * ly) / (lx * lx + ly * ly)))
    return math.hypot(px - ax - k * lx, py - ay - k * ly)


def ring_distance(px, py, left):
    """Distance to the centre line of a tall rounded O (a stadium outline)."""
    radius = LETTER_WIDTH / 2 - HALF_STROKE
    cx = left + LETTER_WIDTH / 2
    straight = (BOTTOM - TOP) / 2 - HALF_STROKE - radius
    return abs(segment_distance(px, py, cx, MIDDLE - straight, cx, MIDDLE + straight) - radius)


def letter_lefts():
    return [LEFT + i * (LETTER_WIDTH + GAP) for i in range(4)]


def distance(px, py):
    q, o, v, a = letter_lefts()
    inner_top, inner_bottom = TOP + HALF_STROKE, BOTTOM - HALF_STROKE
    strokes = [
        ring_distance(px, py, q),
        segment_distance(px, py, q + 60, MIDDLE + 38, q + LETTER_WIDTH - 4, inner_bottom),  # tail of the Q
        ring_distance(px, py, o),
        segment_distance(px, py, v + HALF_STROKE, inner_top, v + LETTER_WIDTH / 2, inner_bottom),
        segment_distance(px, py, v + LETTER_WIDTH / 2, inner_bottom, v + LETTER_WIDTH - HALF_STROKE, inner_top),
        segment_distance(px, py, a + HALF_STROKE, inner_bottom, a + LETTER_WIDTH / 2, inner_top),
        segment_distance(px, py, a + LETTER_WIDTH / 2, inner_top, a + LETTER_WIDTH - HALF_STROKE, inner_bottom),
    ]
    # The bar of the A, ending on its legs.
    bar_y = MIDDLE + 28
    leg = (bar_y - inner_top) / (inner_bottom - inner_top) * (LETTER_WIDTH / 2 - HALF_STROKE)
    strokes.append(segment_distance(px, py, a + LETTER_WIDTH / 2 - leg, bar_y, a + LETTER_WIDTH / 2 + leg, bar_y))
    return min(strokes)


def alpha(x, y):
    # Pixel coverage from the distance to the stroke's edge: one pixel of soft edge.
    coverage = HALF_STROKE - distance(x + 0.5, y + 0.5) + 0.5
    return int(round(max(0.0, min(1.0, coverage)) * 255))


def png():
    raw = bytearray()
    for y in range(HEIGHT):
        raw.append(0)  # no filter
        for x in range(WIDTH):
            a = alpha(x, y)
            raw += bytes((255, 255, 255, a)) if a else bytes(4)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def main(path):
    with open(path, "wb") as f:
        f.write(png())


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "app/resources/logo.png")
