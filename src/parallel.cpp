#include "parallel.hpp"

#include <tbb/global_control.h>

namespace brivane {

ThreadLimit::ThreadLimit(std::size_t threads)
    : control_(new tbb::global_control(tbb::global_control::max_allowed_parallelism, threads)) {}

ThreadLimit::~ThreadLimit() { delete static_cast<tbb::global_control*>(control_); }

}  // namespace brivane
