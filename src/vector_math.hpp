#pragma once
// Batched elementary functions for the hot loops of the EM iteration.

#include <span>

namespace brivane {

// values[i] = exp(values[i]) for every entry.
void exp_in_place(std::span<double> values);

// values[i] = log(values[i]) for every entry.
void log_in_place(std::span<double> values);

}  // namespace brivane
