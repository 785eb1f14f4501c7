"""What every mixture entry must do whatever its shape, run over the shapes of mixture_shapes.py."""
import re

import numpy as np
import pytest

from brivane_core import PanicException
from mixture_shapes import SHAPES

BOUNDED_WIDTHS = [shape for shape in SHAPES if shape.gamma_max is not None]


@pytest.mark.parametrize("shape", SHAPES, ids=lambda shape: shape.name)
def test_all_flags_fixed_changes_only_the_weights(shape, capfd):
    # Every parameter held: the refits are skipped (nothing printed), the values come back with
    # their bits, and only the mixing weights and the tilted background move.
    held = [True] * shape.peaks
    args = shape.start(**{flag: held for flag in shape.flags}, bg_type=3, max_iter=shape.held_iterations, r_eps=0.0)
    start = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
    t, _, _, s_tri = shape.run(**args)
    assert t == shape.held_iterations and -0.99999 <= s_tri <= 0.99999
    for name in shape.written:
        assert args[name].tobytes() == start[name].tobytes(), name
    assert not np.array_equal(args["pi"], start["pi"])
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("shape", BOUNDED_WIDTHS, ids=lambda shape: shape.name)
def test_nan_bounds_abort_without_writing(shape):
    # A NaN width bound passes the minimiser and fails the clamp of the first refit: the call
    # raises with both bounds printed and leaves every array as it was given.
    iterations = {} if shape.nan_bound_iterations is None else {"max_iter": shape.nan_bound_iterations}
    args = shape.start(bg_type=1, gamma_min=float("nan"), **iterations)
    start = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
    message = "^" + re.escape(f"min > max, or either was NaN. min = NaN, max = {shape.gamma_max:.1f}") + "$"
    with pytest.raises(PanicException, match=message):
        shape.run(**args)
    for name, value in start.items():
        np.testing.assert_array_equal(args[name], value, err_msg=name)
