// The literal walk, for what the kernels leave: the moments of a few
// windows, and a window's segments, or a few of them, walked as
// paa_segments walks them. The same bits as the kernels and the reference.
#pragma once

#include "kernel_interface.hpp"

#include <cstddef>
#include <cstdint>

namespace morvel::detail {

// Means and standard deviations of `count` windows of n values, window i
// starting at starts[i], as znormalise computes them.
void moments_at(const double *const *starts, std::int64_t count, std::int32_t n,
                double *means, double *deviations);

// The same for windows i starting at ts + (first + i) * stride.
void moments(const double *ts, std::int64_t stride, std::int64_t first,
             std::int64_t count, std::int32_t n, double *means,
             double *deviations);

// A segment's mean from its block sum, snapped to +0.0 when tiny, stored at
// cell `at` as the cells ask: the mean itself or its letter.
void store_block(const Cells &cells, std::size_t at, double sum, double length);

// Segments from ... to - 1 of the window at x (its mean and deviation
// given), into row `row` of the cells.
void walk_segments(const double *x, std::int32_t n, std::int32_t w, double mean,
                   double deviation, const Cells &cells, std::size_t row,
                   std::int32_t from, std::int32_t to);

// Every segment of the window at x.
void serial_window(const double *x, std::int32_t n, std::int32_t w, double mean,
                   double deviation, const Cells &cells, std::size_t row);

} // namespace morvel::detail
