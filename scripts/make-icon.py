#!/usr/bin/env python3
"""Draws the program icon (app/resources/qova.ico): a white ring with a tail, the letter Q,
on a rounded dark-blue square. Sizes 16, 24, 32, 48 and 64 as 32-bit DIBs, 256 as PNG.
Run it again only when the picture changes; its output is committed."""
import math
import struct
import sys
import zlib


def coverage(size, x, y):
    """RGBA of pixel (x, y) at the given size, averaged over 4x4 sub-samples."""
    total = [0.0, 0.0, 0.0, 0.0]
    for sy in range(4):
        for sx in range(4):
            u = (x + (sx + 0.5) / 4) / size  # 0..1
            v = (y + (sy + 0.5) / 4) / size
            r, g, b, a = sample(u, v)
            total[0] += r * a
            total[1] += g * a
            total[2] += b * a
            total[3] += a
    a = total[3] / 16
    if a == 0:
        return (0, 0, 0, 0)
    return tuple(int(round(c / total[3] * 255)) for c in total[:3]) + (int(round(a * 255)),)


def sample(u, v):
    # Rounded square background with a vertical gradient.
    m, radius = 0.04, 0.2
    dx = max(abs(u - 0.5) - (0.5 - m - radius), 0)
    dy = max(abs(v - 0.5) - (0.5 - m - radius), 0)
    if math.hypot(dx, dy) > radius:
        return (0, 0, 0, 0)
    t = v
    background = (0.04 + 0.06 * t, 0.10 + 0.16 * t, 0.36 + 0.27 * t)
    # The ring of the Q.
    cx, cy = 0.5, 0.47
    d = math.hypot(u - cx, v - cy)
    if 0.19 <= d <= 0.29:
        return (1, 1, 1, 1)
    # Its tail: a thick segment towards the lower right.
    ax, ay, bx, by = 0.63, 0.61, 0.77, 0.77
    px, py = u - ax, v - ay
    lx, ly = bx - ax, by - ay
    k = max(0.0, min(1.0, (px * lx + py * ly) / (lx * lx + ly * ly)))
    if math.hypot(px - k * lx, py - k * ly) <= 0.055:
        return (1, 1, 1, 1)
    # Two sound waves inside the ring.
    for wave_radius in (0.07, 0.13):
        dw = math.hypot(u - 0.40, v - cy)
        angle = math.atan2(v - cy, u - 0.40)
        if abs(dw - wave_radius) <= 0.022 and abs(angle) <= 0.8:
            return (0.55, 0.8, 1, 1)
    return background + (1,)


def pixels(size):
    return [[coverage(size, x, y) for x in range(size)] for y in range(size)]


def dib(size):
    rows = pixels(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    data = bytearray()
    for row in reversed(rows):  # bottom-up
        for r, g, b, a in row:
            data += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    return header + bytes(data) + bytes(mask_row * size)


def png(size):
    rows = pixels(size)
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in rows)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(path):
    images = [(s, dib(s)) for s in (16, 24, 32, 48, 64)] + [(256, png(256))]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "app/resources/qova.ico")
