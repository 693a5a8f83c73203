"""Palettes of 5 colours against two palette libraries people use instead, each with its defaults: Pylette
(K-means on a 256 x 256 resample of the image) and fast-colorthief (median cut over every 10th pixel), and
extract_colors with preprocessing (the default) and without. Every tool is given the image file. Time: the
least of 3 calls, after one call not timed, in a fresh process per tool and image (imports and first-call
set-up not timed). Fidelity: the mean CIE76 Delta E from each pixel of the file (as cv2.imread decodes it)
to its nearest palette colour, both in L*a*b* from OpenCV's float conversion of RGB / 255, the same for
every tool. Images: china.jpg (0.27 MP, the JPEG scikit-learn ships) and 2 and 12 MP scaled up from it with
INTER_CUBIC, each written as PNG and as JPEG (OpenCV's default quality, 95).

The two libraries are not dependencies of this project: `make bench-peers` installs them with this package
into build/peers-venv and runs this script there. Elsewhere their rows say they are not installed.

    make bench-peers                                       # every case
    build/peers-venv/bin/python benchmarks/bench_peers.py --sizes 0 2 --runs 5
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile

import cv2
import numpy as np
import sklearn.datasets

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import image_kinds  # noqa: E402

CASE = r"""
import json, sys, time
tool, path, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
if tool == "Pylette":
    import pylette
    def palette():
        return [color.rgb for color in pylette.extract_colors(path, palette_size=5).colors]
elif tool == "fast-colorthief":
    import fast_colorthief
    def palette():
        return fast_colorthief.get_palette(path, 5)
else:
    import lumvarde_quorle.color_extractor_cy as module
    from lumvarde_quorle import ColorExtractor
    extractor = ColorExtractor(n_colors=5, preprocessing=tool.endswith("on"))
    def palette():
        return [color["color"] for color in extractor.extract_colors(path)]
colors = palette()
seconds = []
for _ in range(runs):
    start = time.perf_counter()
    colors = palette()
    seconds.append(time.perf_counter() - start)
# this process's own peak: VmHWM starts afresh at exec, where ru_maxrss keeps the parent's high-water mark
with open("/proc/self/status") as status:
    peak_kb = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
fallbacks = sorted(f"{call} ({reason})" for call, reason in module._kmeans_fallbacks) if tool.startswith("ours") else []
print(json.dumps({"seconds": min(seconds), "palette": [[int(v) for v in color] for color in colors],
                  "peak_mb": peak_kb / 1024, "fallbacks": fallbacks}))
"""

TOOLS = {  # row label: the module that must be importable
    "ours, preprocessing on": "lumvarde_quorle",
    "ours, preprocessing off": "lumvarde_quorle",
    "Pylette": "pylette",
    "fast-colorthief": "fast_colorthief",
}


def installed(module):
    probe = f"import importlib.util, sys; sys.exit(importlib.util.find_spec({module!r}) is None)"
    return subprocess.run([sys.executable, "-P", "-c", probe]).returncode == 0


def lab(rgb):
    """CIE L*a*b* (L in 0..100) of 8-bit R, G, B values of any shape ending in 3, by OpenCV's float conversion."""
    rgb = np.asarray(rgb, dtype=np.float32).reshape(-1, 1, 3) / 255
    return cv2.cvtColor(rgb, cv2.COLOR_RGB2LAB).reshape(-1, 3)


def mean_delta_e(pixels_lab, palette):
    """Mean distance from each pixel to its nearest palette colour, in float64 over float32 distances."""
    centres = lab(palette)
    nearest = np.full(len(pixels_lab), np.inf, dtype=np.float32)
    for centre in centres:
        np.minimum(nearest, np.sqrt(((pixels_lab - centre) ** 2).sum(axis=1)), out=nearest)
    return float(nearest.mean(dtype=np.float64))


def images(folder, sizes):
    """(label, path) of each benchmark image, written into `folder`."""
    for megapixels in sizes:
        if not megapixels:
            yield "china.jpg 0.27 MP", os.path.join(os.path.dirname(sklearn.datasets.__file__), "images", "china.jpg")
            continue
        scale = (megapixels * 1e6 / (427 * 640)) ** 0.5
        scaled = image_kinds.photo((round(427 * scale), round(640 * scale)))
        for suffix in ("png", "jpg"):
            path = os.path.join(folder, f"china-{megapixels:g}mp.{suffix}")
            cv2.imwrite(path, scaled)
            yield f"{megapixels:g} MP {suffix.upper().replace('JPG', 'JPEG')}", path


def note(fallbacks):
    """What extract_colors left to scikit-learn's own K-means steps, and why, if anything (see _kmeans_fallbacks)."""
    return f"  scikit-learn called: {', '.join(fallbacks)}" if fallbacks else ""


def run(tool, path, runs):
    output = subprocess.run([sys.executable, "-P", "-W", "ignore", "-c", CASE, tool, path, str(runs)],
                            check=True, capture_output=True, text=True).stdout
    return json.loads(output.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=float, nargs="+", default=[0, 2, 12],
                        help="megapixels of the upscaled images; 0 is china.jpg itself")
    parser.add_argument("--runs", type=int, default=3, help="timed calls per tool and image; the fastest counts")
    arguments = parser.parse_args()

    available = {tool: installed(module) for tool, module in TOOLS.items()}
    print(f"{os.cpu_count()} cores; load average {os.getloadavg()[0]:.2f}; time: least of {arguments.runs} calls "
          "after a warm-up call, a fresh process per tool and image")
    print(f"{'image':<18}{'tool':<25}{'seconds':>9}{'mean dE76':>10}{'colours':>8}{'peak MB':>9}")
    with tempfile.TemporaryDirectory() as folder:
        for label, path in images(folder, arguments.sizes):
            decoded = cv2.imread(path, cv2.IMREAD_COLOR)
            pixels = lab(decoded[:, :, ::-1])
            del decoded
            for tool in TOOLS:
                if not available[tool]:
                    print(f"{label:<18}{tool:<25}  not installed here (make bench-peers)")
                    continue
                figures = run(tool, path, arguments.runs)
                print(f"{label:<18}{tool:<25}{figures['seconds']:>9.3f}"
                      f"{mean_delta_e(pixels, figures['palette']):>10.2f}{len(figures['palette']):>8}"
                      f"{figures['peak_mb']:>9.0f}{note(figures['fallbacks'])}", flush=True)
            del pixels
    print(f"load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
