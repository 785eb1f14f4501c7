#pragma once
// Whole lines on the process's standard output (file descriptor 1, beneath any buffering of the
// host language).

#include <string_view>

namespace brivane {

// Writes `line` (which should end with a newline) to descriptor 1 in one piece: concurrent callers
// never interleave fragments. A failed write raises Failure("failed printing to stdout: <system
// error> (os error <errno>)").
void print_line(std::string_view line);

}  // namespace brivane
