#!/usr/bin/env python3
"""Draw the Tarvex application icon and write the Windows .ico files.

Pure Python 3 standard library; no imaging packages needed.  The output is
fully deterministic, so rerunning the script reproduces the committed files
byte for byte.

    python3 res/make_icons.py          # writes res/tarvex.ico, res/tarvex_large.ico

Picture: a small black chart screen in a grey rounded bezel, with a faint
grid and three bright traces in the program's channel colours (red, green,
yellow).  Large sizes are anti-aliased; 16x16 and the 16-colour images are
drawn pixel-exact so they stay legible.

Files written:
  tarvex.ico        (resource 108, small class icon): 48x48 @ 8 and 32 bpp,
                    32x32 @ 4, 8 and 24 bpp, 16x16 @ 4, 8 and 32 bpp.
  tarvex_large.ico  (resource 129, large class icon): 32x32 @ 4 bpp.

Each image is stored in BMP form: BITMAPINFOHEADER (biHeight = 2 * height),
palette for <= 8 bpp, bottom-up XOR bitmap with rows padded to 4 bytes, then
the 1-bpp AND mask (1 = transparent).
"""

import math
import os
import struct
import sys

# --------------------------------------------------------------------------
# Colours
# --------------------------------------------------------------------------

# The standard 16-colour VGA palette, in Windows index order.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]

# Full-colour scheme (matches the chart's channel colours).
TRUE = {
    "outline": (38, 38, 42),
    "frame_top": (214, 214, 218),
    "frame_bot": (140, 140, 146),
    "bevel_in": (92, 92, 96),       # inner shadow around the screen
    "screen": (0, 0, 0),
    "grid": (54, 54, 54),
    "red": (255, 0, 0),
    "green": (0, 255, 0),
    "yellow": (240, 240, 50),
}

# 16-colour scheme: every entry is an exact VGA colour.
VGA = {
    "outline": (0, 0, 0),
    "frame_top": (255, 255, 255),
    "frame": (192, 192, 192),
    "frame_bot": (128, 128, 128),
    "bevel_in": (128, 128, 128),
    "screen": (0, 0, 0),
    "grid": (128, 128, 128),        # drawn dotted so it reads as faint
    "red": (255, 0, 0),
    "green": (0, 255, 0),
    "yellow": (255, 255, 0),
}

# --------------------------------------------------------------------------
# Geometry per icon size (pixel units; pixel (x, y) covers [x, x+1) x [y, y+1))
# --------------------------------------------------------------------------

LAYOUT = {
    48: dict(body=(1, 1, 47, 47), radius=7.0, screen=(6, 6, 42, 42),
             screen_radius=2.0, ring=True, grid=6, trace_w=2.0),
    32: dict(body=(0, 0, 32, 32), radius=5.0, screen=(4, 4, 28, 28),
             screen_radius=1.5, ring=True, grid=4, trace_w=1.25),
    16: dict(body=(0, 0, 16, 16), radius=3.0, screen=(2, 2, 14, 14),
             screen_radius=0.0, ring=False, grid=2, trace_w=1.0),
}


def trace_red(t):
    """Fast oscillation in the upper third (e.g. a sensor voltage)."""
    return 0.25 + 0.13 * math.sin(2 * math.pi * (1.6 * t + 0.05))


def trace_green(t):
    """Engine speed rising then levelling off, middle band."""
    return 0.62 - 0.22 * (1 - math.exp(-3.2 * t)) + 0.05 * math.sin(2 * math.pi * 2.2 * t)


def trace_yellow(t):
    """Slow step-like signal near the bottom."""
    s = 1 / (1 + math.exp(-(t - 0.55) * 22))
    return 0.86 - s / 6


TRACES = [("yellow", trace_yellow), ("green", trace_green), ("red", trace_red)]

# --------------------------------------------------------------------------
# Canvas (premultiplied RGBA floats, 0..1)
# --------------------------------------------------------------------------


class Canvas:
    def __init__(self, size):
        self.size = size
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(size * size)]

    def paint(self, x, y, colour, cover):
        if cover <= 0 or not (0 <= x < self.size and 0 <= y < self.size):
            return
        cover = min(cover, 1.0)
        p = self.px[y * self.size + x]
        r, g, b = (c / 255.0 for c in colour)
        k = 1.0 - cover
        p[0] = r * cover + p[0] * k
        p[1] = g * cover + p[1] * k
        p[2] = b * cover + p[2] * k
        p[3] = cover + p[3] * k

    def rgba(self, x, y):
        """Straight (non-premultiplied) 8-bit RGBA."""
        r, g, b, a = self.px[y * self.size + x]
        if a <= 0:
            return (0, 0, 0, 0)
        return (min(255, int(r / a * 255 + 0.5)), min(255, int(g / a * 255 + 0.5)),
                min(255, int(b / a * 255 + 0.5)), min(255, int(a * 255 + 0.5)))


def in_round_rect(px, py, rect, radius):
    x0, y0, x1, y1 = rect
    if px < x0 or px >= x1 or py < y0 or py >= y1:
        return False
    if radius <= 0:
        return True
    cx = min(max(px, x0 + radius), x1 - radius)
    cy = min(max(py, y0 + radius), y1 - radius)
    return (px - cx) ** 2 + (py - cy) ** 2 <= radius * radius


def coverage(fn, x, y, ss):
    """Fraction of pixel (x, y) inside shape fn, sampled on an ss x ss grid."""
    hit = 0
    for j in range(ss):
        for i in range(ss):
            if fn(x + (i + 0.5) / ss, y + (j + 0.5) / ss):
                hit += 1
    return hit / (ss * ss)


def fill_shape(cv, fn, colour_at, ss):
    for y in range(cv.size):
        for x in range(cv.size):
            c = coverage(fn, x, y, ss)
            if c > 0:
                cv.paint(x, y, colour_at(x, y), c)


def lerp(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


def seg_dist2(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    l2 = dx * dx + dy * dy
    t = 0.0 if l2 == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / l2))
    qx, qy = ax + t * dx - px, ay + t * dy - py
    return qx * qx + qy * qy


# --------------------------------------------------------------------------
# Drawing
# --------------------------------------------------------------------------


def draw(size, scheme, smooth):
    """Render the icon at `size`.  smooth=True: 4x4 supersampled edges and
    anti-aliased traces.  smooth=False: pixel-exact, one sample per pixel."""
    L = LAYOUT[size]
    col = scheme
    cv = Canvas(size)
    ss = 4 if smooth else 1
    bx0, by0, bx1, by1 = L["body"]
    sx0, sy0, sx1, sy1 = L["screen"]
    r = L["radius"]

    # Bezel: dark outline, then a vertically shaded grey frame.
    fill_shape(cv, lambda px, py: in_round_rect(px, py, L["body"], r),
               lambda x, y: col["outline"], ss)
    inner = (bx0 + 1, by0 + 1, bx1 - 1, by1 - 1)
    ins = lambda x, y: in_round_rect(x + 0.5, y + 0.5, inner, r - 1)
    if "frame" in col:
        # Flat face with a one-pixel highlight (top/left) and shadow
        # (bottom/right), the classic 16-colour look.
        bevel = (sx0 - bx0 - 1 - (1 if L["ring"] else 0)) >= 3

        def shade(x, y):
            if not bevel:
                return col["frame"]
            if not ins(x - 1, y) or not ins(x, y - 1):
                return col["frame_top"]
            if not ins(x + 1, y) or not ins(x, y + 1):
                return col["frame_bot"]
            return col["frame"]
    else:
        span = max(1, (by1 - by0 - 3))
        shade = lambda x, y: lerp(col["frame_top"], col["frame_bot"], (y - by0 - 1) / span)
    fill_shape(cv, lambda px, py: in_round_rect(px, py, inner, r - 1),
               shade, ss)

    # Inset shadow ring, then the black screen.
    sr = L["screen_radius"]
    if L["ring"]:
        ring = (sx0 - 1, sy0 - 1, sx1 + 1, sy1 + 1)
        fill_shape(cv, lambda px, py: in_round_rect(px, py, ring, sr + 1 if sr else 0),
                   lambda x, y: col["bevel_in"], ss)
    fill_shape(cv, lambda px, py: in_round_rect(px, py, L["screen"], sr),
               lambda x, y: col["screen"], ss)

    # Grid: pixel-aligned lines dividing the screen into `grid` parts.
    n = L["grid"]
    w, h = sx1 - sx0, sy1 - sy0
    xs = [sx0 + round(w * k / n) for k in range(1, n)]
    ys = [sy0 + round(h * k / n) for k in range(1, n)]
    dotted = not smooth or size <= 16
    for y in range(sy0, sy1):
        for x in range(sx0, sx1):
            on = x in xs or y in ys
            if not on:
                continue
            if dotted and (x + y) % 2:
                continue
            if in_round_rect(x + 0.5, y + 0.5, L["screen"], sr):
                cv.paint(x, y, col["grid"], 1.0)

    # Traces.
    margin = 0.5 if size > 16 else 0.0
    for name, fn in TRACES:
        colour = col[name]
        if smooth:
            # Polyline through many samples; coverage = fraction of
            # subsamples within half the line width.
            # Shift the whole trace so its starting level sits on a pixel
            # centre; flat stretches then stay crisp instead of smeared.
            # (Even widths centre on a pixel boundary, odd ones on a centre.)
            y_start = sy0 + fn(0.0) * h
            if round(L["trace_w"]) % 2 == 0:
                snap = round(y_start) - y_start
            else:
                snap = math.floor(y_start) + 0.5 - y_start
            pts = []
            steps = w * 4
            for k in range(steps + 1):
                t = k / steps
                pts.append((sx0 + margin + t * (w - 2 * margin), sy0 + fn(t) * h + snap))
            hw2 = (L["trace_w"] / 2) ** 2
            for y in range(sy0, sy1):
                for x in range(sx0, sx1):
                    near = [(a, b) for a, b in zip(pts, pts[1:])
                            if min(a[0], b[0]) - 2 <= x + 0.5 <= max(a[0], b[0]) + 2]
                    hit = 0
                    for j in range(ss):
                        for i in range(ss):
                            qx, qy = x + (i + 0.5) / ss, y + (j + 0.5) / ss
                            for a, b in near:
                                if seg_dist2(qx, qy, a[0], a[1], b[0], b[1]) <= hw2:
                                    hit += 1
                                    break
                    cv.paint(x, y, colour, hit / (ss * ss))
        else:
            # Column-by-column, 8-connected single-pixel trace.
            prev = None
            for x in range(sx0, sx1):
                t = (x - sx0 + 0.5) / w
                yy = int(math.floor(sy0 + fn(t) * h))
                yy = min(max(yy, sy0), sy1 - 1)
                if prev is None or yy == prev:
                    run = [yy]
                elif yy > prev:
                    run = range(prev + 1, yy + 1)
                else:
                    run = range(yy, prev)
                for y in run:
                    cv.paint(x, y, colour, 1.0)
                prev = yy
    return cv


# --------------------------------------------------------------------------
# Pixel conversion
# --------------------------------------------------------------------------


def to_rgba_grid(cv, alpha_ok):
    """List of rows (top-down) of (r, g, b, a).  Without alpha, pixels are
    either opaque (coverage >= 50%) or fully transparent."""
    rows = []
    for y in range(cv.size):
        row = []
        for x in range(cv.size):
            r, g, b, a = cv.rgba(x, y)
            if not alpha_ok:
                a = 255 if a >= 128 else 0
            if a == 0:
                r = g = b = 0
            row.append((r, g, b, a))
        rows.append(row)
    return rows


def nearest(colour, palette):
    best, best_d = 0, None
    for i, p in enumerate(palette):
        d = sum((colour[k] - p[k]) ** 2 for k in range(3))
        if best_d is None or d < best_d:
            best, best_d = i, d
    return best


def build_palette(rows, limit=256):
    """Palette of the colours used (opaque pixels), in first-seen order.
    If there are too many, channels are coarsened until they fit."""
    def collect(shift):
        seen = {}
        for row in rows:
            for r, g, b, a in row:
                if a:
                    c = ((r >> shift) << shift, (g >> shift) << shift, (b >> shift) << shift)
                    seen.setdefault(c, len(seen))
        return list(seen)

    shift = 0
    pal = collect(shift)
    while len(pal) > limit:
        shift += 1
        pal = collect(shift)
    if (0, 0, 0) not in pal and len(pal) < limit:
        pal.append((0, 0, 0))
    return pal


# --------------------------------------------------------------------------
# ICO encoding
# --------------------------------------------------------------------------


def row_bytes(bits_per_row):
    return ((bits_per_row + 31) // 32) * 4


def encode_image(rows, bpp, palette=None):
    """BITMAPINFOHEADER + palette + XOR bitmap + AND mask."""
    h = len(rows)
    w = len(rows[0])
    xor_stride = row_bytes(w * bpp)
    and_stride = row_bytes(w)

    index_of = {}
    if bpp <= 8:
        def idx(c):
            if c not in index_of:
                index_of[c] = nearest(c, palette)
            return index_of[c]

    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):                      # bottom-up
        line = bytearray()
        if bpp == 32:
            for r, g, b, a in row:
                line += bytes((b, g, r, a))
        elif bpp == 24:
            for r, g, b, a in row:
                line += bytes((b, g, r))
        elif bpp == 8:
            for r, g, b, a in row:
                line.append(idx((r, g, b)) if a else 0)
        elif bpp == 4:
            for i in range(0, w, 2):
                hi = row[i]
                lo = row[i + 1] if i + 1 < w else (0, 0, 0, 0)
                vh = idx(hi[:3]) if hi[3] else 0
                vl = idx(lo[:3]) if lo[3] else 0
                line.append((vh << 4) | vl)
        else:
            raise ValueError(bpp)
        line += bytes(xor_stride - len(line))
        xor += line

        mline = bytearray(and_stride)
        for x, (r, g, b, a) in enumerate(row):
            if a == 0:
                mline[x >> 3] |= 0x80 >> (x & 7)
        mask += mline

    pal_bytes = bytearray()
    if bpp <= 8:
        n = 1 << bpp
        pal = list(palette) + [(0, 0, 0)] * (n - len(palette))
        for r, g, b in pal[:n]:
            pal_bytes += bytes((b, g, r, 0))

    header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, bpp, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(pal_bytes) + bytes(xor) + bytes(mask)


def write_ico(path, images):
    """images: list of (size, bpp, data)."""
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, bpp, data in images:
        colours = 16 if bpp == 4 else 0
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, colours, 0, 1, bpp,
                           len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


def make_image(size, bpp):
    if bpp == 4:
        cv = draw(size, VGA, smooth=False)
        rows = to_rgba_grid(cv, alpha_ok=False)
        return encode_image(rows, 4, VGA16)
    smooth = size > 16
    cv = draw(size, TRUE, smooth=smooth)
    rows = to_rgba_grid(cv, alpha_ok=(bpp == 32))
    if bpp == 8:
        return encode_image(rows, 8, build_palette(rows))
    return encode_image(rows, bpp)


SMALL_SET = [(48, 8), (48, 32), (32, 4), (32, 8), (32, 24), (16, 4), (16, 8), (16, 32)]
LARGE_SET = [(32, 4)]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, entries in (("tarvex.ico", SMALL_SET), ("tarvex_large.ico", LARGE_SET)):
        images = [(s, b, make_image(s, b)) for s, b in entries]
        path = os.path.join(here, name)
        write_ico(path, images)
        print("wrote %s (%d images)" % (path, len(images)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
