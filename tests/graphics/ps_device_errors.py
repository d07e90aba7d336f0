import os
import sys

# Nothing was drawn, so no PostScript file may have been started anywhere.
folder = sys.argv[1]
written = [f for f in os.listdir(folder) if f.endswith(".ps")]
if written:
    print("FAILED: files written:", written)
    sys.exit(1)
