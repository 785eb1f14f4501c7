"""Reads ThreadSanitizer's report files and fails unless every report is a data race with a
oneTBB frame in both of its stacks (the system oneTBB is not instrumented, so its own
synchronisation is invisible and its accesses look racy); any other report is printed."""
import pathlib
import re
import sys


def reports(text):
    return [block for block in text.split("==================") if "WARNING: ThreadSanitizer" in block]


def stacks(report):
    # The access stacks: each begins with a line "  Write of size ..." / "  Previous read ...".
    parts = re.split(r"\n  (?=(?:Previous )?(?:[Ww]rite|[Rr]ead|[Aa]tomic))", report)
    return parts[1:3]


def in_tbb(stack):
    return any("tbb" in line for line in stack.splitlines() if line.strip().startswith("#"))


def main(directory):
    bad, suppressed = [], 0
    for path in sorted(pathlib.Path(directory).glob("*")):
        for report in reports(path.read_text(errors="replace")):
            pair = stacks(report)
            if "data race" in report and len(pair) == 2 and all(in_tbb(s) for s in pair):
                suppressed += 1
            else:
                bad.append(report)
    print(f"ThreadSanitizer: {suppressed} report(s) with oneTBB in both stacks suppressed, {len(bad)} other(s)")
    for report in bad:
        print(report, file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
