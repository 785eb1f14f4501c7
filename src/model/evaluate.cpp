#include "model/evaluate.hpp"

#include <algorithm>

#include "model/backgrounds.hpp"
#include "model/peak_terms.hpp"

namespace brivane::model {

ModelScratch::ModelScratch(const Problem& problem) : value_(problem.channel_count()) {
  std::size_t widest = 0;
  for (const TermSpec& term : problem.terms()) widest = std::max(widest, term.count);
  term_columns_.resize(widest);
  if (problem.has_peak_followers()) {
    const std::size_t n = problem.channel_count(), q = problem.peak_parameters().size();
    peak_total_.resize(n);
    peak_copy_.resize(n * q);
    peak_columns_.resize(q);
    kernel_.resize(2 * n);
  }
}

namespace {

void peak_term(const Channels& channels, const TermSpec& term, std::span<const double> parameters,
               const TermOutput& out) {
  visit_peak_term(term.kind, [&](auto peak) { decltype(peak)::evaluate(channels, parameters, term.aux, out); });
}

}  // namespace

void evaluate_model(const Problem& problem, std::span<const double> theta, std::span<double> mu,
                    std::span<double> jacobian, ModelScratch& scratch, std::span<double> term_values) {
  const std::size_t n = problem.channel_count();
  const bool derivatives = !jacobian.empty();
  const bool followers = problem.has_peak_followers();
  const Channels channels = problem.channels();
  const auto terms = problem.terms();
  std::fill(mu.begin(), mu.begin() + n, 0.0);
  if (followers) std::fill(scratch.peak_total_.begin(), scratch.peak_total_.end(), 0.0);
  auto value_of = [&](std::size_t t) {
    return term_values.empty() ? scratch.value_.data() : term_values.data() + t * n;
  };
  auto column = [&](std::size_t j) { return jacobian.data() + j * n; };

  for (std::size_t t = 0; t < terms.size(); ++t) {
    const TermSpec& term = terms[t];
    if (follows_peaks(term.kind)) continue;
    const std::span<const double> parameters = theta.subspan(term.first, term.count);
    double* value = value_of(t);
    if (is_peak(term.kind)) {
      TermOutput out;
      out.value = value;
      out.wants_derivatives = derivatives;
      if (derivatives) {
        for (std::size_t k = 0; k < term.count; ++k) out.derivative[k] = column(term.first + k);
      }
      peak_term(channels, term, parameters, out);
      if (followers) {
        for (std::size_t i = 0; i < n; ++i) scratch.peak_total_[i] += value[i];
      }
    } else {
      double** derivative = nullptr;
      if (derivatives) {
        derivative = scratch.term_columns_.data();
        for (std::size_t k = 0; k < term.count; ++k) derivative[k] = column(term.first + k);
      }
      plain_background_term(problem, t, parameters, value, derivative);
    }
    for (std::size_t i = 0; i < n; ++i) mu[i] += value[i];
  }
  if (!followers) return;

  // The peak-following backgrounds read the peaks' derivative columns before they add to them.
  const auto peak_parameters = problem.peak_parameters();
  const std::size_t q_count = peak_parameters.size();
  PeakCounts peaks{scratch.peak_total_, {}, q_count};
  if (derivatives) {
    for (std::size_t q = 0; q < q_count; ++q) {
      const double* c = column(peak_parameters[q]);
      std::copy(c, c + n, scratch.peak_copy_.begin() + q * n);
      scratch.peak_columns_[q] = column(peak_parameters[q]);
    }
    peaks.columns = scratch.peak_copy_;
  }
  for (std::size_t t = 0; t < terms.size(); ++t) {
    const TermSpec& term = terms[t];
    if (!follows_peaks(term.kind)) continue;
    FollowerOutput out;
    out.value = value_of(t);
    out.kernel = scratch.kernel_;
    if (derivatives) {
      for (std::size_t k = 0; k < term.count; ++k) out.own[k] = column(term.first + k);
      out.peak_columns = scratch.peak_columns_.data();
    }
    const std::span<const double> parameters = theta.subspan(term.first, term.count);
    if (term.kind == TermKind::kShirley) {
      shirley_term(channels.x, term.aux[0], peaks, parameters, out);
    } else {
      tougaard_term(channels.x, term.aux[0], peaks, parameters, out);
    }
    for (std::size_t i = 0; i < n; ++i) mu[i] += out.value[i];
  }
}

}  // namespace brivane::model
