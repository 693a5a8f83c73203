// lumvarde_quorle._testkernels: the primitives of the native kernels that replicate library arithmetic,
// exposed for the test suite only, so that a rounding-level change in one of them fails a test of its
// own instead of showing up as a rare difference in whole fits. Not part of the package's interface.
#include <cstdint>
#include <cstring>
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

// distinct_rows(uint8 buffer of N x 3) -> (values, counts, row positions): the table's values (3 bytes
// each, first occurrence first), how many rows hold each (int64), and each row's position (int32).
PyObject* distinct_rows(PyObject*, PyObject* args) {
    Buffer rows;
    if (!PyArg_ParseTuple(args, "y*", &rows.view)) return nullptr;
    rows.held = true;
    if (rows.view.len % 3 != 0) {
        PyErr_SetString(PyExc_ValueError, "rows of three bytes expected");
        return nullptr;
    }
    const lq::kernels::ByteRows view{rows.as<std::uint8_t>(), rows.view.len / 3, 3, 1};
    lq::kernels::RowColours positions;
    const lq::kernels::DistinctRows table(view, &positions);
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
    shared.order_runs();
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

// ball_box(L, a, b, radius) -> ((low L, a, b), (high L, a, b)) or None when the ball reaches the edge of
// colour space: the box a colour search reads for a CIEDE2000 ball.
PyObject* ball_box(PyObject*, PyObject* args) {
    double l = 0, a = 0, b = 0, radius = 0;
    if (!PyArg_ParseTuple(args, "dddd", &l, &a, &b, &radius)) return nullptr;
    const lq::kernels::colour::Box box = lq::kernels::colour::ball_box({l, a, b}, radius);
    if (box.everywhere) return Ref::none().release();
    return Py_BuildValue("((ddd)(ddd))", box.low[0], box.low[1], box.low[2], box.high[0], box.high[1], box.high[2]);
}

// ball_shape(L, a, b, radius) -> (low, high, directions, extents) or None when the ball reaches the edge of
// colour space: the box of a CIEDE2000 ball and its extent along each diagonal direction.
PyObject* ball_shape(PyObject*, PyObject* args) {
    double l = 0, a = 0, b = 0, radius = 0;
    if (!PyArg_ParseTuple(args, "dddd", &l, &a, &b, &radius)) return nullptr;
    lq::kernels::colour::Shape shape;
    lq::kernels::colour::ball_shapes({l, a, b}, &radius, 1, &shape);
    if (shape.box.everywhere) return Ref::none().release();
    const auto directions = lq::kernels::colour::diagonal_directions();
    std::vector<double> flat;
    for (const auto& u : directions) flat.insert(flat.end(), {u.l, u.a, u.b});
    return Py_BuildValue("((ddd)(ddd)NN)", shape.box.low[0], shape.box.low[1], shape.box.low[2], shape.box.high[0],
                         shape.box.high[1], shape.box.high[2], bytes_of(flat.data(), flat.size()).release(),
                         bytes_of(shape.extent.data(), shape.extent.size()).release());
}

PyMethodDef methods[] = {
    {"random_sample", random_sample, METH_VARARGS, nullptr},
    {"pairwise_sum", pairwise_sum, METH_VARARGS, nullptr},
    {"first_rows", first_rows, METH_VARARGS, nullptr},
    {"distinct_rows", distinct_rows, METH_VARARGS, nullptr},
    {"colour_cells", colour_cells, METH_VARARGS, nullptr},
    {"ciede2000", ciede2000, METH_VARARGS, nullptr},
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
