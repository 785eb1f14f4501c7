#include "em_engine.hpp"

namespace brivane {

EmResult run_gaussian_em(GaussianPeaks& peaks, std::vector<double>& pi, const EmProblem& problem) {
  return run_em(peaks, pi, problem);
}

EmResult run_lorentzian_em(LorentzianPeaks& peaks, std::vector<double>& pi, const EmProblem& problem) {
  return run_em(peaks, pi, problem);
}

}  // namespace brivane
