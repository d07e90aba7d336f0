import sys

from psrender import Checks, page_point, render

folder = sys.argv[1]
c = Checks()
XV, YV = 17780, 12700  # the PostScript device's visible size


def normal(nx, ny):
    return page_point(nx * XV, ny * YV)


def data(x, y):
    """The plots use POSITION 0.2..0.8 in both directions for data 0..10."""
    return normal(0.2 + 0.06 * x, 0.2 + 0.06 * y)


def darkest(im, p):
    x, y = int(round(p[0])), int(round(p[1]))
    return min(im.getpixel((x + i, y + j)) for i in (-1, 0, 1) for j in (-1, 0, 1))


def ink(im, p, what):
    c.expect(darkest(im, p) < 128, what + " is drawn")


def blank(im, p, what):
    c.expect(darkest(im, p) > 200, what + " stays blank")


im = render(folder + "/line.ps")
ink(im, data(5, 5), "the diagonal at its middle")
ink(im, data(2.5, 2.5), "the diagonal at a quarter")
blank(im, data(2.5, 6), "a point above the diagonal")
blank(im, data(7, 3), "a point below the diagonal")
ink(im, data(5, 0), "the x axis")
ink(im, data(0, 5), "the y axis")
ink(im, data(10, 5), "the box's right side")
ink(im, data(5, 10), "the box's top")

im = render(folder + "/fill.ps")
ink(im, data(3, 3), "the filled square's centre")
ink(im, data(2.2, 3.8), "the filled square near a corner")
blank(im, data(5, 3), "right of the filled square")
blank(im, data(3, 5), "above the filled square")
# Line fill: horizontal lines every 0.5 cm (500 device units) across 0.6..0.7.
ink(im, page_point(0.65 * XV, 8000), "a hatch line")
blank(im, page_point(0.65 * XV, 8250), "between hatch lines")

im = render(folder + "/sym.ps")
half = 3 * 0.5 * 222 / XV  # SYMSIZE 3: half a symbol in NORMAL units
blank(im, data(2, 5), "the hollow square's centre")
ink(im, normal(0.32 + half, 0.5), "the square's right side")
ink(im, normal(0.32 - half, 0.5), "the square's left side")
blank(im, data(5, 5), "between unjoined symbols")
ink(im, data(5, 8), "the line joining the diamonds of PSYM -4")
ink(im, data(5, 2), "the filled user symbol's centre")
ink(im, normal(0.5 + 0.006, 0.32 + 0.006), "inside the filled user symbol")

im = render(folder + "/log.ps")
ink(im, normal(0.5, 0.4), "y = 10 a third of the way up 1..1000")
ink(im, normal(0.5, 0.6), "OPLOT's y = 100 on the saved logarithmic scale")
blank(im, normal(0.5, 0.5), "halfway between")

im = render(folder + "/axis.ps")
ink(im, normal(0.5, 0.65), "AXIS, 5, 0 drawn at x = 5")
ink(im, normal(0.35, 0.5), "AXIS, 0, 5 drawn at y = 5")
blank(im, normal(0.35, 0.65), "away from both axes")

im = render(folder + "/gaps.ps")
gap = lambda x, y: normal(0.2 + 0.15 * x, 0.2 + 0.3 * y)  # data 0..4 by 0..2
ink(im, gap(0.5, 1), "the line before the value above MAX_VALUE")
blank(im, gap(2, 1), "the gap left by the value above MAX_VALUE")
ink(im, gap(3.5, 1), "the line after it")
blank(im, gap(2, 1.5), "the gap left by NaN")
ink(im, gap(3.5, 1.5), "the line after NaN")

im = render(folder + "/steps.ps")
ink(im, data(2.5, 2), "the first step, from the first x")
ink(im, data(3, 4), "the riser at the midpoint of the first two x")
ink(im, data(4, 6), "the second step")
ink(im, data(5.5, 4), "the last step, to the last x")
blank(im, data(2.5, 3), "the straight line the steps replace")
blank(im, data(1.5, 2), "before the first x")
ink(im, data(4, 4), "the polar line from radius 8 at angle 0 to angle pi/2")
blank(im, data(6, 6), "beyond the polar line")

im = render(folder + "/clip.ps")
blank(im, data(6, 12), "the line clipped at the window")
ink(im, data(2, 14), "the line drawn with NOCLIP past the window")
# Four points in one device column: the whole span between their extremes.
ink(im, data(5, 1.3), "a dense column down to its lowest point")
ink(im, data(5, 7.7), "a dense column up to its highest point")
blank(im, data(5, 8.6), "above the dense column")
im = render(folder + "/map.ps")
ink(im, normal(0.79, 0.5), "the date-line crossing's piece at the right edge")
ink(im, normal(0.21, 0.5), "its piece at the left edge")
blank(im, normal(0.5, 0.5), "the map between the two pieces")
ink(im, normal(0.54, 0.575), "OPLOT along 45 N")
ink(im, normal(0.21, 0.425), "OPLOT across the date line at the left edge")
blank(im, normal(0.5, 0.425), "the middle of the split OPLOT")
c.finish()
