#!/usr/bin/env python3
"""Converts the driver's screenshots (24-bit BMP, as its "shot" step writes
them) to PNG beside them, for viewers that show no BMP: bmp_to_png.py FILE.bmp..."""
import struct
import sys
import zlib


def convert(path):
    data = open(path, "rb").read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    if data[:2] != b"BM" or bits != 24:
        sys.exit(f"{path}: not a 24-bit BMP")
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(abs(height)):
        # Bottom-up unless the height is negative; pixels are blue, green, red.
        row = data[offset + (abs(height) - 1 - y if height > 0 else y) * stride:][: width * 3]
        rgb = bytearray(row)
        rgb[0::3], rgb[2::3] = row[2::3], row[0::3]
        rows.append(b"\0" + bytes(rgb))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, abs(height), 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
    open(path[: -len(".bmp")] + ".png", "wb").write(png)


for name in sys.argv[1:]:
    convert(name)
