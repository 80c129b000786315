"""init_variogram_parameters: accepted models and parameters, and every failure with its line."""
import pytest

from conftest import assert_no_leak, raises_at
from orv._algos.spmis.krige import core

function = core.init_variogram_parameters
NAME = "init_variogram_parameters"


@pytest.mark.parametrize("model", list(core.DEFAULT_PARAMETERS))
def test_each_model_with_none_and_with_a_full_dict(model):
    expected_function = getattr(core.variogram, model)
    assert function(model, None) == (model, expected_function, None)
    names = core.DEFAULT_PARAMETERS[model]
    given = {name: float(i) for i, name in reversed(list(enumerate(names)))}
    given["Unused"] = "ignored"
    result = function(model, given)
    assert result[0] is model and result[1] is expected_function
    assert result[2] == [float(i) for i in range(len(names))]


def test_values_pass_through_untouched_in_table_order():
    value = ["any", "object"]
    result = function("Linear", {"Nugget": value, "Slope": None})
    assert result[2][0] is None and result[2][1] is value


class KeysFromElsewhere(dict):
    """A dict whose keys() and item access disagree with its content."""

    def keys(self):
        return {"Slope", "Nugget"}

    def __getitem__(self, key):
        return f"value of {key}"


class MissingKeys(dict):
    def keys(self):
        raise LookupError("keys unavailable")


class BadContainer:
    def __contains__(self, item):
        raise ArithmeticError("membership failed")


class KeysWithBadContainer(dict):
    def keys(self):
        return BadContainer()


def test_dict_subclass_methods_are_honoured():
    assert function("Linear", KeysFromElsewhere())[2] == ["value of Slope", "value of Nugget"]


@pytest.mark.parametrize(
    "model, parameters, error, line, errors, all_sels",
    [
        ("linear", None, core.error.SpmisError, 55, "linear", "table"),
        ("Unknown", [1, 2], core.error.SpmisError, 55, "Unknown", "table"),
        ("Power", {}, core.error.ParameterError, 65, ["Scale", "Exponent", "Nugget"], "list"),
        ("Gaussian", {"Nugget": 0, "PSill": 1, "X": 2}, core.error.ParameterError, 65, ["Range"], "list"),
    ],
)
def test_package_errors(model, parameters, error, line, errors, all_sels):
    raised = raises_at(error, NAME, line, function, model, parameters)
    assert raised.errors == errors
    table = core.DEFAULT_PARAMETERS
    assert raised.all_sels is (table if all_sels == "table" else table[model])


@pytest.mark.parametrize("parameters", [[2.0, 0.1], (2.0, 0.1), "Slope", 0, type("M", (), {})()])
def test_parameters_of_the_wrong_type(parameters):
    raised = raises_at(core.error.ORVError, NAME, 69, function, "Linear", parameters)
    assert raised.args == ("Variogram parameters must be None or a dictionary!",)


@pytest.mark.parametrize(
    "model, parameters, error, line",
    [
        (["Linear"], None, TypeError, 54),
        ("Linear", MissingKeys(), LookupError, 62),
        ("Linear", KeysWithBadContainer(), ArithmeticError, 63),
        ("Linear", type("Partial", (dict,), {"__getitem__": lambda s, k: 1 / 0})(Slope=1, Nugget=2),
         ZeroDivisionError, 67),
    ],
)
def test_failures_of_the_arguments_propagate(model, parameters, error, line):
    raises_at(error, NAME, line, function, model, parameters)


class NotAnException:
    pass


class ReturnsNothing(Exception):
    def __new__(cls, *args, **kwargs):
        return 42


@pytest.mark.parametrize(
    "returned, error, message",
    [
        (lambda **kw: ValueError("instance"), ValueError, "^instance$"),
        (lambda **kw: KeyError, KeyError, "^$"),
        (lambda **kw: NotAnException(), TypeError,
         "^raise: exception class must be a subclass of BaseException$"),
        (lambda **kw: ReturnsNothing, TypeError, "should have returned an instance of BaseException"),
        (lambda: None, TypeError, "unexpected keyword argument"),
    ],
)
def test_raise_rules_for_what_the_error_class_returns(module_globals, returned, error, message):
    class Errors:
        SpmisError = staticmethod(returned)

    module_globals["error"] = Errors
    raises_at(error, NAME, 55, function, "nonexistent", None, match=message)


@pytest.mark.parametrize("missing, line", [("DEFAULT_PARAMETERS", 54), ("variogram", 71)])
def test_missing_globals(module_globals, missing, line):
    del module_globals[missing]
    raises_at(NameError, NAME, line, function, "Linear", None, match=f"^name '{missing}' is not defined$")


def test_globals_fall_back_to_builtins(module_globals):
    import builtins

    builtins.variogram = module_globals.pop("variogram")
    try:
        assert function("Linear", None)[1] is builtins.variogram.Linear
    finally:
        del builtins.variogram


def test_run_time_edits_of_the_table(module_globals):
    table = core.DEFAULT_PARAMETERS
    table["Cubic"] = ["Sill", "Range"]
    try:
        raises_at(AttributeError, NAME, 71, function, "Cubic", {"Sill": 1, "Range": 2})
        table["Linear"].append("Extra")
        raises_at(core.error.ParameterError, NAME, 65, function, "Linear", {"Slope": 1, "Nugget": 0})
    finally:
        del table["Cubic"]
        table["Linear"].remove("Extra")
    module_globals["DEFAULT_PARAMETERS"] = {"Linear": ("Nugget",)}
    assert function("Linear", {"Nugget": 3})[2] == [3]
    raises_at(core.error.SpmisError, NAME, 55, function, "Power", None)


def test_no_reference_leaks():
    model, parameters, value = "Linear", {"Slope": 2.0, "Nugget": 0.1, "Other": 1}, 2.0
    watched = [model, parameters, value, core.DEFAULT_PARAMETERS, function]
    assert_no_leak(lambda: function(model, parameters), watched)
    assert_no_leak(lambda: function("Nope", parameters), watched)
    assert_no_leak(lambda: function(model, {"Slope": value}), watched)
    assert_no_leak(lambda: function(model, [value]), watched)
    assert_no_leak(lambda: function([model], None), watched)
