#include "failure.hpp"

namespace brivane {

void fail_index(std::size_t len, std::size_t index) {
  throw Failure("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                std::to_string(index));
}

void fail_copy_length(std::size_t source_len, std::size_t destination_len) {
  throw Failure("copy_from_slice: source slice length (" + std::to_string(source_len) +
                ") does not match destination slice length (" + std::to_string(destination_len) +
                ")");
}

}  // namespace brivane
