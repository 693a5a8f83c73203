// The contract of the native K-means: what scikit-learn's KMeans(n_clusters=k, random_state=42,
// n_init=10).fit_predict is made of in the release the fit reproduces, declared once, and the reasons for
// which the fit leaves a decision to the library. kmeans.txt, beside this file, maps every step of the
// fit to the library's code of that release, says which bits are relied on and what checks each replica.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lq::kernels::kmeans::library {

// The releases whose KMeans the fit is verified to reproduce bit for bit (make releases), oldest first:
// sklearn.__version__ must start with one of them (checked before every native fit). 1.9 passed every check;
// 1.3, 1.7 and 1.8 the corpus of 108 images (432 fits) identical. 1.4 to 1.6 were identical on 27 images
// only, too few to list them yet: they fit by the library, with a warning, until make releases passes.
inline constexpr std::string_view releases[] = {"1.3", "1.7", "1.8", "1.9"};
// Set to an installed release's major.minor, the fit runs on that release too, so that make releases can
// compare it with that release's own KMeans before it is listed above.
inline constexpr const char* try_release_variable = "LQ_KMEANS_TRY_RELEASE";
inline constexpr std::uint32_t seed = 42;           // random_state, a legacy RandomState(42)
inline constexpr int runs = 10;                     // n_init
inline constexpr int max_iterations = 300;          // max_iter, the library's default
inline constexpr double relative_tolerance = 1e-4;  // tol, the library's default: times np.mean(np.var(X, axis=0))

// Why a fit, or one run's seeding, is left to the library. Names and texts are published by the module
// (_kmeans_fallback_reasons) and key its _kmeans_fallbacks counts.
enum class Reason : std::uint8_t {
    // Preconditions of the native fit (the library fits from the start).
    rebound,        // the module's KMeans or np is not the object imported
    replaced,       // KMeans.fit or fit_predict replaced on the class
    rows_form,      // pixel rows that are not an exact 8-bit N x 3 array
    too_many_rows,  // row counts beyond 32 bits
    release,        // another scikit-learn release
    no_dgemm,       // no BLAS dgemm whose rows are independent
    norm_order,     // row norms added in an order not known
    // Decisions that hang on the library's rounding (kmeans.txt, "Undecided bands").
    seeding_boundary,    // a k-means++ threshold on a boundary of the running distance sum
    seeding_tie,         // two k-means++ candidates of equal potential
    bisector,            // a colour on the bisector of two centres
    shift_at_tolerance,  // a centre shift at the tolerance
    empty_cluster,       // a cluster without rows
    equal_inertia,       // two runs of nearly equal inertia
    // With fewer distinct colours than clusters (the library's first run is the fit).
    seeds_miss_colour,  // a run whose seeds miss a colour
    first_run_merges,   // a first run that merges or splits colours
    count,
};

struct ReasonText {
    const char* name;
    const char* text;
};

inline constexpr ReasonText reasons[] = {
    {"rebound", "the module's KMeans or np rebound"},
    {"replaced", "KMeans.fit or KMeans.fit_predict replaced"},
    {"rows_form", "pixel rows that are not an exact 8-bit N x 3 array"},
    {"too_many_rows", "more than 2^31 - 1 pixel rows"},
    {"release", "a scikit-learn release the native K-means is not verified against"},
    {"no_dgemm", "no BLAS dgemm whose rows are independent"},
    {"norm_order", "row norms added in an order not known"},
    {"seeding_boundary", "a k-means++ threshold on a boundary of the running distance sum"},
    {"seeding_tie", "two k-means++ candidates of equal potential"},
    {"bisector", "a colour on the bisector of two centres"},
    {"shift_at_tolerance", "a centre shift at the tolerance"},
    {"empty_cluster", "a cluster without rows"},
    {"equal_inertia", "two runs of nearly equal inertia"},
    {"seeds_miss_colour", "a run whose seeds miss a colour"},
    {"first_run_merges", "a first run that merges or splits colours"},
};
static_assert(sizeof reasons / sizeof reasons[0] == static_cast<std::size_t>(Reason::count));

inline constexpr const ReasonText& text_of(Reason reason) { return reasons[static_cast<int>(reason)]; }

}  // namespace lq::kernels::kmeans::library
