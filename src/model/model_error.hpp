#pragma once
// Errors of a model description or of a fit's input, found before any computation: a term of an
// unknown kind, a tie to a parameter that does not exist, counts of the wrong length. They carry a
// message that names the argument (and the index) at fault; the binding layer turns them into
// Python's ValueError. Numerical trouble during a fit is never an error: it is a fit status.

#include <stdexcept>
#include <string>

namespace brivane::model {

class ModelError : public std::invalid_argument {
 public:
  explicit ModelError(const std::string& message) : std::invalid_argument(message) {}
};

}  // namespace brivane::model
