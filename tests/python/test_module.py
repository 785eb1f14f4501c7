import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

import brivane_core


# Every function in the order of registration, with its text signature.
SIGNATURES = {
    "run_em_loop": "(x, intensity, mu, sigma, pi, dirichlet_alpha, fix_mu, fix_sigma, max_iter, r_eps, "
                   "x_min, x_max, bg_type=0, s_tri=0.0, spline_basis_preds=None)",
    "run_pv_em_loop": "(x, intensity, x0, gamma_pv, eta, pi, dirichlet_alpha, fix_x0, fix_gamma, fix_eta, "
                      "use_full_opt, x_min, x_max, gamma_min, gamma_max, max_iter, r_eps, bg_type=0, s_tri=0.0, "
                      "spline_basis_preds=None)",
    "run_voigt_em_loop": "(x, intensity, x0, sigma_v, gamma_v, pi, dirichlet_alpha, fix_x0, fix_sigma, "
                         "fix_gamma, x_min, x_max, sigma_min, sigma_max, gamma_min, gamma_max, max_iter, r_eps, "
                         "bg_type=0, s_tri=0.0, spline_basis_preds=None)",
    "run_lorentzian_em_loop": "(x, intensity, x0, gamma_lo, pi, dirichlet_alpha, fix_x0, fix_gamma, x_min, "
                              "x_max, max_iter, r_eps, bg_type=0, s_tri=0.0, spline_basis_preds=None)",
    "run_ds_em_loop": "(x, intensity, x0, gamma_ds, alpha, pi, dirichlet_alpha, fix_x0, fix_gamma, fix_alpha, "
                      "x_min, x_max, gamma_min, gamma_max, alpha_min, alpha_max, max_iter, r_eps, bg_type=0, "
                      "s_tri=0.0, spline_basis_preds=None)",
    "run_tsdc_em_loop": "(t, intensity, ea, tau0, tp, pi, dirichlet_alpha, fix_ea, fix_tp, beta, ea_min, ea_max, "
                        "t_min, t_max, max_iter, r_eps, bg_type=0, s_tri=0.0, spline_basis_preds=None)",
    "pseudo_voigt_predict": "(x, x0, gamma, eta, x_min, x_max)",
    "pseudo_voigt_mle_conditional_max": "(x, intensity, x0, gamma, eta, x_min, x_max, fix_x0=False, fix_gamma=False, "
                                        "fix_eta=False)",
    "pseudo_voigt_mle_full_optimization": "(x, intensity, x0, gamma, eta, x_min, x_max, gamma_min, gamma_max, "
                                          "max_iter, r_eps, fix_x0=False, fix_gamma=False, fix_eta=False)",
    "lorentzian_mle": "(x, intensity, x0, gamma, x_min, x_max, fix_x0=False, fix_gamma=False)",
    "doniach_sunjic_mle": "(x, intensity, x0, gamma, alpha, x_min, x_max, gamma_min, gamma_max, alpha_min, "
                          "alpha_max, fix_x0=False, fix_gamma=False, fix_alpha=False)",
    "tsdc_predict": "(t, ea, tau0, beta)",
    "tsdc_mle_find_root": "(t, intensity, ea, tau0, tp, ea_min, ea_max, beta, fix_ea=False, fix_tp=False)",
    "tsdc_mle_lbfgsb": "(t, intensity, ea, tau0, tp, ea_min, ea_max, t_min, t_max, beta, fix_ea=False, "
                       "fix_tp=False)",
}


def test_function_table_and_all():
    assert brivane_core.__all__ == list(SIGNATURES)
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


def python_twin(name):
    """A Python function with the same signature: the interpreter's own binding errors are the
    texts every module function must give."""
    namespace = {}
    exec(f"def {name}{SIGNATURES[name]}: pass", namespace)
    return namespace[name]


def binding_error(function, *args):
    with pytest.raises(TypeError) as info:
        function(*args)
    assert type(info.value) is TypeError
    return str(info.value)


@pytest.mark.parametrize("name", list(SIGNATURES))
class TestEveryFunction:
    def test_text_signature_and_empty_docstring(self, name):
        function = getattr(brivane_core, name)
        assert function.__text_signature__ == SIGNATURES[name]
        assert not function.__doc__
        assert function.__name__ == name

    def test_missing_arguments(self, name):
        function, twin = getattr(brivane_core, name), python_twin(name)
        required = [p for p in inspect.signature(twin).parameters.values() if p.default is p.empty]
        for given in (0, 1, len(required) - 1):
            text = binding_error(twin, *[None] * given)
            assert binding_error(function, *[None] * given) == text
        assert text.endswith(f"1 required positional argument: '{required[-1].name}'")

    def test_surplus_argument(self, name):
        function, twin = getattr(brivane_core, name), python_twin(name)
        surplus = [None] * (len(inspect.signature(twin).parameters) + 1)
        assert binding_error(function, *surplus) == binding_error(twin, *surplus)


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
