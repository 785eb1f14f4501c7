#pragma once
// Joint Poisson maximum likelihood of a whole spectrum model: damped Fisher scoring over the free
// parameters, with bounds by projection and an active set.
//
// Each iteration solves (F~ + lambda I) d~ = g~, F~ = S F S and g~ = S g the Fisher information
// and score scaled by S = diag(F)^(-1/2) (Marquardt's scaling: the iteration is the same whatever
// the units of the parameters), over the parameters not held on a bound; a parameter the step
// would carry across a bound is pinned on it and the others solved again (bounded_step.hpp). A
// step is accepted when the model stays admissible (finite, mu >= 0, mu > 0 where counts are) and
// the deviance falls; lambda then shrinks by Nielsen's rule from the ratio of the actual to the
// predicted gain (by up to ten), and grows (doubling its growth factor) after each rejected step.
// The first steps move only the parameters the model is linear in (areas, amplitudes,
// coefficients), until a full step over them would gain less than one unit of deviance (at most
// five steps): the likelihood is concave in them, and a start whose shapes are right but whose
// areas are a factor off then needs no hard damping. Everything runs on the calling thread; the
// memory is the Workspace's, made once per problem, so an iteration allocates nothing and fits of
// many spectra may run at once, one Workspace each, against one Problem.
//
// From the fourth evaluation on, a step taken where the last one did not go as the linear model
// predicted (gain ratio below 0.9, or rejected tries) carries Transtrum's geodesic acceleration
// (geodesic_acceleration.hpp), which follows a curved valley where the damped steps would zigzag
// (the Tougaard b, c pair: 60 -> 30 evaluations on Au 4f); where the model is as good as linear the
// acceleration's probe of the model is not spent.
//
// Convergence: the Newton decrement g^T F^-1 g over the parameters not held falls to
// tolerance * max(D, 1e-9 N) / max(1, n - F), N the sum of the counts. The decrement is the deviance
// a full Fisher-scoring step would still remove, and equally the squared length of that step
// measured in standard errors; the factor is the deviance per degree of freedom, so the step is
// measured in errors scaled to the data's scatter, and counts in any unit (times 1e-3 or 1e12)
// stop at the same step. The floor only binds for data with almost no noise (Poisson counts have
// D near n - F and would need 1e9 counts per channel). All-zero counts take a floor of 1. A
// tolerance of 1e-8 stops when the remaining step is 1e-4 standard errors long.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "model/evaluate.hpp"
#include "model/problem.hpp"

namespace brivane::model {

enum class FitStatus : std::int32_t {
  kConverged = 0,
  kIterationLimit = 1,
  kStalled = 2,             // no step lowers the deviance, but the decrement test was not met
  kNonFiniteStart = 3,      // the model at the start is not admissible
  kSingularInformation = 4, // converged, but the information over the free parameters is singular
  kInterrupted = 5,         // the stop flag was raised
};

const char* fit_status_message(FitStatus status);

struct FitOptions {
  std::size_t max_iterations = 200;  // model-and-Jacobian evaluations after the start
  double tolerance = 1e-8;           // on the Newton decrement, see above
  const std::atomic<bool>* stop = nullptr;  // checked once per iteration when given
};

struct FitResult {
  std::vector<double> theta;             // P
  std::vector<double> covariance;        // P x P, row-major
  std::vector<unsigned char> at_bound;   // P: free parameters that end on a bound
  double log_likelihood = 0.0;
  double deviance = 0.0;
  double chi_square = 0.0;               // Pearson's, at theta (pearson_chi_square)
  double decrement = 0.0;                // the last Newton decrement
  std::size_t iterations = 0;            // model-and-Jacobian evaluations after the start
  FitStatus status = FitStatus::kIterationLimit;
};

// Working memory of fits of one problem; one per thread.
class Workspace {
 public:
  explicit Workspace(const Problem& problem);

 private:
  friend FitResult fit(const Problem&, std::span<const double>, std::span<const double>, Workspace&,
                       const FitOptions&);
  friend class FitRun;
  ModelScratch scratch_;
  std::vector<double> phi_, phi_trial_, phi_probe_, lower_, upper_;
  std::vector<double> theta_, theta_trial_, slope_, slope_trial_;
  std::vector<double> mu_, mu_trial_, jacobian_, jacobian_trial_, free_jacobian_, weighted_, residual_;
  std::vector<double> score_, information_, system_, step_, scale_, column_, scaled_step_;
  std::vector<unsigned char> held_, pinned_;
  std::vector<std::size_t> active_, support_, reduced_;
};

// Fits `counts` (n values, finite, >= 0) from `start` (P values: the free parameters' starts, each
// within its bounds; the other entries are ignored, fixed values and ties coming from the problem).
// Throws ModelError for counts or starts that break these rules; every numerical outcome is a
// status. Reentrant: the problem is only read, the workspace is the caller's.
FitResult fit(const Problem& problem, std::span<const double> counts, std::span<const double> start,
              Workspace& workspace, const FitOptions& options);

}  // namespace brivane::model
