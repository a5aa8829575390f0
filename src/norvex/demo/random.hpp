#pragma once
// Portable random numbers for the demonstration data: the engine's output sequence is fixed
// by the standard, but std distributions differ between libraries, so the distributions are
// our own and a seed gives the same dataset everywhere.
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace norvex::demo {

// splitmix64 finaliser: decorrelates nearby seeds (cell index, stream number).
inline uint64_t mix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

inline uint64_t stream_seed(uint64_t seed, uint64_t stream, uint64_t index = 0) {
  return mix64(mix64(seed ^ mix64(stream)) + index);
}

class Rng {
 public:
  explicit Rng(uint64_t seed) : engine_(seed) {}

  uint64_t next() { return engine_(); }
  // Uniform in [0, 1).
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  // Uniform integer in [0, n), without modulo bias.
  uint64_t below(uint64_t n) {
    const uint64_t limit = UINT64_MAX - UINT64_MAX % n;
    uint64_t x;
    do x = next();
    while (x >= limit);
    return x % n;
  }
  double normal() {
    if (has_spare_) {
      has_spare_ = false;
      return spare_;
    }
    double u, v, s;
    do {
      u = 2.0 * uniform() - 1.0;
      v = 2.0 * uniform() - 1.0;
      s = u * u + v * v;
    } while (s >= 1.0 || s == 0.0);
    const double f = std::sqrt(-2.0 * std::log(s) / s);
    spare_ = v * f;
    has_spare_ = true;
    return u * f;
  }
  double lognormal(double mu, double sigma) { return std::exp(mu + sigma * normal()); }
  // Index drawn with probability proportional to weights (small lists only).
  size_t pick(const std::vector<double>& weights) {
    double total = 0;
    for (double w : weights) total += w;
    double u = uniform() * total;
    for (size_t i = 0; i < weights.size(); ++i) {
      if (u < weights[i]) return i;
      u -= weights[i];
    }
    for (size_t i = weights.size(); i-- > 0;)
      if (weights[i] > 0) return i;
    return 0;
  }
  template <class T>
  void shuffle(std::vector<T>& v) {
    for (size_t i = v.size(); i > 1; --i) std::swap(v[i - 1], v[below(i)]);
  }

 private:
  std::mt19937_64 engine_;
  bool has_spare_ = false;
  double spare_ = 0;
};

// Walker/Vose alias table: O(1) draws from a fixed discrete distribution, which keeps
// generating a million cells' counts cheap.
class AliasTable {
 public:
  AliasTable() = default;
  explicit AliasTable(const std::vector<double>& weights);
  uint32_t draw(Rng& rng) const {
    const uint64_t r = rng.next();
    const uint32_t i = static_cast<uint32_t>((r >> 32) * n_ >> 32);
    const double u = static_cast<double>(r & 0xFFFFFFFFULL) * 0x1.0p-32;
    return u < prob_[i] ? i : alias_[i];
  }
  size_t size() const { return n_; }

 private:
  uint64_t n_ = 0;
  std::vector<double> prob_;
  std::vector<uint32_t> alias_;
};

}  // namespace norvex::demo
