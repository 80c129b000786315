#include "modules/core/frame/code_objects.hpp"

#include "modules/core/frame/constants.hpp"
#include "common/owned_ref.hpp"

#include <opcode.h>

#include <algorithm>
#include <new>
#include <span>
#include <string>
#include <vector>

namespace krige {
namespace {

// Source lines of each function: the def line, then every statement line in body order.
constexpr int adjust_anisotropy_lines[] = {15, 17, 18, 19, 20, 22, 23, 24, 26, 27,
                                           28, 29, 30, 31, 32, 33, 34, 35, 36, 37,
                                           38, 39, 40, 41, 42, 43, 44, 46, 48, 50};
constexpr int init_variogram_parameters_lines[] = {52, 54, 55, 57, 58, 59, 60, 62,
                                                   63, 64, 65, 67, 69, 71, 73};
constexpr int init_variogram_model_lines[] = {75, 77, 78, 79,  80,  81,  82,  83, 84,
                                              85, 86, 88, 90,  91,  92,  93,  94, 95,
                                              97, 98, 99, 100, 101, 103, 104, 106};

void put_varint(std::string &out, unsigned value) {
    for (; value >= 64; value >>= 6)
        out += char(64 | (value & 63));
    out += char(value);
}

void put_signed_varint(std::string &out, int value) {
    put_varint(out, value < 0 ? ((0u - unsigned(value)) << 1) | 1u : unsigned(value) << 1);
}

// One location entry per line, each "line, no columns", covering one code unit; the last entry
// covers the two units of the terminating pair.
std::string location_table(std::span<const int> lines) {
    std::string table;
    int previous = lines.front();
    for (size_t i = 0; i < lines.size(); ++i) {
        int units = i + 1 == lines.size() ? 2 : 1;
        table += char(0x80 | (13 << 3) | (units - 1));
        put_signed_varint(table, lines[i] - previous);
        previous = lines[i];
    }
    return table;
}

// RESUME for the def line, a NOP per statement, and a trailer that raises AssertionError: the code
// is never run by the module, but a caller who wraps it in a plain function gets an exception
// instead of running off the end of the bytecode.
std::string instructions(size_t line_count) {
    std::string code;
    auto emit = [&code](int opcode, int argument) {
        code += char(opcode);
        code += char(argument);
    };
    emit(RESUME, 0);
    for (size_t i = 1; i + 1 < line_count; ++i)
        emit(NOP, 0);
    emit(LOAD_ASSERTION_ERROR, 0);
    emit(RAISE_VARARGS, 1);
    return code;
}

Ref bytes(const std::string &content) {
    return Ref(PyBytes_FromStringAndSize(content.data(), Py_ssize_t(content.size())));
}

PyObject *make_code(PyObject *name, int argument_count, std::span<PyObject *const> variables,
                    std::span<const int> lines) {
    Ref code, table;
    try {
        code = bytes(instructions(lines.size()));
        table = bytes(location_table(lines));
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    if (!code || !table) return nullptr;
    Ref variable_names(PyTuple_New(Py_ssize_t(variables.size())));
    if (!variable_names) return nullptr;
    for (size_t i = 0; i < variables.size(); ++i)
        PyTuple_SET_ITEM(variable_names.get(), Py_ssize_t(i), Py_NewRef(variables[i]));
    using namespace literals;
    return reinterpret_cast<PyObject *>(PyUnstable_Code_NewWithPosOnlyArgs(
        argument_count, 0, 0, int(variables.size()), 1, CO_OPTIMIZED | CO_NEWLOCALS, code.get(),
        empty_tuple, empty_tuple, variable_names.get(), empty_tuple, empty_tuple,
        texts::source_file, name, name, lines.front(), table.get(), empty_bytes));
}

} // namespace

int make_code_objects() {
    using namespace names;
    if (code_objects::adjust_anisotropy == nullptr) {
        PyObject *const variables[] = {points,  center,   scale,    angle,    ndim_point, stretch,
                                       rot_tot, rotate_x, rotate_y, rotate_z, adj_points};
        code_objects::adjust_anisotropy =
            make_code(adjust_anisotropy, 4, variables, adjust_anisotropy_lines);
        if (code_objects::adjust_anisotropy == nullptr) return -1;
    }
    if (code_objects::init_variogram_parameters == nullptr) {
        PyObject *const variables[] = {model,  parameters, pars, par_names, set_names,
                                       errors, fun,        p_n,  p};
        code_objects::init_variogram_parameters =
            make_code(init_variogram_parameters, 2, variables, init_variogram_parameters_lines);
        if (code_objects::init_variogram_parameters == nullptr) return -1;
    }
    if (code_objects::init_variogram_model == nullptr) {
        PyObject *const variables[] = {points, values,  n_lags,       gtype, d,
                                       g,      indices, d_max,        d_min, dd,
                                       bins,   lags,    semivariance, n};
        code_objects::init_variogram_model =
            make_code(init_variogram_model, 4, variables, init_variogram_model_lines);
        if (code_objects::init_variogram_model == nullptr) return -1;
    }
    return 0;
}

} // namespace krige
