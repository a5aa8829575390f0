#include <gtest/gtest.h>

#include "norvex/common/errors.hpp"
#include "norvex/plotting/plot.hpp"
#include "support/fixtures.hpp"

namespace norvex::plotting {
namespace {

ScatterPlot small_scatter() {
  ScatterPlot p;
  for (int i = 0; i < 500; ++i) {
    p.x.push_back(static_cast<float>(i % 25));
    p.y.push_back(static_cast<float>(i / 25));
    p.codes.push_back(i % 3);
  }
  p.categories = {"T cell", "B 세포", "NK cell"};
  p.title = "Cells";
  return p;
}

TEST(Plot, FiguresHaveTheRequestedPixelSizeAndAreByteIdenticalWhenRepeated) {
  ScatterPlot p = small_scatter();
  p.size = FigureSize{6.0, 4.0, 150};
  const std::string a = render_scatter_png(p), b = render_scatter_png(p);
  EXPECT_EQ(png_size(a), (std::pair<int, int>{900, 600}));
  EXPECT_EQ(a, b);

  StackedBarPlot s;
  s.bars = {"Normal", "Tumour"};
  s.segments = {"T", "B"};
  s.shares = {{0.25, 0.75}, {0.5, 0.5}};
  s.bar_annotations = {"n=4", "n=2"};
  EXPECT_EQ(render_stacked_bars_png(s), render_stacked_bars_png(s));
  EXPECT_EQ(png_size(render_stacked_bars_png(s)).first, 1200);
}

TEST(Plot, ContinuousRankingAndVolcanoFiguresRender) {
  ScatterPlot p = small_scatter();
  p.codes.clear();
  for (size_t i = 0; i < p.x.size(); ++i) p.values.push_back(static_cast<float>(i % 7));
  p.vmax = 6;
  EXPECT_GT(render_scatter_png(p).size(), 1000u);

  RankingPlot r;
  r.labels = {"ISG15", "FOS"};
  r.values = {5.0, -3.0};
  EXPECT_GT(render_ranking_png(r).size(), 1000u);
  EXPECT_GT(render_ranking_png(RankingPlot{}).size(), 1000u);  // empty: a message, no crash

  VolcanoPlot v;
  v.logfc = {2, -2, 0.1, 30};
  v.neglog10_p = {10, 5, 0.1, 0.5};
  v.status = {1, -1, 0, 0};
  v.names = {"A", "B", "C", "D"};
  v.labelled = {0, 1};
  EXPECT_GT(render_volcano_png(v).size(), 1000u);
}

TEST(Plot, RankingColoursFollowTheDirectionNotTheSignOfTheScore) {
  // Unsigned scores, as many pipelines store them: a down-regulated gene still has a
  // positive score and must be drawn (and listed in the legend) as down.
  RankingPlot r;
  r.labels = {"ISG15", "FOS", "ACTB"};
  r.values = {5.0, 4.0, 3.0};
  r.directions = {1, -1, 0};
  const std::string png = render_ranking_png(r);
  const size_t up = testing::count_pixels(png, 213, 94, 0),
               down = testing::count_pixels(png, 0, 114, 178),
               neutral = testing::count_pixels(png, 179, 179, 184);
  EXPECT_GT(up, 200u);
  EXPECT_GT(down, 200u);
  EXPECT_GT(neutral, 200u);

  r.directions.clear();  // without directions the sign decides: all up
  const std::string by_sign = render_ranking_png(r);
  EXPECT_LT(testing::count_pixels(by_sign, 0, 114, 178), 20u);
  r.directions = {1};
  EXPECT_THROW(render_ranking_png(r), ValueError);
}

TEST(Plot, MismatchedInputsAndUnknownColourMapsAreRejected) {
  ScatterPlot p = small_scatter();
  p.codes.pop_back();
  EXPECT_THROW(render_scatter_png(p), ValueError);
  StackedBarPlot s;
  s.bars = {"a"};
  s.segments = {"x", "y"};
  s.shares = {{1.0}};
  EXPECT_THROW(render_stacked_bars_png(s), ValueError);
  VolcanoPlot v;
  v.logfc = {1};
  v.neglog10_p = {1};
  v.status = {1};
  v.names = {"A"};
  v.labelled = {3};
  EXPECT_THROW(render_volcano_png(v), ValueError);
  try {
    sequential_color("rainbow", 0.5);
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("viridis"), std::string::npos);
  }
  EXPECT_THROW(png_size("not a png"), ValueError);
}

TEST(Plot, PaletteStartsWithOkabeItoAndStaysDistinct) {
  Rgb first = categorical_color(0);  // Okabe-Ito orange
  EXPECT_NEAR(first.r, 0xE6 / 255.0, 1e-9);
  EXPECT_NEAR(first.g, 0x9F / 255.0, 1e-9);
  auto pal = categorical_palette(40);
  for (size_t i = 0; i < pal.size(); ++i)
    for (size_t j = i + 1; j < pal.size(); ++j)
      EXPECT_FALSE(pal[i].r == pal[j].r && pal[i].g == pal[j].g && pal[i].b == pal[j].b)
          << i << " " << j;
}

}  // namespace
}  // namespace norvex::plotting
