// The pair distances `d` and semivariances `g` of init_variogram_model's statements.
//
// With the genuine collaborators they need not exist: the streaming engine produces the pairs
// again whenever a statement needs them (np.max, np.min and np.mean of each class), in memory that
// grows with the number of samples, not of pairs. A statement that would hand `d` or `g` to
// anything else (a replaced NumPy function, say) first has them stored, bit for bit what the
// statements would have made, and then runs as written.
//
// Every member returns 1 when it did the work, 0 when the caller must run the statement as
// written, and -1 with an exception set.
#pragma once

#include "modules/core/bodies/genuine_collaborators.hpp"
#include "common/owned_ref.hpp"
#include "engine/streaming_classes.hpp"

#include <memory>
#include <vector>

namespace krige {

class VariogramPairs {
  public:
    Ref d, g; // the statements' arrays, once they exist

    // Line 79: instead of great_circle_distance(points, points) and lines 80 to 83, the pairs are
    // streamed when `distance` is the package's own function and nothing those lines do could be
    // seen (NumPy's own indices, float64 samples whose differences raise no floating-point flag).
    int stream_geographic(PyObject *distance, PyObject *points, PyObject *values);

    // Line 85: instead of pdist(points, metric="euclidean") and line 86.
    int stream_projected(PyObject *pdist, PyObject *points, PyObject *values);

    // Line 86: the statement's second look-up of pdist; when it is no longer SciPy's own, `d` is
    // stored and the statement runs as written. 0 or -1.
    int check_second_pdist(PyObject *pdist);

    // Line 81: np.indices, looked up by the statement; only NumPy's own lets the stream stand.
    int check_indices(PyObject *indices);

    bool streamed() const { return stream_ != nullptr; }

    // np.max(d) or np.min(d) into `result`, `function` being what the statement looked up.
    int extreme(PyObject *function, bool largest, Ref &result);

    // Lines 97 and 98: whether np.zeros was NumPy's own (fresh arrays, overlapping nothing).
    // 0 or -1.
    int note_zeros(PyObject *zeros);

    // target[n] = mean(source[(d >= bins[n]) & (d < bins[n + 1])]) for source d (of_g false) or
    // g, answered natively when `mean` is NumPy's own; 0 leaves the statement to the caller.
    int class_mean(PyObject *mean, PyObject *target, bool of_g, PyObject *bins, PyObject *n,
                   Py_ssize_t classes);

    // d and g as arrays, for the statements. 0 or -1.
    int store();

  private:
    int compute_classes(PyObject *bins, Py_ssize_t classes);

    genuine::Collaborators *facts_ = nullptr;
    std::unique_ptr<engine::PairStream> stream_;
    PyObject *pdist_ = nullptr; // SciPy's own pdist, as looked up at line 85
    bool zeros_genuine_ = true;
    enum class Classes { unknown, native, statements } classes_ = Classes::unknown;
    ThreadPolicy threads_; // read once per call, when the pairs are first needed
    engine::StreamedClassSums sums_;
    engine::Extremes extremes_{};
    bool have_extremes_ = false;
};

// d_max + 0.001 when that changes it, else the next value of d_max's floating type upwards: the
// top edge of the last class, so that the pairs at the largest distance stay inside it.
Ref raised_top_edge(PyObject *d_max);

} // namespace krige
