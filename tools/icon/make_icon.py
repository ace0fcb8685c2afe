#!/usr/bin/env python3
"""Draws the launcher's icon and writes it as a Windows .ico file, or as a
64x64 PNG for desktop menus when OUTPUT ends in .png.

The mark is a blue monitor on a stand. The icon holds a 16x16 and a 32x32
image, both 32-bit with alpha, stored as DIBs (BITMAPINFOHEADER, bottom-up
rows, XOR image followed by a 1-bit AND mask), which every Windows version
and the resource compiler accept.

    tools/icon/make_icon.py [OUTPUT]     (default: src/launcher/ui/res/launcher.ico)
"""
import os
import struct
import sys
import zlib

FRAME = (0x8C, 0x4E, 0x1F, 0xFF)   # BGRA: dark blue
SCREEN = (0xFF, 0xD3, 0x9F, 0xFF)  # BGRA: light blue
GLARE = (0xFF, 0xEE, 0xDD, 0xFF)
CLEAR = (0, 0, 0, 0)


def draw(size):
    """Rows of BGRA tuples, top row first."""
    u = size / 16.0
    pixels = [[CLEAR] * size for _ in range(size)]

    def fill(x0, y0, x1, y1, colour):
        for y in range(int(round(y0 * u)), int(round(y1 * u))):
            for x in range(int(round(x0 * u)), int(round(x1 * u))):
                pixels[y][x] = colour

    fill(1, 2, 15, 12, FRAME)     # the monitor's case
    fill(2, 3, 14, 11, SCREEN)    # its screen
    fill(3, 4, 6, 5, GLARE)       # a glint in the corner
    fill(6, 12, 10, 14, FRAME)    # the neck
    fill(4, 14, 12, 15, FRAME)    # the foot
    # Round off the case's corners.
    for x, y in ((1, 2), (14, 2), (1, 11), (14, 11)):
        fill(x, y, x + 1, y + 1, CLEAR)
    return pixels


def dib(size):
    pixels = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes(p) for row in reversed(pixels) for p in row)
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + xor + bytes(mask)


def icon(sizes):
    images = [dib(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def png(size):
    """An 8-bit RGBA PNG of the mark drawn at `size` pixels."""
    rows = b"".join(b"\0" + bytes(c for (b, g, r, a) in row for c in (r, g, b, a))
                    for row in draw(size))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def main():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "src", "ui", "res", "launcher.ico")
    with open(target, "wb") as f:
        f.write(png(64) if target.endswith(".png") else icon([16, 32]))


if __name__ == "__main__":
    main()
