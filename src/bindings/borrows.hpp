#pragma once
// Process-wide tracking of the NumPy memory that calls in progress have borrowed.
//
// Any number of calls may read the same memory; memory that a call writes may be borrowed by no
// other borrow, of the same call or of a call in another thread. A failed borrow is a Failure with
// the texts "...: NotWriteable" (a written array that is not writeable) or "...: AlreadyBorrowed".

#include <cstdint>
#include <vector>

#include "bindings/arrays.hpp"

namespace brivane::py {

// The borrows of one call, released together when it is destroyed (on every path out of a call).
class BorrowSet {
 public:
  BorrowSet() = default;
  ~BorrowSet();
  BorrowSet(const BorrowSet&) = delete;
  BorrowSet& operator=(const BorrowSet&) = delete;

  void borrow(const ArrayLayout& layout, bool writable);

 private:
  std::vector<std::uint64_t> ids_;
};

}  // namespace brivane::py
