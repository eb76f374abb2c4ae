#!/usr/bin/env python3
"""Turns a BMP that QOVA's screenshot mode wrote into a PNG, with the standard library only.

    scripts/bmp-to-png.py IN.bmp OUT.png [--crop LEFT,TOP,WIDTH,HEIGHT]

Reads uncompressed 24- and 32-bit BMPs (BI_RGB), top-down or bottom-up. The alpha byte of
the screenshots is always 255, so the PNG is RGB (colour type 2, 8 bits a channel).
"""

import argparse
import struct
import sys
import zlib


def read_bmp(path):
    """Returns (width, height, rows) with rows a list of bytes objects of RGB triples, top first."""
    with open(path, "rb") as file:
        data = file.read()
    if len(data) < 54 or data[:2] != b"BM":
        raise ValueError(f"{path}: not a BMP file")
    (pixel_offset,) = struct.unpack_from("<I", data, 10)
    header_size, width, height, planes, bits, compression = struct.unpack_from("<IiiHHI", data, 14)
    if header_size < 40 or planes != 1:
        raise ValueError(f"{path}: unsupported BMP header")
    if bits not in (24, 32) or compression != 0:
        raise ValueError(f"{path}: only uncompressed 24- and 32-bit BMPs are supported")
    if width <= 0 or height == 0:
        raise ValueError(f"{path}: empty picture")
    top_down = height < 0
    height = abs(height)
    bytes_per_pixel = bits // 8
    stride = (width * bytes_per_pixel + 3) & ~3
    if pixel_offset + stride * height > len(data):
        raise ValueError(f"{path}: the file is shorter than its pixels")

    rows = []
    for y in range(height):
        source_row = y if top_down else height - 1 - y
        start = pixel_offset + source_row * stride
        row = data[start : start + width * bytes_per_pixel]
        # BGR(A) to RGB: take every channel with a stride and interleave them again.
        rgb = bytearray(width * 3)
        rgb[0::3] = row[2::bytes_per_pixel]
        rgb[1::3] = row[1::bytes_per_pixel]
        rgb[2::3] = row[0::bytes_per_pixel]
        rows.append(bytes(rgb))
    return width, height, rows


def png_chunk(kind, payload):
    body = kind + payload
    return struct.pack(">I", len(payload)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def sub_filtered(row):
    """PNG filter 1 (Sub): each byte minus the same channel of the pixel to its left."""
    out = bytearray(len(row))
    out[:3] = row[:3]
    for i in range(3, len(row)):
        out[i] = (row[i] - row[i - 3]) & 0xFF
    return bytes(out)


def write_png(path, width, height, rows):
    # Flat areas dominate a window picture; Sub beats None there, and costs little.
    raw = b"".join(b"\x01" + sub_filtered(row) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    with open(path, "wb") as file:
        file.write(b"\x89PNG\r\n\x1a\n")
        file.write(png_chunk(b"IHDR", header))
        file.write(png_chunk(b"IDAT", zlib.compress(raw, 9)))
        file.write(png_chunk(b"IEND", b""))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bmp")
    parser.add_argument("png")
    parser.add_argument("--crop", help="LEFT,TOP,WIDTH,HEIGHT in pixels")
    options = parser.parse_args()
    try:
        width, height, rows = read_bmp(options.bmp)
    except (OSError, ValueError) as error:
        print(error, file=sys.stderr)
        return 1
    if options.crop:
        left, top, crop_width, crop_height = (int(part) for part in options.crop.split(","))
        if left < 0 or top < 0 or crop_width <= 0 or crop_height <= 0 or left + crop_width > width or top + crop_height > height:
            print(f"crop {options.crop} does not fit a {width} x {height} picture", file=sys.stderr)
            return 1
        rows = [row[left * 3 : (left + crop_width) * 3] for row in rows[top : top + crop_height]]
        width, height = crop_width, crop_height
    write_png(options.png, width, height, rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
