#include "model/batch.hpp"

#include <tbb/enumerable_thread_specific.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "model/evaluate.hpp"
#include "model/model_error.hpp"
#include "parallel.hpp"
#include "thread_order.hpp"

namespace brivane::model {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One worker's memory: the fit's workspace and what evaluating the result's per-term counts needs.
struct WorkerMemory {
  explicit WorkerMemory(const Problem* problem)
      : workspace(*problem), scratch(*problem), mu(problem->channel_count()),
        per_term(problem->terms().size() * problem->channel_count()) {}
  Workspace workspace;
  ModelScratch scratch;
  std::vector<double> mu, per_term;
};

bool usable_counts(std::span<const double> counts) {
  for (double c : counts) {
    if (!std::isfinite(c) || c < 0.0) return false;
  }
  return true;
}

class BatchRun {
 public:
  BatchRun(const Problem& problem, std::span<const double> counts, std::span<const double> starts,
           const BatchOptions& options, const BatchOutput& output)
      : problem_(problem), counts_(counts), starts_(starts), options_(options), out_(output),
        n_(problem.channel_count()), p_(problem.parameter_count()), memory_(&problem) {}

  // Spectrum k from `start` (P values).
  void fit_one(std::size_t k, std::span<const double> start) {
    WorkerMemory& memory = memory_.local();
    const std::span<const double> counts = counts_.subspan(k * n_, n_);
    const std::span<double> theta = out_.theta.subspan(k * p_, p_);
    const std::span<double> covariance = out_.covariance.subspan(k * p_ * p_, p_ * p_);
    const std::span<unsigned char> at_bound = out_.at_bound.subspan(k * p_, p_);
    std::int32_t status = 0;
    if (!usable_counts(counts)) {
      status = kBatchBadCounts;
    } else {
      try {
        const FitResult r = fit(problem_, counts, start, memory.workspace, options_.fit);
        std::copy(r.theta.begin(), r.theta.end(), theta.begin());
        std::copy(r.covariance.begin(), r.covariance.end(), covariance.begin());
        std::copy(r.at_bound.begin(), r.at_bound.end(), at_bound.begin());
        out_.log_likelihood[k] = r.log_likelihood;
        out_.deviance[k] = r.deviance;
        out_.chi_square[k] = r.chi_square;
        out_.iterations[k] = static_cast<double>(r.iterations);
        out_.status[k] = static_cast<std::int32_t>(r.status);
        if (!out_.expected.empty()) expected_counts(k, memory);
        return;
      } catch (const ModelError&) {
        // Counts were checked above: what fit() refuses now is the start.
        status = kBatchBadStart;
      } catch (const std::exception&) {
        status = kBatchFailed;
      }
    }
    std::fill(theta.begin(), theta.end(), kNaN);
    std::fill(covariance.begin(), covariance.end(), kNaN);
    std::fill(at_bound.begin(), at_bound.end(), 0);
    out_.log_likelihood[k] = out_.deviance[k] = out_.chi_square[k] = kNaN;
    out_.iterations[k] = 0.0;
    out_.status[k] = status;
    if (!out_.expected.empty()) {
      const std::span<double> expected = out_.expected.subspan(k * n_, n_);
      std::fill(expected.begin(), expected.end(), kNaN);
    }
  }

  std::span<const double> own_start(std::size_t k) const { return starts_.subspan(k * p_, p_); }

  // The result of spectrum k as a start, or its own start when that fit did not end at an optimum.
  std::span<const double> start_after(std::size_t neighbour, std::size_t k) const {
    const std::int32_t s = out_.status[neighbour];
    if (s == static_cast<std::int32_t>(FitStatus::kConverged) ||
        s == static_cast<std::int32_t>(FitStatus::kSingularInformation)) {
      return std::span<const double>(out_.theta).subspan(neighbour * p_, p_);
    }
    return own_start(k);
  }

  void run(std::size_t spectra) {
    // One spectrum per task: fits differ in length by an order of magnitude, and a spectrum's fit
    // (a thousand channels, several terms) outweighs the scheduling of its task many times over.
    auto each = [&](std::size_t begin, std::size_t end, auto&& start_of) {
      const auto body = [&](std::size_t k) { fit_one(begin + k, start_of(begin + k)); };
      pool_for(end - begin, body, tbb::simple_partitioner());
    };
    const std::size_t columns = options_.neighbour_columns;
    if (columns == 0) {
      each(0, spectra, [&](std::size_t k) { return own_start(k); });
      return;
    }
    if (spectra == 0) return;
    fit_one(0, own_start(0));
    for (std::size_t c = 1; c < columns; ++c) fit_one(c, start_after(c - 1, c));
    for (std::size_t row = columns; row < spectra; row += columns) {
      each(row, row + columns, [&](std::size_t k) { return start_after(k - columns, k); });
    }
  }

 private:
  // The per-term counts summed in term order, as a caller sums evaluate_model's term values.
  void expected_counts(std::size_t k, WorkerMemory& memory) {
    const std::span<const double> theta = std::span<const double>(out_.theta).subspan(k * p_, p_);
    evaluate_model(problem_, theta, memory.mu, {}, memory.scratch, memory.per_term);
    const std::span<double> expected = out_.expected.subspan(k * n_, n_);
    std::copy(memory.per_term.begin(), memory.per_term.begin() + static_cast<std::ptrdiff_t>(n_), expected.begin());
    const std::size_t terms = problem_.terms().size();
    for (std::size_t t = 1; t < terms; ++t) {
      const double* row = memory.per_term.data() + t * n_;
      for (std::size_t i = 0; i < n_; ++i) expected[i] += row[i];
    }
  }

  const Problem& problem_;
  std::span<const double> counts_, starts_;
  const BatchOptions& options_;
  const BatchOutput& out_;
  std::size_t n_, p_;
  tbb::enumerable_thread_specific<WorkerMemory> memory_;
};

void require(bool condition, const std::string& message) {
  if (!condition) throw ModelError(message);
}

}  // namespace

void fit_many(const Problem& problem, std::span<const double> counts, std::span<const double> starts,
              const BatchOptions& options, const BatchOutput& output) {
  const std::size_t n = problem.channel_count(), p = problem.parameter_count();
  require(counts.size() % n == 0, "counts: " + std::to_string(counts.size()) + " values are not whole spectra of " +
                                      std::to_string(n) + " channels");
  const std::size_t spectra = counts.size() / n;
  require(starts.size() == spectra * p, "starts: " + std::to_string(starts.size()) + " values, expected " +
                                            std::to_string(spectra * p) + " (one start per spectrum)");
  require(output.theta.size() == spectra * p && output.covariance.size() == spectra * p * p &&
              output.at_bound.size() == spectra * p && output.log_likelihood.size() == spectra &&
              output.deviance.size() == spectra && output.chi_square.size() == spectra &&
              output.iterations.size() == spectra &&
              output.status.size() == spectra && (output.expected.empty() || output.expected.size() == spectra * n),
          "the outputs are not sized for the spectra given");
  const std::size_t columns = options.neighbour_columns;
  require(columns == 0 || (spectra > 0 && spectra % columns == 0),
          "neighbour_columns = " + std::to_string(columns) + " does not divide the " + std::to_string(spectra) +
              " spectra into rows");
  BatchRun batch(problem, counts, starts, options, output);
  if (options.threads == 0) {
    batch.run(spectra);
  } else {
    // An arena with no free slot for this thread hands the call to one of its workers.
    tbb::task_arena arena(static_cast<int>(options.threads));
    const auto body = [&] { batch.run(spectra); };
    const thread_order::HandedTask<decltype(body)> call(body);
    call.hand_over();
    arena.execute(call);
  }
}

}  // namespace brivane::model
