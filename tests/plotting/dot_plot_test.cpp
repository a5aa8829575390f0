// The dot plot: dot area follows the fraction, colour the value, a zero fraction draws no
// dot, either orientation, and malformed inputs are refused.
#include <gtest/gtest.h>

#include <cmath>

#include "norvex/common/errors.hpp"
#include "norvex/plotting/plot.hpp"
#include "support/fixtures.hpp"

namespace norvex {
namespace {

using plotting::DotPlot;

DotPlot two_by_two(double f00, double f01, double f10, double f11) {
  DotPlot p;
  p.groups = {"A", "B"};
  p.genes = {"G1", "G2"};
  p.fraction = {{f00, f01}, {f10, f11}};
  p.color = {{1, 1}, {1, 1}};  // all at the top of the colour scale
  p.size.width_in = 5;
  p.size.height_in = 4;
  return p;
}

size_t top_colour_pixels(const std::string& png) {
  const plotting::Rgb top = plotting::sequential_color("reds", 1.0);
  return testing::count_pixels(png, static_cast<int>(std::lround(top.r * 255)),
                               static_cast<int>(std::lround(top.g * 255)),
                               static_cast<int>(std::lround(top.b * 255)));
}

TEST(DotPlot, DotAreaFollowsTheFractionAndZeroDrawsNothing) {
  const size_t one = top_colour_pixels(plotting::render_dot_png(two_by_two(1, 0, 0, 0)));
  const size_t two = top_colour_pixels(plotting::render_dot_png(two_by_two(1, 0, 0, 1)));
  const size_t quarter = top_colour_pixels(plotting::render_dot_png(two_by_two(0.25, 0, 0, 0)));
  ASSERT_GT(one, 50u);
  // The colour bar holds a few pixels of the top colour too, the same in every figure.
  const double bar = static_cast<double>(2 * one) - static_cast<double>(two);
  EXPECT_NEAR((static_cast<double>(two) - bar) / (static_cast<double>(one) - bar), 2.0, 0.15);
  EXPECT_NEAR((static_cast<double>(quarter) - bar) / (static_cast<double>(one) - bar), 0.25, 0.08);

  DotPlot swapped = two_by_two(1, 0, 0, 1);
  swapped.groups_as_columns = true;
  swapped.gene_blocks = {"A", "B"};
  EXPECT_NEAR(static_cast<double>(top_colour_pixels(plotting::render_dot_png(swapped))),
              static_cast<double>(two), 0.1 * static_cast<double>(two));
}

TEST(DotPlot, MalformedInputsAreRefused) {
  DotPlot p = two_by_two(1, 1, 1, 1);
  p.fraction.pop_back();
  EXPECT_THROW(plotting::render_dot_png(p), ValueError);
  p = two_by_two(1, 1, 1, 1);
  p.color[1].pop_back();
  EXPECT_THROW(plotting::render_dot_png(p), ValueError);
  p = two_by_two(1, 1, 1, 1);
  p.gene_blocks = {"only one"};
  EXPECT_THROW(plotting::render_dot_png(p), ValueError);
}

}  // namespace
}  // namespace norvex
