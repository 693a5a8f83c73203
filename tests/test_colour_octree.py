"""The K-means' octree of distinct colours, whose cells its E-steps label whole: every cell is a run of
consecutive colours in Morton order, split into children by the next three bits of the code, with the
exact bounding box, rows and sums of its colours (what a cell labelled whole stands for)."""

import numpy as np
import pytest

from lumvarde_quorle import _testkernels as kernels


def morton(colours):
    code = np.zeros(len(colours), np.int64)
    for bit in range(7, -1, -1):
        for f in range(3):
            code = code << 1 | ((colours[:, f].astype(np.int64) >> bit) & 1)
    return code


ROWS = {
    "one colour": lambda rng: np.full((50, 3), 7),
    "a few colours": lambda rng: rng.integers(0, 256, (5, 3))[rng.integers(0, 5, 300)],
    "the cube's corners": lambda rng: np.array([[a, b, c] for a in (0, 255) for b in (0, 255) for c in (0, 255)]),
    "spread over the cube": lambda rng: rng.integers(0, 256, (20000, 3)),
    "one dense blob": lambda rng: np.clip(np.rint(rng.normal(128, 5, (20000, 3))), 0, 255),
}


@pytest.mark.parametrize("make", ROWS.values(), ids=ROWS.keys())
def test_cells_are_octree_cubes_with_their_colours_sums_and_boxes(make):
    rows = np.ascontiguousarray(make(np.random.default_rng(1)), np.uint8)
    ordered, table = kernels.colour_cells(rows.tobytes())
    colours = np.frombuffer(ordered, np.uint8).reshape(-1, 3).astype(np.int64)
    cells = np.frombuffer(table, np.int64).reshape(-1, 14)
    unique, counts = np.unique(rows, axis=0, return_counts=True)
    codes = morton(colours)
    assert len(colours) == len(unique) and np.all(np.diff(codes) > 0)
    weight = dict(zip(map(tuple, unique), counts))
    weights = np.array([weight[tuple(colour)] for colour in colours])
    assert (cells[0, 0], cells[0, 1]) == (0, len(colours))
    for begin, end, first, children, rows_in, *rest in cells:
        part = colours[begin:end]
        assert end > begin and rows_in == weights[begin:end].sum()
        assert rest[:3] == list((part * weights[begin:end, None]).sum(axis=0))
        assert rest[3:6] == list(part.min(axis=0)) and rest[6:] == list(part.max(axis=0))
        if first < 0:
            continue
        kids = cells[first:first + children]
        assert children >= 2 and kids[0, 0] == begin and kids[-1, 1] == end
        assert np.array_equal(kids[1:, 0], kids[:-1, 1])
        # Children are the cubes one level down from where the cell's colours part: one three-bit digit each.
        shift = 3 * ((int(codes[begin] ^ codes[end - 1]).bit_length() - 1) // 3)
        digits = [set((codes[b:e] >> shift) & 7) for b, e in kids[:, :2]]
        assert all(len(digit) == 1 for digit in digits) and len(set().union(*digits)) == children
