#!/usr/bin/env python3
"""Draws the Tessarine Uploader program icon from the logo's mark.

Writes resources/tessarine-uploader.ico (16 and 32 px as 8-bit palettised
DIBs, 48 px as a 32-bit DIB with alpha, 256 px as PNG) and the hicolor PNGs
under resources/icons/. Each size is drawn from the vectors, not scaled
down, so the small sizes stay sharp. Output is byte-for-byte reproducible.
"""
import os
import struct
import sys

from draw_logo import Canvas, draw_mark, png_bytes, write_file

SIZES = (16, 32, 48, 256)


def render(size):
    """Returns the icon as RGBA bytes, rows top-down."""
    cv = Canvas(size, size)
    margin = 0 if size <= 16 else size // 16
    draw_mark(cv, margin, margin, size - 2 * margin)
    return cv.rgba_bytes()


def and_mask(size, rgba):
    """1-bit mask, bottom-up, rows padded to 4 bytes; a set bit is transparent."""
    stride = (size + 31) // 32 * 4
    out = bytearray()
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            if rgba[(y * size + x) * 4 + 3] < 128:
                row[x // 8] |= 0x80 >> (x % 8)
        out += row
    return bytes(out)


def bitmap_header(size, bpp, image_bytes):
    # The height covers the colour bitmap and the AND mask stacked together.
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, image_bytes, 0, 0, 0, 0)


def dib_8bit(size, rgba):
    """Palettised DIB. The mark is drawn in flat colours, so the opaque pixels
    use only a handful of colours and the palette holds each one exactly.
    Entry 0 is black, for the transparent pixels the AND mask lets through."""
    pixels = [tuple(rgba[i:i + 3]) for i in range(0, len(rgba), 4)]
    opaque = [a >= 128 for a in rgba[3::4]]
    pal = [(0, 0, 0)] + sorted({p for p, o in zip(pixels, opaque) if o})
    if len(pal) > 256:
        sys.exit("draw_icon: the %d px icon needs %d colours, more than a 256-colour palette holds"
                 % (size, len(pal)))
    index = {c: k for k, c in enumerate(pal) if k}
    stride = (size + 3) // 4 * 4
    xor = bytearray()
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            i = y * size + x
            row[x] = index[pixels[i]] if opaque[i] else 0
        xor += row
    mask = and_mask(size, rgba)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in pal + [(0, 0, 0)] * (256 - len(pal)))
    return bitmap_header(size, 8, len(xor) + len(mask)) + table + bytes(xor) + mask


def dib_32bit(size, rgba):
    xor = bytearray()
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b, a = rgba[(y * size + x) * 4:(y * size + x) * 4 + 4]
            xor += bytes((b, g, r, a))
    mask = and_mask(size, rgba)
    return bitmap_header(size, 32, len(xor) + len(mask)) + bytes(xor) + mask


def ico_bytes(images):
    """images: list of (size, bit count, payload) in directory order."""
    offset = 6 + 16 * len(images)
    head, body = struct.pack("<HHH", 0, 1, len(images)), b""
    for size, bpp, data in images:
        dim = size if size < 256 else 0  # 0 stands for 256 in the directory
        head += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, bpp, len(data), offset + len(body))
        body += data
    return head + body


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    res = os.path.join(root, "resources")
    art = {size: render(size) for size in SIZES}
    for size, rgba in art.items():
        path = os.path.join(res, "icons", "hicolor", "%dx%d" % (size, size), "apps", "tessarine-uploader.png")
        write_file(path, png_bytes(size, size, rgba))
    write_file(os.path.join(res, "tessarine-uploader.ico"), ico_bytes([
        (16, 8, dib_8bit(16, art[16])),
        (32, 8, dib_8bit(32, art[32])),
        (48, 32, dib_32bit(48, art[48])),
        (256, 32, png_bytes(256, 256, art[256])),
    ]))


if __name__ == "__main__":
    main()
