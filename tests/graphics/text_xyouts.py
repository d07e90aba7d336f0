import os
import sys

from psrender import Checks, page_point, render

folder = sys.argv[1]
here = os.path.dirname(os.path.abspath(__file__))
c = Checks()
DPI = 144
X_VSIZE, Y_VSIZE, Y_CH = 17780, 12700, 352  # the PostScript page and character cell
UNITS_PER_PX = 2540.0 / DPI


def at(xn, yn):
    """Pixel of a NORMAL point."""
    x, y = page_point(xn * X_VSIZE, yn * Y_VSIZE)
    return x * DPI / 72.0, y * DPI / 72.0


def ink(img, x0, y0, x1, y1):
    """Bounding box (x0, y0, x1, y1) of the dark pixels inside a pixel box, or None."""
    box = img.crop((int(x0), int(y0), int(x1), int(y1))).point(lambda v: 255 if v < 128 else 0).getbbox()
    return None if box is None else (box[0] + int(x0), box[1] + int(y0), box[2] + int(x0), box[3] + int(y0))


def row_ink(img, yn, height_px=60):
    """Ink of the text whose baseline is at NORMAL height yn, across the page."""
    _, py = at(0, yn)
    return ink(img, 0, py - height_px, img.width, py + height_px // 4)


def near(a, b, tol):
    return abs(a - b) <= tol


def afm_width(font, text, points):
    """Width of text in NORMAL x units from the metric file the font map names."""
    with open(os.path.join(here, "..", "..", "ps", "font.map")) as f:
        files = dict(line.split()[:2] for line in f if line.strip() and not line.startswith("%"))
    widths = {}
    with open(files[font]) as f:
        for line in f:
            fields = dict(p.split(None, 1) for p in (q.strip() for q in line.split(";")) if " " in p)
            if line.startswith("C ") and "WX" in fields:
                widths[int(fields["C"])] = float(fields["WX"])
    em = sum(widths[ord(ch)] for ch in text) / 1000.0 * points
    return em / 72.0 * 2540.0 / X_VSIZE


w1, wl, w6, wd, wv = (float(v) for v in open(folder + "/widths.txt").read().split())

# ALIGNMENT: the same ink, moved left by half and by all of its width.
img = render(folder + "/text_align.ps", resolution=DPI)
px, _ = at(0.5, 0)
left, centre, right = (row_ink(img, y) for y in (0.8, 0.6, 0.4))
c.expect(None not in (left, centre, right), "three aligned rows drawn: %s" % ((left, centre, right),))
if None not in (left, centre, right):
    span = left[2] - left[0]
    c.expect(all(near(r[2] - r[0], span, 2) for r in (centre, right)), "same ink width: %s" % ((left, centre, right),))
    c.expect(px <= left[0] <= px + 8, "left-aligned ink starts at the point: %s vs %.1f" % (left, px))
    c.expect(near((centre[0] + centre[2]) / 2.0, px, 2), "centred ink centred on the point: %s vs %.1f" % (centre, px))
    c.expect(px - 8 <= right[2] <= px, "right-aligned ink ends at the point: %s vs %.1f" % (right, px))
    c.expect(near(left[0] - px, px - right[2], 2), "equal side bearings left and right")
    # "HH" then "HH" at the current text position: the ink of one "HHHH".
    cont = row_ink(img, 0.2)
    c.expect(cont is not None and near(cont[2] - cont[0], span, 2), "continued text joins up: %s vs %d" % (cont, span))
    c.expect(near(w1 * 2 * X_VSIZE / UNITS_PER_PX, span + 2 * (left[0] - px), 3), "WIDTH of 'HH' is half the advance")

# "!C": two lines one line height apart; the widest line's width is returned.
img = render(folder + "/text_lines.ps", resolution=DPI)
x0, y0 = at(0.3, 0.7)
rows = [y for y in range(int(y0) - 120, int(y0) + 120) if ink(img, x0 - 10, y, x0 + 400, y + 1)]
bands = []
for y in rows:
    if bands and y == bands[-1][1] + 1:
        bands[-1][1] = y
    else:
        bands.append([y, y])
c.expect(len(bands) == 2, "two lines of ink: %s" % bands)
if len(bands) == 2:
    line_px = 2 * Y_CH / UNITS_PER_PX
    c.expect(near(bands[1][0] - bands[0][0], line_px, 2), "lines %.1f px apart: %s" % (line_px, bands))
    first = ink(img, x0 - 10, bands[0][0], x0 + 400, bands[0][1] + 1)
    second = ink(img, x0 - 10, bands[1][0], x0 + 400, bands[1][1] + 1)
    c.expect(second[2] - second[0] > 1.8 * (first[2] - first[0]), "the second line is the long one")
c.expect(near(wl, w6, 1e-5) and wl > 0, "the width of the two lines is that of the widest (%g, %g)" % (wl, w6))

# Levels: !U raised and smaller, !D lowered and smaller, !E raised more and smaller still.
img = render(folder + "/text_levels.ps", resolution=DPI)
boxes = []
for xn in (0.2, 0.4, 0.6, 0.8):
    bx, by = at(xn, 0.5)
    boxes.append(ink(img, bx - 10, by - 120, bx + 60, by + 60))
c.expect(None not in boxes, "four level samples drawn: %s" % boxes)
if None not in boxes:
    normal, up, down, exp = boxes
    s = 3 * Y_CH / 32.0 / UNITS_PER_PX  # pixels per font unit at size 3
    h = normal[3] - normal[1]
    c.expect(near(normal[3] - up[3], 15.2 * s, 3), "!U raises the baseline: %s vs %s" % (up, normal))
    c.expect(near(up[3] - up[1], 0.619 * h, 2), "!U characters are 0.619 high")
    c.expect(near(down[3] - normal[3], 7.961 * s, 3), "!D lowers the baseline: %s vs %s" % (down, normal))
    c.expect(down[1] > normal[1], "!D ink top lies below the normal top")
    c.expect(near(normal[3] - exp[3], 14.972 * s, 3), "!E raises the baseline: %s" % (exp,))
    c.expect(near(exp[3] - exp[1], 0.444 * h, 2), "!E characters are 0.444 high")

# ORIENTATION=90: a column of ink rising from the point, left of it.
img = render(folder + "/text_turned.ps", resolution=DPI)
bx, by = at(0.5, 0.2)
col = ink(img, bx - 80, by - 400, bx + 80, by + 20)
c.expect(col is not None, "turned text drawn")
if col:
    c.expect(col[3] - col[1] > 4 * (col[2] - col[0]), "turned text is a tall column: %s" % (col,))
    c.expect(near(col[2], bx, 2), "its baseline is the vertical through the point: %s vs %.1f" % (col, bx))
    c.expect(by - 8 <= col[3] <= by, "it starts at the point")

# TEXT_AXES=3 lays the baseline along y with the up direction along x: ink right of the point.
bx, by = at(0.2, 0.2)
col = ink(img, bx - 80, by - 400, bx + 80, by + 20)
c.expect(col is not None and near(col[0], bx, 2) and col[3] - col[1] > 4 * (col[2] - col[0]),
         "YX text axes: a column starting at the point: %s vs %.1f" % (col, bx))
# CLIP: nothing right of the box.
bx, by = at(0.7, 0.5)
xc, _ = at(0.75, 0)
clipped = ink(img, bx - 10, by - 60, img.width, by + 10)
c.expect(clipped is not None and clipped[2] <= xc + 1 and clipped[0] < xc, "clipped at 0.75: %s vs %.1f" % (clipped, xc))
# T3D: the text moves with the 3-D transformation (a shift of 0.3 in x).
shifted = row_ink(img, 0.8)
bx, _ = at(0.4, 0)
c.expect(shifted is not None and bx <= shifted[0] <= bx + 8, "text follows !P.T: %s vs %.1f" % (shifted, bx))

# Device fonts: widths from the metric file; ink where the widths say.
img = render(folder + "/text_device.ps", resolution=DPI)
want = afm_width("Helvetica", "Helvetica text", 12)
c.expect(near(wd, want, 2e-5), "device text width %g is the metric file's %g" % (wd, want))
c.expect(wv > 0 and not near(wv, wd, 1e-3), "vector text is measured by its own strokes (%g, %g)" % (wv, wd))
dev_ink = row_ink(img, 0.5, 30)
x0, _ = at(0.1, 0)
x1, _ = at(0.1 + wd, 0)
c.expect(dev_ink is not None and near(dev_ink[0], x0, 3) and near(dev_ink[2], x1, 3),
         "device text ink spans its width: %s vs %.1f..%.1f" % (dev_ink, x0, x1))
vec_ink = row_ink(img, 0.3, 30)
x1, _ = at(0.1 + wv, 0)
c.expect(vec_ink is not None and near(vec_ink[2], x1, 8), "vector text ink ends near its width: %s" % (vec_ink,))
ww = afm_width("Helvetica", "WWW", 24)
right = row_ink(img, 0.7, 60)
xr, _ = at(0.9, 0)
xl, _ = at(0.9 - ww, 0)
c.expect(right is not None and near(right[2], xr, 3) and near(right[0], xl, 3),
         "right-aligned device text ends at the point: %s vs %.1f..%.1f" % (right, xl, xr))

render(folder + "/text_bad.ps", resolution=36)  # still a valid document
c.finish()
