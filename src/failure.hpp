#pragma once
// Internal failures of the numerical core.
//
// A Failure is a broken caller contract discovered inside the core: an index past the end of an
// array, a copy between buffers of unequal length. It carries the exact message that reaches the
// Python caller (the binding layer turns it into PanicException). Degenerate data is never a
// Failure: the numerical floors keep such computations finite and the fits return unchanged values.

#include <cstddef>
#include <stdexcept>
#include <string>

namespace brivane {

class Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& message) : std::runtime_error(message) {}
};

// "index out of bounds: the len is <len> but the index is <index>"
[[noreturn]] void fail_index(std::size_t len, std::size_t index);

// "copy_from_slice: source slice length (<source>) does not match destination slice length (<dest>)"
[[noreturn]] void fail_copy_length(std::size_t source_len, std::size_t destination_len);

// Throws the index failure for the first index in [0, needed) that `len` does not cover.
inline void require_length(std::size_t len, std::size_t needed) {
  if (len < needed) fail_index(len, len);
}

}  // namespace brivane
