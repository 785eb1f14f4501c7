"""The layer's examples run as a user runs them and print what they promise."""
import os
import runpy

import pytest

from layer_support import needs_engine

pytestmark = needs_engine
EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")


@pytest.mark.parametrize("name, expected", [
    ("model_hpge.py", ["[[Fit]] method 'ml': converged", "p4.center", "AIC"]),
    ("model_raman_carbon.py", ["Lorentzian: D  1346", "PseudoVoigt: D", "Voigt: D"]),
    ("model_xrd_lif.py", ["(111) K-alpha1 at 38.68", "(200) K-alpha1 at 44.98", "[tied to 111.center]"]),
    ("model_nist_gauss3.py", ["NIST least squares", "peak 2 centre"]),
    ("model_xps_au4f.py", ["== DoniachSunjic lines", "== Voigt lines", "splitting 3.6"]),
    ("model_tsdc.py", ["peak 0: ea 0.8", "peak 1: ea 1.1", "tp 350.0"]),
])
def test_example_prints_its_report_and_writes_its_plot(name, expected, tmp_path, capsys):
    example = runpy.run_path(os.path.join(EXAMPLES, name))
    plot = tmp_path / "plot.png"
    example["main"](["--plot", str(plot)] if "nist" not in name else [])
    out = capsys.readouterr().out
    for text in expected:
        assert text in out, text
    if "nist" not in name:
        assert plot.exists() or "matplotlib is not installed" in out


def test_readme_example_runs_and_finds_the_co60_line(monkeypatch):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    root = os.path.join(EXAMPLES, "..")
    with open(os.path.join(root, "README.md")) as f:
        text = f.read()
    block = text.split("## Fitting a spectrum", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    monkeypatch.chdir(root)
    namespace = {}
    exec(compile(block, "README.md", "exec"), namespace)
    result = namespace["result"]
    assert abs(result.values["p4.center"] - 1173.72) < 0.01 and result.stderr["p4.center"] < 0.02
    plt.close(namespace["figure"])
