#!/usr/bin/env python3
"""A viewer's side of one session through the directory server, in wire bytes.

Sends `view NAME`, expects `ok`, then speaks RFB 3.8 through the relay: security None, or
VeNCrypt (19) with X509None (260) and no anonymous subtype (257-259: TLS without a certificate),
and TLS that trusts only the given CA and checks the certificate against NAME; ClientInit,
SetPixelFormat 32 bpp (red shift 16, green 8, blue 0), SetEncodings Raw, and one
FramebufferUpdateRequest for a small area away from the centre, where x11vnc draws its cursor.
Prints the colour of the pixel at (12, 12).

  rfb_view.py HOST PORT NAME [--ca CA.pem] [--expect COLOUR] [--expect-error REASON]
                             [--expect-tls-refused]
Exit status 0 when what was expected happened, 1 otherwise (with the reason on stderr).
"""
import argparse
import socket
import ssl
import struct
import sys

NONE, VENCRYPT, X509_NONE = 1, 19, 260
ANONYMOUS = {257, 258, 259}  # TLSNone, TLSVnc, TLSPlain: anonymous Diffie-Hellman
AREA = (10, 10, 16, 16)
PIXEL = (12, 12)


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def read_exactly(conn, count):
    data = b""
    while len(data) < count:
        chunk = conn.recv(count - len(data))
        if not chunk:
            fail("connection closed after %r" % data[:80])
        data += chunk
    return data


def expect(conn, want, what):
    if read_exactly(conn, len(want)) != want:
        fail(what)


def vencrypt(conn, ca, hostname, expect_refused):
    conn.sendall(bytes([VENCRYPT]))
    expect(conn, b"\0\2", "not VeNCrypt 0.2")
    conn.sendall(b"\0\2")
    expect(conn, b"\0", "VeNCrypt 0.2 not accepted")
    subtypes = [struct.unpack(">I", read_exactly(conn, 4))[0] for _ in range(read_exactly(conn, 1)[0])]
    if X509_NONE not in subtypes or set(subtypes) & ANONYMOUS:
        fail("VeNCrypt subtypes %r: want X509None and no anonymous one" % subtypes)
    conn.sendall(struct.pack(">I", X509_NONE))
    expect(conn, b"\1", "X509None not accepted")
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)  # verifies the chain and the name
    context.load_verify_locations(cafile=ca)
    try:
        tls = context.wrap_socket(conn, server_hostname=hostname)
    except ssl.SSLCertVerificationError as error:
        if expect_refused:
            print("ok: certificate refused for %s: %s" % (hostname, error.verify_message))
            sys.exit(0)
        fail("certificate refused: %s" % error)
    if expect_refused:
        fail("a certificate was accepted for %s" % hostname)
    return tls


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("host")
    parser.add_argument("port", type=int)
    for arg in ("name", "--ca", "--expect", "--expect-error"):
        parser.add_argument(arg)
    parser.add_argument("--expect-tls-refused", action="store_true")
    args = parser.parse_args()

    conn = socket.create_connection((args.host, args.port), timeout=30)
    conn.sendall(b"view %s\n" % args.name.encode())
    reply = b""
    while not reply.endswith(b"\n"):
        reply += read_exactly(conn, 1)
    if args.expect_error:
        if reply != b"error %s\n" % args.expect_error.encode():
            fail("expected error %s, got %r" % (args.expect_error, reply))
        if conn.recv(1) != b"":
            fail("the connection stayed open after the error")
        print("ok: %r" % reply)
        return
    if reply != b"ok\n":
        fail("view answered %r" % reply)
    expect(conn, b"RFB 003.008\n", "server version not 3.8")
    conn.sendall(b"RFB 003.008\n")
    types = list(read_exactly(conn, read_exactly(conn, 1)[0]))
    if args.ca:
        if VENCRYPT not in types:
            fail("security types %r lack VeNCrypt" % types)
        conn = vencrypt(conn, args.ca, args.name, args.expect_tls_refused)
    else:
        if NONE not in types:
            fail("security types %r lack None" % types)
        conn.sendall(bytes([NONE]))
    expect(conn, b"\0\0\0\0", "security failed")
    conn.sendall(b"\1")  # ClientInit, shared
    width, height = struct.unpack(">HH", read_exactly(conn, 4))
    read_exactly(conn, 16)
    read_exactly(conn, struct.unpack(">I", read_exactly(conn, 4))[0])
    conn.sendall(struct.pack(">B3xBBBBHHHBBB3x", 0, 32, 24, 0, 1, 255, 255, 255, 16, 8, 0))
    conn.sendall(struct.pack(">BxHi", 2, 1, 0))
    conn.sendall(struct.pack(">BBHHHH", 3, 0, *AREA))
    while (kind := read_exactly(conn, 1)[0]) != 0:  # until a FramebufferUpdate
        if kind == 3:  # ServerCutText
            read_exactly(conn, 3)
            read_exactly(conn, struct.unpack(">I", read_exactly(conn, 4))[0])
        elif kind != 2:  # not a Bell either
            fail("unexpected server message %d" % kind)
    read_exactly(conn, 1)
    found = None
    for _ in range(struct.unpack(">H", read_exactly(conn, 2))[0]):
        x, y, w, h, encoding = struct.unpack(">HHHHi", read_exactly(conn, 12))
        if encoding != 0:
            fail("rectangle in encoding %d, not Raw" % encoding)
        pixels = read_exactly(conn, w * h * 4)
        px, py = PIXEL
        if x <= px < x + w and y <= py < y + h:
            at = ((py - y) * w + (px - x)) * 4
            blue, green, red = pixels[at], pixels[at + 1], pixels[at + 2]
            found = "%02x%02x%02x" % (red, green, blue)
    if found is None:
        fail("no rectangle held the pixel %r" % (PIXEL,))
    print("ok: %dx%d desktop, pixel %r is #%s" % (width, height, PIXEL, found))
    if args.expect and found != args.expect.lower():
        fail("expected #%s" % args.expect)


if __name__ == "__main__":
    main()
