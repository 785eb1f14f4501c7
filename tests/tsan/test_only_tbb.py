"""The report filter of scripts/tsan.sh on reports shaped as ThreadSanitizer writes them: what it
sets aside must be oneTBB's own doing, and a race in our code must fail the run even though every
task body runs below oneTBB's frames."""
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import only_tbb  # noqa: E402

SEPARATOR = "=================="
OUR_TASK = [
    "    #0 operator() /build/src/model/batch.cpp:51 (_engine.abi3.so+0x29e15)",
    "    #1 operator() /usr/include/oneapi/tbb/parallel_for.h:208 (_engine.abi3.so+0x29e15)",
    "    #2 run_body /usr/include/oneapi/tbb/parallel_for.h:119 (_engine.abi3.so+0x29e15)",
    "    #3 <null> <null> (libtbb.so.12+0x1ffb2)",
]
TBB_SPLIT = [
    "    #0 tbb::detail::d1::blocked_range<unsigned long>::size() const /usr/include/oneapi/tbb/blocked_range.h:71 (t+0x1)",
    "    #1 execute /usr/include/oneapi/tbb/parallel_for.h:172 (t+0x2)",
    "    #2 <null> <null> (libtbb.so.12+0x1ffb2)",
]
TBB_FOLD = [
    "    #0 std::__atomic_base<int>::operator--() /usr/include/c++/12/bits/atomic_base.h:393 (t+0x3)",
    "    #1 void tbb::detail::d1::fold_tree<tbb::detail::d1::tree_node>(tbb::detail::d1::node*, "
    "tbb::detail::d1::execution_data const&) /usr/include/oneapi/tbb/partitioner.h:165 (t+0x3)",
    "    #2 finalize /usr/include/oneapi/tbb/parallel_for.h:160 (t+0x4)",
    "    #3 <null> <null> (libtbb.so.12+0x1ffb2)",
]
OUR_CALLER = ["    #0 TestBody /build/tests/cpp/em_engine_test.cpp:194 (t+0x5)"]
LOST = ["    [failed to restore the stack]"]


def report(first, first_by, second, second_by, location="heap block", kind="data race"):
    lines = [f"WARNING: ThreadSanitizer: {kind} (pid=1)",
             f"  Write of size 8 at 0x7b1000000020 by {first_by}:", *first, "",
             f"  Previous write of size 8 at 0x7b1000000020 by {second_by}:", *second, "",
             f"  Location is {location}.", "",
             "  Thread T1 (tid=2, running) created by main thread at:",
             "    #0 pthread_create tsan_interceptors_posix.cpp:1001 (libtsan.so.2+0x5e686)",
             "    #1 <null> <null> (libtbb.so.12+0x217da)", "",
             "SUMMARY: ThreadSanitizer: data race"]
    return "\n".join([SEPARATOR, *lines, SEPARATOR])


@pytest.mark.parametrize("text, passes", [
    (report(TBB_SPLIT, "thread T1", TBB_SPLIT, "main thread"), True),
    # Two of our tasks: oneTBB is below both, yet the accesses are ours.
    (report(OUR_TASK, "thread T1", OUR_TASK, "thread T2"), False),
    (report(OUR_TASK, "thread T1", TBB_SPLIT, "main thread"), False),
    # The fold into the join node in main's stack, against main's later use of that stack.
    (report(OUR_CALLER, "main thread", TBB_FOLD, "thread T1", location="stack of main thread"), True),
    # The same fold against another thread, or outside the waiting thread's stack: not a join.
    (report(OUR_TASK, "thread T2", TBB_FOLD, "thread T1", location="stack of main thread"), False),
    (report(OUR_CALLER, "main thread", TBB_FOLD, "thread T1"), False),
    (report(TBB_SPLIT, "thread T1", LOST, "main thread"), True),
    (report(OUR_TASK, "thread T1", LOST, "main thread"), False),
    (report(TBB_SPLIT, "thread T1", TBB_SPLIT, "main thread", kind="heap-use-after-free"), False),
])
def test_only_races_of_onetbbs_own_making_are_set_aside(tmp_path, capsys, text, passes):
    (tmp_path / "tsan.1").write_text(text)
    assert only_tbb.main(tmp_path) == (0 if passes else 1)
    assert ("WARNING" in capsys.readouterr().err) == (not passes)
