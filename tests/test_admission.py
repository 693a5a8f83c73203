"""Memory admission: the per-path estimates against measured peaks, and MemoryError with the figures before
a path allocates, while work that fits is unaffected. Measurements and limits run in a fork of a case of
the child worker, under its own address-space limit. The limits themselves: test_memory_limits.py."""

import re

import pytest

import lumvarde_quorle.color_extractor_cy as module
from child_worker import UNDER_ASAN, describe

MB = 1 << 20
# What every estimate allows besides its tables (thread stacks and arenas, allocator slack).
FIXED = 64 * MB

# AddressSanitizer reserves terabytes of address space: no address-space limit can be set under it.
limits_address_space = pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves the address space")


# -- estimates and measured peaks -------------------------------------------------------------------

# Run in a case of the child worker: `grown(call)` runs call() in a fork, whose VmPeak starts at its
# VmSize, and gives the growth of its address space at the peak, with the exception if any;
# `limited(call, headroom)` does the same under RLIMIT_AS = VmSize + headroom.
SHELL = """
import json, os, resource
from lumvarde_quorle.color_extractor_cy import ColorExtractor, FastColorExtractor
def vm(field):
    with open('/proc/self/status') as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith(field + ':'))
def limited(call, headroom=None):
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        before = vm('VmSize')
        if headroom is not None:
            resource.setrlimit(resource.RLIMIT_AS, (before + headroom, before + headroom))
        try:
            value = call()
            outcome = {'value': digest(value)}
        except BaseException as error:
            outcome = {'error': type(error).__name__, 'message': str(error)}
        outcome['grown'] = vm('VmPeak') - before
        os.write(write_end, json.dumps(outcome).encode())
        os._exit(0)
    os.close(write_end)
    answer = b''
    while chunk := os.read(read_end, 65536):
        answer += chunk
    os.waitpid(pid, 0)
    os.close(read_end)
    return json.loads(answer)
grown = limited
def digest(value):
    if isinstance(value, tuple):
        return [np.asarray(part).round(6).tolist() if np.asarray(part).size < 64 else int(np.asarray(part).sum())
                for part in value]
    return repr(value)
"""

# Rows as the paths are given them: a photo's colours (far fewer distinct colours than rows), or
# random colours (every row distinct: the worst case of the paths that work per distinct colour).
ROWS = """
rng = np.random.default_rng(5)
count = data['rows']
if data['colours'] == 'random':
    rows = rng.integers(0, 256, (count, 3), dtype=np.uint8)
else:
    import cv2
    from sklearn.datasets import load_sample_image
    photo = cv2.cvtColor(load_sample_image('china.jpg')[:, :, ::-1], cv2.COLOR_BGR2LAB).reshape(-1, 3)
    rows = np.ascontiguousarray(np.resize(photo, (count, 3)))
"""

CALLS = {
    "kmeans": "lambda: ColorExtractor(5)._cluster_colors_kmeans(rows)",
    "native kmeans": "lambda: FastColorExtractor(5)._cluster_colors_kmeans(rows)",
    "dbscan": "lambda: ColorExtractor(5, 'dbscan')._cluster_colors_dbscan(rows)",
    # Preprocessing off and R, G, B features: what is measured beyond the rows is the report itself.
    "match report": "lambda: ColorExtractor(5, 'kmeans', False, False).find_color_matches("
    "rows.reshape(-1, 1, 3), {'red': (200, 30, 40), 'sky': (135, 206, 235)})",
}

SIZES = [
    ("kmeans", "photo", 200_000), ("kmeans", "random", 800_000),
    ("native kmeans", "photo", 1_000_000), ("native kmeans", "random", 250_000),
    ("native kmeans", "random", 1_000_000), ("native kmeans", "random", 3_000_000),
    ("dbscan", "photo", 3_000_000), ("dbscan", "random", 250_000), ("dbscan", "random", 2_000_000),
    ("match report", "photo", 4_000_000), ("match report", "random", 250_000), ("match report", "random", 2_000_000),
]


@limits_address_space
@pytest.mark.parametrize("path, colours, rows", SIZES, ids=[f"{p}-{c}-{n}" for p, c, n in SIZES])
def test_estimate_covers_the_measured_peak(worker, path, colours, rows):
    outcome = worker.run(f"grown({CALLS[path]})", setup=SHELL + ROWS, data={"rows": rows, "colours": colours},
                         timeout=600)
    assert "returned" in outcome, describe(outcome)
    measured = eval(outcome["value"])
    assert "error" not in measured, measured
    estimate = module._peak_estimate(path, rows)
    # The match report's rows are made from the image before the report: they count beyond the rows.
    allowed = estimate + (3 * rows if path == "match report" else 0)
    assert measured["grown"] <= allowed, f"{measured['grown'] / MB:.0f} MB measured, {allowed / MB:.0f} MB estimated"
    if colours == "random":  # honest: within twice the peak of the worst case, beyond the fixed allowance
        assert allowed <= 2 * measured["grown"] + FIXED, f"{measured['grown'] / MB:.0f} MB, {allowed / MB:.0f} MB"


# -- the checks fire before allocating ------------------------------------------------------------

MEMORY_ERROR = re.compile(
    r"(K-means|DBSCAN|The match report|The analysis) of (\d+) pixels would need about ([\d.]+) (MB|GB) of memory, "
    r"with ([\d.]+) (MB|GB) available \(address-space limit\)"
)

CHECKED = {path: 600_000 for path in CALLS}


@limits_address_space
@pytest.mark.parametrize("path", CHECKED)
def test_check_fires_under_a_tight_limit_and_work_that_fits_is_unaffected(worker, path):
    rows = CHECKED[path]
    estimate = module._peak_estimate(path, rows) + 3 * rows
    outcome = worker.run(
        f"(limited({CALLS[path]}, data['tight']), limited({CALLS[path]}, data['ample']), grown({CALLS[path]}))",
        setup=SHELL + ROWS,
        data={"rows": rows, "colours": "photo", "tight": int(estimate // 2), "ample": int(estimate * 1.1)},
        timeout=600,
    )
    assert "returned" in outcome, describe(outcome)
    tight, ample, free = eval(outcome["value"])
    assert tight.get("error") == "MemoryError", tight
    found = MEMORY_ERROR.fullmatch(tight["message"])
    assert found and int(found.group(2)) == rows, tight["message"]
    # Refused before allocating: the process hardly grew.
    assert tight["grown"] < 48 * MB, tight
    assert "error" not in ample, ample
    assert ample["value"] == free["value"]


OPERATIONS = {
    "native K-means": "lambda: ColorExtractor(5).extract_colors(path)",
    "scikit-learn's K-means": "lambda: LibraryColorExtractor(5).extract_colors(path)",
    "DBSCAN": "lambda: ColorExtractor(5, 'dbscan').extract_colors(path)",
    "match report": "lambda: ColorExtractor(5).find_color_matches(path, {'sky': (135, 206, 235)})",
}


@limits_address_space
@pytest.mark.parametrize("operation", OPERATIONS.values(), ids=OPERATIONS.keys())
def test_whole_operation_is_admitted_from_the_header_before_decoding(worker, tmp_path, china_bgr, operation):
    import cv2

    path = str(tmp_path / "photo.png")
    assert cv2.imwrite(path, cv2.resize(china_bgr, (1200, 800), interpolation=cv2.INTER_CUBIC))
    outcome = worker.run(
        f"(limited({operation}, 48 << 20), grown({operation}))",
        setup=SHELL + "from lumvarde_quorle.color_extractor_cy import LibraryColorExtractor\npath = data",
        data=path, timeout=600,
    )
    assert "returned" in outcome, describe(outcome)
    refused, free = eval(outcome["value"])
    found = MEMORY_ERROR.fullmatch(refused.get("message", ""))
    assert found and found.group(1) == "The analysis" and int(found.group(2)) == 1200 * 800, refused
    assert refused["grown"] < 32 * MB  # not decoded
    needed = float(found.group(3)) * (1e9 if found.group(4) == "GB" else 1e6)
    available = float(found.group(5)) * (1e9 if found.group(6) == "GB" else 1e6)
    assert 40e6 <= available <= 51e6
    assert "error" not in free and free["grown"] <= needed
