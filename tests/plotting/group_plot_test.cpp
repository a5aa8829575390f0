// Group comparison figures: malformed descriptions are refused with a clear error; empty
// groups, constant groups and a million values still draw.
#include <gtest/gtest.h>

#include "norvex/common/errors.hpp"
#include "norvex/plotting/plot.hpp"
#include "support/fixtures.hpp"

namespace norvex::plotting {
namespace {

GroupComparisonPlot two_groups(GroupComparisonPlot::Kind kind) {
  GroupComparisonPlot p;
  p.kind = kind;
  p.groups = {"Normal", "Tumor", "Empty"};
  GroupPanel panel;
  panel.title = "CD274\nT cell";
  panel.values = {{0, 0, 1, 2, 3}, {2, 2, 2, 2}, {}};
  panel.brackets = {{0, 1, "*"}, {1, 2, "n/a"}, {0, 2, "ns"}};
  p.panels = {panel};
  p.footnote = "line one\nline two";
  return p;
}

TEST(GroupComparisonPlot, DrawsEdgeCasesAndRefusesMalformedInput) {
  for (auto kind : {GroupComparisonPlot::Kind::Violin, GroupComparisonPlot::Kind::Box}) {
    GroupComparisonPlot p = two_groups(kind);
    p.show_points = true;
    const auto [w, h] = png_size(render_group_comparison_png(p));
    EXPECT_EQ(w, 1200);
    EXPECT_EQ(h, 900);
  }
  GroupComparisonPlot big = two_groups(GroupComparisonPlot::Kind::Violin);
  big.panels[0].values[0].assign(1'000'000, 0.0);
  for (size_t i = 0; i < 1'000'000; i += 3) big.panels[0].values[0][i] = (i % 97) / 10.0;
  big.show_points = true;
  EXPECT_NO_THROW(render_group_comparison_png(big));

  GroupComparisonPlot bad = two_groups(GroupComparisonPlot::Kind::Box);
  bad.panels[0].values.pop_back();
  EXPECT_THROW(render_group_comparison_png(bad), ValueError);
  bad = two_groups(GroupComparisonPlot::Kind::Box);
  bad.panels[0].brackets.push_back({0, 7, "*"});
  EXPECT_THROW(render_group_comparison_png(bad), ValueError);
  GroupComparisonPlot none;
  EXPECT_NO_THROW(render_group_comparison_png(none));
}

TEST(GroupComparisonPlot, AViolinIsADensityAndABoxIsQuartiles) {
  // One blue group: a violin is filled at 75% opacity, a box at 45%, so the two fills are
  // distinct colours on white.
  GroupComparisonPlot p;
  p.groups = {"A"};
  p.group_colors = {Rgb{0, 0, 1}};
  GroupPanel panel;
  panel.values.resize(1);
  for (int i = 0; i < 400; ++i) panel.values[0].push_back((i % 20) * (i % 7) / 10.0);
  p.panels = {panel};
  auto fills = [&](GroupComparisonPlot::Kind kind) {
    p.kind = kind;
    const std::string png = render_group_comparison_png(p);
    return std::pair{testing::count_pixels(png, 64, 64, 255),
                     testing::count_pixels(png, 140, 140, 255)};
  };
  const auto [violin_dense, violin_light] = fills(GroupComparisonPlot::Kind::Violin);
  const auto [box_dense, box_light] = fills(GroupComparisonPlot::Kind::Box);
  EXPECT_GT(violin_dense, 1000u);
  EXPECT_LT(violin_light, 50u);
  EXPECT_GT(box_light, 1000u);
  EXPECT_LT(box_dense, 50u);
}

}  // namespace
}  // namespace norvex::plotting
