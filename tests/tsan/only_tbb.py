"""Reads ThreadSanitizer's report files and fails unless every report is a data race between two
accesses that oneTBB itself made (the system oneTBB is not instrumented, so its own synchronisation
is invisible and its accesses to its own task tree look racy); any other report is printed. Two
narrow kinds are set aside as well and counted apart: oneTBB's fold into the join node of a
parallel loop, which lies in the waiting thread's stack, against that thread's later use of the
same stack; and oneTBB's access against one whose stack fell out of the sanitizer's history.

An access is oneTBB's when the innermost frame of its stack outside the C++ standard library and
the sanitizer's runtime (an inlined std::atomic operation, a free() intercepted in the library) is
in oneTBB's headers or its shared library. Frames further out do not count: every task body runs
below oneTBB's frames, so a race between two of our tasks has oneTBB in both stacks too, and must
be reported."""
import pathlib
import re
import sys

# "#3 function file:line:column (module+0x1234)", or "<null> <null> (module+0x1234)" where the
# library has no line tables.
FRAME = re.compile(r"^\s*#\d+\s+(?P<text>.*?)\s+\((?P<module>[^()\s]+)\+0x[0-9a-f]+\)\s*$")
# The header line of an access: "  Write of size 8 at ...", "  Previous atomic read of size 4 ...".
ACCESS = re.compile(r"^  (?:Previous )?(?:[Aa]tomic )?(?:[Ww]rite|[Rr]ead) of size", re.MULTILINE)


def reports(text):
    return [block for block in text.split("==================") if "WARNING: ThreadSanitizer" in block]


def access_stacks(report):
    """The frame lines of the report's two access stacks (each up to the first blank or unindented
    line after its header)."""
    starts = [m.start() for m in ACCESS.finditer(report)]
    stacks = []
    for start in starts[:2]:
        lines = report[start:].splitlines()[1:]
        frames = []
        for line in lines:
            if not line.strip().startswith("#"):
                break
            frames.append(line)
        stacks.append(frames)
    return stacks


def owner(frame):
    match = FRAME.match(frame)
    if not match:
        return "other"
    text, module = match["text"], match["module"]
    if "libtbb" in module or "/oneapi/tbb/" in text or "/include/tbb/" in text:
        return "tbb"
    if "libtsan" in module or "libstdc++" in module or "/include/c++/" in text:
        return "library"
    return "other"


def made_by_tbb(stack):
    for frame in stack:
        kind = owner(frame)
        if kind != "library":
            return kind == "tbb"
    return False


def folds_into_join_node(stack):
    """An access of oneTBB's parallel loop to the node its finished task tree folds into."""
    return made_by_tbb(stack) and any("fold_tree" in frame for frame in stack[:4])


def join_on_waiting_stack(report, pair):
    """A worker's fold into the join node, which lives in the stack of the thread that waits for the
    loop, against that thread's later use of the same stack. The library's wait orders the two, out
    of the sanitizer's sight, and the node's address is the library's, so our code cannot state the
    order (src/thread_order.hpp states every hand-over and join it can name)."""
    owner_thread = re.search(r"Location is stack of (main thread|thread T\d+)", report)
    if not owner_thread:
        return False
    by = [re.search(r"by (main thread|thread T\d+)", ACCESS.split(report)[i + 1][:200]) for i in range(2)]
    for tbb_side, other_side in ((0, 1), (1, 0)):
        if (folds_into_join_node(pair[tbb_side]) and by[other_side]
                and by[other_side][1] == owner_thread[1] and by[tbb_side] and by[tbb_side][1] != owner_thread[1]):
            return True
    return False


def main(directory):
    bad, suppressed, joins, unknown = [], 0, 0, 0
    for path in sorted(pathlib.Path(directory).glob("*")):
        for report in reports(path.read_text(errors="replace")):
            pair = access_stacks(report)
            if "WARNING: ThreadSanitizer: data race" not in report or len(pair) != 2:
                bad.append(report)
            elif all(map(made_by_tbb, pair)):
                suppressed += 1
            elif join_on_waiting_stack(report, pair):
                joins += 1
            elif any(map(made_by_tbb, pair)) and "[failed to restore the stack]" in report and not all(pair):
                # The other access fell out of the sanitizer's history (history_size is at its
                # largest): oneTBB's side is all there is to judge by.
                unknown += 1
            else:
                bad.append(report)
    print(f"ThreadSanitizer: set aside {suppressed} race(s) between oneTBB's own accesses, {joins} between oneTBB's "
          f"join node and the waiting thread's later use of its stack, {unknown} with oneTBB's access "
          f"against one whose stack was lost, {len(bad)} other report(s)")
    for report in bad:
        print(report, file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
