import sys

from psrender import Checks, read, render

folder = sys.argv[1]
c = Checks()
text = read(folder + "/vek.ps")
lines = text.splitlines()
c.expect(lines[-1] == "%%EOF", "the file is finished: last line %r" % lines[-1])
c.expect("%%Pages: 1" in lines, "with its one page counted")
c.expect(text.count("showpage") == 1, "and shown")
render(folder + "/vek.ps")
c.finish()
