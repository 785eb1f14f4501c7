"""The friendly surface: stubs that match brivane_core's functions, documented public names."""
import ast
import inspect
import os

import brivane
import brivane_core

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")


def test_brivane_core_stubs_match_the_text_signatures():
    with open(os.path.join(ROOT, "python", "brivane_core-stubs", "__init__.pyi")) as f:
        tree = ast.parse(f.read())
    stubs = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert sorted(stubs) == sorted(brivane_core.__all__)
    for name, node in stubs.items():
        real = inspect.signature(getattr(brivane_core, name))
        stub_args = node.args.args
        assert [a.arg for a in stub_args] == list(real.parameters), name
        defaults = [ast.literal_eval(d) for d in node.args.defaults]
        real_defaults = [p.default for p in real.parameters.values() if p.default is not inspect.Parameter.empty]
        assert defaults == real_defaults, name
        assert len(ast.get_docstring(node) or "") > 40, name


def test_every_public_name_is_documented_with_units():
    for name in brivane.__all__:
        if name == "__version__":
            continue
        doc = inspect.getdoc(getattr(brivane, name)) or ""
        assert len(doc) > 40, name
    for name in ("Gaussian", "Lorentzian", "PseudoVoigt", "Voigt", "DoniachSunjic"):
        assert "x units" in inspect.getdoc(getattr(brivane, name)), name
    assert "kelvin" in inspect.getdoc(brivane.TSDC) and "eV" in inspect.getdoc(brivane.TSDC)
    assert os.path.exists(os.path.join(os.path.dirname(brivane.__file__), "py.typed"))


def test_without_the_engine_fits_say_why_and_saved_results_still_work(monkeypatch):
    import json
    import sys

    import numpy as np
    import pytest

    from brivane import _compiled
    from layer_support import HAVE_ENGINE

    x = np.linspace(0.0, 10.0, 101)
    counts = np.full(101, 5.0)
    model = brivane.Model([brivane.Gaussian(5.0)], background=brivane.Constant())
    saved = json.dumps(brivane.fit(x, counts + 50 * np.exp(-(x - 5) ** 2), model).to_dict()) if HAVE_ENGINE else None
    monkeypatch.setattr(_compiled, "_engine", None)
    monkeypatch.setitem(sys.modules, "brivane._engine", None)  # makes the import fail
    with pytest.raises(ImportError, match="compiled engine"):
        brivane.fit(x, counts, model)
    if saved is not None:
        result = brivane.FitResult.from_dict(json.loads(saved))
        assert "p0.center" in result.report() and result.eval().shape == x.shape
        with pytest.raises(ImportError, match="compiled engine"):
            result.eval(x[::2])
