// orv._algos.spmis.krige._geodesy: the haversine kernel behind great_circle_distance.
//
// The Python side validates and converts the coordinates and allocates the result; this module
// only fills it, one pair at a time, without the N×M temporaries that whole-array arithmetic
// needs. For a set of points against itself only one triangle is computed and mirrored, which
// keeps the matrix exactly symmetric.
//
// The work runs with the interpreter lock released, on the configured number of threads for
// large matrices, and stops within milliseconds of a Ctrl-C: every entry is computed on its own,
// so the rows can be shared out in any way and the result has the same bits for any count.
#include "common/array_buffer.hpp"
#include "common/haversine.hpp"
#include "common/interpreter_interrupt.hpp"
#include "common/thread_settings.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

namespace {

using krige::Access;
using krige::Checkpoint;
using krige::Float64Buffer;
using krige::geodesy::distance;

// Entries (or cosines, or mirrored entries) between two looks at the checkpoint.
constexpr Py_ssize_t steps_between_polls = 4096;

// Counts work done and looks at the checkpoint once enough has accumulated.
class Poll {
  public:
    explicit Poll(Checkpoint &checkpoint) : checkpoint_(checkpoint) {}
    // The count of steps that may run before the next look.
    Py_ssize_t budget() const { return steps_between_polls - done_; }
    // Records `steps` done; true when the work must stop.
    bool stop_after(Py_ssize_t steps) {
        done_ += steps;
        if (done_ < steps_between_polls) return false;
        done_ = 0;
        return checkpoint_.stop_requested();
    }

  private:
    Checkpoint &checkpoint_;
    Py_ssize_t done_ = 0;
};

struct Matrix {
    const double *lon_a, *lat_a, *lon_b, *lat_b;
    double *cos_b; // std::cos of lat_b, filled first
    double *out;   // rows × columns
    Py_ssize_t rows, columns;
    bool same;
    double diameter;
    int threads;

    // cos_b over this worker's contiguous share of the columns.
    void fill_cosines(int worker, Checkpoint &checkpoint) const {
        const Py_ssize_t first = columns * worker / threads;
        const Py_ssize_t last = columns * (worker + 1) / threads;
        Poll poll(checkpoint);
        for (Py_ssize_t j0 = first; j0 < last;) {
            const Py_ssize_t j1 = std::min(last, j0 + poll.budget());
            for (Py_ssize_t j = j0; j < j1; ++j)
                cos_b[j] = std::cos(lat_b[j]);
            if (poll.stop_after(j1 - j0)) return;
            j0 = j1;
        }
    }

    // Rows worker, worker + threads, …: all columns, or for `same` the lower triangle with the
    // diagonal. Interleaved rows give every worker a like share of the triangle.
    void fill_rows(int worker, Checkpoint &checkpoint) const {
        Poll poll(checkpoint);
        for (Py_ssize_t i = worker; i < rows; i += threads) {
            const double lon_i = lon_a[i], lat_i = lat_a[i];
            const double cos_i = std::cos(lat_i);
            double *row = out + i * columns;
            const Py_ssize_t end = same ? i + 1 : columns;
            for (Py_ssize_t j0 = 0; j0 < end;) {
                const Py_ssize_t j1 = std::min(end, j0 + poll.budget());
                for (Py_ssize_t j = j0; j < j1; ++j)
                    row[j] = distance(lon_i, lat_i, cos_i, lon_b[j], lat_b[j], cos_b[j], diameter);
                if (poll.stop_after(j1 - j0)) return;
                j0 = j1;
            }
        }
    }

    // Copies the strictly lower triangle of the square matrix onto the upper one, tile by tile so
    // that the column-wise writes stay within a few pages at a time. A column of tiles is written
    // by one worker only: workers never write the same entries.
    void mirror_lower_triangle(int worker, Checkpoint &checkpoint) const {
        constexpr Py_ssize_t tile = 64;
        const Py_ssize_t n = rows;
        Poll poll(checkpoint);
        for (Py_ssize_t i0 = tile * worker; i0 < n; i0 += tile * threads)
            for (Py_ssize_t j0 = 0; j0 <= i0; j0 += tile) {
                for (Py_ssize_t i = i0; i < std::min(i0 + tile, n); ++i)
                    for (Py_ssize_t j = j0; j < std::min({j0 + tile, i, n}); ++j)
                        out[j * n + i] = out[i * n + j];
                if (poll.stop_after(tile * tile)) return;
            }
    }
};

// haversine_matrix(lon_a, lat_a, lon_b, lat_b, out, radius, same): fills out[i, j] with the
// distance between (lon_a[i], lat_a[i]) and (lon_b[j], lat_b[j]), all in radians.
PyObject *haversine_matrix(PyObject *, PyObject *const *args, Py_ssize_t count) {
    if (count != 7) {
        PyErr_SetString(PyExc_TypeError, "haversine_matrix() takes 7 arguments");
        return nullptr;
    }
    Float64Buffer lon_a(args[0], 1, Access::read, "lon_a"),
        lat_a(args[1], 1, Access::read, "lat_a");
    Float64Buffer lon_b(args[2], 1, Access::read, "lon_b"),
        lat_b(args[3], 1, Access::read, "lat_b");
    Float64Buffer out(args[4], 2, Access::write, "out");
    if (!lon_a || !lat_a || !lon_b || !lat_b || !out) return nullptr;
    double radius = PyFloat_AsDouble(args[5]);
    int same = PyObject_IsTrue(args[6]);
    if ((radius == -1.0 && PyErr_Occurred()) || same < 0) return nullptr;
    const Py_ssize_t rows = lat_a.extent(0), columns = lat_b.extent(0);
    if (lon_a.extent(0) != rows || lon_b.extent(0) != columns || out.extent(0) != rows ||
        out.extent(1) != columns || (same && rows != columns)) {
        PyErr_SetString(PyExc_ValueError, "haversine_matrix(): shapes do not match");
        return nullptr;
    }
    const int64_t pairs = same ? int64_t(rows) * (rows + 1) / 2 : int64_t(rows) * columns;
    krige::ThreadPolicy policy;
    if (!krige::read_thread_policy(policy)) return nullptr;
    const int threads = policy.threads_for(pairs);
    std::vector<double> cos_b;
    try {
        cos_b.resize(size_t(columns));
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    const Matrix matrix{lon_a.data(), lat_a.data(), lon_b.data(), lat_b.data(),
                        cos_b.data(), out.data(),   rows,         columns,
                        same != 0,    2.0 * radius, threads};
    // Each step runs on every worker and finishes before the next starts.
    krige::RunStatus status;
    {
        krige::ReleasedInterpreter interpreter;
        auto run_step = [&](void (Matrix::*step)(int, Checkpoint &) const) {
            return krige::run_parallel(
                threads, interpreter,
                [&](int worker, Checkpoint &checkpoint) { (matrix.*step)(worker, checkpoint); });
        };
        status = run_step(&Matrix::fill_cosines);
        if (status == krige::RunStatus::finished) status = run_step(&Matrix::fill_rows);
        if (status == krige::RunStatus::finished && same)
            status = run_step(&Matrix::mirror_lower_triangle);
    }
    if (krige::raise_for(status) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef geodesy_methods[] = {
    {"haversine_matrix", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(haversine_matrix)),
     METH_FASTCALL,
     "haversine_matrix(lon_a, lat_a, lon_b, lat_b, out, radius, same)\n--\n\n"
     "Fills out[i, j] with great-circle distances (radians in, radius units out)."},
    {nullptr, nullptr, 0, nullptr}};

// The most threads any engine starts, for the package's thread setting.
int geodesy_exec(PyObject *module) {
    return PyModule_AddIntConstant(module, "MOST_THREADS", krige::most_threads);
}

PyModuleDef_Slot geodesy_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(geodesy_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr}};

PyModuleDef geodesy_module = {PyModuleDef_HEAD_INIT,
                              "_geodesy",
                              "Haversine kernel of great_circle_distance.",
                              0,
                              geodesy_methods,
                              geodesy_slots,
                              nullptr,
                              nullptr,
                              nullptr};

} // namespace

PyMODINIT_FUNC PyInit__geodesy(void) {
    return PyModuleDef_Init(&geodesy_module);
}
