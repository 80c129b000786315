"""Property-based fuzzing of the three functions with arbitrary arguments.

Whatever the arguments, a call returns a well-formed result or raises an ordinary exception
(an Exception, never SystemError) that carries exactly one traceback entry of the module; the
arguments are left as they were, and nothing crashes.

A last test checks the native shortcuts of init_variogram_model against its statement path on
random samples: the same results, bit for bit, and the same warnings.

The number of examples comes from the Hypothesis profile named by KRIGE_FUZZ_PROFILE: "ci"
(the default: 200 examples a function, fixed seed), "deep" (5,000, random seed) or "long"
(100,000). `make fuzz` runs "deep"; `make fuzz FUZZ_PROFILE=long` is the long run.

Sizes are kept small (at most 30 samples) so that an example takes milliseconds. `n_lags` is
either small or so large that no allocation for it can succeed: between the two, a call
legitimately allocates gigabytes and loops for hours.
"""
import operator
import os
import warnings

import numpy as np
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from conftest import module_entries
from test_fast_path import ForwardingNumpy, outcome
from orv._algos.spmis.krige import core, variogram

_COMMON = dict(
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                           HealthCheck.filter_too_much],
)
settings.register_profile("ci", max_examples=200, derandomize=True, database=None, **_COMMON)
settings.register_profile("deep", max_examples=5_000, **_COMMON)
settings.register_profile("long", max_examples=100_000, **_COMMON)
PROFILE = settings.get_profile(os.environ.get("KRIGE_FUZZ_PROFILE", "ci"))

MODEL_NAMES = ["Linear", "Power", "Gaussian", "Spherical", "Exponential", "HoleEffect"]
PARAMETER_NAMES = ["Slope", "Nugget", "Scale", "Exponent", "PSill", "Range"]
KNOWN_TEXTS = ["GEOGCS", "PROJCS", "", *MODEL_NAMES, *PARAMETER_NAMES]

# ---- Hostile objects ---------------------------------------------------------------------------


class Boom(Exception):
    """Raised by the hostile objects below."""


def _raise(*_):
    raise Boom("hostile")


class Text(str):
    """A str subclass that behaves like its content."""


class EqualityRaises(str):
    __eq__ = __ne__ = _raise
    __hash__ = str.__hash__


class HashRaises(str):
    __hash__ = _raise


class BadNumber:
    """A number whose conversions all raise."""

    __index__ = __int__ = __float__ = __complex__ = __bool__ = _raise


class BadFloat:
    __float__ = _raise


class KeysRaise(dict):
    keys = _raise


class ItemRaises(dict):
    __getitem__ = _raise


class MembershipRaises:
    __contains__ = _raise


class KeysWithRaisingMembership(dict):
    def keys(self):
        return MembershipRaises()


class KeysAsList(dict):
    def keys(self):
        return list(dict.keys(self))


# ---- Strategies --------------------------------------------------------------------------------


@st.composite
def either(draw, *options):
    """One of `options`, each equally likely however many alternatives it holds itself.

    (st.one_of flattens nested choices, so a broad option would crowd out the others.)
    """
    return draw(options[draw(st.integers(0, len(options) - 1))])


def instances(classes, contents):
    return st.builds(lambda cls, content: cls(content), st.sampled_from(classes), contents)


HUGE_INTS = [10**12, -(10**12), 2**63 - 1, 2**63, 2**64, 10**100, -(10**100)]
small_ints = st.integers(-5, 40)
small_floats = st.floats(-1e3, 1e3)
# Floats of any magnitude, NaN and the infinities; never used as a size (see n_lags).
any_floats = st.floats(allow_nan=True, allow_infinity=True)
texts = st.one_of(st.sampled_from(KNOWN_TEXTS), st.text(max_size=8))
str_subclasses = instances([Text, EqualityRaises, HashRaises], texts)
hostile_numbers = st.sampled_from([BadNumber(), BadFloat()])

KINDS = ["f8", "f4", "f2", "i8", "i1", "u1", "?", "c16", "O", "M8[ns]", "m8[s]", "U3", "S2"]
REAL_KINDS = ["f8", "f4", "i8", "i1", "u1"]


def _elements(dtype, small):
    if dtype.kind == "O":
        return st.one_of(st.none(), small_ints, any_floats, texts, hostile_numbers)
    if small and dtype.kind in "fc":
        return st.floats(-50, 50, width=32)
    if small and dtype.kind in "iu":
        return st.integers(0 if dtype.kind == "u" else -50, 50)
    return None  # Hypothesis's own elements for the dtype


@st.composite
def arrays(draw, shapes=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=6),
           kinds=KINDS, small=False):
    """Arrays of every kind and layout: 0-D, empty, strided, transposed, Fortran, read-only."""
    dtype = np.dtype(draw(st.sampled_from(kinds)))
    array = draw(hnp.arrays(dtype, draw(shapes), elements=_elements(dtype, small)))
    layout = draw(st.sampled_from(["plain", "strided", "transposed", "fortran", "readonly"]))
    if layout == "strided" and array.ndim:
        array = np.repeat(array, 2, axis=0)[::2]
    elif layout == "transposed":
        array = array.T
    elif layout == "fortran":
        array = np.asfortranarray(array)
    elif layout == "readonly":
        array.flags.writeable = False
    return array


def nested_lists(leaves):
    """Nested and ragged lists."""
    return st.recursive(leaves, lambda inner: st.lists(inner, max_size=6), max_leaves=30)


scalars = st.one_of(st.none(), st.booleans(), small_ints, st.sampled_from(HUGE_INTS), any_floats,
                    st.complex_numbers(allow_nan=True), texts, str_subclasses, st.binary(max_size=4),
                    hostile_numbers, st.sampled_from([np.float64(1.5), np.int8(3), np.nan]))
DICT_CLASSES = [dict, KeysRaise, ItemRaises, KeysWithRaisingMembership, KeysAsList]
dicts = instances(DICT_CLASSES, st.dictionaries(
    st.one_of(st.sampled_from(PARAMETER_NAMES), texts, small_ints),
    st.one_of(scalars, arrays()), max_size=7))
anything = either(scalars, arrays(), nested_lists(st.one_of(small_ints, any_floats, texts)), dicts,
                  st.tuples(small_ints, any_floats))

# Each argument is often of the kind the function expects, so that calls get past the conversions
# and into the computation, and otherwise anything.
numbers = either(anything, small_floats, st.lists(small_floats, max_size=4),
                 arrays(hnp.array_shapes(min_dims=0, max_dims=2, max_side=4), REAL_KINDS,
                        small=True))
coordinates = either(
    hnp.arrays(np.float64, st.tuples(st.integers(0, 30), st.integers(0, 4)), elements=small_floats),
    arrays(hnp.array_shapes(min_dims=2, max_dims=2, max_side=30), REAL_KINDS, small=True),
    st.integers(0, 3).flatmap(lambda d: st.lists(st.lists(small_ints, min_size=d, max_size=d),
                                                 max_size=30)),
    nested_lists(st.one_of(small_ints, any_floats)),
    anything,
)
sample_values = either(
    arrays(hnp.array_shapes(min_dims=1, max_dims=1, max_side=30), small=True),
    hnp.arrays(np.float64, st.integers(0, 30), elements=any_floats),
    anything,
)
# Small sizes, sizes no allocation can satisfy, and anything that is not a number. Never a size
# in between (see the module docstring).
n_lags = either(
    small_ints,
    st.sampled_from(HUGE_INTS),
    st.one_of(st.floats(-50, 50), st.sampled_from([float("nan"), float("inf"), -float("inf"),
                                                   1e300, np.int64(4), np.array(3), True])),
    arrays(kinds=["i1", "u1", "?", "f4", "O"], small=True),
    st.one_of(st.none(), texts, str_subclasses, hostile_numbers, dicts),
)
coordinate_types = either(st.sampled_from(["GEOGCS", "PROJCS"]),
                          instances([Text, EqualityRaises, HashRaises],
                                    st.sampled_from(["GEOGCS", "PROJCS"])),
                          anything)
model_names = either(st.sampled_from(MODEL_NAMES),
                     instances([Text, EqualityRaises, HashRaises], st.sampled_from(MODEL_NAMES)),
                     anything)
parameter_sets = either(
    st.none(),
    instances(DICT_CLASSES, st.fixed_dictionaries({name: scalars for name in PARAMETER_NAMES})),
    instances(DICT_CLASSES, st.dictionaries(st.sampled_from(PARAMETER_NAMES), scalars, max_size=6)),
    anything,
)



@st.composite
def matched_samples(draw):
    """Coordinates and values of the same N samples, in two or three dimensions."""
    n, d = draw(st.integers(0, 30)), draw(st.sampled_from([2, 2, 3]))
    points = draw(hnp.arrays(np.float64, (n, d), elements=small_floats))
    values = draw(hnp.arrays(np.float64, n, elements=st.one_of(small_floats, any_floats)))
    return {"points": points if draw(st.booleans()) else points.tolist(), "values": values}


@st.composite
def matched_frame(draw):
    """Coordinates with a centre of the same dimension and a few scale factors and angles."""
    n, d = draw(st.integers(0, 30)), draw(st.sampled_from([2, 3]))
    return {"points": draw(hnp.arrays(np.float64, (n, d), elements=small_floats)),
            "center": draw(st.lists(small_floats, min_size=d, max_size=d)),
            "scale": draw(st.lists(small_floats, min_size=1, max_size=3)),
            "angle": draw(st.one_of(small_floats, st.lists(small_floats, min_size=1, max_size=3)))}


anisotropy_arguments = either(
    matched_frame(),
    st.fixed_dictionaries({"points": coordinates, "center": numbers, "scale": numbers,
                           "angle": numbers}),
)
variogram_arguments = either(
    st.tuples(matched_samples(), st.fixed_dictionaries({"n_lags": n_lags,
                                                       "gtype": coordinate_types})).map(
        lambda parts: {**parts[0], **parts[1]}),
    st.fixed_dictionaries({"points": coordinates, "values": sample_values, "n_lags": n_lags,
                           "gtype": coordinate_types}),
)

# How the arguments are passed: how many by position, the rest by keyword in a drawn order, and
# how each keyword name is made.
keyword_names = st.sampled_from([
    lambda name: name,
    lambda name: "".join(list(name)),  # same content, not the interned object
    Text,
])


# Mostly a correct call; sometimes a binding mistake.
MISTAKES = [None] * 6 + ["missing", "extra", "unexpected", "twice"]


def calling(parameters):
    return st.tuples(st.just(parameters), st.integers(0, len(parameters)),
                     st.permutations(parameters), keyword_names, st.sampled_from(MISTAKES))


# ---- Property ------------------------------------------------------------------------------------


def snapshot(value, depth=0):
    """A comparable record of `value`'s state, built without calling any of its methods."""
    if depth > 6:
        return ("deep", id(value))
    if type(value) in (int, str, bytes, bool, complex) or value is None:
        return (type(value), value)
    if type(value) is float:
        return (float, value.hex())
    if isinstance(value, str):
        return (type(value), id(value), str.__str__(value))
    if isinstance(value, np.ndarray):
        content = ([snapshot(item, depth + 1) for item in value.flat] if value.dtype.kind == "O"
                   else value.tobytes())
        return (np.ndarray, id(value), value.dtype.str, value.shape, value.strides,
                value.flags.writeable, value.flags.c_contiguous, content)
    if isinstance(value, (list, tuple)):
        items = list.__iter__(value) if isinstance(value, list) else tuple.__iter__(value)
        return (type(value), id(value), [snapshot(item, depth + 1) for item in items])
    if isinstance(value, dict):
        return (type(value), id(value),
                [(snapshot(k, depth + 1), snapshot(v, depth + 1)) for k, v in dict.items(value)])
    return (type(value), id(value))


def state(arguments):
    return [snapshot(value) for value in arguments.values()], snapshot(core.DEFAULT_PARAMETERS)


def check_call(name, arguments, calling):
    """Calls core.<name> and checks the property; returns the result or the exception.

    `calling` is (the parameters in order, how many arguments go by position, the order of the
    keywords, how each keyword name is made, a binding mistake or None).
    """
    parameters, positional, order, make_keyword, mistake = calling
    args = [arguments[p] for p in parameters[:positional]]
    keywords = sorted(parameters[positional:], key=order.index)
    if mistake == "missing":
        (keywords or args).pop()
    kwargs = {make_keyword(p): arguments[p] for p in keywords}
    if mistake == "extra":
        args.append(None)
    elif mistake == "unexpected":
        kwargs["unexpected"] = None
    elif mistake == "twice":
        kwargs[parameters[0]] = arguments[parameters[0]]
    before = state(arguments)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = getattr(core, name)(*args, **kwargs)
    except Exception as raised:
        assert not isinstance(raised, SystemError), raised
        entries = module_entries(raised)
        assert len(entries) == 1, entries
        event(f"{type(raised).__name__} at line {entries[0].lineno}")
        result = raised
    else:
        WELL_FORMED[name](result, **arguments)
        event("returned")
    assert state(arguments) == before
    return result


def adjusted_points(result, points, **_):
    assert type(result) is np.ndarray and result.dtype == np.float64
    assert result.shape[-1] in (2, 3)
    assert not np.shares_memory(result, points) if isinstance(points, np.ndarray) else True


def model_parameters(result, model, parameters):
    assert type(result) is tuple and len(result) == 3
    assert result[0] is model and result[1] is getattr(variogram, model)
    if parameters is None:
        assert result[2] is None
    else:
        assert type(result[2]) is list and len(result[2]) == len(core.DEFAULT_PARAMETERS[model])


def experimental_variogram(result, n_lags, **_):
    assert type(result) is tuple and len(result) == 2
    lags, semivariance = result
    for array in result:
        assert type(array) is np.ndarray and array.dtype == np.float64 and array.ndim == 1
    assert lags.shape == semivariance.shape
    assert lags.size <= operator.index(n_lags)


WELL_FORMED = {"adjust_anisotropy": adjusted_points,
               "init_variogram_parameters": model_parameters,
               "init_variogram_model": experimental_variogram}


@PROFILE
@given(anisotropy_arguments,
       calling(["points", "center", "scale", "angle"]))
def test_fuzz_adjust_anisotropy(arguments, how):
    check_call("adjust_anisotropy", arguments, how)


@PROFILE
@given(st.fixed_dictionaries({"model": model_names, "parameters": parameter_sets}),
       calling(["model", "parameters"]))
def test_fuzz_init_variogram_parameters(arguments, how):
    check_call("init_variogram_parameters", arguments, how)


@PROFILE
@given(variogram_arguments,
       calling(["points", "values", "n_lags", "gtype"]))
def test_fuzz_init_variogram_model(arguments, how):
    check_call("init_variogram_model", arguments, how)


@PROFILE
@given(matched_samples(), st.integers(1, 40), st.sampled_from(["PROJCS", "GEOGCS"]))
def test_fuzz_native_shortcuts_match_the_statements(samples, n_lags, gtype):
    """The native shortcuts of init_variogram_model give the statements' results and warnings."""
    native = outcome(samples["points"], samples["values"], n_lags, gtype)
    namespace = vars(core)
    namespace["np"] = ForwardingNumpy()
    try:
        plain = outcome(samples["points"], samples["values"], n_lags, gtype)
    finally:
        namespace["np"] = np
    assert native == plain


# ---- The public engine module ------------------------------------------------------------------

from orv.krige import _engine  # noqa: E402

_ENGINE_GOOD = {
    "pair_sums": [np.zeros((3, 2)), np.arange(3.0), np.array([0.0, 1.0, 2.0]), False, 0, None,
                  None, True, 1],
    "pair_state": [np.zeros((3, 2)), np.arange(3.0), np.ones((2, 2)), np.arange(2.0),
                   np.array([0.0, 1.0, 2.0]), False, 0, (0.0, 60.0), 1.0, False, 1],
}
_ENGINE_GOOD["merge_states"] = [_engine.pair_state(*_ENGINE_GOOD["pair_state"])] * 2
_ENGINE_GOOD["finish_state"] = [_ENGINE_GOOD["merge_states"][0]]

engine_values = either(anything, hostile_numbers, st.sampled_from([True, 0, 1, 2**70, -1]),
                       arrays(hnp.array_shapes(min_dims=1, max_dims=2, max_side=5),
                              ["f8", "f4", "i8"], small=True))


@st.composite
def engine_calls(draw):
    """One of _engine's functions with its good arguments, some of them replaced."""
    name = draw(st.sampled_from(sorted(_ENGINE_GOOD)))
    args = list(_ENGINE_GOOD[name])
    for k in draw(st.sets(st.integers(0, len(args) - 1), max_size=3)):
        args[k] = draw(engine_values)
    if isinstance(args[0], np.ndarray) and args[0].dtype == np.int64 and draw(st.booleans()):
        state = args[0].copy()  # a state with one entry changed
        state[draw(st.integers(0, state.size - 1))] = draw(st.sampled_from(
            [10**12, -(10**12), 2**63 - 1, -(2**63), -1, 0]))
        args[0] = state
    return name, args


@PROFILE
@given(engine_calls())
def test_fuzz_engine_never_raises_system_error(call):
    name, args = call
    try:
        getattr(_engine, name)(*args)
    except Exception as raised:
        assert not isinstance(raised, SystemError), raised
        event(f"{name}: {type(raised).__name__}")
    else:
        event(f"{name}: returned")
