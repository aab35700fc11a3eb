#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Draws the program's icon, a small bar chart, and writes it as a 48x48 32-bit Windows icon
(single image, alpha channel plus the 1-bit mask, 9662 bytes) and as a PNG for desktop entries.

Usage: make-icon.py ICO_PATH PNG_PATH
"""
import struct
import sys
import zlib

SIZE = 48


def draw():
    """Returns rows top to bottom of (r, g, b, a) pixels."""
    pixels = [[(0, 0, 0, 0)] * SIZE for _ in range(SIZE)]
    # Rounded dark tile.
    radius = 8
    for y in range(SIZE):
        for x in range(SIZE):
            cx = min(max(x, radius), SIZE - 1 - radius)
            cy = min(max(y, radius), SIZE - 1 - radius)
            d2 = (x - cx) ** 2 + (y - cy) ** 2
            if d2 <= radius * radius:
                shade = 40 + (y * 30) // SIZE
                pixels[y][x] = (shade // 2, shade // 2 + 6, shade + 20, 255)
    # Five bars rising like a spectrum peak, blue to cyan.
    heights = [12, 22, 34, 26, 16]
    for index, height in enumerate(heights):
        left = 6 + index * 7
        for y in range(SIZE - 6 - height, SIZE - 6):
            for x in range(left, left + 5):
                t = (SIZE - 6 - y) / 34.0
                pixels[y][x] = (int(30 + 40 * t), int(120 + 120 * t), 255, 255)
    # A thin trace over the bars, as the raw-data line.
    for x in range(5, 43):
        y = 12 + int(4 * ((x * 7) % 10) / 10.0)
        pixels[y][x] = (255, 210, 60, 255)
    return pixels


def ico(pixels):
    row_mask_bytes = ((SIZE + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0,
                         SIZE * SIZE * 4 + SIZE * row_mask_bytes, 0, 0, 0, 0)
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(SIZE)):  # bottom-up
        bits = 0
        row = bytearray()
        for x in range(SIZE):
            r, g, b, a = pixels[y][x]
            xor += bytes((b, g, r, a))
            bits = (bits << 1) | (1 if a == 0 else 0)
        row += bits.to_bytes(SIZE // 8, "big")
        row += bytes(row_mask_bytes - len(row))
        mask += row
    image = header + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    data = directory + entry + image
    assert len(image) == 9640 and len(data) == 9662
    return data


def png(pixels):
    raw = b"".join(b"\x00" + bytes(c for p in row for c in p) for row in pixels)

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    pixels = draw()
    with open(sys.argv[1], "wb") as out:
        out.write(ico(pixels))
    with open(sys.argv[2], "wb") as out:
        out.write(png(pixels))
    return 0


if __name__ == "__main__":
    sys.exit(main())
