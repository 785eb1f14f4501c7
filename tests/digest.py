"""Prints a digest of what the module computes, to show that a change of code left every result
bit for bit the same:

    comparison  every single-peak fit of the comparison set (tests/python/fit_comparison.py), the
                module's side only: the fitted parameters' exact values;
    examples    every example's printed output (plots off), and the exact values of every call
                the example makes into the module;
    em          every call of the six EM entries made while the Python tests run (the comparison
                tests, and a test of calls racing for one array, apart): the arguments going in,
                the written arrays coming back and the returned tuple;
    other       the same for every other function of the module, in the same run;
    engine      the same for every function of the spectrum-model engine (brivane._engine),
                in the same run.

Each group's digest is SHA-256 over the sorted digests of its records, so the order in which tests
or threads make their calls does not matter; a line per part (a shape, an example, an entry) says
where a change lies. The last line is the digest of the group digests.

    python tests/digest.py [--groups comparison,examples,em,other,engine] [pytest arguments...]

Floats are taken as the hexadecimal form of their IEEE bits, arrays as their dtype, shape and
bytes: a change in the last bit of any value changes the digest. Every NaN counts as one value:
which operand's NaN an operation passes on, and so its sign, depends on the order the compiler
gives the operations, not on the numerics.
"""
import argparse
import collections
import contextlib
import functools
import hashlib
import os
import re
import runpy
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(HERE, "python"))

EM_ENTRIES = ("run_em_loop", "run_pv_em_loop", "run_voigt_em_loop", "run_lorentzian_em_loop",
              "run_ds_em_loop", "run_tsdc_em_loop")
GROUPS = ("comparison", "examples", "em", "other", "engine")


def exact(value):
    """A text that differs wherever the bits of `value` differ."""
    if isinstance(value, float):
        return value.hex()
    if isinstance(value, np.ndarray):
        if value.dtype == object:
            return "object[" + ",".join(exact(v) for v in value.ravel()) + "]"
        data = np.ascontiguousarray(value)
        if data.dtype.kind in "fc" and np.isnan(data).any():
            data = np.where(np.isnan(data), np.nan, data)  # one NaN: see the note above
        return f"{data.dtype.str}{data.shape}:{hashlib.sha256(data.tobytes()).hexdigest()}"
    if isinstance(value, np.generic):
        return exact(value.item()) if isinstance(value, np.floating) else repr(value)
    if isinstance(value, (list, tuple)):
        inner = ",".join(exact(v) for v in value)
        return f"[{inner}]" if isinstance(value, list) else f"({inner})"
    if isinstance(value, dict):
        return "{" + ",".join(f"{k}={exact(value[k])}" for k in sorted(value)) + "}"
    if isinstance(value, BaseException):
        return f"{type(value).__name__}({value})"
    if value is None or isinstance(value, (bool, int, str, bytes)):
        return repr(value)
    return type(value).__qualname__  # a test's own object: its repr would hold its address


def sha(text):
    return hashlib.sha256(text.encode()).hexdigest()


class Recorder:
    """Wraps every function of the modules; each call adds one record under its function's name
    (prefixed by its module's, but for the first module)."""

    def __init__(self, *modules):
        self.modules = modules
        self.records = collections.defaultdict(list)
        self.originals = []

    def __enter__(self):
        for index, module in enumerate(self.modules):
            prefix = "" if index == 0 else module.__name__ + "."
            for name in dir(module):
                function = getattr(module, name)
                if callable(function) and not isinstance(function, type) and not name.startswith("_"):
                    self.originals.append((module, name, function))
                    setattr(module, name, self.wrap(prefix + name, function))
        return self

    def __exit__(self, *exc):
        for module, name, function in self.originals:
            setattr(module, name, function)

    def take(self):
        records, self.records = self.records, collections.defaultdict(list)
        return records

    def wrap(self, name, function):
        @functools.wraps(function)
        def recorded(*args, **kwargs):
            before = exact((args, kwargs))
            try:
                result = function(*args, **kwargs)
            except BaseException as error:
                # The written arrays as the failure left them, and the error.
                self.records[name].append(sha(f"{before}->{exact((args, kwargs))}!{exact(error)}"))
                raise
            self.records[name].append(sha(f"{before}->{exact((args, kwargs))}={exact(result)}"))
            return result
        # The tests read the binding's own signature text.
        recorded.__text_signature__ = getattr(function, "__text_signature__", None)
        return recorded


def combine(records):
    return sha("\n".join(sorted(records)))


@contextlib.contextmanager
def captured_fd1():
    """Everything written to descriptor 1, by Python or by the module, while inside."""
    sys.stdout.flush()
    saved = os.dup(1)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 1)
        text = []
        try:
            yield text
        finally:
            sys.stdout.flush()
            os.dup2(saved, 1)
            os.close(saved)
            sink.seek(0)
            text.append(sink.read().decode())


def comparison_digests():
    import fit_comparison
    parts = {}
    with fit_comparison.quiet_stdout():
        for shape in fit_comparison.SHAPES:
            parts[shape.name] = combine(
                sha(f"{case.id}:{exact(tuple(float(v) for v in shape.module_fit(case)))}")
                for case in shape.cases())
    return parts


# The map example takes a size and a folder in place of a plot's file; its rate line is a timing,
# left out of the hash.
def example_arguments(example, scratch):
    if example == "fit_map.py":
        return ["--size", "16", "--out", os.path.join(scratch, "maps")]
    return ["--plot", os.path.join(scratch, "plot.png")]


TIMING = re.compile(r"in [0-9.]+ s \([0-9]+ spectra/s\)")


def example_digests(recorder):
    parts = {}
    examples = sorted(f for f in os.listdir(os.path.join(ROOT, "examples")) if f.endswith(".py"))
    saved_argv, saved_matplotlib = sys.argv, sys.modules.get("matplotlib")
    sys.modules["matplotlib"] = None  # plots off: the examples say so and go on
    try:
        with tempfile.TemporaryDirectory() as scratch:
            for example in examples:
                sys.argv = [example, *example_arguments(example, scratch)]
                with captured_fd1() as output:
                    try:
                        runpy.run_path(os.path.join(ROOT, "examples", example), run_name="__main__")
                    except SystemExit as end:
                        if end.code not in (None, 0):
                            raise RuntimeError(f"{example} ended with status {end.code}")
                calls = [r for records in recorder.take().values() for r in records]
                parts[example] = combine([sha("output:" + TIMING.sub("in <time>", output[0]))] + calls)
    finally:
        sys.argv = saved_argv
        if saved_matplotlib is None:
            del sys.modules["matplotlib"]
        else:
            sys.modules["matplotlib"] = saved_matplotlib
    return parts


def test_run_digests(recorder, pytest_args):
    import pytest
    recorder.take()
    python_tests = os.path.join(HERE, "python")
    status = pytest.main(["-q", "-p", "no:cacheprovider", "--rootdir", ROOT,
                          "--ignore", os.path.join(python_tests, "test_fit_comparison.py"),
                          # How many calls meet the held array depends on the threads' timing.
                          "--deselect", "tests/python/test_call_frame.py::TestBorrows::test_concurrent_calls_writing_the_same_array_conflict",
                          *pytest_args, python_tests])
    if status != 0:
        print(f"warning: the Python tests ended with status {int(status)}", file=sys.stderr)
    records = recorder.take()
    em = {name: combine(records.get(name, [])) for name in EM_ENTRIES}
    other = {name: combine(r) for name, r in sorted(records.items()) if name not in EM_ENTRIES and "." not in name}
    engine = {name: combine(r) for name, r in sorted(records.items()) if "." in name}
    return em, other, engine, status


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--groups", default=",".join(GROUPS))
    args, pytest_args = parser.parse_known_args(argv)
    groups = args.groups.split(",")
    import brivane_core
    modules = [brivane_core]
    try:
        import brivane._engine
        modules.append(brivane._engine)
    except ImportError:
        pass  # a tree from before the spectrum-model engine
    for module in modules:
        print(f"module {module.__file__}", file=sys.stderr)

    parts = {}
    status = 0
    with Recorder(*modules) as recorder:
        if "comparison" in groups:
            parts["comparison"] = comparison_digests()
        if "examples" in groups:
            parts["examples"] = example_digests(recorder)
        if "em" in groups or "other" in groups or "engine" in groups:
            em, other, engine, status = test_run_digests(recorder, pytest_args)
            if "em" in groups:
                parts["em"] = em
            if "other" in groups:
                parts["other"] = other
            if "engine" in groups and engine:
                parts["engine"] = engine

    print()
    for group, group_parts in parts.items():
        for name, digest in group_parts.items():
            print(f"  {group:10} {name:36} {digest[:16]}")
    summary = {group: combine(f"{n}:{d}" for n, d in p.items()) for group, p in parts.items()}
    for group, digest in summary.items():
        print(f"{group:12} {digest}")
    print(f"{'overall':12} {combine(f'{g}:{d}' for g, d in summary.items())}")
    return int(status)


if __name__ == "__main__":
    sys.exit(main())
