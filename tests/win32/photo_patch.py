"""Writes an XWD of the X screen it is given with a photo-like patch in it: every pixel of the
patch its colour give or take a little noise, so it has far more than 256 colours and a VNC server
sends it as JPEG where the viewer allows. xwud then shows it over the whole desktop.
  photo_patch.py IN.xwd OUT.xwd X Y WIDTH HEIGHT RRGGBB"""
import random
import struct
import sys


def main(src, dst, x0, y0, width, height, colour):
    data = bytearray(open(src, "rb").read())
    fields = struct.unpack(">25I", data[:100])
    header_size, byte_order, bits_per_pixel, bytes_per_line, ncolours = (
        fields[0], fields[7], fields[11], fields[12], fields[19])
    if bits_per_pixel != 32:
        sys.exit("photo_patch: %d bits per pixel, not 32" % bits_per_pixel)
    start = header_size + ncolours * 12
    pack = "<I" if byte_order == 0 else ">I"
    base = int(colour, 16)
    rng = random.Random(5)
    for y in range(int(y0), int(y0) + int(height)):
        for x in range(int(x0), int(x0) + int(width)):
            pixel = 0
            for shift in (16, 8, 0):
                pixel |= max(0, min(255, (base >> shift & 255) + rng.randint(-4, 4))) << shift
            struct.pack_into(pack, data, start + y * bytes_per_line + x * 4, pixel)
    open(dst, "wb").write(data)


if __name__ == "__main__":
    main(*sys.argv[1:])
