#pragma once

#include <cmath>
#include <cstdint>

namespace veltra::forest {

// The forest's only source of randomness: SplitMix64 and the distributions built on it. Every
// operation is spelled out step by step, so that another implementation following the same
// recipe draws exactly the same numbers from the same seed.
class Generator {
 public:
  explicit Generator(std::uint64_t seed = 0) noexcept : state_(seed) {}

  std::uint64_t next_u64() noexcept {
    state_ += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  // Uniform in [0, 1), with the 53 high bits of one draw.
  double uniform() noexcept { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

  // Standard Gumbel: -log(-log(u)) with u = (the 52 high bits of one draw + 0.5) * 2^-52, which
  // lies strictly inside (0, 1), so the draw is always finite.
  double gumbel() noexcept {
    const double u = (static_cast<double>(next_u64() >> 12) + 0.5) * 0x1.0p-52;
    return -std::log(-std::log(u));
  }

  // Standard normal by the polar method.
  double normal() noexcept {
    for (;;) {
      const double u = 2.0 * uniform() - 1.0;
      const double v = 2.0 * uniform() - 1.0;
      const double s = u * u + v * v;
      if (s > 0.0 && s < 1.0) return u * std::sqrt((-2.0 * std::log(s)) / s);
    }
  }

  // Gamma(shape, 1) by Marsaglia and Tsang; shapes below 1 are boosted by one and scaled back.
  double gamma(double shape) noexcept {
    if (shape < 1.0) {
      const double boosted = gamma(shape + 1.0);
      const double u = uniform();
      return boosted * std::pow(u, 1.0 / shape);
    }
    const double d = shape - 1.0 / 3.0;
    const double c = 1.0 / std::sqrt(9.0 * d);
    for (;;) {
      const double x = normal();
      double v = 1.0 + c * x;
      if (v <= 0.0) continue;
      v = v * v * v;
      const double u = uniform();
      if (u < 1.0 - 0.0331 * ((x * x) * (x * x))) return d * v;
      if (std::log(u) < (0.5 * x) * x + d * ((1.0 - v) + std::log(v))) return d * v;
    }
  }

 private:
  std::uint64_t state_;
};

}  // namespace veltra::forest
