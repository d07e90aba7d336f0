import sys

from psrender import Checks, page_point, read, render

folder = sys.argv[1]
c = Checks()

text = read(folder + "/labels.ps")
for s in ["(first)", "(T1)", "(T5)", "(0.0)", "(20.0)", "(100.0)", "(Top)", "(Sub)", "(Xt)", "(Yt)"]:
    c.expect(s in text, "label %s in the page" % s)
c.expect("(T0)" not in text, "a given TICKNAME replaces the function's label")
render(folder + "/labels.ps")

im = render(folder + "/grid.ps")


def darkest(p):
    x, y = int(round(p[0])), int(round(p[1]))
    return min(im.getpixel((x + i, y + j)) for i in (-1, 0, 1) for j in (-1, 0, 1))


data = lambda x, y: page_point((0.2 + 0.06 * x) * 17780, (0.2 + 0.06 * y) * 12700)
c.expect(darkest(data(5, 4)) < 128, "TICKLEN 1 draws a grid line across at y = 4")
c.expect(darkest(data(7, 6)) < 128, "and at y = 6")
c.expect(darkest(data(6, 5)) > 200, "nothing between grid lines")
c.finish()
