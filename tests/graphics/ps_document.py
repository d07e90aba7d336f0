import re
import sys

from psrender import Checks, read, render

folder = sys.argv[1]
c = Checks()

doc = read(folder + "/doc.ps")
lines = doc.splitlines()
c.expect(lines[0] == "%!PS-Adobe-3.0", "first line %r" % lines[0])
header = lines[: lines.index("%%EndComments") + 1]
order = ["%%BoundingBox:", "%%Title:", "%%For:", "%%Creator:", "%%CreationDate:", "%%DocumentData:",
         "%%LanguageLevel:", "%%PageOrder:", "%%Pages:", "%%DocumentNeededResources:", "%%EndComments"]
found = [next((i for i, l in enumerate(header) if l.startswith(k)), -1) for k in order]
c.expect(-1 not in found and found == sorted(found), "header comments in order: %s" % found)
c.expect("%%BoundingBox: 54 360 558 720" in header, "portrait bounding box from the offsets and size")
c.expect("%%Title: Graphics produced by VEK" in header, "title names the program")
c.expect("%%Pages: (atend)" in header, "page count deferred to the trailer")
c.expect(doc.count("\n%%Page: ") == 2, "two pages after ERASE")
c.expect(doc.count("\nshowpage\n") == 2, "each page shown")
trailer = lines[lines.index("%%Trailer"):]
c.expect("%%Pages: 2" in trailer, "trailer counts the pages")
i = trailer.index("%%DocumentNeededResources:")
c.expect(trailer[i + 1] == "%%+ font Helvetica", "the page font is listed as needed: %s" % trailer[i + 1:i + 2])
c.expect(lines[-1] == "%%EOF", "ends with %%EOF")
c.expect(re.search(r"^%%BeginProlog\n%v3\n", doc, re.M) is not None, "the prolog follows with its version")
c.expect("save $VEK_DICT begin" in doc, "pages open the program's dictionary")
render(folder + "/doc.ps")

eps = read(folder + "/fig.eps")
c.expect(eps.startswith("%!PS-Adobe-3.0 EPSF-3.0\n"), "encapsulated header line")
c.expect("%%BoundingBox: 0 0 283 141\n" in eps, "EPS box starts at 0 0 and spans 10 x 5 cm")
c.expect("showpage" not in eps, "no showpage in EPS")
c.expect("%%Pages: 1\n" in eps, "one page")
im = render(folder + "/fig.eps", eps=True)
c.expect(im.size == (283, 141), "EPS renders at its box: %s" % (im.size,))
c.expect(im.getpixel((20, 141 - 20)) < 40, "2 cm image at the figure's lower left corner")
c.expect(im.getpixel((80, 141 - 20)) > 215, "and nothing right of it")

land = read(folder + "/land.ps")
c.expect("%%BoundingBox: 54 54 558 738\n" in land, "landscape box")
c.expect("%%PageOrientation: Landscape" in land and "270 rotate" in land, "landscape page rotated")
page = render(folder + "/land.ps")
c.expect(page.getpixel((68, 68)) < 40, "device origin at the top left of a landscape page")
c.expect(page.getpixel((68, 110)) > 215, "1 cm image only")

prev = read(folder + "/prev.eps").splitlines()
b = prev.index("%%BeginPreview: 128 128 1 41")
e = prev.index("%%EndPreview")
body = prev[b + 1:e]
c.expect(len(body) == 41 and all(len(l) == 101 and l[0] == "%" for l in body), "41 preview lines of 100 digits")
c.expect(b < prev.index("%%BeginProlog"), "preview before the prolog")
render(folder + "/prev.eps", eps=True)

inch = read(folder + "/inches.ps")
c.expect("%%BoundingBox: 72 144 576 360\n" in inch, "offsets and size in inches")
c.finish()
