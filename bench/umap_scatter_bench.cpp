// Scatter rendering of a million cells against a 10,000-cell baseline in the same process:
// the rasterised points should cost roughly in proportion to the points, not per path.
#include <chrono>
#include <cstdio>
#include <random>

#include "norvex/plotting/plot.hpp"

using namespace norvex::plotting;

static double render_seconds(size_t n) {
  std::mt19937 rng(1);
  std::normal_distribution<float> d(0, 3);
  ScatterPlot p;
  p.categories = {"a", "b", "c", "d", "e", "f", "g", "h"};
  for (size_t i = 0; i < n; ++i) {
    p.x.push_back(d(rng) + (i % 8) * 4.0f);
    p.y.push_back(d(rng));
    p.codes.push_back(static_cast<int32_t>(i % 8));
  }
  auto t0 = std::chrono::steady_clock::now();
  std::string png = render_scatter_png(p);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int main() {
  const double base = render_seconds(10000), big = render_seconds(1000000);
  std::printf("scatter 10k: %.3f s, 1M: %.3f s, ratio %.1f (points ratio 100)\n", base, big,
              big / base);
  return 0;
}
