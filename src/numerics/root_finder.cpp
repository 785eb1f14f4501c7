#include "numerics/root_finder.hpp"

namespace brivane {

std::string_view root_status_name(RootStatus status) {
  switch (status) {
    case RootStatus::Converged: return "Converged";
    case RootStatus::NoBracketing: return "NoBracketing";
    case RootStatus::NoConvergency: return "NoConvergency";
  }
  return "Unknown";
}

}  // namespace brivane
