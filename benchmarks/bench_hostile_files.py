"""What hostile files and queries cost the command line and the catalogue, each in a fresh process whose
time, peak resident size and peak address space are its own, under a 6 GB address-space limit:

1. a 34-byte lossless WebP of 16383 x 16383 pixels, `extract --max-pixels 1000000`;
2. a 12.5 MB run-length Radiance HDR of 14000 x 14000 pixels, `extract --max-pixels 1000000`;
3. an HTML `search` page whose one hit was replaced by a 20000 x 20000 PNG after indexing;
4. `similar` with that PNG as its query image (and `--max-pixels 0`: the memory check alone);
5. a search for 1,000 query colours and `similar` with a 14,000-colour palette, over a catalogue of
   `IMAGES` synthetic images (default 100,000; filled as bench_catalogue.py fills its own).

    python benchmarks/bench_hostile_files.py [IMAGES [CATALOGUE]]

CATALOGUE keeps the large catalogue of 5. for the next run (filling it takes minutes); it is filled when
missing.
"""

import os
import sys
import tempfile

import cv2
import numpy as np

from bench_budget import PEAKS, bomb, run

ADDRESS_SPACE = 6 << 30

QUERIES = PEAKS + """
import time
import numpy as np
from lumvarde_quorle.catalogue import Catalogue
rng = np.random.default_rng(7)
with Catalogue(sys.argv[1]) as catalogue:
    catalogue.search(['white'])
    started = time.perf_counter()
    try:
        if sys.argv[2] == 'search':
            catalogue.search([tuple(int(c) for c in rgb) for rgb in rng.integers(0, 256, (1000, 3))])
        else:
            colours = rng.integers(0, 256, (14000, 3))
            catalogue.similar([{'color': tuple(int(c) for c in rgb), 'percentage': 100 / 14000} for rgb in colours])
        outcome = 'answered'
    except Exception as error:
        outcome = f'{type(error).__name__}: {error}'
    sys.stderr.write(f'{outcome} in {time.perf_counter() - started:.2f} s\\n')
"""


def radiance(path, side):
    """Run-length scanlines of one flat colour: each channel as runs of 127."""
    runs = bytes([128 + 127, 90]) * (side // 127) + (bytes([128 + side % 127, 90]) if side % 127 else b"")
    line = bytes([2, 2, side >> 8, side & 0xFF]) + runs * 4
    with open(path, "wb") as file:
        file.write(f"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y {side} +X {side}\n".encode())
        for _ in range(side):
            file.write(line)


def report(title, arguments, address_space=ADDRESS_SPACE, script=None):
    status, seconds, peak_rss, peak_vm, messages = run(arguments, address_space, script)
    print(f"{title}\n  exit status {status}, {seconds:.2f} s, peak resident {peak_rss:.0f} MB, "
          f"peak address space {peak_vm:.0f} MB")
    for message in messages[-3:]:
        print(f"  {message[:300]}")


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    with tempfile.TemporaryDirectory() as folder:
        webp = os.path.join(folder, "w.webp")
        from PIL import Image

        Image.new("RGB", (16383, 16383)).save(webp, lossless=True, method=0)
        print(f"{webp}: {os.path.getsize(webp)} bytes")
        report("1. extract WebP --max-pixels 1000000", ["extract", webp, "--max-pixels", "1000000", "--format", "json"])

        hdr = os.path.join(folder, "big.hdr")
        radiance(hdr, 14000)
        print(f"{hdr}: {os.path.getsize(hdr) / 1e6:.1f} MB")
        report("2. extract HDR --max-pixels 1000000", ["extract", hdr, "--max-pixels", "1000000", "--format", "json"])

        db, hit = os.path.join(folder, "c.db"), os.path.join(folder, "hit.png")
        rng = np.random.default_rng(1)
        assert cv2.imwrite(hit, rng.integers(0, 256, (60, 80, 3), dtype=np.uint8))
        run(["index", hit, "--db", db, "--no-progress"])
        bomb(hit)  # replaced after indexing: the search still finds it by its stored colours
        page = os.path.join(folder, "page.html")
        report("3. search page with a 400 MP hit", ["search", "--db", db, "--color", "grey", "--min-share", "0",
                                                   "--output", page])
        report("4. similar with a 400 MP query image", ["similar", "--db", db, hit, "--format", "json"])
        report("4. similar with a 400 MP query image, --max-pixels 0",
               ["similar", "--db", db, hit, "--max-pixels", "0", "--format", "json"])

        from bench_catalogue import fill

        large = sys.argv[2] if len(sys.argv) > 2 else os.path.join(folder, "large.db")
        if not os.path.exists(large):
            fill(large, count, np.random.default_rng(2026))
        report(f"5. search for 1,000 colours over {count:,} images", [large, "search"], None, QUERIES)
        report(f"5. similar with a 14,000-colour palette over {count:,} images", [large, "similar"], None, QUERIES)


if __name__ == "__main__":
    main()
