"""The module frame: namespace, code objects, function objects, binding and traceback entries."""
import copy
import gc
import inspect
import pickle
import subprocess
import sys
import textwrap
import types
import weakref

import pytest

from conftest import MODULE_FILE, assert_no_leak, assert_reported_at, module_entries
from orv._algos.spmis.krige import core

FUNCTIONS = {
    "adjust_anisotropy": (("points", "center", "scale", "angle"), 15),
    "init_variogram_parameters": (("model", "parameters"), 52),
    "init_variogram_model": (("points", "values", "n_lags", "gtype"), 75),
}

PACKAGE_NAMES = (
    "np", "error", "init_points", "to_numeric_array", "spatial", "great_circle_distance",
    "variogram",
)


def run_python(code):
    """Runs `code` in a fresh interpreter and returns its standard output."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


# ---- Namespace -------------------------------------------------------------------------------


def test_namespace_holds_exactly_the_module_names():
    import_attributes = {"__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__"}
    own = {"__builtins__", "DEFAULT_PARAMETERS", "__test__", *FUNCTIONS, *PACKAGE_NAMES}
    assert set(vars(core)) == import_attributes | own
    assert core.__doc__ == "\n空间插值！\n"
    assert core.__test__ == {}
    assert core.__builtins__ is __import__("builtins")


def test_package_names_are_the_package_objects():
    package = sys.modules["orv._algos.spmis.krige"]
    for name in PACKAGE_NAMES:
        assert getattr(core, name) is getattr(package, name)


def test_default_parameters_content_and_distinct_lists():
    assert core.DEFAULT_PARAMETERS == {
        "Linear": ["Slope", "Nugget"],
        "Power": ["Scale", "Exponent", "Nugget"],
        "Gaussian": ["PSill", "Range", "Nugget"],
        "Spherical": ["PSill", "Range", "Nugget"],
        "Exponential": ["PSill", "Range", "Nugget"],
        "HoleEffect": ["PSill", "Range", "Nugget"],
    }
    assert list(core.DEFAULT_PARAMETERS) == [
        "Linear", "Power", "Gaussian", "Spherical", "Exponential", "HoleEffect",
    ]
    lists = list(core.DEFAULT_PARAMETERS.values())
    assert len({id(names) for names in lists}) == len(lists)


# ---- Code objects ----------------------------------------------------------------------------

STATEMENT_LINES = {
    "adjust_anisotropy": [15, 17, 18, 19, 20, 22, 23, 24, 26, *range(27, 45), 46, 48, 50],
    "init_variogram_parameters": [52, 54, 55, 57, 58, 59, 60, 62, 63, 64, 65, 67, 69, 71, 73],
    "init_variogram_model": [75, *range(77, 87), 88, 90, 91, 92, 93, 94, 95, 97, 98, 99, 100,
                             101, 103, 104, 106],
}

VARIABLES = {
    "adjust_anisotropy": ("points", "center", "scale", "angle", "ndim_point", "stretch",
                          "rot_tot", "rotate_x", "rotate_y", "rotate_z", "adj_points"),
    "init_variogram_parameters": ("model", "parameters", "pars", "par_names", "set_names",
                                  "errors", "fun", "p_n", "p"),
    "init_variogram_model": ("points", "values", "n_lags", "gtype", "d", "g", "indices", "d_max",
                             "d_min", "dd", "bins", "lags", "semivariance", "n"),
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_code_object(name):
    code = getattr(core, name).__code__
    parameters, def_line = FUNCTIONS[name]
    assert (code.co_name, code.co_qualname, code.co_filename) == (name, name, MODULE_FILE)
    assert code.co_argcount == len(parameters)
    assert (code.co_posonlyargcount, code.co_kwonlyargcount, code.co_flags) == (0, 0, 3)
    assert code.co_varnames == VARIABLES[name]
    assert code.co_nlocals == len(VARIABLES[name])
    assert code.co_firstlineno == def_line
    assert (code.co_consts, code.co_names, code.co_freevars, code.co_cellvars) == ((),) * 4
    assert [line for _, _, line in code.co_lines()] == STATEMENT_LINES[name]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_running_the_code_object_raises_instead_of_crashing(name):
    code = getattr(core, name).__code__
    with pytest.raises(AssertionError):
        types.FunctionType(code, {})(*range(code.co_argcount))


# ---- Function objects ------------------------------------------------------------------------

DOCS = {
    "adjust_anisotropy": "调整数据坐标以考虑各向异性。",
    "init_variogram_parameters": "获取半变异函数参数",
    "init_variogram_model": "初始化半变异模型其他参数",
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_attributes(name):
    function = getattr(core, name)
    assert (function.__name__, function.__qualname__) == (name, name)
    assert function.__doc__ == DOCS[name]
    assert function.__module__ == "orv._algos.spmis.krige.core"
    assert function.__globals__ is vars(core)
    assert function.__closure__ is function.__defaults__ is function.__kwdefaults__ is None
    assert str(inspect.signature(function)) == f"({', '.join(FUNCTIONS[name][0])})"
    assert inspect.isroutine(function)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_pickle_copy_weakref_and_gc(name):
    function = getattr(core, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert copy.copy(function) is function and copy.deepcopy(function) is function
    assert weakref.ref(function)() is function
    assert gc.is_tracked(function)
    with pytest.raises(TypeError):
        type(function)()


def test_instance_dict_does_not_change_calls(module_globals):
    function = core.init_variogram_parameters
    function.note = "kept"
    function.__dict__["__name__"] = "other"
    try:
        assert function.note == "kept"
        assert function("Linear", None)[2] is None
        with pytest.raises(TypeError, match=r"^init_variogram_parameters\(\) takes"):
            function()
    finally:
        function.__dict__.clear()


def test_method_binding():
    class Holder:
        method = core.init_variogram_parameters

    assert Holder.method is core.init_variogram_parameters
    with pytest.raises(TypeError, match="exactly 2 positional arguments \\(3 given\\)"):
        Holder().method("Linear", None)
    holder = Holder()
    with pytest.raises(core.error.SpmisError) as info:  # the instance arrived as `model`
        holder.method(None)
    assert info.value.errors is holder


# ---- Binding ---------------------------------------------------------------------------------

class Text(str):
    """A str subclass that compares by content."""


class Hostile(str):
    def __eq__(self, other):
        raise KeyError("no comparison")

    __hash__ = str.__hash__


adjust, params, model = core.adjust_anisotropy, core.init_variogram_parameters, core.init_variogram_model


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: adjust(1, 2, 3), "adjust_anisotropy() takes exactly 4 positional arguments (3 given)"),
        (lambda: adjust(1, 2, 3, 4, 5), "adjust_anisotropy() takes exactly 4 positional arguments (5 given)"),
        (lambda: params("m", None, 1, extra=2), "init_variogram_parameters() takes exactly 2 positional arguments (3 given)"),
        (lambda: adjust(center=1, scale=2, angle=3), "adjust_anisotropy() takes exactly 4 positional arguments (0 given)"),
        (lambda: model(points=1, values=2, gtype=3), "init_variogram_model() takes exactly 4 positional arguments (2 given)"),
        (lambda: adjust(1, 2, points=1, scale=2, angle=3), "adjust_anisotropy() got multiple values for keyword argument 'points'"),
        (lambda: adjust(1, 2, foo=1, points=2), "adjust_anisotropy() got an unexpected keyword argument 'foo'"),
        (lambda: adjust(1, 2, 3, centre=4), "adjust_anisotropy() got an unexpected keyword argument 'centre'"),
        (lambda: params(**{Text("model"): 1, "paramz": 2}), "init_variogram_parameters() got an unexpected keyword argument 'paramz'"),
        (lambda: params("m", **{Text("model"): 1}), "init_variogram_parameters() got multiple values for keyword argument 'model'"),
        (lambda: params(**{"".join(["mo", "del"]): 1}), "init_variogram_parameters() takes exactly 2 positional arguments (1 given)"),
        (lambda: params(model="m", **{Hostile("parameters"): 1}), "no comparison"),
    ],
)
def test_binding_failures(call, message):
    with pytest.raises((TypeError, KeyError)) as info:
        call()
    text = info.value.args[0]
    assert text == message
    name = message.split("(")[0] if message.endswith(")") or "argument" in message else None
    entries = module_entries(info.value)
    assert len(entries) == 1 and entries[0].lineno in (15, 52, 75)
    if name:
        assert entries[0].name == f"orv._algos.spmis.krige.core.{name}"


def test_keywords_in_any_order_and_str_subclasses_bind():
    assert params(parameters=None, model="Power")[0] == "Power"
    assert params(**{Text("parameters"): None, Text("model"): "Linear"})[0] == "Linear"
    # Keyword names built at run time are not the interned objects: content comparison binds them.
    assert params(**{"".join(["mo", "del"]): "Gaussian", "parameters": None})[0] == "Gaussian"


def test_non_str_keywords():
    with pytest.raises(TypeError, match="^keywords must be strings$") as info:
        params(**{1: 2})
    assert module_entries(info.value) == []
    testcapi = pytest.importorskip("_testcapi")
    with pytest.raises(TypeError, match=r"^init_variogram_parameters\(\) keywords must be strings$") as info:
        testcapi.pyobject_vectorcall(params, ("Linear",), (1,))
    assert_reported_at(info.value, "init_variogram_parameters", 52)


def test_duplicate_keywords_of_a_fast_call_rebind_without_leaking():
    testcapi = pytest.importorskip("_testcapi")
    first = object()
    twice = lambda: testcapi.pyobject_vectorcall(  # noqa: E731
        params, ("Linear", first, None), ("parameters", "parameters"))
    assert twice()[2] is None  # the later value wins
    assert_no_leak(twice, [first])


def test_binding_failures_do_not_leak():
    value = object()
    assert_no_leak(lambda: adjust(value, value, foo=value), [value])
    assert_no_leak(lambda: model(points=value, values=value), [value])
    assert_no_leak(lambda: params(value, value, value), [value])


# ---- Re-import, reload, other interpreters and names -----------------------------------------


def test_reimport_and_reload_keep_the_module_and_namespace():
    out = run_python("""
        import importlib, sys
        from orv._algos.spmis.krige import core
        core.DEFAULT_PARAMETERS["Extra"] = ["A"]
        functions = core.init_variogram_model, core.DEFAULT_PARAMETERS
        del sys.modules["orv._algos.spmis.krige.core"]
        again = importlib.import_module("orv._algos.spmis.krige.core")
        assert again is core
        assert (again.init_variogram_model, again.DEFAULT_PARAMETERS) == functions
        assert again.DEFAULT_PARAMETERS["Extra"] == ["A"]
        assert importlib.reload(core) is core and core.init_variogram_model is functions[0]
        print("ok")
    """)
    assert out == "ok\n"


def test_second_interpreter_is_refused():
    pytest.importorskip("_testcapi")
    out = run_python("""
        import os, sys, _testcapi
        from orv._algos.spmis.krige import core
        read, write = os.pipe()
        # Stand-in parent packages: the real ones import NumPy, which refuses sub-interpreters.
        code = (
            "import os, sys, types\\n"
            "for name, path in " + repr([(n, list(sys.modules[n].__path__)) for n in
                ("orv", "orv._algos", "orv._algos.spmis", "orv._algos.spmis.krige")]) + ":\\n"
            "    sys.modules[name] = types.ModuleType(name)\\n"
            "    sys.modules[name].__path__ = path\\n"
            "try:\\n"
            "    import orv._algos.spmis.krige.core\\n"
            f"    os.write({write}, b'imported')\\n"
            "except ImportError as e:\\n"
            f"    os.write({write}, str(e).encode())\\n"
        )
        _testcapi.run_in_subinterp(code)
        print(os.read(read, 1000).decode())
    """)
    assert out == (
        "Interpreter change detected - this module can only be loaded into one interpreter "
        "per process.\n"
    )


LOAD_UNDER_OTHER_NAME = """
    import glob, importlib.machinery, importlib.util, sys, types
    # Locate the extension without importing the real package, which would import it.
    folder = importlib.util.find_spec("orv._algos.spmis.krige").submodule_search_locations[0]
    so_path = glob.glob(folder + "/core.*.so")[0]
    package = types.ModuleType("throwaway")
    package.__path__ = []
    sys.modules["throwaway"] = package
    for name in ("np", "error", "init_points", "to_numeric_array", "spatial",
                 "great_circle_distance"):
        setattr(package, name, name)

    def load():
        loader = importlib.machinery.ExtensionFileLoader("throwaway.core", so_path)
        spec = importlib.util.spec_from_file_location("throwaway.core", so_path, loader=loader)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module
"""


def test_missing_package_name_fails_and_the_next_import_recovers():
    out = run_python(LOAD_UNDER_OTHER_NAME + """
    import traceback
    try:
        load()
    except ImportError as error:
        entry = traceback.extract_tb(error.__traceback__)[-1]
        print(error, entry.filename, entry.lineno, entry.name)
    print("orv._algos.spmis.krige.core" in sys.modules)
    sys.modules["throwaway.variogram"] = types.ModuleType("throwaway.variogram")
    module = load()
    print(module.__name__, module.variogram.__name__, module.init_variogram_model.__module__)
    print(sys.modules["orv._algos.spmis.krige.core"] is module)
    """)
    assert out.splitlines() == [
        "cannot import name variogram orv/_algos/spmis/krige/core 5 "
        "init orv._algos.spmis.krige.core",
        "False",
        "throwaway.core throwaway.variogram orv._algos.spmis.krige.core",
        "True",
    ]


@pytest.mark.parametrize("raised", ["KeyboardInterrupt", "MemoryError"])
def test_an_error_other_than_a_missing_name_propagates_from_the_import(raised):
    out = run_python(LOAD_UNDER_OTHER_NAME + f"""
    # The import machinery's own look-up finds the name missing; the module's look-up after it
    # fails with another error.
    calls = []
    def missing(name):
        calls.append(name)
        raise (AttributeError if len(calls) == 1 else {raised})(name)
    package.__getattr__ = missing
    sys.modules["throwaway.variogram"] = types.ModuleType("throwaway.variogram")
    try:
        load()
    except BaseException as error:
        print(type(error).__name__, error)
    del package.__getattr__
    print(load().variogram.__name__)
    """)
    assert out.splitlines() == [f"{raised} variogram", "throwaway.variogram"]
