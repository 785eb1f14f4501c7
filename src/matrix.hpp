#pragma once
// Row-major matrix of doubles: one contiguous row of n samples per mixture component.

#include <cstddef>
#include <span>
#include <vector>

namespace brivane {

class RowMatrix {
 public:
  RowMatrix() = default;
  RowMatrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), data_(rows * cols, 0.0) {}

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  std::span<double> row(std::size_t k) { return {data_.data() + k * cols_, cols_}; }
  std::span<const double> row(std::size_t k) const { return {data_.data() + k * cols_, cols_}; }

 private:
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::vector<double> data_;
};

}  // namespace brivane
