// adjust_anisotropy(points, center, scale, angle): every sample p becomes S · R · (p − c) + c,
// where c is `center`, R rotates by the negated angles of `angle` (degrees) and S stretches the
// second (and, in 3-D, the third) coordinate by the factors of `scale`.
//
// Each statement sets `line` before it runs, so that a failure is reported there. Operands are
// evaluated in the interpreter's left-to-right order: a callee is fetched into a local before its
// arguments are computed, since C++ leaves the order of argument evaluation open.
#include "modules/core/bodies/bodies.hpp"
#include "modules/core/frame/constants.hpp"
#include "modules/core/frame/runtime.hpp"

namespace krige {
namespace {

// np.pad(values, (0, np.max([0, count - values.size])), mode="edge"): `values` with its last entry
// repeated until it has at least `count` entries; longer arrays come back whole.
Ref extended(PyObject *values, PyObject *count) {
    Ref pad = global_attribute(names::np, names::pad);
    if (!pad) return Ref();
    Ref max = global_attribute(names::np, names::max);
    if (!max) return Ref();
    Ref size = attribute(values, names::size);
    if (!size) return Ref();
    Ref shortfall(PyNumber_Subtract(count, size.get()));
    if (!shortfall) return Ref();
    Ref items[] = {Ref::borrow(literals::zero), std::move(shortfall)};
    Ref candidates = new_list(items);
    if (!candidates) return Ref();
    Ref appended = call(max.get(), {candidates.get()});
    if (!appended) return Ref();
    Ref widths(PyTuple_Pack(2, literals::zero, appended.get()));
    if (!widths) return Ref();
    return call(pad.get(), {values, widths.get()}, {names::mode}, {names::edge});
}

// `scale` and `angle`: to_numeric_array(value).flatten() on the first line, then extended to
// `count` entries on the next.
Ref parameter_array(PyObject *value, PyObject *count, int first_line, int &line) {
    line = first_line;
    Ref converted = call(lookup_global(names::to_numeric_array).get(), {value});
    if (!converted) return Ref();
    Ref flat(PyObject_CallMethodNoArgs(converted.get(), names::flatten));
    if (!flat) return Ref();
    line = first_line + 1;
    return extended(flat.get(), count);
}

// The interpreter's `value == number` used as a condition: 1, 0, or -1 with an exception set.
int equals(PyObject *value, PyObject *number) {
    Ref outcome(PyObject_RichCompare(value, number, Py_EQ));
    return outcome ? PyObject_IsTrue(outcome.get()) : -1;
}

// One entry of a matrix literal: a constant 0 or 1, scale[k], or with a_k = angle[k] one of
// np.cos(-a_k), np.sin(-a_k) and -np.sin(-a_k).
struct Entry {
    enum Kind { zero, one, scale, cos, sin, minus_sin } kind;
    int k = 0;
};

// A square matrix written as nested lists over consecutive source lines, one row per line.
struct MatrixLiteral {
    int line; // the statement's first line, which holds the first row
    int order;
    Entry rows[3][3];
};

using E = Entry;

constexpr MatrixLiteral stretch_2d{27, 2, {{{E::one}, {E::zero}}, {{E::zero}, {E::scale, 0}}}};
constexpr MatrixLiteral rotation_2d{
    29, 2, {{{E::cos, 0}, {E::minus_sin, 0}}, {{E::sin, 0}, {E::cos, 0}}}};
constexpr MatrixLiteral stretch_3d{32,
                                   3,
                                   {{{E::one}, {E::zero}, {E::zero}},
                                    {{E::zero}, {E::scale, 0}, {E::zero}},
                                    {{E::zero}, {E::zero}, {E::scale, 1}}}};
constexpr MatrixLiteral rotation_x{35,
                                   3,
                                   {{{E::one}, {E::zero}, {E::zero}},
                                    {{E::zero}, {E::cos, 0}, {E::minus_sin, 0}},
                                    {{E::zero}, {E::sin, 0}, {E::cos, 0}}}};
constexpr MatrixLiteral rotation_y{38,
                                   3,
                                   {{{E::cos, 1}, {E::zero}, {E::sin, 1}},
                                    {{E::zero}, {E::one}, {E::zero}},
                                    {{E::minus_sin, 1}, {E::zero}, {E::cos, 1}}}};
constexpr MatrixLiteral rotation_z{41,
                                   3,
                                   {{{E::cos, 2}, {E::minus_sin, 2}, {E::zero}},
                                    {{E::sin, 2}, {E::cos, 2}, {E::zero}},
                                    {{E::zero}, {E::zero}, {E::one}}}};

// np.<function>(-angle[k])
Ref trigonometric(PyObject *function_name, PyObject *angle, PyObject *k) {
    Ref function = global_attribute(names::np, function_name);
    if (!function) return Ref();
    Ref item(PyObject_GetItem(angle, k));
    if (!item) return Ref();
    Ref negated(PyNumber_Negative(item.get()));
    if (!negated) return Ref();
    return call(function.get(), {negated.get()});
}

Ref evaluate(const Entry &entry, PyObject *scale, PyObject *angle) {
    PyObject *const indices[] = {literals::zero, literals::one, literals::two};
    PyObject *k = indices[entry.k];
    switch (entry.kind) {
    case Entry::zero:
        return Ref::borrow(literals::zero);
    case Entry::one:
        return Ref::borrow(literals::one);
    case Entry::scale:
        return Ref(PyObject_GetItem(scale, k));
    case Entry::cos:
        return trigonometric(names::cos, angle, k);
    case Entry::sin:
        return trigonometric(names::sin, angle, k);
    case Entry::minus_sin: {
        Ref sine = trigonometric(names::sin, angle, k);
        return sine ? Ref(PyNumber_Negative(sine.get())) : Ref();
    }
    }
    return Ref();
}

// np.array([[...], ...]) for `literal`: np.array is fetched first, then the rows are built top to
// bottom, each left to right. A failure in a row after the first is reported at that row's line;
// everything else at the statement's first line. Each list is made only once its items exist.
Ref matrix(const MatrixLiteral &literal, PyObject *scale, PyObject *angle, int &line) {
    const auto order = size_t(literal.order);
    line = literal.line;
    Ref array = global_attribute(names::np, names::array);
    if (!array) return Ref();
    Ref rows[3];
    for (size_t r = 0; r < order; ++r) {
        line = literal.line + int(r);
        Ref entries[3];
        for (size_t c = 0; c < order; ++c) {
            entries[c] = evaluate(literal.rows[r][c], scale, angle);
            if (!entries[c]) return Ref();
        }
        rows[r] = new_list({entries, order});
        if (!rows[r]) return Ref();
    }
    line = literal.line;
    Ref nested = new_list({rows, order});
    return nested ? call(array.get(), {nested.get()}) : Ref();
}

// What the interpreter raises when reading a local that no branch assigned.
PyObject *unbound_local(PyObject *name) {
    PyErr_Format(PyExc_UnboundLocalError, "local variable '%U' referenced before assignment", name);
    return nullptr;
}

} // namespace

PyObject *adjust_anisotropy(PyObject *const *arguments, int &line) {
    // Both conversions run before either name is rebound.
    line = 17;
    Ref points = call(lookup_global(names::init_points).get(), {arguments[0]});
    if (!points) return nullptr;
    Ref center = call(lookup_global(names::to_numeric_array).get(), {arguments[1]});
    if (!center) return nullptr;

    line = 18;
    Ref shape = attribute(points.get(), names::shape);
    if (!shape) return nullptr;
    Ref ndim_point(PyObject_GetItem(shape.get(), literals::one));
    if (!ndim_point) return nullptr;

    Ref scale = parameter_array(arguments[2], ndim_point.get(), 19, line);
    if (!scale) return nullptr;
    Ref angle = parameter_array(arguments[3], ndim_point.get(), 22, line);
    if (!angle) return nullptr;
    line = 24;
    Ref radians = global_attribute(names::np, names::radians);
    if (!radians) return nullptr;
    angle = call(radians.get(), {angle.get()});
    if (!angle) return nullptr;

    // Only two and three columns are provided for; with any other count both matrices stay
    // unassigned and line 48 reports it.
    Ref stretch, rot_tot;
    auto build = [&](const MatrixLiteral &literal) {
        return matrix(literal, scale.get(), angle.get(), line);
    };
    line = 26;
    int planar = equals(ndim_point.get(), literals::two);
    if (planar < 0) return nullptr;
    if (planar) {
        stretch = build(stretch_2d);
        if (!stretch) return nullptr;
        rot_tot = build(rotation_2d);
        if (!rot_tot) return nullptr;
    } else {
        line = 31;
        int spatial = equals(ndim_point.get(), literals::three);
        if (spatial < 0) return nullptr;
        if (spatial) {
            stretch = build(stretch_3d);
            if (!stretch) return nullptr;
            Ref rotate_x = build(rotation_x);
            if (!rotate_x) return nullptr;
            Ref rotate_y = build(rotation_y);
            if (!rotate_y) return nullptr;
            Ref rotate_z = build(rotation_z);
            if (!rotate_z) return nullptr;
            // About x first, then y, then z: rotate_z · (rotate_y · rotate_x).
            line = 44;
            Ref outer_dot = global_attribute(names::np, names::dot);
            if (!outer_dot) return nullptr;
            Ref inner_dot = global_attribute(names::np, names::dot);
            if (!inner_dot) return nullptr;
            Ref rotate_yx = call(inner_dot.get(), {rotate_y.get(), rotate_x.get()});
            if (!rotate_yx) return nullptr;
            rot_tot = call(outer_dot.get(), {rotate_z.get(), rotate_yx.get()});
            if (!rot_tot) return nullptr;
        }
    }

    line = 46;
    points = Ref(PyNumber_Subtract(points.get(), center.get()));
    if (!points) return nullptr;

    // (S · (R · Pᵀ))ᵀ + c: the rotation acts first, and S and R are never multiplied together.
    line = 48;
    Ref outer_dot = global_attribute(names::np, names::dot);
    if (!outer_dot) return nullptr;
    if (!stretch) return unbound_local(names::stretch);
    Ref inner_dot = global_attribute(names::np, names::dot);
    if (!inner_dot) return nullptr;
    if (!rot_tot) return unbound_local(names::rot_tot);
    Ref transposed = attribute(points.get(), names::T);
    if (!transposed) return nullptr;
    Ref rotated = call(inner_dot.get(), {rot_tot.get(), transposed.get()});
    if (!rotated) return nullptr;
    Ref stretched = call(outer_dot.get(), {stretch.get(), rotated.get()});
    if (!stretched) return nullptr;
    Ref rows = attribute(stretched.get(), names::T);
    if (!rows) return nullptr;
    Ref adj_points(PyNumber_Add(rows.get(), center.get()));
    if (!adj_points) return nullptr;

    line = 50;
    return adj_points.release();
}

} // namespace krige
