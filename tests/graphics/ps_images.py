import sys

from psrender import Checks, page_point, read, render

folder = sys.argv[1]
c = Checks()
cm = 1000  # device units


def centre(x0, y0, i, j, cell):
    """Pixel centre of image cell (i, j) (row j counted from the bottom)."""
    return page_point(x0 + (i + 0.5) * cell, y0 + (j + 0.5) * cell)


grey = render(folder + "/grey.ps")
px = lambda p: grey.getpixel((int(p[0]), int(p[1])))
c.expect(px(centre(2000, 3000, 0, 0, cm)) < 40, "bottom-left pixel of the 4x4 image is black")
c.expect(px(centre(2000, 3000, 1, 0, cm)) > 215, "its right neighbour is white")
c.expect(px(centre(2000, 3000, 0, 1, cm)) > 215, "the pixel above it is white")
g = px(centre(2000, 3000, 3, 3, cm))
c.expect(110 < g < 160, "value 128 prints mid grey at 4 bits (got %d)" % g)
c.expect(px(page_point(2000 - 300, 3000 + 2000)) > 215, "nothing left of the image")
c.expect(px(page_point(2000 + 4 * cm + 300, 3000 + 2000)) > 215, "nothing right of the image")
ramp = [px(centre(10000, 3000, i, 0, cm)) for i in range(8)]
c.expect(ramp[0] < 40 and ramp[7] > 215, "TVSCL spans black to white: %s" % ramp)
c.expect(all(a < b for a, b in zip(ramp, ramp[1:])), "TVSCL ramp increases: %s" % ramp)
# Position 3 with 2 cm cells: 8 columns across 17.78 cm, x = 3 * 2 cm, y = top - 2 cm.
c.expect(px(page_point(6000 + cm, 12700 - cm)) < 40, "TV position 3 tiles at (6 cm, top - 2 cm)")
c.expect(px(page_point(4000 + cm, 12700 - cm)) > 215, "position 2's cell stays empty")

text = read(folder + "/color.ps")
c.expect("%%Requirements: color" in text, "COLOR asks for colour in the header")
c.expect("true 3 colorimage" in text, "true colour uses three data procedures")
c.expect("/COLORTAB <" in text, "colour-mapped output carries the colour table")
col = render(folder + "/color.ps", device="png16m")
cp = lambda p: col.getpixel((int(p[0]), int(p[1])))
c.expect(cp(centre(1000, 1000, 0, 0, cm)) == (255, 0, 0), "pixel interleaved (0,0) red: %s" % (cp(centre(1000, 1000, 0, 0, cm)),))
c.expect(cp(centre(1000, 1000, 1, 0, cm)) == (0, 255, 0), "pixel interleaved (1,0) green")
c.expect(cp(centre(1000, 1000, 0, 1, cm)) == (0, 0, 255), "pixel interleaved (0,1) blue")
c.expect(cp(centre(1000, 1000, 1, 1, cm)) == (0, 0, 0), "pixel interleaved (1,1) black")
c.expect(cp(centre(5000, 1000, 0, 0, cm)) == (255, 255, 0), "plane interleaved (0,0) yellow")
# The colour table starts as the identity: index i is grey i.
c.expect(cp(centre(9000, 1000, 1, 1, cm)) == (3, 3, 3), "colour-mapped index 3 through the table: %s" % (cp(centre(9000, 1000, 1, 1, cm)),))

fill = render(folder + "/fill.ps")
fp = lambda x, y: fill.getpixel((int(page_point(x, y)[0]), int(page_point(x, y)[1])))
shade = [fp(1000 + 4000 * (i + 0.5) / 8, 2000) for i in range(8)]
c.expect(shade[0] < 40 and shade[7] > 215, "per-vertex colours shade black to white: %s" % shade)
c.expect(all(a < b for a, b in zip(shade, shade[1:])), "the shading increases left to right: %s" % shade)
quad = lambda x0, i, j: fp(x0 + 500 + 1000 * i, 1500 + 1000 * j)
t = [quad(6000, 0, 0), quad(6000, 1, 0), quad(6000, 0, 1), quad(6000, 1, 1)]
c.expect(110 < t[0] < 150 and 110 < t[3] < 150, "values below TRANSPARENT leave the grey beneath: %s" % t)
c.expect(t[1] > 235 and t[2] > 235, "values above TRANSPARENT are drawn: %s" % t)
m = [quad(9000, 0, 0), quad(9000, 1, 0), quad(9000, 0, 1), quad(9000, 1, 1)]
c.expect(m[0] > 235 and m[1] < 35 and 45 < m[2] < 75 and m[3] > 235, "image coordinates mirror the image: %s" % m)
lo, mid = fp(12050, 1050), fp(13000, 2000)
c.expect(lo < 45 and 120 < mid < 170, "IMAGE_INTERP blends between pixels: corner %d centre %d" % (lo, mid))
c.finish()
