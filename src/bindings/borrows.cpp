#include "bindings/borrows.hpp"

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "failure.hpp"

namespace brivane::py {

namespace {

// The bytes an array's elements occupy: elements start at `first`, `first + step`, ... and span
// [low, high).
struct Extent {
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
  std::uintptr_t first = 0;
  std::intptr_t step = 0;
  Py_ssize_t length = 0;
};

struct Borrow {
  std::uint64_t id;
  Extent extent;
  bool writable;
};

Extent extent_of(const ArrayLayout& layout) {
  Extent e;
  e.first = reinterpret_cast<std::uintptr_t>(layout.data);
  e.step = layout.stride;
  e.length = layout.length;
  const std::intptr_t span = static_cast<std::intptr_t>(layout.length - 1) * layout.stride;
  const std::uintptr_t last = e.first + static_cast<std::uintptr_t>(span);
  e.low = std::min(e.first, last);
  e.high = std::max(e.first, last) + sizeof(double);
  return e;
}

// Whether two arrays share a byte. Interleaved views with one common stride (a[::2] and a[1::2])
// are told apart; any other overlap of the spans counts as shared, which can only refuse a call,
// never let two writers meet.
bool share_memory(const Extent& a, const Extent& b) {
  if (a.length == 0 || b.length == 0) return false;
  if (a.high <= b.low || b.high <= a.low) return false;
  const std::uintptr_t stride = static_cast<std::uintptr_t>(a.step < 0 ? -a.step : a.step);
  const bool same_stride = a.step == b.step || a.step == -b.step;
  if (a.length < 2 || b.length < 2 || !same_stride || stride < 2 * sizeof(double)) return true;
  const std::uintptr_t residue = a.first >= b.first ? (a.first - b.first) % stride
                                                    : (stride - (b.first - a.first) % stride) % stride;
  return residue < sizeof(double) || residue > stride - sizeof(double);
}

std::mutex registry_mutex;
std::vector<Borrow>& registry() {
  static std::vector<Borrow> borrows;
  return borrows;
}
std::uint64_t next_id = 1;

}  // namespace

void BorrowSet::borrow(const ArrayLayout& layout, bool writable) {
  if (writable && !layout.writeable) {
    throw Failure("called `Result::unwrap()` on an `Err` value: NotWriteable");
  }
  const Extent extent = extent_of(layout);
  std::lock_guard<std::mutex> lock(registry_mutex);
  for (const Borrow& held : registry()) {
    if ((writable || held.writable) && share_memory(extent, held.extent)) {
      throw Failure("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed");
    }
  }
  ids_.reserve(ids_.size() + 1);
  registry().push_back({next_id, extent, writable});
  ids_.push_back(next_id++);
}

BorrowSet::~BorrowSet() {
  if (ids_.empty()) return;
  std::lock_guard<std::mutex> lock(registry_mutex);
  std::erase_if(registry(), [this](const Borrow& b) {
    return std::find(ids_.begin(), ids_.end(), b.id) != ids_.end();
  });
}

}  // namespace brivane::py
