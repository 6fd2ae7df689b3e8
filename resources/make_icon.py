#!/usr/bin/env python3
"""Draws the launcher's icon and writes resources/launcher.ico.

A rounded square in a blue-to-teal gradient holding a white "play" triangle,
rendered at 16, 32, 48, 64, 128 and 256 pixels, each stored as a 32-bit RGBA
PNG. Only the standard library is used, and the output is the same on every
run, so the icon can be regenerated and compared:

    python3 resources/make_icon.py
"""

import math
import pathlib
import struct
import zlib

SIZES = (16, 32, 48, 64, 128, 256)
SAMPLES = 4  # per axis: 16 samples a pixel smooth the edges

TOP = (0x1E, 0x5E, 0xD8)
BOTTOM = (0x12, 0xB3, 0xA6)


def inside_rounded_square(x, y):
    """x, y in [0, 1]; a square with 4 % margin and a 20 % corner radius."""
    margin, radius = 0.04, 0.20
    cx = min(max(x, margin + radius), 1 - margin - radius)
    cy = min(max(y, margin + radius), 1 - margin - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_triangle(x, y):
    """A play symbol pointing right, optically centred."""
    left, right, top, bottom = 0.36, 0.74, 0.28, 0.72
    if x < left or x > right:
        return False
    half = (bottom - top) / 2 * (right - x) / (right - left)
    return abs(y - 0.5) <= half


def pixel(size, px, py):
    square = triangle = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) / size
            y = (py + (sy + 0.5) / SAMPLES) / size
            if inside_rounded_square(x, y):
                square += 1
                if inside_triangle(x, y):
                    triangle += 1
    if square == 0:
        return (0, 0, 0, 0)
    t = py / max(size - 1, 1)
    base = [a + (b - a) * t for a, b in zip(TOP, BOTTOM)]
    white = triangle / square
    rgb = [round(c + (255 - c) * white) for c in base]
    alpha = round(255 * square / SAMPLES ** 2)
    return (*rgb, alpha)


def png(size):
    rows = bytearray()
    for py in range(size):
        rows.append(0)  # filter: none
        for px in range(size):
            rows.extend(pixel(size, px, py))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def ico(images):
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries, data = b"", b""
    for size, image in images:
        edge = 0 if size >= 256 else size  # 0 stands for 256
        entries += struct.pack("<BBBBHHII", edge, edge, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
        data += image
    return directory + entries + data


def main():
    images = [(size, png(size)) for size in SIZES]
    target = pathlib.Path(__file__).with_name("launcher.ico")
    target.write_bytes(ico(images))
    print(f"wrote {target} ({target.stat().st_size} bytes)")


if __name__ == "__main__":
    main()
