import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

import brivane_core


def test_function_table_and_all():
    assert brivane_core.__all__[0] == "run_em_loop"
    for name in brivane_core.__all__:
        function = getattr(brivane_core, name)
        assert function.__module__ == "brivane_core"
        assert callable(function)
    assert brivane_core.__doc__ in ("", None)


def test_docstring_is_the_text_signature_only():
    f = brivane_core.run_em_loop
    assert f.__text_signature__ == (
        "(x, intensity, mu, sigma, pi, dirichlet_alpha, fix_mu, fix_sigma, max_iter, r_eps, "
        "x_min, x_max, bg_type=0, s_tri=0.0, spline_basis_preds=None)"
    )
    assert not f.__doc__
    parameters = inspect.signature(f).parameters
    assert parameters["bg_type"].default == 0
    assert parameters["spline_basis_preds"].default is None


def test_second_import_returns_the_same_module():
    first = brivane_core
    del sys.modules["brivane_core"]
    try:
        second = importlib.import_module("brivane_core")
    finally:
        sys.modules["brivane_core"] = first
    assert second is first


def test_panic_exception_is_a_base_exception_only():
    panic = brivane_core.PanicException
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert "fails internally" in panic.__doc__
    assert "PanicException" not in brivane_core.__all__


def test_sub_interpreter_import_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    code = textwrap.dedent(
        """
        import _xxsubinterpreters as interpreters, brivane_core
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import brivane_core")
        except Exception as error:
            print(type(error).__name__, error)
        else:
            print("imported")
        """
    )
    del interpreters
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert "ImportError" in out.stdout and "sub-interpreters" in out.stdout, out.stdout + out.stderr
