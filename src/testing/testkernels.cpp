// lumvarde_quorle._testkernels: the primitives of the native kernels that replicate library arithmetic,
// exposed for the test suite only, so that a rounding-level change in one of them fails a test of its
// own instead of showing up as a rare difference in whole fits. Not part of the package's interface.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <thread>
#include <vector>

#include "interop/python.hpp"
#include "interop/ref.hpp"
#include "kernels/colour/ciede2000.hpp"
#include "kernels/colour/index.hpp"
#include "kernels/distinct_rows.hpp"
#include "kernels/kmeans/legacy_random.hpp"
#include "kernels/kmeans/run.hpp"

namespace {

using lq::Ref;

// A bytes object holding `count` values.
template <typename T>
Ref bytes_of(const T* values, std::size_t count) {
    return Ref::steal(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values), static_cast<Py_ssize_t>(count * sizeof(T))));
}

// A contiguous buffer argument, released on scope exit.
struct Buffer {
    Py_buffer view{};
    bool held = false;
    ~Buffer() {
        if (held) PyBuffer_Release(&view);
    }
    template <typename T>
    const T* as() const {
        return static_cast<const T*>(view.buf);
    }
    template <typename T>
    std::size_t count() const {
        return static_cast<std::size_t>(view.len) / sizeof(T);
    }
};

// random_sample(seed, count) -> float64 bytes: RandomState(seed).random_sample(count).
PyObject* random_sample(PyObject*, PyObject* args) {
    unsigned long seed = 0;
    Py_ssize_t count = 0;
    if (!PyArg_ParseTuple(args, "kn", &seed, &count)) return nullptr;
    lq::kernels::kmeans::LegacyRandom random(static_cast<std::uint32_t>(seed));
    std::vector<double> draws(static_cast<std::size_t>(count));
    for (double& draw : draws) draw = random.random_sample();
    return bytes_of(draws.data(), draws.size()).release();
}

// pairwise_sum(float64 buffer) -> float: np.add.reduce of the values.
PyObject* pairwise_sum(PyObject*, PyObject* args) {
    Buffer values;
    if (!PyArg_ParseTuple(args, "y*", &values.view)) return nullptr;
    values.held = true;
    const double sum =
        lq::kernels::kmeans::numpy_sum(values.as<double>(), static_cast<std::int64_t>(values.count<double>()));
    return PyFloat_FromDouble(sum);
}

// first_rows(n, float64 draws) -> int64 bytes: RandomState.choice(n, p=ones / n) for each draw.
PyObject* first_rows(PyObject*, PyObject* args) {
    long long n = 0;
    Buffer draws;
    if (!PyArg_ParseTuple(args, "Ly*", &n, &draws.view)) return nullptr;
    draws.held = true;
    if (n < 1) {
        PyErr_SetString(PyExc_ValueError, "n must be positive");
        return nullptr;
    }
    std::vector<std::int64_t> rows(draws.count<double>());
    lq::kernels::kmeans::first_rows(n, draws.as<double>(), static_cast<int>(rows.size()), rows.data());
    return bytes_of(rows.data(), rows.size()).release();
}

// distinct_rows(uint8 buffer of N x 3, workers=1) -> (values, counts, row positions): the table's values
// (3 bytes each, first occurrence first), how many rows hold each (int64), and each row's position (int32).
PyObject* distinct_rows(PyObject*, PyObject* args) {
    Buffer rows;
    int workers = 1;
    if (!PyArg_ParseTuple(args, "y*|i", &rows.view, &workers)) return nullptr;
    rows.held = true;
    if (rows.view.len % 3 != 0) {
        PyErr_SetString(PyExc_ValueError, "rows of three bytes expected");
        return nullptr;
    }
    const lq::kernels::ByteRows view{rows.as<std::uint8_t>(), rows.view.len / 3, 3, 1};
    lq::kernels::RowColours positions;
    const lq::kernels::DistinctRows table(view, &positions, workers);
    const std::vector<std::uint8_t> values = table.triples();
    Ref colours = bytes_of(values.data(), values.size());
    Ref counts = bytes_of(table.weights().data(), table.weights().size());
    Ref where = bytes_of(positions.data(), positions.size());
    if (!colours || !counts || !where) return nullptr;
    return PyTuple_Pack(3, colours.get(), counts.get(), where.get());
}

// colour_cells(uint8 buffer of N x 3) -> (colours, cells): the K-means' octree of the rows' distinct
// colours, the colours in its order (3 bytes each) and per cell (int64 each) begin, end, first child,
// children, rows, the three sums, then the box's low and high corners.
PyObject* colour_cells(PyObject*, PyObject* args) {
    Buffer rows;
    if (!PyArg_ParseTuple(args, "y*", &rows.view)) return nullptr;
    rows.held = true;
    if (rows.view.len == 0 || rows.view.len % 3 != 0) {
        PyErr_SetString(PyExc_ValueError, "rows of three bytes expected");
        return nullptr;
    }
    const lq::kernels::ByteRows view{rows.as<std::uint8_t>(), rows.view.len / 3, 3, 1};
    lq::kernels::RowColours positions;
    const lq::kernels::DistinctRows table(view, &positions);
    // One cluster: the octree without the seeding's blocks.
    lq::kernels::kmeans::Shared shared({table, positions, 1, nullptr, true, {}, 1});
    lq::kernels::Stop never;
    shared.order_runs(never);
    std::vector<std::uint8_t> colours;
    for (std::int32_t colour : shared.colour_of)
        for (int f = 0; f < 3; ++f) colours.push_back(table.colours()[colour][f]);
    std::vector<std::int64_t> cells;
    for (const lq::kernels::kmeans::Cell& cell : shared.cells) {
        cells.insert(cells.end(), {cell.begin, cell.end, cell.first_child, cell.children, cell.weight});
        cells.insert(cells.end(), cell.sum.begin(), cell.sum.end());
        cells.insert(cells.end(), cell.low.begin(), cell.low.end());
        cells.insert(cells.end(), cell.high.begin(), cell.high.end());
    }
    Ref in_order = bytes_of(colours.data(), colours.size());
    Ref cell_table = bytes_of(cells.data(), cells.size());
    if (!in_order || !cell_table) return nullptr;
    return PyTuple_Pack(2, in_order.get(), cell_table.get());
}

// seeding_blocks(uint8 buffer of N x 3, workers, ahead=False) -> (block rows, pairs per block as int64,
// colours, counts as int32, made ahead): the K-means seeding's blocks of rows, each as (colour, count) pairs,
// the colour a position in the rows' table of distinct colours, built in the parts `workers` threads would
// build them in, or with `ahead` by a thread that follows the table's pass (where the fit takes them).
PyObject* seeding_blocks(PyObject*, PyObject* args) {
    Buffer rows;
    int workers = 1, ahead = 0;
    if (!PyArg_ParseTuple(args, "y*i|p", &rows.view, &workers, &ahead)) return nullptr;
    rows.held = true;
    if (rows.view.len < 6 || rows.view.len % 3 != 0) {
        PyErr_SetString(PyExc_ValueError, "two or more rows of three bytes expected");
        return nullptr;
    }
    const lq::kernels::ByteRows view{rows.as<std::uint8_t>(), rows.view.len / 3, 3, 1};
    lq::kernels::RowColours positions;
    std::optional<lq::kernels::DistinctRows> table;
    std::optional<lq::kernels::kmeans::BlocksAhead> blocks;
    if (ahead) {
        lq::kernels::PassProgress progress;
        blocks.emplace(view.count);
        std::jthread follower([&] { blocks->follow(progress); });
        table.emplace(view, &positions, 1, &progress);
    } else {
        table.emplace(view, &positions);
    }
    // Two clusters: one seeding step, so that the blocks are made.
    lq::kernels::kmeans::Shared shared({*table, positions, 2, nullptr, true, {}, workers, blocks ? &*blocks : nullptr});
    lq::kernels::Stop stop;
    if (!shared.blocks_made)
        for (std::size_t part = 0; part < shared.block_parts.size(); ++part) shared.build_part(part, stop);
    shared.list_blocks();
    std::vector<std::int64_t> sizes;
    std::vector<std::int32_t> colours, counts;
    for (const lq::kernels::kmeans::Block& block : shared.block_list) {
        sizes.push_back(block.pairs);
        colours.insert(colours.end(), block.colour, block.colour + block.pairs);
        counts.insert(counts.end(), block.count, block.count + block.pairs);
    }
    Ref block_rows = Ref::steal(PyLong_FromLongLong(shared.block_rows));
    Ref size_bytes = bytes_of(sizes.data(), sizes.size());
    Ref colour_bytes = bytes_of(colours.data(), colours.size());
    Ref count_bytes = bytes_of(counts.data(), counts.size());
    if (!block_rows || !size_bytes || !colour_bytes || !count_bytes) return nullptr;
    return PyTuple_Pack(5, block_rows.get(), size_bytes.get(), colour_bytes.get(), count_bytes.get(),
                        shared.blocks_made ? Py_True : Py_False);
}

// ciede2000(float64 buffer of N x 3, float64 buffer of N x 3) -> float64 bytes: the colour search's
// CIEDE2000 of each pair, to hold against cielab.ciede2000.
PyObject* ciede2000(PyObject*, PyObject* args) {
    Buffer first, second;
    if (!PyArg_ParseTuple(args, "y*y*", &first.view, &second.view)) return nullptr;
    first.held = second.held = true;
    if (first.count<double>() != second.count<double>() || first.count<double>() % 3 != 0) {
        PyErr_SetString(PyExc_ValueError, "two buffers of N x 3 float64 expected");
        return nullptr;
    }
    std::vector<double> out(first.count<double>() / 3);
    const double* a = first.as<double>();
    const double* b = second.as<double>();
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = lq::kernels::colour::ciede2000({a[3 * i], a[3 * i + 1], a[3 * i + 2]},
                                                {b[3 * i], b[3 * i + 1], b[3 * i + 2]});
    return bytes_of(out.data(), out.size()).release();
}

// ciede2000_floor(L, a, b, low L, a, b, high L, a, b) -> the lower bound of CIEDE2000 from the colour over
// the box.
PyObject* ciede2000_floor(PyObject*, PyObject* args) {
    double c[3], low[3], high[3];
    if (!PyArg_ParseTuple(args, "ddddddddd", &c[0], &c[1], &c[2], &low[0], &low[1], &low[2], &high[0], &high[1],
                          &high[2]))
        return nullptr;
    const lq::kernels::colour::DifferenceFloor floor({c[0], c[1], c[2]});
    return PyFloat_FromDouble(
        std::sqrt(floor.lightness(low[0], high[0]) + floor.chromatic(low[1], high[1], low[2], high[2])));
}

// The cells of a level's grid a colour search takes as holding points of the CIEDE2000 ball, one byte each
// (L, a, b major to minor).
std::vector<std::uint8_t> cells_in_ball(const lq::kernels::colour::Lab& centre, double radius, int level) {
    namespace colour = lq::kernels::colour;
    const colour::CellFloors floors = colour::cell_floors(centre, radius);
    const int squares = colour::squares_of(level);
    std::vector<std::uint8_t> inside;
    for (int l = 0; l < colour::cells_l; ++l)
        for (int a = 0; a < squares; ++a)
            for (int b = 0; b < squares; ++b) inside.push_back(floors.squared(level, l, a, b) <= radius * radius);
    return inside;
}

// ball_cells(L, a, b, radius, fine=False) -> bytes: per cell of the coarse grid (or the fine), 1 where a
// search takes it to meet the ball.
PyObject* ball_cells(PyObject*, PyObject* args) {
    double l = 0, a = 0, b = 0, radius = 0;
    int fine = 0;
    if (!PyArg_ParseTuple(args, "dddd|p", &l, &a, &b, &radius, &fine)) return nullptr;
    const std::vector<std::uint8_t> inside =
        cells_in_ball({l, a, b}, radius, fine ? 0 : lq::kernels::colour::fine_levels);
    return bytes_of(inside.data(), inside.size()).release();
}

// Directions besides the axes along which the hull of the ball's cells is given: the face and body diagonals.
std::vector<double> diagonal_directions() {
    std::vector<double> out;
    for (int l = -1; l <= 1; ++l)
        for (int a = -1; a <= 1; ++a)
            for (int b = -1; b <= 1; ++b) {
                const int nonzero = (l != 0) + (a != 0) + (b != 0);
                if (nonzero < 2) continue;
                const double norm = std::sqrt(static_cast<double>(nonzero));
                out.insert(out.end(), {l / norm, a / norm, b / norm});
            }
    return out;
}

// ball_shape(L, a, b, radius) -> (low, high, directions, extents): the box of the cells a search takes for a
// CIEDE2000 ball and their extent along each diagonal direction u (the greatest u . (x - centre)), a hull
// of the region for checks written against boxes.
PyObject* ball_shape(PyObject*, PyObject* args) {
    namespace colour = lq::kernels::colour;
    double c[3] = {0, 0, 0}, radius = 0;
    if (!PyArg_ParseTuple(args, "dddd", &c[0], &c[1], &c[2], &radius)) return nullptr;
    const std::vector<std::uint8_t> inside = cells_in_ball({c[0], c[1], c[2]}, radius, colour::fine_levels);
    const std::vector<double> directions = diagonal_directions();
    const double inf = std::numeric_limits<double>::infinity();
    double low[3] = {inf, inf, inf}, high[3] = {-inf, -inf, -inf};
    std::vector<double> extents(directions.size() / 3, -inf);
    const double origin[3] = {colour::low_l, colour::low_ab, colour::low_ab};
    std::size_t at = 0;
    for (int l = 0; l < colour::cells_l; ++l)
        for (int a = 0; a < colour::cells_a; ++a)
            for (int b = 0; b < colour::cells_b; ++b) {
                if (!inside[at++]) continue;
                const int cell[3] = {l, a, b};
                double first[3], last[3];
                for (int axis = 0; axis < 3; ++axis) {
                    first[axis] = origin[axis] + cell[axis] * colour::cell_size;
                    last[axis] = first[axis] + colour::cell_size;
                    // The first and last slabs hold every lightness beyond the grid's.
                    if (axis == 0 && l == 0) first[axis] = -inf;
                    if (axis == 0 && l == colour::cells_l - 1) last[axis] = inf;
                    low[axis] = std::min(low[axis], first[axis]);
                    high[axis] = std::max(high[axis], last[axis]);
                }
                for (std::size_t k = 0; k < extents.size(); ++k) {
                    double extent = 0.0;
                    for (int axis = 0; axis < 3; ++axis) {
                        const double u = directions[3 * k + static_cast<std::size_t>(axis)];
                        if (u != 0.0) extent += u * ((u > 0.0 ? last[axis] : first[axis]) - c[axis]);
                    }
                    extents[k] = std::max(extents[k], extent);
                }
            }
    return Py_BuildValue("((ddd)(ddd)NN)", low[0], low[1], low[2], high[0], high[1], high[2],
                         bytes_of(directions.data(), directions.size()).release(),
                         bytes_of(extents.data(), extents.size()).release());
}

// ball_box(L, a, b, radius) -> ((low L, a, b), (high L, a, b)): the box of ball_shape.
PyObject* ball_box(PyObject* self, PyObject* args) {
    const Ref shape = Ref::steal(ball_shape(self, args));
    if (!shape) return nullptr;
    return PyTuple_GetSlice(shape.get(), 0, 2);
}

PyMethodDef methods[] = {
    {"random_sample", random_sample, METH_VARARGS, nullptr},
    {"pairwise_sum", pairwise_sum, METH_VARARGS, nullptr},
    {"first_rows", first_rows, METH_VARARGS, nullptr},
    {"distinct_rows", distinct_rows, METH_VARARGS, nullptr},
    {"colour_cells", colour_cells, METH_VARARGS, nullptr},
    {"seeding_blocks", seeding_blocks, METH_VARARGS, nullptr},
    {"ciede2000", ciede2000, METH_VARARGS, nullptr},
    {"ciede2000_floor", ciede2000_floor, METH_VARARGS, nullptr},
    {"ball_cells", ball_cells, METH_VARARGS, nullptr},
    {"ball_box", ball_box, METH_VARARGS, nullptr},
    {"ball_shape", ball_shape, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {{0, nullptr}};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "lumvarde_quorle._testkernels",
    .m_doc = "The kernels' primitives, for the test suite only.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit__testkernels() { return PyModuleDef_Init(&definition); }
