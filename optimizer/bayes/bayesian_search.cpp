#include "optimizer/bayes/bayesian_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "core/text.hpp"
#include "optimizer/lib/quantization_tables.hpp"

namespace halvorn {
namespace {

constexpr std::array<std::uint64_t, 5> kHaltonBases{2, 3, 5, 7, 11};
constexpr std::uint64_t kCandidateSeedOffset = 0xDEADBEEF;
constexpr double kDensityFloor = 1e-10;
constexpr double kMinBandwidth = 1e-8;
constexpr double kSqrtTwoPi = 2.5066282746310002;
// A single observation has no spread of its own: assume 0.2, scaled by the
// usual 1.06 of Silverman's rule.
constexpr double kSingleBandwidth = 0.2 * 1.06;

double radical_inverse(std::uint64_t index, std::uint64_t base) noexcept {
  const double b = static_cast<double>(base);
  double r = 0.0;
  double f = 1.0;
  std::uint64_t n = index;
  for (;;) {
    f = f / b;
    r = r + static_cast<double>(n % base) * f;
    if (n < base) break;
    n = n / base;
  }
  return r;
}

// min(floor(n * p), n - 1) for a list of n >= 1 entries.
std::size_t list_index(std::size_t n, double coordinate) noexcept {
  const std::uint64_t raw = saturating_u64(std::floor(static_cast<double>(n) * coordinate));
  return static_cast<std::size_t>(std::min<std::uint64_t>(raw, n - 1));
}

double gaussian(double z, double h) noexcept {
  const double t = z / h;
  return std::exp(-0.5 * (t * t)) / (h * kSqrtTwoPi);
}

// The density with bandwidths computed beforehand, so a proposal that
// scores many candidates against one group derives them once.
double density_with(const Point& point, std::span<const Observation> group,
                    const std::array<double, 5>& bandwidths) noexcept {
  if (group.empty()) return kDensityFloor;
  double sum = 0.0;
  for (const Observation& obs : group) {
    double product = 1.0;
    for (std::size_t d = 0; d < point.size(); ++d) {
      product = product * gaussian(point[d] - obs.point[d], bandwidths[d]);
    }
    sum = sum + product;
  }
  // For one observation this is the product itself: 0 + p and p / 1 are exact.
  return sum / static_cast<double>(group.size());
}

}  // namespace

Point halton_point(std::uint64_t index) noexcept {
  Point point{};
  for (std::size_t d = 0; d < point.size(); ++d) point[d] = radical_inverse(index, kHaltonBases[d]);
  return point;
}

std::vector<Point> initial_points(std::uint64_t count) {
  std::vector<Point> points;
  for (std::uint64_t i = 1; i <= count && i != 0; ++i) points.push_back(halton_point(i));
  return points;
}

double lcg_uniform(std::uint64_t& state) noexcept {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<double>(state >> 12) * 0x1p-52;
}

Point random_point(std::uint64_t seed) noexcept {
  std::uint64_t state = seed;
  Point point{};
  for (double& coordinate : point) coordinate = lcg_uniform(state);
  return point;
}

Result<RuntimeConfig> decode_point(const Point& point, const SearchSpace& space) {
  const auto empty = [](std::string_view list) {
    return fail(cat("cannot decode a search point: the search space has no ", list));
  };
  if (space.runtimes.empty()) return empty("runtimes");
  if (space.quantizations.empty()) return empty("quantizations");
  if (space.threads.empty()) return empty("thread counts");
  if (space.batch_sizes.empty()) return empty("batch sizes");

  RuntimeConfig config;
  config.runtime = space.runtimes[list_index(space.runtimes.size(), point[0])];
  config.quantization = space.quantizations[list_index(space.quantizations.size(), point[1])];
  config.threads = space.threads[list_index(space.threads.size(), point[3])];
  config.batch_size = space.batch_sizes[list_index(space.batch_sizes.size(), point[4])];
  if (space.max_gpu_layers != 0) {
    const std::uint32_t layers =
        saturating_u32(std::round(static_cast<double>(space.max_gpu_layers) * point[2]));
    config.gpu_layers = std::min(space.max_gpu_layers, layers);
  }
  return config;
}

void observe(BayesianSearch& state, const Point& point, double value) {
  state.observations.push_back(Observation{point, value});
}

std::vector<Observation> rank_by_value(std::span<const Observation> observations) {
  std::vector<Observation> ranked(observations.begin(), observations.end());
  // NaN compares false with everything, so it cannot take part in a sort.
  // It stays where it is and the runs between NaNs are sorted on their own,
  // which is what a stable insertion sort does with such a value.
  const auto higher = [](const Observation& a, const Observation& b) { return a.value > b.value; };
  auto run_begin = ranked.begin();
  for (auto it = ranked.begin(); it != ranked.end(); ++it) {
    if (std::isnan(it->value)) {
      std::stable_sort(run_begin, it, higher);
      run_begin = it + 1;
    }
  }
  std::stable_sort(run_begin, ranked.end(), higher);
  return ranked;
}

std::uint64_t good_group_size(std::uint64_t count, double gamma) noexcept {
  std::uint64_t size = saturating_u64(std::ceil(static_cast<double>(count) * gamma));
  if (size < 1) size = 1;
  if (count > 0 && size > count) size = count;
  return size;
}

Point suggest_next(const BayesianSearch& state, std::uint64_t candidates,
                   std::uint64_t iteration) {
  const std::uint64_t n = state.observations.size();
  if (n < 3) return random_point(iteration + n);

  const std::vector<Observation> ranked = rank_by_value(state.observations);
  const auto good_size = static_cast<std::size_t>(good_group_size(n, state.gamma));
  const std::span<const Observation> good(ranked.data(), good_size);
  const std::span<const Observation> bad(ranked.data() + good_size, ranked.size() - good_size);
  const std::array<double, 5> good_h = parzen_bandwidths(good);
  const std::array<double, 5> bad_h = parzen_bandwidths(bad);

  Point answer = random_point(iteration);
  double best_score = -std::numeric_limits<double>::infinity();
  for (std::uint64_t j = 0; j < candidates; ++j) {
    const Point candidate = random_point(iteration + kCandidateSeedOffset + j);
    const double l = density_with(candidate, good, good_h);
    const double g = density_with(candidate, bad, bad_h);
    const double score = g > kDensityFloor ? l / g : l / kDensityFloor;
    if (score > best_score) {
      answer = candidate;
      best_score = score;
    }
  }
  return answer;
}

std::array<double, 5> parzen_bandwidths(std::span<const Observation> group) noexcept {
  std::array<double, 5> bandwidths{};
  const std::size_t m = group.size();
  if (m == 0) return bandwidths;
  const double spread_scale = std::pow(static_cast<double>(m), -0.2);
  if (m == 1) {
    bandwidths.fill(std::max(kSingleBandwidth * spread_scale, kMinBandwidth));
    return bandwidths;
  }
  for (std::size_t d = 0; d < bandwidths.size(); ++d) {
    double sum = 0.0;
    for (const Observation& obs : group) sum = sum + obs.point[d];
    const double mean = sum / static_cast<double>(m);
    double squares = 0.0;
    for (const Observation& obs : group) {
      const double deviation = obs.point[d] - mean;
      squares = squares + deviation * deviation;
    }
    const double sigma = std::sqrt(squares / static_cast<double>(m - 1));
    bandwidths[d] = std::max(std::max(sigma, 0.01) * 1.06 * spread_scale, kMinBandwidth);
  }
  return bandwidths;
}

double parzen_density(const Point& point, std::span<const Observation> group) noexcept {
  return density_with(point, group, parzen_bandwidths(group));
}

}  // namespace halvorn
