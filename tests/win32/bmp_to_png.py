#!/usr/bin/env python3
"""Converts an uncompressed 24- or 32-bit BMP (as the test driver writes
its screenshots) to PNG, with the standard library only.

    bmp_to_png.py IN.bmp OUT.png
"""
import struct
import sys
import zlib


def convert(src, dst):
    data = open(src, "rb").read()
    if data[:2] != b"BM":
        raise SystemExit(f"{src}: not a BMP")
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    if bits not in (24, 32):
        raise SystemExit(f"{src}: {bits}-bit BMP not supported")
    step = bits // 8
    stride = (width * step + 3) // 4 * 4
    bottom_up = height > 0
    height = abs(height)
    raw = bytearray()
    for y in range(height):
        row = height - 1 - y if bottom_up else y
        start = offset + row * stride
        raw.append(0)
        for x in range(width):
            b, g, r = data[start + x * step:start + x * step + 3]
            raw += bytes((r, g, b))

    def chunk(tag, body):
        return struct.pack(">I", len(body)) + tag + body + struct.pack(">I", zlib.crc32(tag + body))

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    open(dst, "wb").write(png)


if __name__ == "__main__":
    convert(sys.argv[1], sys.argv[2])
