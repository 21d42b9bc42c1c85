#!/usr/bin/env python3
"""Draws the Tessarine Uploader logo into resources/FileVari/Logo.png.

Pure Python (zlib + struct). Shapes are polygons filled with a scanline
rasteriser: 16 sub-scanlines per pixel row and exact horizontal coverage give
clean anti-aliased edges. The output is byte-for-byte reproducible.
draw_icon.py imports the rasteriser, the PNG writer and the mark from here.
"""
import os
import struct
import sys
import zlib

SUB = 16  # sub-scanlines per pixel row


def ccw(poly):
    """Returns the polygon with a positive signed area so unions stay filled."""
    area = sum(x0 * y1 - x1 * y0 for (x0, y0), (x1, y1) in zip(poly, poly[1:] + poly[:1]))
    return poly if area >= 0 else poly[::-1]


def coverage(polys, w, h):
    """Rasterises the union of polygons (nonzero rule) into a w*h coverage list."""
    edges = []
    for poly in polys:
        for (x0, y0), (x1, y1) in zip(poly, poly[1:] + poly[:1]):
            if y0 != y1:
                edges.append((x0, y0, x1, y1, 1) if y0 < y1 else (x1, y1, x0, y0, -1))
    cov = [0.0] * (w * h)
    if not edges:
        return cov
    top = max(0, int(min(e[1] for e in edges)))
    bottom = min(h, int(max(e[3] for e in edges)) + 1)
    for row in range(top, bottom):
        for s in range(SUB):
            y = row + (s + 0.5) / SUB
            xs = sorted((x0 + (y - y0) * (x1 - x0) / (y1 - y0), d)
                        for x0, y0, x1, y1, d in edges if y0 <= y < y1)
            wind = 0
            for i, (x, d) in enumerate(xs):
                wind += d
                if wind and i + 1 < len(xs):
                    add_span(cov, row * w, w, x, xs[i + 1][0])
    return cov


def add_span(cov, base, w, xa, xb):
    xa, xb = max(xa, 0.0), min(xb, float(w))
    px = int(xa)
    while px < xb and px < w:
        cov[base + px] += (min(xb, px + 1) - max(xa, px)) / SUB
        px += 1


class Canvas:
    """Straight-alpha RGBA canvas, layers are composited with 'over'."""

    def __init__(self, w, h):
        self.w, self.h = w, h
        self.px = [(0.0, 0.0, 0.0, 0.0)] * (w * h)

    def fill(self, polys, paint):
        """paint is an (r, g, b) tuple in 0..1 or a function (x, y) -> (r, g, b)."""
        cov = coverage([ccw(p) for p in polys], self.w, self.h)
        for i, c in enumerate(cov):
            if c <= 0.0:
                continue
            a = min(c, 1.0)
            y, x = divmod(i, self.w)
            r, g, b = paint(x + 0.5, y + 0.5) if callable(paint) else paint
            dr, dg, db, da = self.px[i]
            oa = a + da * (1.0 - a)
            k = da * (1.0 - a)
            self.px[i] = ((r * a + dr * k) / oa, (g * a + dg * k) / oa, (b * a + db * k) / oa, oa)

    def rgba_bytes(self):
        out = bytearray()
        for r, g, b, a in self.px:
            out += bytes(int(round(min(max(v, 0.0), 1.0) * 255)) for v in (r, g, b, a))
        return bytes(out)


def png_bytes(w, h, rgba):
    """Encodes 8-bit RGBA rows as a non-interlaced PNG (colour type 6)."""
    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))
    stride = w * 4
    raw = b"".join(b"\0" + rgba[y * stride:(y + 1) * stride] for y in range(h))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def hexrgb(s):
    return tuple(int(s[i:i + 2], 16) / 255.0 for i in (0, 2, 4))


def gradient(c0, c1, x0, x1):
    """Horizontal linear gradient between two colours."""
    def paint(x, _y):
        t = min(max((x - x0) / (x1 - x0), 0.0), 1.0)
        return tuple(a + (b - a) * t for a, b in zip(c0, c1))
    return paint


CYAN, GREEN = hexrgb("27c3e8"), hexrgb("2ee59d")


def draw_mark(cv, x, y, size):
    """The tesseract mark: four facets framing an inner square, seen face on.
    Straight edges land on whole pixels so small icon sizes stay crisp."""
    gap = max(1, round(0.035 * size))
    inner = round(0.29 * size)  # inner edge of the frame facets
    d = gap / 2 ** 0.5  # offset along x that opens a diagonal gap of "gap" pixels
    top = [(d, 0), (size - d, 0), (size - inner - d, inner), (inner + d, inner)]
    colours = ["5fb8ff", "23c7b4", "1fa36f", "2f7cf6"]  # top, right, bottom, left
    for colour in colours:
        cv.fill([[(x + u, y + v) for u, v in top]], hexrgb(colour))
        top = [(size - v, u) for u, v in top]  # quarter turn clockwise
    a, b = inner + gap, size - inner - gap
    core = [(x + a, y + a), (x + b, y + a), (x + b, y + b), (x + a, y + b)]
    cv.fill([core], gradient(CYAN, GREEN, x + a, x + b))


def _glyphs(w, c=0.16):
    """Stroke font: centre lines in a box w wide and one unit high, y pointing
    down; c is the size of the chamfered corners."""
    return {
        "T": [[(0, 0), (w, 0)], [(w / 2, 0), (w / 2, 1)]],
        "E": [[(w, 0), (c, 0), (0, c), (0, 1 - c), (c, 1), (w, 1)], [(0, 0.5), (w * 0.82, 0.5)]],
        "S": [[(w, 0), (c, 0), (0, c), (0, 0.5 - c * 0.7), (c * 0.7, 0.5), (w - c * 0.7, 0.5),
               (w, 0.5 + c * 0.7), (w, 1 - c), (w - c, 1), (0, 1)]],
        "A": [[(0, 1), (0, c), (c, 0), (w - c, 0), (w, c), (w, 1)], [(0, 0.56), (w, 0.56)]],
        "R": [[(0, 1), (0, 0), (w - c, 0), (w, c), (w, 0.54 - c * 0.7), (w - c * 0.7, 0.54), (0, 0.54)],
              [(w * 0.5, 0.54), (w, 1)]],
        "I": [[(0, 0), (0, 1)]],
        "N": [[(0, 1), (0, 0)], [(0, 0), (w, 1)], [(w, 1), (w, 0)]],
        "U": [[(0, 0), (0, 1 - c), (c, 1), (w - c, 1), (w, 1 - c), (w, 0)]],
        "P": [[(0, 1), (0, 0), (w - c, 0), (w, c), (w, 0.54 - c * 0.7), (w - c * 0.7, 0.54), (0, 0.54)]],
        "L": [[(0, 0), (0, 1), (w, 1)]],
        "O": [[(c, 0), (w - c, 0), (w, c), (w, 1 - c), (w - c, 1), (c, 1), (0, 1 - c), (0, c), (c, 0)]],
        "D": [[(0, 0), (w - c, 0), (w, c), (w, 1 - c), (w - c, 1), (0, 1), (0, 0)]],
    }


def stroke(path, r, caps=(True, True)):
    """Polygons covering a polyline of half-width r, with mitred joins (the
    font never turns sharper than 90 degrees). caps chooses square (True) or
    butt ends for an open path; a closed path repeats its first point at the end."""
    polys, dirs = [], []
    closed = path[0] == path[-1]
    for k, ((x0, y0), (x1, y1)) in enumerate(zip(path, path[1:])):
        ln = ((x1 - x0) ** 2 + (y1 - y0) ** 2) ** 0.5
        dx, dy = (x1 - x0) / ln, (y1 - y0) / ln
        if not closed and k == 0 and caps[0]:  # a square cap runs on by r
            x0, y0 = x0 - dx * r, y0 - dy * r
        if not closed and k == len(path) - 2 and caps[1]:
            x1, y1 = x1 + dx * r, y1 + dy * r
        nx, ny = -dy * r, dx * r
        polys.append([(x0 + nx, y0 + ny), (x1 + nx, y1 + ny), (x1 - nx, y1 - ny), (x0 - nx, y0 - ny)])
        dirs.append((dx, dy))
    joins = list(zip(path[1:-1], dirs, dirs[1:]))
    if closed:
        joins.append((path[0], dirs[-1], dirs[0]))
    for (px, py), (ax, ay), (bx, by) in joins:
        turn = ax * by - ay * bx
        if abs(turn) < 1e-9:
            continue
        side = -1.0 if turn > 0 else 1.0  # outer side of the corner
        n1, n2 = (-ay * side, ax * side), (-by * side, bx * side)
        k = r / (1 + n1[0] * n2[0] + n1[1] * n2[1])  # mitre length r / cos(theta / 2)
        m = (px + (n1[0] + n2[0]) * k, py + (n1[1] + n2[1]) * k)
        polys.append([(px, py), (px + n1[0] * r, py + n1[1] * r), m, (px + n2[0] * r, py + n2[1] * r)])
    return polys


def clip(poly, x0, y0, x1, y1):
    """Clips a polygon to a rectangle, one edge of the rectangle at a time."""
    for axis, bound, keep_above in ((0, x0, True), (0, x1, False), (1, y0, True), (1, y1, False)):
        inside = (lambda p: p[axis] >= bound) if keep_above else (lambda p: p[axis] <= bound)
        out = []
        for p, q in zip(poly, poly[1:] + poly[:1]):
            if inside(p):
                out.append(p)
            if inside(p) != inside(q):
                f = (bound - p[axis]) / (q[axis] - p[axis])
                out.append((p[0] + (q[0] - p[0]) * f, p[1] + (q[1] - p[1]) * f))
        poly = out
        if not poly:
            break
    return poly


def text_polys(text, x, y, height, width_ratio, weight, tracking):
    """Polygons for text with its cap box's top-left at (x, y); returns (polys, right edge).
    Ends on the edge of a glyph's box are squared off and clipped to the box,
    so diagonals end flat on the baseline; ends inside the glyph stay butt."""
    t = weight  # stroke width in cap-height units
    polys, pen = [], x
    for ch in text:
        w = 0.0 if ch == "I" else (width_ratio - t) / (1 - t)  # centre-line width
        advance = (w * (1 - t) + t) * height
        for path in _glyphs(w)[ch]:
            caps = tuple(u in (0, w) or v in (0, 1) for u, v in (path[0], path[-1]))
            pts = [(pen + (t / 2 + u * (1 - t)) * height, y + (t / 2 + v * (1 - t)) * height) for u, v in path]
            for poly in stroke(pts, t * height / 2, caps):
                poly = clip(poly, pen, y, pen + advance, y + height)
                if poly:
                    polys.append(poly)
        pen += advance + tracking * height
    return polys, pen - tracking * height


def draw_logo(w=612, h=103):
    cv = Canvas(w, h)
    mark, gap, cap = h - 12, 22, 58
    _, text_w = text_polys("TESSARINE", 0, 0, cap, 0.78, 0.17, 0.2)
    x0 = round((w - mark - gap - text_w) / 2)  # centre the whole composition
    draw_mark(cv, x0, 6, mark)
    left = x0 + mark + gap
    title, right = text_polys("TESSARINE", left, 7, cap, 0.78, 0.17, 0.2)
    cv.fill(title, gradient(hexrgb("5fb8ff"), GREEN, left, right))
    sub, _ = text_polys("UPLOADER", left + 1, 78, 18, 0.78, 0.2, 0.9)
    cv.fill(sub, hexrgb("a9bfd6"))
    return cv


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    cv = draw_logo()
    write_file(os.path.join(root, "resources", "FileVari", "Logo.png"), png_bytes(cv.w, cv.h, cv.rgba_bytes()))


if __name__ == "__main__":
    main()
