// Group comparison figures: malformed descriptions are refused with a clear error; empty
// groups, constant groups and a million values still draw.
#include <gtest/gtest.h>

#include "norvex/common/errors.hpp"
#include "norvex/plotting/plot.hpp"

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

}  // namespace
}  // namespace norvex::plotting
