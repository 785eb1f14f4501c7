"""Lists the functions (and lambdas) of the C++ sources longer than a limit, longest first:

    python scripts/function_lengths.py [--limit 100] [paths...]   (default: src/)

A body is counted from the line of its opening brace to the line of its closing brace. The scan
is textual: comments and string literals are blanked, then a brace opens a function when the text
since the previous ';', '{' or '}' holds a parameter list and is not a control statement or a
class, struct, enum or namespace head. It exits with status 1 when any function exceeds the limit.
"""
import argparse
import pathlib
import re
import sys

CONTROL = re.compile(r"^(if|for|while|switch|catch|else|do|return)\b")
TYPE_HEAD = re.compile(r"\b(namespace|struct|class|enum|union)\b[^()]*$")


def blank(text):
    """The text with comments and string and character literals replaced by spaces (newlines kept)."""
    out, i, n = [], 0, len(text)

    def spaces(j):
        return "".join(c if c == "\n" else " " for c in text[i:j])

    while i < n:
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
        elif text.startswith('R"', i):
            delimiter = re.match(r'R"([^(]*)\(', text[i:]).group(1)
            j = text.find(")" + delimiter + '"', i) + len(delimiter) + 2
        elif text[i] in "\"'":
            j = i + 1
            while j < n and text[j] != text[i]:
                j += 2 if text[j] == "\\" else 1
            j += 1
        else:
            out.append(text[i])
            i += 1
            continue
        out.append(spaces(j))
        i = j
    return "".join(out)


def functions(path):
    """(lines, first line, head) of every function body in the file."""
    text = blank(path.read_text())
    stack, last = [], 0
    for i, c in enumerate(text):
        if c == "{":
            head = " ".join(text[last:i].split())
            is_function = ("(" in head and not CONTROL.match(head) and not TYPE_HEAD.search(head)
                           and not head.endswith("="))
            stack.append((i, is_function, head))
            last = i + 1
        elif c == "}":
            start, is_function, head = stack.pop()
            if is_function:
                first = text.count("\n", 0, start) + 1
                yield text.count("\n", 0, i) + 2 - first, first, head
            last = i + 1
        elif c == ";":
            last = i + 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--limit", type=int, default=100)
    parser.add_argument("paths", nargs="*", default=["src"])
    args = parser.parse_args()
    files = []
    for p in map(pathlib.Path, args.paths):
        files += sorted(p.rglob("*.[ch]pp")) if p.is_dir() else [p]
    long = [(lines, str(f), first, head) for f in files for lines, first, head in functions(f)
            if lines > args.limit]
    for lines, name, first, head in sorted(long, reverse=True):
        print(f"{lines:5d}  {name}:{first}  ...{head[-70:]}")
    return 1 if long else 0


if __name__ == "__main__":
    sys.exit(main())
