#!/usr/bin/env python3
"""Checks the layout of the program icon and the logo.

Usage: check_icon.py <repo-root>

The .ico must hold 16 and 32 px palettised DIBs, a 48 px 32-bit DIB and a
256 px PNG, in that order; the logo must be a 612x103 RGBA PNG. Sizes of every
block are recomputed from the headers, so a wrong row padding or a missing
AND mask is reported too.
"""
import os
import struct
import sys
import zlib

PNG_SIG = b"\x89PNG\r\n\x1a\n"


class Bad(Exception):
    pass


def expect(cond, msg):
    if not cond:
        raise Bad(msg)


def png_info(data, what):
    """Returns (width, height, bit depth, colour type, interlace, image data) after checking CRCs."""
    expect(data[:8] == PNG_SIG, "%s: no PNG signature" % what)
    pos, ihdr, idat = 8, None, b""
    while pos + 12 <= len(data):
        n, tag = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        crc, = struct.unpack(">I", data[pos + 8 + n:pos + 12 + n])
        expect(zlib.crc32(tag + body) == crc, "%s: bad CRC in %r chunk" % (what, tag))
        if tag == b"IHDR":
            ihdr = struct.unpack(">IIBBBBB", body)
        elif tag == b"IDAT":
            idat += body
        elif tag == b"IEND":
            break
        pos += 12 + n
    expect(ihdr is not None, "%s: no IHDR chunk" % what)
    w, h, depth, colour, _, _, interlace = ihdr
    return w, h, depth, colour, interlace, idat


def check_rgba_png(data, size, what):
    w, h, depth, colour, interlace, idat = png_info(data, what)
    expect((w, h) == size, "%s: %dx%d, expected %dx%d" % (what, w, h, size[0], size[1]))
    expect(depth == 8 and colour == 6, "%s: bit depth %d colour type %d, expected 8-bit RGBA (6)"
           % (what, depth, colour))
    expect(interlace == 0, "%s: interlaced" % what)
    raw = zlib.decompress(idat)
    expect(len(raw) == h * (1 + w * 4), "%s: image data is %d bytes, expected %d" % (what, len(raw), h * (1 + w * 4)))


def check_dib(data, size, bpp, what):
    expect(len(data) >= 40, "%s: truncated bitmap header" % what)
    hsize, w, h, planes, bits, compression, _, _, _, used, _ = struct.unpack("<IiiHHIIiiII", data[:40])
    expect(hsize == 40, "%s: header size %d, expected 40" % (what, hsize))
    expect(w == size and h == 2 * size, "%s: DIB is %dx%d, expected %dx%d (colour bitmap + AND mask)"
           % (what, w, h, size, 2 * size))
    expect(planes == 1 and bits == bpp and compression == 0,
           "%s: planes %d, %d bpp, compression %d; expected 1, %d, 0" % (what, planes, bits, compression, bpp))
    colours = (used or 256) if bpp == 8 else 0
    xor_stride = (size * bpp + 31) // 32 * 4
    mask_stride = (size + 31) // 32 * 4
    mask_at = 40 + 4 * colours + xor_stride * size
    expected = mask_at + mask_stride * size
    expect(len(data) == expected, "%s: %d bytes, expected %d for %d colours, padded rows and an AND mask"
           % (what, len(data), expected, colours))
    # The mark fills the middle of the icon: its centre must not be masked out.
    row = mask_at + (size - 1 - size // 2) * mask_stride  # rows are stored bottom-up
    expect(not data[row + size // 16] & (0x80 >> (size // 2 % 8)), "%s: centre pixel is transparent" % what)


def check_ico(data):
    expect(len(data) >= 6, "icon: file too short")
    reserved, kind, count = struct.unpack("<HHH", data[:6])
    expect(reserved == 0 and kind == 1, "icon: not a Windows icon file")
    expect(count == 4, "icon: %d images, expected 4" % count)
    wanted = [(16, 8), (32, 8), (48, 32), (256, 32)]
    end_of_dir = 6 + 16 * count
    for k, (size, bpp) in enumerate(wanted):
        w, h, _, _, planes, bits, length, offset = struct.unpack("<BBBBHHII", data[6 + 16 * k:22 + 16 * k])
        w, h = w or 256, h or 256
        what = "icon image %d (%dx%d)" % (k + 1, size, size)
        expect((w, h) == (size, size), "%s: directory says %dx%d" % (what, w, h))
        expect(bits == bpp, "%s: directory bit count %d, expected %d" % (what, bits, bpp))
        expect(planes in (0, 1), "%s: directory says %d planes" % (what, planes))
        expect(offset >= end_of_dir and offset + length <= len(data), "%s: data lies outside the file" % what)
        image = data[offset:offset + length]
        if size == 256:
            check_rgba_png(image, (256, 256), what)
        else:
            check_dib(image, size, bpp, what)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: check_icon.py <repo-root>")
    res = os.path.join(sys.argv[1], "resources")
    try:
        with open(os.path.join(res, "tessarine-uploader.ico"), "rb") as f:
            check_ico(f.read())
        with open(os.path.join(res, "FileVari", "Logo.png"), "rb") as f:
            check_rgba_png(f.read(), (612, 103), "Logo.png")
        for size in (16, 32, 48, 256):
            name = "%dx%d" % (size, size)
            with open(os.path.join(res, "icons", "hicolor", name, "apps", "tessarine-uploader.png"), "rb") as f:
                check_rgba_png(f.read(), (size, size), "hicolor %s icon" % name)
    except (Bad, OSError, struct.error, zlib.error) as e:
        sys.exit("FAIL: %s" % e)
    print("icon and logo OK")


if __name__ == "__main__":
    main()
