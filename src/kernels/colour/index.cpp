#include "kernels/colour/index.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

#include "kernels/threads.hpp"

namespace lq::kernels::colour {
namespace {

constexpr std::int64_t cells = static_cast<std::int64_t>(cells_l) * cells_a * cells_b;
// Rows a thread takes at a time: small enough to share a search's work evenly, large enough that
// taking one costs nothing.
constexpr std::int64_t piece_rows = 16384;

// The greatest extra reach (beyond the tolerance) of a level's records; the last level has no bound.
double level_bound(int level) noexcept {
    if (level == 0) return 0.0;
    if (level == levels - 1) return std::numeric_limits<double>::infinity();
    return std::ldexp(1.0, level - 1);
}

int level_of(double extra) noexcept {
    for (int level = 0; level < levels - 1; ++level)
        if (extra <= level_bound(level)) return level;
    return levels - 1;  // also a reach that is not a number
}

// The cell of a coordinate, records beyond the grid in its edge cells (not a number: the first).
int cell_of(double value, double low, int count) noexcept {
    const double position = (value - low) / cell_size;
    if (!(position >= 0.0)) return 0;
    return position < count ? static_cast<int>(position) : count - 1;
}

std::int64_t bucket_of(int level, int l, int a, int b) noexcept {
    return ((static_cast<std::int64_t>(level) * cells_l + l) * cells_a + a) * cells_b + b;
}

// A record's fields; the bytes are little-endian, as NumPy's "<f2", "<u2" and "<u4" store them.
std::uint16_t u16_at(const std::uint8_t* bytes) noexcept {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}
std::uint32_t u32_at(const std::uint8_t* bytes) noexcept {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}
Lab lab_at(const std::uint8_t* record) noexcept {
    return {half_value(u16_at(record)), half_value(u16_at(record + 2)), half_value(u16_at(record + 4))};
}

// distribution._spreads: 0, or 2^(code / 16 - 5).
std::array<double, 256> spread_table() noexcept {
    std::array<double, 256> table{};
    for (int code = 1; code < 256; ++code) table[code] = std::exp2(static_cast<double>(code) / 16.0 - 5.0);
    return table;
}

double widest_of(const std::uint8_t* record, const std::array<double, 256>& spreads) noexcept {
    return std::max({spreads[record[8]], spreads[record[9]], spreads[record[10]]});
}

struct Span {
    std::int64_t begin, end;
};

struct Contribution {
    std::uint32_t image;
    double value;
};

// What Distributions.parts computes for one query: the percent of its image a row contributes, 0 when
// it holds nothing within the tolerance (or lies beyond its reach).
struct Estimator {
    Lab query, query_warped;
    double tolerance, tail, tail_ratio;
    std::array<double, 256> spreads;

    double operator()(const std::uint8_t* row) const noexcept {
        const Lab lab = lab_at(row);
        const std::array<double, 3> sigma = {spreads[row[8]], spreads[row[9]], spreads[row[10]]};
        const double reach = tolerance + tail_ratio * std::max({sigma[0], sigma[1], sigma[2]});
        if (!(std::fabs(lab.l - query.l) <= 1.75 * reach)) return 0.0;
        const double difference = ciede2000(query, lab);
        if (!(difference <= reach)) return 0.0;
        const Lab warp = warped(lab);
        const double offset[3] = {warp.l - query_warped.l, warp.a - query_warped.a, warp.b - query_warped.b};
        const double apart = std::sqrt(offset[0] * offset[0] + offset[1] * offset[1] + offset[2] * offset[2]);
        double squares = 0.0;
        for (int axis = 0; axis < 3; ++axis) {
            const double unit = offset[axis] / apart;
            squares += unit * unit * (sigma[axis] * sigma[axis]);
        }
        const double along = std::sqrt(squares) * difference / apart;
        const double spread = apart > 0.0 && std::isfinite(along) ? along : 0.0;
        double fraction;
        if (spread > 0.0)
            fraction = difference - tolerance > tail * spread ? 0.0 : ndtr((tolerance - difference) / spread);
        else fraction = difference <= tolerance ? 1.0 : 0.0;
        return fraction * (static_cast<double>(u16_at(row + 6)) * (100.0 / 65535.0));
    }
};

// Directions spread evenly over the sphere (a Fibonacci lattice) and the six axes.
std::vector<Lab> directions() {
    constexpr int count = 160;
    std::vector<Lab> out = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
    const double golden = std::numbers::pi * (3.0 - std::sqrt(5.0));
    for (int i = 0; i < count; ++i) {
        const double z = 1.0 - (2.0 * i + 1.0) / count, r = std::sqrt(1.0 - z * z);
        out.push_back({z, r * std::cos(golden * i), r * std::sin(golden * i)});
    }
    return out;
}

}  // namespace

void build_index(const std::uint8_t* records, const std::int64_t* starts, std::int64_t images, double tail_ratio,
                 std::int64_t* bucket_starts, std::uint8_t* rows, Stop& stop) {
    const std::array<double, 256> spreads = spread_table();
    const std::int64_t total = starts[images] - starts[0];
    std::vector<std::uint32_t> bucket(static_cast<std::size_t>(total));
    std::vector<std::int64_t> next(static_cast<std::size_t>(bucket_count) + 1, 0);
    for (std::int64_t row = 0; row < total; ++row) {
        if ((row & 0xFFFFF) == 0) stop.poll();
        const std::uint8_t* record = records + row * static_cast<std::int64_t>(record_bytes);
        const Lab lab = lab_at(record);
        const int level = level_of(tail_ratio * widest_of(record, spreads));
        bucket[row] = static_cast<std::uint32_t>(bucket_of(
            level, cell_of(lab.l, low_l, cells_l), cell_of(lab.a, low_ab, cells_a), cell_of(lab.b, low_ab, cells_b)));
        ++next[bucket[row] + 1];
    }
    for (std::int64_t b = 0; b < bucket_count; ++b) next[b + 1] += next[b];
    std::copy(next.begin(), next.end(), bucket_starts);
    for (std::int64_t image = 0; image < images; ++image) {
        if ((image & 0xFFFF) == 0) stop.poll();
        for (std::int64_t row = starts[image] - starts[0]; row < starts[image + 1] - starts[0]; ++row) {
            std::uint8_t* out = rows + next[bucket[row]]++ * static_cast<std::int64_t>(row_bytes);
            std::memcpy(out, records + row * static_cast<std::int64_t>(record_bytes), record_bytes);
            const auto position = static_cast<std::uint32_t>(image);
            for (int byte = 0; byte < 4; ++byte)
                out[record_bytes + byte] = static_cast<std::uint8_t>(position >> (8 * byte));
        }
    }
}

Box ball_box(const Lab& centre, double radius) noexcept {
    Box box{{centre.l, centre.a, centre.b}, {centre.l, centre.a, centre.b}};
    // Colour differences level off far from a colour (the weights grow with lightness and chroma), so a
    // wide ball may have no edge within colour space.
    constexpr double beyond = 1024.0;
    const auto inside = [&](const Lab& u, double t) {
        return ciede2000(centre, {centre.l + t * u.l, centre.a + t * u.a, centre.b + t * u.b}) <= radius;
    };
    for (const Lab& u : directions()) {
        double low = 0.0, high = std::max(radius, 1.0);
        while (inside(u, high)) {
            low = high;
            high *= 2.0;
            if (high > beyond) {
                box.everywhere = true;
                return box;
            }
        }
        for (int step = 0; step < 18; ++step) {
            const double middle = (low + high) / 2.0;
            (inside(u, middle) ? low : high) = middle;
        }
        const double edge[3] = {centre.l + high * u.l, centre.a + high * u.a, centre.b + high * u.b};
        for (int axis = 0; axis < 3; ++axis) {
            box.low[axis] = std::min(box.low[axis], edge[axis]);
            box.high[axis] = std::max(box.high[axis], edge[axis]);
        }
    }
    // The directions sample the ball's surface: its true extent lies a little beyond theirs.
    const double margin = 0.15 * radius + 1.0;
    for (int axis = 0; axis < 3; ++axis) {
        box.low[axis] -= margin;
        box.high[axis] += margin;
    }
    return box;
}

Shares colour_shares(const std::int64_t* bucket_starts, const std::uint8_t* rows, std::int64_t images, const Lab& query,
                     double tolerance, double tail, double ratio, int threads, Stop& stop) {
    const Estimator estimate{query, warped(query), tolerance, tail, tail * ratio, spread_table()};
    std::vector<Span> spans;
    for (int level = 0; level < levels; ++level) {
        if (bucket_starts[level * cells] == bucket_starts[(level + 1) * cells]) continue;
        const double bound = level_bound(level);
        const Box box = std::isfinite(bound) ? ball_box(query, tolerance + bound) : Box{{}, {}, true};
        int low[3] = {0, 0, 0}, high[3] = {cells_l - 1, cells_a - 1, cells_b - 1};
        if (!box.everywhere) {
            const double origin[3] = {low_l, low_ab, low_ab};
            const int count[3] = {cells_l, cells_a, cells_b};
            for (int axis = 0; axis < 3; ++axis) {
                low[axis] = cell_of(box.low[axis], origin[axis], count[axis]);
                high[axis] = cell_of(box.high[axis], origin[axis], count[axis]);
            }
        }
        for (int l = low[0]; l <= high[0]; ++l)
            for (int a = low[1]; a <= high[1]; ++a) {
                const Span span{bucket_starts[bucket_of(level, l, a, low[2])],
                                bucket_starts[bucket_of(level, l, a, high[2]) + 1]};
                for (std::int64_t begin = span.begin; begin < span.end; begin += piece_rows)
                    spans.push_back({begin, std::min(begin + piece_rows, span.end)});
            }
    }
    // Each piece's contributions in row order, pieces in bucket order: the sums below add them in one
    // order whatever thread computed them.
    std::vector<std::vector<Contribution>> found(spans.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> bad_row{false};
    const int workers = std::clamp(threads, 1, static_cast<int>(std::max<std::size_t>(spans.size(), 1)));
    run_on_threads(workers, stop, [&] {
        for (std::size_t piece; (piece = next.fetch_add(1)) < spans.size();) {
            stop.poll();
            std::vector<Contribution>& out = found[piece];
            for (std::int64_t row = spans[piece].begin; row < spans[piece].end; ++row) {
                const std::uint8_t* bytes = rows + row * static_cast<std::int64_t>(row_bytes);
                const double value = estimate(bytes);
                if (!(value > 0.0)) continue;
                const std::uint32_t image = u32_at(bytes + record_bytes);
                if (image >= static_cast<std::uint64_t>(images)) {
                    bad_row = true;
                    continue;
                }
                out.push_back({image, value});
            }
        }
    });
    Shares result;
    result.bad_row = bad_row;
    std::vector<double> sums(static_cast<std::size_t>(images), 0.0);
    std::vector<std::uint8_t> touched(static_cast<std::size_t>(images), 0);
    for (const std::vector<Contribution>& piece : found)
        for (const Contribution& each : piece) {
            sums[each.image] += each.value;
            touched[each.image] = 1;
        }
    for (std::int64_t image = 0; image < images; ++image)
        if (touched[image]) {
            result.images.push_back(static_cast<std::uint32_t>(image));
            result.shares.push_back(sums[image]);
        }
    return result;
}

void signature_shared(const std::int64_t* column_starts, std::int64_t vertices, const std::uint32_t* images,
                      const std::uint16_t* weights, const double* query, std::int64_t image_count, double* shared,
                      int threads, Stop& stop) {
    std::fill(shared, shared + image_count, 0.0);
    // Threads take parts of the images, so that each image's sum runs over the vertices in order.
    constexpr std::int64_t part = 1 << 16;
    const std::int64_t parts = (image_count + part - 1) / part;
    std::atomic<std::int64_t> next{0};
    run_on_threads(std::clamp<std::int64_t>(threads, 1, std::max<std::int64_t>(parts, 1)), stop, [&] {
        for (std::int64_t taken; (taken = next.fetch_add(1)) < parts;) {
            stop.poll();
            const std::uint32_t first = static_cast<std::uint32_t>(taken * part);
            const std::uint32_t last = static_cast<std::uint32_t>(std::min(image_count, (taken + 1) * part));
            for (std::int64_t vertex = 0; vertex < vertices; ++vertex) {
                const double weight = query[vertex];
                if (!(weight > 0.0)) continue;
                const std::uint32_t* begin = images + column_starts[vertex];
                const std::uint32_t* end = images + column_starts[vertex + 1];
                for (const std::uint32_t* entry = std::lower_bound(begin, end, first); entry != end && *entry < last;
                     ++entry)
                    shared[*entry] += std::min(static_cast<double>(weights[entry - images]) / 65535.0, weight);
            }
        }
    });
}

}  // namespace lq::kernels::colour
