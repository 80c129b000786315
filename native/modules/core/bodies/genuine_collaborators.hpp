// What the native shortcuts of init_variogram_model know about the genuine NumPy, SciPy and the
// package's great-circle distance, held by one object that examines them on first use.
//
// Each collaborator is taken from its implementation module (not from a namespace a caller can
// patch) and, where the shortcut reproduces its arithmetic, checked once against it. A shortcut
// runs only when the object the statements look up is the very object recorded here.
#pragma once

#include "common/owned_ref.hpp"
#include "engine/numpy_pairwise_tree.hpp"

#include <array>

namespace krige::genuine {

struct Numpy {
    PyObject *module, *ndarray, *empty, *max, *min, *mean, *zeros, *indices, *radians, *nextafter,
        *getbufsize, *floating;
};

class Collaborators {
  public:
    const Numpy &numpy() const { return numpy_; }

    // `np` is NumPy's own module (and still a plain module, so attribute reads run no code).
    bool is_numpy(PyObject *np) const;

    // The sums of np.mean in this call: in chunks of NumPy's buffer size, or whole. 0 or -1.
    int summation_rule(pairs::SummationRule &rule) const;

    // `pdist` is SciPy's own and its Euclidean distances of `columns` columns (and its squared
    // distances of one column) are the native ones. 1 yes, 0 no, -1 error (from the check).
    int pdist_usable(PyObject *pdist, Py_ssize_t columns);

    // `function` is the package's own great_circle_distance with its own helpers, and NumPy's
    // radians is the native conversion. 1 yes, 0 no, -1 error. `diameter` is 2 × the radius.
    int great_circle_usable(PyObject *function, double &diameter);

    // Degrees to radians as NumPy's radians computes them.
    static double radians(double degrees);
    // Non-zero degrees below this magnitude could underflow in the conversion: the engine leaves
    // them to NumPy, and the examination of radians does not try them.
    static constexpr double smallest_converted_degrees = 0x1p-1000;

  private:
    friend int collaborators(Collaborators *&);
    int examine();
    int examine_scipy();
    int examine_geodesy();

    Numpy numpy_{};
    bool chunked_ = false;
    Ref keep_; // a list that keeps every recorded object alive

    PyObject *pdist_ = nullptr;
    std::array<signed char, 33> euclidean_{}; // per column count: 0 unchecked, 1 same, -1 differs
    signed char sqeuclidean_ = 0;

    PyObject *geodesy_dict_ = nullptr, *great_circle_ = nullptr, *great_circle_code_ = nullptr;
    std::array<PyObject *, 4> geodesy_names_{}; // np, _geodesy, _lon_lat_radians, real_array
    std::array<PyObject *, 5> numpy_used_{};    // radians, empty, array_equal, asarray, ma
    PyObject *kernel_ = nullptr;                // _geodesy.haversine_matrix
    double radius_ = 0.0;
    signed char radians_ = 0;
};

// The facts, examined at the first call that needs them: 1 with `out` set, 0 when NumPy is not
// usable here (recorded for good), -1 with an exception set (nothing recorded: the next call
// examines again, so that an interrupted examination is not taken for a verdict).
int collaborators(Collaborators *&out);

} // namespace krige::genuine
