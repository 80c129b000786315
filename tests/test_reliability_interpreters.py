"""The module under other interpreters: a build for another minor version of CPython warns at
import that it was written for 3.12, and a sub-interpreter with its own GIL is refused.

`make py313` builds the module against CPython 3.13 and runs this file there; under 3.12 the
version tests are skipped.
"""
import subprocess
import sys
import textwrap

import pytest

from test_frame import run_python

RUNNING = "{}.{}".format(*sys.version_info[:2])
VERSION_WARNING = (
    "compile time Python version 3.12 of module 'orv._algos.spmis.krige.core' does not match "
    f"runtime version {RUNNING}"
)
other_version = pytest.mark.skipif(
    RUNNING == "3.12", reason="built for the running interpreter; `make py313` runs this under 3.13")


@other_version
def test_import_warns_once_and_the_module_works():
    out = run_python("""
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            from orv._algos.spmis.krige import core
        for warning in caught:
            print(warning.category.__name__, warning.message)
        print(core.init_variogram_parameters("Linear", {"Slope": 2, "Nugget": 0})[2])
    """)
    assert out.splitlines() == [f"RuntimeWarning {VERSION_WARNING}", "[2, 0]"]


@other_version
def test_warning_as_error_refuses_the_import():
    code = textwrap.dedent("""
        import sys
        try:
            import orv._algos.spmis.krige.core
        except RuntimeWarning as warning:
            print(warning)
        print("orv._algos.spmis.krige.core" in sys.modules)
        import orv._algos.spmis.krige.core
    """)
    done = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", code],
                          capture_output=True, text=True, timeout=120)
    assert done.stdout.splitlines() == [VERSION_WARNING, "False"]
    # The second attempt fails the same way: nothing half-imported was left behind.
    assert done.returncode == 1
    assert done.stderr.splitlines()[-1] == f"RuntimeWarning: {VERSION_WARNING}"


def test_isolated_sub_interpreter_is_refused():
    pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    out = run_python("""
        import os, sys
        from orv._algos.spmis.krige import core
        try:
            import _interpreters as interpreters
            run = interpreters.exec
        except ImportError:
            import _xxsubinterpreters as interpreters
            run = interpreters.run_string
        read, write = os.pipe()
        # Stand-in parent packages: the real ones import NumPy, which refuses sub-interpreters.
        packages = [(name, list(sys.modules[name].__path__)) for name in
                    ("orv", "orv._algos", "orv._algos.spmis", "orv._algos.spmis.krige")]
        sub = interpreters.create()  # its own GIL: the isolated kind
        run(sub, f'''if True:
            import os, sys, types
            for name, path in {packages!r}:
                sys.modules[name] = types.ModuleType(name)
                sys.modules[name].__path__ = path
            try:
                import orv._algos.spmis.krige.core
                os.write({write}, b"imported")
            except ImportError as error:
                os.write({write}, str(error).encode())
        ''')
        interpreters.destroy(sub)
        print(os.read(read, 1000).decode())
        print(core.init_variogram_parameters("Linear", None)[0])
    """)
    assert out.splitlines() == [
        "module orv._algos.spmis.krige.core does not support loading in subinterpreters",
        "Linear",
    ]
