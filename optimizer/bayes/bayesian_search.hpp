// The numeric engine of the Bayesian stage.  It works in the unit cube of
// five dimensions (runtime, quantization, GPU-layer fraction, threads,
// batch size), starts from a Halton design and then proposes points with a
// tree-structured Parzen estimator over deterministic random candidates,
// so equal inputs always give equal proposals.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/records.hpp"
#include "optimizer/lib/estimator.hpp"

namespace halvorn {

// Coordinates in [0, 1): runtime, quantization, GPU-layer fraction,
// threads, batch size.
using Point = std::array<double, 5>;

struct Observation {
  Point point;
  double value;  // throughput; higher is better
};

struct BayesianSearch {
  std::vector<Observation> observations;  // in recording order, never removed
  double gamma = 0.25;                    // share of observations in the good group
  double best_value = -std::numeric_limits<double>::infinity();
};

// The Halton point of index `index` in bases 2, 3, 5, 7, 11.
Point halton_point(std::uint64_t index) noexcept;

// halton_point(1) ... halton_point(count); index 0 (the origin) is skipped.
std::vector<Point> initial_points(std::uint64_t count);

// One step of the 64-bit linear congruential generator: advances `state`
// and returns its top 52 bits as a double in [0, 1).
double lcg_uniform(std::uint64_t& state) noexcept;

// The five values after seeding the generator with `seed`.
Point random_point(std::uint64_t seed) noexcept;

// The configuration a point stands for.  Fails only when a list of the
// space is empty.
Result<RuntimeConfig> decode_point(const Point& point, const SearchSpace& space);

void observe(BayesianSearch& state, const Point& point, double value);

// A copy ordered by value, highest first.  Stable: equal values keep
// recording order, and a NaN value keeps its place (nothing moves across it).
std::vector<Observation> rank_by_value(std::span<const Observation> observations);

// ceil(count * gamma), at least 1 and at most `count` (when count > 0).
std::uint64_t good_group_size(std::uint64_t count, double gamma) noexcept;

// The next point to evaluate; does not change the state.  Below three
// observations it is the random point from seed iteration + n.
Point suggest_next(const BayesianSearch& state, std::uint64_t candidates,
                   std::uint64_t iteration);

// The kernel bandwidth of each dimension for a group of observations
// (meaningless for an empty group).
std::array<double, 5> parzen_bandwidths(std::span<const Observation> group) noexcept;

// The Gaussian kernel density of `group` at `point`; 1e-10 for an empty group.
double parzen_density(const Point& point, std::span<const Observation> group) noexcept;

}  // namespace halvorn
