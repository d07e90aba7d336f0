"""Rendering of PostScript files with Ghostscript for the graphics tests."""
import os
import subprocess
import sys

from PIL import Image


def render(path, device="pnggray", eps=False, resolution=72):
    """The page of a PostScript file as a Pillow image (US letter, or the bounding box of
    an EPS file). Raises when Ghostscript reports an error."""
    out = path + ".png"
    cmd = ["gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=" + device,
           "-r%d" % resolution, "-sOutputFile=" + out]
    cmd += ["-dEPSCrop"] if eps else ["-sPAPERSIZE=letter", "-dFIXEDMEDIA"]
    cmd.append(path)
    result = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
    if result.returncode != 0 or "Error" in result.stdout + result.stderr:
        raise RuntimeError("gs failed on %s: %s %s" % (path, result.stdout, result.stderr))
    return Image.open(out)


def page_point(x_units, y_units, xoff=54, yoff=360, height=792, scale=1.0):
    """Pixel (at 72 dpi) of a point given in device units (1/1000 cm) on a portrait page."""
    s = scale * 72.0 / 2540.0
    return (xoff + x_units * s, height - (yoff + y_units * s))


class Checks:
    """Collects failed expectations and reports them all at the end."""

    def __init__(self):
        self.failures = []

    def expect(self, condition, text):
        if not condition:
            self.failures.append(text)

    def finish(self):
        for f in self.failures:
            print("FAILED:", f)
        sys.exit(1 if self.failures else 0)


def read(path):
    with open(path, encoding="latin-1") as f:
        return f.read()


def exists(folder, name):
    return os.path.exists(os.path.join(folder, name))
