import os
import sys

from psrender import Checks, page_point, render

folder = sys.argv[1]
c = Checks()
DPI = 144
X_VSIZE, Y_VSIZE, Y_CH = 17780, 12700, 352  # the PostScript page and character cell
PX = DPI / 2540.0  # pixels per device unit


def at(xn, yn):
    """Pixel of a NORMAL point."""
    x, y = page_point(xn * X_VSIZE, yn * Y_VSIZE)
    return x * DPI / 72.0, y * DPI / 72.0


def ink(img, x0, y0, x1, y1):
    """Bounding box of the dark pixels inside a pixel box, or None."""
    box = img.crop((int(x0), int(y0), int(x1), int(y1))).point(lambda v: 255 if v < 128 else 0).getbbox()
    return box and (box[0] + int(x0), box[1] + int(y0), box[2] + int(x0), box[3] + int(y0))


def row(img, yn, up=60):
    """Ink of the text with its baseline at NORMAL height yn, across the page."""
    py = at(0, yn)[1]
    return ink(img, 0, py - up, img.width, py + up // 4) or (0, 0, 0, 0)


def near(a, b, tol):
    return abs(a - b) <= tol


def afm_width(text, points):
    """Width in NORMAL x units of Helvetica text, from the metric file the font map names."""
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "ps", "font.map")) as f:
        afm = dict(line.split()[:2] for line in f if line.strip() and line[0] != "%")["Helvetica"]
    wx = {}
    for line in open(afm):
        fields = dict(p.split(None, 1) for p in (q.strip() for q in line.split(";")) if " " in p)
        if line.startswith("C ") and "WX" in fields:
            wx[int(fields["C"])] = float(fields["WX"])
    return sum(wx[ord(ch)] for ch in text) / 1000.0 * points * 2540.0 / 72.0 / X_VSIZE


w1, wl, w6, wd, wv = (float(v) for v in open(folder + "/widths.txt").read().split())

# ALIGNMENT 0, 0.5, 1: the same ink, moved back by half and all of its width.
img = render(folder + "/text_align.ps", resolution=DPI)
px = at(0.5, 0)[0]
left, centre, right = (row(img, y) for y in (0.8, 0.6, 0.4))
span = left[2] - left[0]
c.expect(span > 50 and all(near(r[2] - r[0], span, 2) for r in (centre, right)), "ink widths %s" % ((left, centre, right),))
c.expect(px <= left[0] <= px + 8, "left-aligned ink starts at the point: %s vs %.1f" % (left, px))
c.expect(near((centre[0] + centre[2]) / 2.0, px, 2), "centred ink is centred on the point: %s" % (centre,))
c.expect(near(left[0] - px, px - right[2], 2), "right-aligned ink ends at the point: %s" % (right,))
# "HH" continued by XYOUTS,'HH' at the current text position: the ink of one "HHHH".
c.expect(near(row(img, 0.2)[2] - row(img, 0.2)[0], span, 2), "continued text joins up: %s" % (row(img, 0.2),))
c.expect(near(2 * w1 * X_VSIZE * PX, span + 2 * (left[0] - px), 3), "WIDTH of 'HH' is half the advance of 'HHHH'")

# "!C": two lines one line height apart; the width is the widest line's.
img = render(folder + "/text_lines.ps", resolution=DPI)
x0, y0 = at(0.3, 0.7)
bands = []
for y in range(int(y0) - 120, int(y0) + 120):
    if ink(img, x0 - 10, y, x0 + 400, y + 1):
        if bands and y == bands[-1][1] + 1:
            bands[-1][1] = y
        else:
            bands.append([y, y])
c.expect(len(bands) == 2 and near(bands[1][0] - bands[0][0], 2 * Y_CH * PX, 2), "two lines, one apart: %s" % bands)
c.expect(near(wl, w6, 1e-5) and wl > 0, "width of the widest line (%g, %g)" % (wl, w6))

# Levels, in vector and in device fonts: !U raised and smaller, !D lowered, !E raised and
# smaller still, by offsets in units of a 21st of the capitals' height.
img = render(folder + "/text_levels.ps", resolution=DPI)
for yn, kind in ((0.5, "vector"), (0.2, "device")):
    normal, up, down, exp = (ink(img, at(x, yn)[0] - 10, at(x, yn)[1] - 120, at(x, yn)[0] + 60, at(x, yn)[1] + 60)
                             or (0, 0, 0, 0) for x in (0.2, 0.4, 0.6, 0.8))
    h = normal[3] - normal[1]
    s = h / 21.0
    c.expect(h > 20 and near(normal[3] - up[3], 15.2 * s, 3) and near(up[3] - up[1], 0.619 * h, 2),
             "%s !U: %s vs %s" % (kind, up, normal))
    c.expect(near(down[3] - normal[3], 7.961 * s, 3) and down[1] > normal[1], "%s !D: %s vs %s" % (kind, down, normal))
    c.expect(near(normal[3] - exp[3], 14.972 * s, 3) and near(exp[3] - exp[1], 0.444 * h, 2),
             "%s !E: %s vs %s" % (kind, exp, normal))

# ORIENTATION=90: a column rising from the point, left of it; TEXT_AXES=3 (YX): right of it.
img = render(folder + "/text_turned.ps", resolution=DPI)
for xn, edge, what in ((0.5, 2, "turned"), (0.2, 0, "YX text axes")):
    bx, by = at(xn, 0.2)
    col = ink(img, bx - 80, by - 400, bx + 80, by + 20) or (0, 0, 0, 0)
    c.expect(col[3] - col[1] > 4 * (col[2] - col[0]) and near(col[edge], bx, 2) and by - 8 <= col[3] <= by,
             "%s text is a column from the point: %s vs %.1f, %.1f" % (what, col, bx, by))
# T3D: the text follows !P.T (a shift of 0.3 in x).
c.expect(at(0.4, 0)[0] <= row(img, 0.8)[0] <= at(0.4, 0)[0] + 8, "text follows !P.T: %s" % (row(img, 0.8),))

# Device fonts: widths from the metric file, ink where they say, alignment by them.
img = render(folder + "/text_device.ps", resolution=DPI)
c.expect(near(wd, afm_width("Helvetica text", 12), 2e-5), "device width %g is the metric file's" % wd)
c.expect(wv > 0 and not near(wv, wd, 1e-3), "vector text is measured by its strokes (%g, %g)" % (wv, wd))
got = row(img, 0.5, 30)
c.expect(near(got[0], at(0.1, 0)[0], 3) and near(got[2], at(0.1 + wd, 0)[0], 3), "device ink spans its width: %s" % (got,))
got = row(img, 0.7)
c.expect(near(got[2], at(0.9, 0)[0], 3) and near(got[0], at(0.9 - afm_width("WWW", 24), 0)[0], 3),
         "right-aligned device text ends at the point: %s" % (got,))

render(folder + "/text_bad.ps", resolution=36)  # still a valid document
c.finish()
