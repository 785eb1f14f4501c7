"""Argument binding, conversion, array access and borrows, through run_em_loop."""
import threading
import time

import numpy as np
import pytest

import brivane_core
from brivane_core import PanicException, run_em_loop
from conftest import em_arguments
from sanitized import lasting

POSITIONAL = ["x", "intensity", "mu", "sigma", "pi", "dirichlet_alpha", "fix_mu", "fix_sigma",
              "max_iter", "r_eps", "x_min", "x_max"]


@pytest.fixture
def args():
    x = np.linspace(0.0, 10.0, 101)
    intensity = 100.0 * np.exp(-0.5 * (x - 4.0) ** 2) + 1.0
    return em_arguments(x, intensity, mu=[3.0, 6.0], sigma=[1.0, 1.0], max_iter=5)


def fresh(args, **changes):
    """A copy of the arguments whose arrays the call may write without touching the originals."""
    copied = {k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in args.items()}
    copied.update(changes)
    return copied


def positional(args):
    return [args[name] for name in POSITIONAL]


def type_error(call, *a, **kw):
    with pytest.raises(TypeError) as info:
        call(*a, **kw)
    assert type(info.value) is TypeError
    return str(info.value)


class TestBinding:
    def test_too_many_positional_arguments(self, args):
        extra = positional(args) + [0, 0.0, None, "surplus"]
        assert type_error(run_em_loop, *extra) == (
            "run_em_loop() takes from 12 to 15 positional arguments but 16 were given")

    def test_unexpected_and_duplicated_keywords(self, args):
        assert type_error(run_em_loop, **args, bg_typ=1) == (
            "run_em_loop() got an unexpected keyword argument 'bg_typ'")
        assert type_error(run_em_loop, *positional(args)[:3], **{k: v for k, v in args.items() if k != "x"}) == (
            "run_em_loop() got multiple values for argument 'intensity'")

    @pytest.mark.parametrize("missing, text", [
        (["x_max"], "1 required positional argument: 'x_max'"),
        (["x_min", "x_max"], "2 required positional arguments: 'x_min' and 'x_max'"),
        (["x", "r_eps", "x_max"], "3 required positional arguments: 'x', 'r_eps', and 'x_max'"),
    ])
    def test_missing_arguments_joined_as_the_interpreter_joins_them(self, args, missing, text):
        for name in missing:
            del args[name]
        assert type_error(run_em_loop, **args) == "run_em_loop() missing " + text

    def test_every_parameter_binds_by_keyword_and_position_alike(self, args):
        a = fresh(args)
        by_keyword = run_em_loop(**args, bg_type=1, s_tri=0.0, spline_basis_preds=None)
        by_position = run_em_loop(*positional(a), 1, 0.0, None)
        np.testing.assert_array_equal(by_keyword[1], by_position[1])
        np.testing.assert_array_equal(args["mu"], a["mu"])


class TestConversion:
    @pytest.mark.parametrize("name", ["x", "intensity", "mu", "sigma", "pi", "dirichlet_alpha"])
    @pytest.mark.parametrize("bad, type_name", [
        (lambda a: a.astype(np.float32), "ndarray"),
        (lambda a: list(a), "list"),
        (lambda a: np.vstack([a, a]), "ndarray"),
        (lambda a: a.astype(np.int64), "ndarray"),
    ])
    def test_arrays_are_never_cast(self, args, name, bad, type_name):
        args[name] = bad(args[name])
        assert type_error(run_em_loop, **args) == (
            f"argument '{name}': '{type_name}' object cannot be converted to 'PyArray<T, D>'")

    def test_flags_must_be_booleans(self, args):
        args["fix_mu"] = [1, False]
        assert type_error(run_em_loop, **args) == (
            "argument 'fix_mu': 'int' object cannot be converted to 'PyBool'")
        args["fix_mu"] = "ab"
        assert type_error(run_em_loop, **args) == "argument 'fix_mu': Can't extract `str` to `Vec`"
        args["fix_mu"] = 5
        assert type_error(run_em_loop, **args) == (
            "argument 'fix_mu': 'int' object cannot be converted to 'Sequence'")

    def test_numpy_booleans_and_sequences_are_accepted(self, args):
        reference = run_em_loop(**fresh(args, fix_mu=[True, False]))
        for flags in ([np.True_, np.False_], (True, False), np.array([True, False])):
            result = run_em_loop(**fresh(args, fix_mu=flags))
            np.testing.assert_array_equal(result[1], reference[1])

    def test_small_code_range_and_type(self, args):
        for code in (256, -1):
            with pytest.raises(OverflowError) as info:
                run_em_loop(**args, bg_type=code)
            assert str(info.value) == "out of range integral type conversion attempted"
        assert type_error(run_em_loop, **args, bg_type=None) == (
            "argument 'bg_type': 'NoneType' object cannot be interpreted as an integer")

    def test_counts_and_floats_report_the_interpreters_messages(self, args):
        with pytest.raises(OverflowError):
            run_em_loop(**dict(args, max_iter=-1))
        assert type_error(run_em_loop, **dict(args, max_iter=2.5)) == (
            "argument 'max_iter': 'float' object cannot be interpreted as an integer")
        assert type_error(run_em_loop, **dict(args, r_eps="tight")) == (
            "argument 'r_eps': must be real number, not str")
        assert type_error(run_em_loop, **args, s_tri=None) == (
            "argument 's_tri': must be real number, not NoneType")
        # Objects that convert are accepted: NumPy scalars, integers, __index__ and __float__.
        run_em_loop(**dict(args, max_iter=np.uint8(2), r_eps=np.float32(1e-3), x_min=0, x_max=10))

    def test_rows_accept_only_sequences_of_float_sequences(self, args):
        assert type_error(run_em_loop, **args, bg_type=4, spline_basis_preds="row") == (
            "argument 'spline_basis_preds': Can't extract `str` to `Vec`")
        assert type_error(run_em_loop, **args, bg_type=4, spline_basis_preds=[["a"] * 101]) == (
            "argument 'spline_basis_preds': must be real number, not str")

    def test_type_error_keeps_the_original_cause(self, args):
        class Stubborn:
            def __index__(self):
                raise TypeError("no index today") from KeyError("root cause")

        with pytest.raises(TypeError) as info:
            run_em_loop(**dict(args, max_iter=Stubborn()))
        assert str(info.value) == "argument 'max_iter': no index today"
        assert isinstance(info.value.__cause__, KeyError)

    def test_non_type_errors_pass_through_unchanged(self, args):
        class Broken:
            def __float__(self):
                raise ZeroDivisionError("inside __float__")

        with pytest.raises(ZeroDivisionError, match="^inside __float__$"):
            run_em_loop(**dict(args, r_eps=Broken()))

    def test_first_failing_argument_in_signature_order_wins(self, args):
        args["x"] = list(args["x"])
        args["r_eps"] = "bad"
        assert type_error(run_em_loop, **args).startswith("argument 'x': ")


class TestArrays:
    def test_strided_and_reversed_views_read_in_index_order(self, args):
        contiguous = run_em_loop(**fresh(args))
        padded = np.zeros(2 * args["x"].size)
        padded[::2] = args["x"]
        reversed_intensity = args["intensity"][::-1].copy()[::-1]
        assert reversed_intensity.strides[0] < 0
        result = run_em_loop(**dict(args, x=padded[::2], intensity=reversed_intensity))
        np.testing.assert_array_equal(result[1], contiguous[1])

    def test_written_arrays_go_back_through_their_own_strides(self, args):
        expected = em_arguments(args["x"], args["intensity"], mu=[3.0, 6.0], sigma=[1.0, 1.0], max_iter=5)
        run_em_loop(**expected)
        storage = np.full(6, -7.0)
        storage[4::-2] = [3.0, 6.0, 99.0]  # mu view runs backwards: storage[4], storage[2]
        mu_view = storage[4::-2][:2]
        run_em_loop(**dict(args, mu=mu_view))
        np.testing.assert_array_equal(mu_view, expected["mu"])
        np.testing.assert_array_equal(storage[[1, 3, 5]], [-7.0, -7.0, -7.0])
        assert storage[0] == 99.0

    def test_results_are_new_arrays_that_own_their_memory(self, args):
        t, ll, rel, s_tri = run_em_loop(**args)
        for history in (ll, rel):
            assert history.dtype == np.float64 and history.ndim == 1 and history.size == t + 1
            assert history.flags.owndata and history.flags.writeable
        assert type(t) is int and type(s_tri) is float


class TestBorrows:
    def test_read_only_written_array_is_not_writeable(self, args):
        args["mu"].flags.writeable = False
        before = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
        with pytest.raises(PanicException) as info:
            run_em_loop(**args)
        assert str(info.value) == "called `Result::unwrap()` on an `Err` value: NotWriteable"
        for name, value in before.items():
            np.testing.assert_array_equal(args[name], value)

    def test_memory_read_and_written_by_one_call_conflicts(self, args):
        same = {k: v for k, v in args.items()}
        same["mu"] = args["x"][3:5]  # a view of the read-only grid
        with pytest.raises(PanicException, match="AlreadyBorrowed$"):
            run_em_loop(**same)
        same = dict(args, dirichlet_alpha=args["pi"])
        with pytest.raises(PanicException, match="AlreadyBorrowed$"):
            run_em_loop(**same)
        same = dict(args, sigma=args["mu"])
        with pytest.raises(PanicException, match="^called `Result::unwrap\\(\\)` on an `Err` value: AlreadyBorrowed$"):
            run_em_loop(**same)

    def test_overlapping_views_conflict_but_interleaved_ones_do_not(self, args):
        buffer = np.array([3.0, 1.0, 6.0, 1.0, 0.5, 0.5])
        args.update(mu=buffer[0:4:2], sigma=buffer[1:4:2], pi=buffer[4:6])
        run_em_loop(**args)  # interleaved mu and sigma share no element
        buffer = np.array([3.0, 6.0, 1.0])
        args.update(mu=buffer[0:2], sigma=buffer[1:3], pi=np.array([0.5, 0.5]))
        with pytest.raises(PanicException, match="AlreadyBorrowed$"):
            run_em_loop(**args)

    def test_the_same_array_may_be_read_twice(self, args):
        args["dirichlet_alpha"] = np.ones(2)
        run_em_loop(**dict(args, intensity=args["x"]))

    def test_borrows_end_on_every_path(self, args):
        with pytest.raises(PanicException):
            run_em_loop(**dict(args, pi=np.full(3, 1.0 / 3)))  # pi longer than the components
        with pytest.raises(TypeError):
            run_em_loop(**dict(args, r_eps=None))  # fails after the arrays were borrowed
        run_em_loop(**args)
        run_em_loop(**args)

    def test_concurrent_calls_writing_the_same_array_conflict(self):
        x = np.linspace(0.0, 100.0, lasting(200_000))
        intensity = np.exp(-0.5 * ((x - 40.0) / 5.0) ** 2) * 100.0 + 1.0
        shared_mu = np.array([30.0, 60.0])
        long_call = em_arguments(x, intensity, mu=[30.0, 60.0], sigma=[5.0, 5.0], max_iter=400, r_eps=0.0)
        long_call["mu"] = shared_mu
        finished = threading.Event()

        def fit():
            try:
                run_em_loop(**long_call)
            finally:
                finished.set()

        worker = threading.Thread(target=fit)
        worker.start()
        short_call = em_arguments(x[:100], intensity[:100], mu=[1.0, 2.0], sigma=[1.0, 1.0], max_iter=1)
        short_call["mu"] = shared_mu
        conflicts = 0
        while not finished.is_set():
            try:
                run_em_loop(**short_call)
            except PanicException as error:
                assert str(error) == "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
                conflicts += 1
            time.sleep(0.01)
        worker.join()
        # The lock was released during the long fit, so this thread ran and saw the conflict.
        assert conflicts > 0
        run_em_loop(**short_call)  # the long call's borrow has ended
