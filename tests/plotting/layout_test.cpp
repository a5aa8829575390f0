// Every plot kind, drawn with the awkward content real datasets bring (long names, many
// groups, tiny nodes, crowded labels): no text leaves the canvas, no two texts overprint.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "norvex/plotting/plot.hpp"
#include "norvex/plotting/result_plots.hpp"
#include "plotting/layout_check.hpp"

namespace norvex::plotting {
namespace {

using testing::find_text;
using testing::joined;
using testing::layout_problems;

// Renders under a scope and returns the one figure drawn.
template <typename F>
RenderedFigure drawn(F&& render) {
  RenderScope scope;
  render();
  EXPECT_EQ(scope.figures().size(), 1u);
  return scope.figures().empty() ? RenderedFigure{} : scope.figures().front();
}

const std::vector<std::string> kLongTypes = {"Classical monocytes",
                                             "CD8+ cytotoxic T cells",
                                             "Plasmacytoid dendritic cells",
                                             "Naive B cells",
                                             "NK cells",
                                             "Megakaryocytes / platelets"};

TEST(Layout, TheCheckItselfSeesOverlapsAndTheCanvasEdge) {
  RenderedFigure f;
  f.width_px = 100, f.height_px = 100;
  auto box = [](const std::string& t, double x, double y, double w, double h) {
    TextBox b{t, x, y, w, h, {x, y, x + w, y, x + w, y + h, x, y + h}, false};
    return b;
  };
  f.text_boxes = {box("a", 0, 0, 20, 10), box("b", 25, 0, 20, 10)};
  EXPECT_TRUE(layout_problems(f).empty());
  f.text_boxes.push_back(box("c", 15, 5, 20, 10));
  EXPECT_EQ(layout_problems(f).size(), 2u);  // c over a and over b
  f.text_boxes = {box("edge", 90, 0, 20, 10)};
  EXPECT_EQ(layout_problems(f), std::vector<std::string>{"'edge' leaves the canvas"});
  // Two parallel slanted labels whose bounding rectangles meet do not overlap.
  const double s = std::sqrt(0.5);
  TextBox r1{
      "r1", 0, 0,
      0,    0, {0, 50, 40 * s, 50 - 40 * s, 40 * s + 8 * s, 50 - 40 * s + 8 * s, 8 * s, 50 + 8 * s},
      false};
  TextBox r2 = r1;
  r2.text = "r2";
  for (int k = 0; k < 4; ++k) r2.corners[2 * k] += 14;
  EXPECT_FALSE(testing::quads_overlap(r1.corners, r2.corners, 1.0));
  EXPECT_TRUE(testing::quads_overlap(r1.corners, r1.corners, 1.0));
}

TEST(Layout, ScatterBarsAndRankingKeepTheirTextsApart) {
  ScatterPlot sc;
  for (int i = 0; i < 600; ++i) {
    const int k = i % 6;
    sc.x.push_back(static_cast<float>(k * 10 + i % 7));
    sc.y.push_back(static_cast<float>((k % 2) * 12 + i % 5));
    sc.codes.push_back(k);
  }
  sc.categories = kLongTypes;
  sc.title = "UMAP of 600 cells coloured by cell type";
  sc.subtitle = "Cells from six donors, after quality control; colours follow the cell type";
  sc.legend_title = "Cell type";
  sc.size = FigureSize{7, 5, 150};
  auto f = drawn([&] { render_scatter_png(sc); });
  EXPECT_TRUE(layout_problems(f).empty()) << joined(layout_problems(f));

  StackedBarPlot sb;
  sb.bars = {"Healthy donor", "Tumour core", "Tumour margin", "Lymph node metastasis"};
  sb.bar_annotations = {"n = 1,234", "n = 22,345", "n = 9,876", "n = 345"};
  sb.segments = kLongTypes;
  for (size_t b = 0; b < sb.bars.size(); ++b) {
    std::vector<double> sh(6, 0.02);
    sh[b] = 0.9;
    sb.shares.push_back(sh);
  }
  sb.title = "Cell-type proportions";
  sb.legend_title = "Cell type";
  f = drawn([&] { render_stacked_bars_png(sb); });
  EXPECT_TRUE(layout_problems(f).empty()) << joined(layout_problems(f));

  RankingPlot rk;
  for (int i = 0; i < 20; ++i) {
    rk.labels.push_back("GENE" + std::to_string(i));
    rk.values.push_back(i < 10 ? 10.0 - i : -(i - 9.0));
    rk.value_notes.push_back("padj 1.2e-" + std::to_string(30 - i));
  }
  rk.title = "Top genes";
  rk.size = FigureSize{7, 7, 150};
  f = drawn([&] { render_ranking_png(rk); });
  EXPECT_TRUE(layout_problems(f).empty()) << joined(layout_problems(f));
}

VolcanoPlot crowded_volcano() {
  VolcanoPlot v;
  uint64_t h = 7;
  auto uniform = [&] {
    h ^= h << 13, h ^= h >> 7, h ^= h << 17;
    return static_cast<double>(h % 100000) / 100000.0;
  };
  for (int i = 0; i < 1500; ++i) {
    const double lfc = (uniform() - 0.5) * 6;
    const double y = std::fabs(lfc) * 4 * uniform() + uniform();
    v.logfc.push_back(lfc);
    v.neglog10_p.push_back(y);
    v.status.push_back(y > 1.3 && lfc > 0.25 ? 1 : (y > 1.3 && lfc < -0.25 ? -1 : 0));
    v.names.push_back("G" + std::to_string(i));
  }
  // Genes seen in one group only: fold changes far beyond the rest.
  for (double lfc : {40.0, -35.0, 28.0}) {
    v.logfc.push_back(lfc);
    v.neglog10_p.push_back(3);
    v.status.push_back(0);
    v.names.push_back("FAR" + std::to_string(v.names.size()));
  }
  // The 40 most significant labelled: they crowd the top of the plot.
  std::vector<size_t> order(v.logfc.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return v.neglog10_p[a] > v.neglog10_p[b]; });
  v.labelled.assign(order.begin(), order.begin() + 40);
  v.title = "Tumour vs normal";
  v.size = FigureSize{7, 5, 150};
  return v;
}

TEST(Layout, VolcanoLabelsNeverOverprintAndFarPointsAreCounted) {
  const VolcanoPlot v = crowded_volcano();
  const auto f = drawn([&] { render_volcano_png(v); });
  EXPECT_TRUE(layout_problems(f).empty()) << joined(layout_problems(f));
  size_t labels = 0;
  for (const auto& b : f.text_boxes) labels += b.text.rfind("G", 0) == 0;
  EXPECT_GE(labels, 20u);  // most of the forty find a place
  // Points beyond the axis stay visible at its edge, and the legend says how many there are.
  const TextBox* beyond = find_text(f, "beyond the axis");
  ASSERT_NE(beyond, nullptr);
  EXPECT_NE(beyond->text.find("(3)"), std::string::npos) << beyond->text;
}

TEST(Layout, MarkerDotPlotBlocksAndLongSubtitleStayWhole) {
  DotPlot p;
  p.groups = kLongTypes;
  const std::vector<std::string> blocks = {"Classical monocytes",
                                           "CD8+ cytotoxic T cells",
                                           "Plasmacytoid dendritic cells",
                                           "Naive B cells",
                                           "NK cells",
                                           "Megakaryocytes / platelets"};
  for (size_t b = 0; b < blocks.size(); ++b)
    for (size_t k = 0; k < (b % 2 ? 1u : 3u); ++k) {
      p.genes.push_back("MARKER" + std::to_string(p.genes.size()));
      p.gene_blocks.push_back(blocks[b]);
    }
  for (size_t g = 0; g < p.groups.size(); ++g) {
    p.fraction.emplace_back(p.genes.size(), 0.5);
    p.color.emplace_back(p.genes.size(), 0.5);
  }
  p.title = "Markers of each cell type";
  p.subtitle =
      "Top markers per group by Wilcoxon rank-sum test on log-normalised expression (raw), "
      "groups with fewer than 10 cells left out, unassigned cells left out";
  p.group_axis_label = "Cell type";
  p.size = FigureSize{6.5, 4.5, 150};
  const auto f = drawn([&] { render_dot_png(p); });
  EXPECT_TRUE(layout_problems(f).empty()) << joined(layout_problems(f));
  // Nothing of the subtitle and of the single-gene blocks' names is cut off.
  const TextBox* sub = find_text(f, "Top markers per group");
  ASSERT_NE(sub, nullptr);
  EXPECT_FALSE(sub->cut);
  for (const auto& b : blocks) {
    const TextBox* t = find_text(f, b);
    ASSERT_NE(t, nullptr) << b;
    EXPECT_FALSE(t->cut) << b;
  }
}

TEST(Layout, GroupComparisonPanelsAndBrackets) {
  GroupComparisonPlot p;
  p.groups = {"Healthy", "Mild", "Severe", "Recovered"};
  for (int k = 0; k < 5; ++k) {
    GroupPanel panel;
    panel.title = "GENE" + std::to_string(k) + "\nClassical monocytes";
    for (size_t g = 0; g < p.groups.size(); ++g) {
      std::vector<double> v;
      for (int i = 0; i < 40; ++i) v.push_back(g + 0.1 * (i % 10) + k);
      panel.values.push_back(v);
    }
    panel.brackets = {{0, 1, "***"}, {0, 2, "**"}, {1, 3, "ns"}, {2, 3, "*"}};
    p.panels.push_back(panel);
  }
  p.title = "Expression by condition";
  p.y_label = "log-normalised expression";
  p.footnote = "Mann-Whitney U, Benjamini-Hochberg across all brackets";
  p.size = FigureSize{9, 6, 150};
  const auto f = drawn([&] { render_group_comparison_png(p); });
  EXPECT_TRUE(layout_problems(f).empty()) << joined(layout_problems(f));

  // Five panels in rows of three and two; on one scale the tick labels are the first
  // column's only, and every panel spans the same range.
  auto row_of_title = [](const RenderedFigure& fig) {
    std::map<long, int> rows;
    for (const auto& b : fig.text_boxes)
      if (b.text.rfind("GENE", 0) == 0) ++rows[std::lround(b.y)];
    std::vector<int> out;
    for (auto& [y, n] : rows) out.push_back(n);
    return out;
  };
  EXPECT_EQ(row_of_title(f), (std::vector<int>{3, 2}));
  auto tick_labels = [](const RenderedFigure& fig) {
    size_t n = 0;
    for (const auto& b : fig.text_boxes) n += b.text == "4";
    return n;
  };
  p.shared_y = true;
  const auto shared = drawn([&] { render_group_comparison_png(p); });
  EXPECT_TRUE(layout_problems(shared).empty()) << joined(layout_problems(shared));
  // Values run 0..7.9: "4" is a tick of panels 0-4 on their own (four of them reach it)
  // but of the two first-column panels only on one scale.
  EXPECT_EQ(tick_labels(shared), 2u);
  EXPECT_GT(tick_labels(f), 2u);
}

TEST(Layout, EnrichmentBarsAndDotsKeepLegendsOnTheCanvas) {
  TermBarPlot bar;
  TermDotPlot dot;
  for (int i = 0; i < 4; ++i) {
    const std::string term =
        "Regulation of interferon-gamma mediated signaling pathway " + std::to_string(i);
    bar.labels.push_back(term);
    bar.values.push_back(2.0 - i);
    bar.directions.push_back(i < 2 ? 1 : -1);
    bar.value_notes.push_back("FDR q-val < 1/permutations");
    dot.labels.push_back(term);
    dot.x.push_back(2.0 - i);
    dot.sizes.push_back(5 + 10 * i);
    dot.colors.push_back(1 + i);
  }
  bar.up_label = "Enriched in Tumour vs Normal";
  bar.down_label = "Depleted in Tumour vs Normal";
  bar.title = dot.title = "Classical monocytes: Tumour vs Normal";
  bar.subtitle = dot.subtitle = "GSEA · uns['GSEA'] · top 10 terms with FDR q-val < 0.25";
  dot.size_label = "Leading-edge genes";
  dot.color_label = "−log10(FDR q-val)";
  dot.x_label = "NES";
  bar.size = dot.size = FigureSize{8, 3.5, 150};
  auto f = drawn([&] { render_term_bars_png(bar); });
  EXPECT_TRUE(layout_problems(f).empty()) << joined(layout_problems(f));
  f = drawn([&] { render_term_dots_png(dot); });
  EXPECT_TRUE(layout_problems(f).empty()) << joined(layout_problems(f));
}

TEST(Layout, InteractionGridKeepsItsFirstColumnLabel) {
  DotGridPlot g;
  g.rows = {"CXCL12 | CXCR4", "CCL5 | CCR5", "TGFB1 | TGFBR1"};
  for (size_t a = 0; a < 3; ++a)
    for (size_t b = 0; b < 3; ++b) g.columns.push_back(kLongTypes[a] + " → " + kLongTypes[b + 3]);
  for (size_t r = 0; r < g.rows.size(); ++r)
    for (size_t k = 0; k < g.columns.size(); ++k) g.dots.push_back({r, k, 1.0 + k % 3, 0.5});
  g.size_keys = {{1, "p > 0.05"}, {2, "0.01 < p ≤ 0.05"}, {3, "p ≤ 0.01"}};
  g.size_label = "p-value";
  g.color_label = "Mean expression";
  g.title = "Ligand-receptor pairs";
  g.size = FigureSize{6, 5, 150};
  const auto f = drawn([&] { render_dot_grid_png(g); });
  EXPECT_TRUE(layout_problems(f).empty()) << joined(layout_problems(f));
  // Every dot of one value: the colour bar still spans a range and labels it.
  g.cmin = g.cmax = 0.5;
  const auto flat = drawn([&] { render_dot_grid_png(g); });
  EXPECT_TRUE(layout_problems(flat).empty()) << joined(layout_problems(flat));
  EXPECT_NE(find_text(flat, "1.5"), nullptr);
}

TEST(Layout, SankeySpreadsTheLabelsOfSmallNodes) {
  SankeyDiagram d;
  d.levels = {"Major type", "Subtype"};
  d.nodes.push_back({0, "T cells", 5000, categorical_color(0)});
  d.nodes.push_back({0, "B cells", 3000, categorical_color(1)});
  // Many tiny subtypes: their nodes are thinner than a line of text.
  for (int k = 0; k < 12; ++k) {
    const double n = k < 2 ? 2400 : 20;
    d.nodes.push_back({1, "Subtype " + std::to_string(k), n, categorical_color(2 + k)});
    d.links.push_back({static_cast<size_t>(k % 2), d.nodes.size() - 1, n});
  }
  d.nodes[0].count = d.nodes[1].count = 0;
  for (const auto& l : d.links) d.nodes[l.from].count += l.count;
  d.title = "Cell flow";
  d.size = FigureSize{8, 6, 150};
  const auto f = drawn([&] { render_sankey_png(d); });
  EXPECT_TRUE(layout_problems(f).empty()) << joined(layout_problems(f));
  for (int k = 0; k < 12; ++k)
    EXPECT_NE(find_text(f, "Subtype " + std::to_string(k) + " ("), nullptr) << k;
}

TEST(Layout, HeatmapBandsAndChromosomes) {
  HeatmapPlot h;
  h.n_rows = 60;
  h.n_cols = 220;
  h.values.assign(h.n_rows * h.n_cols, 0.1f);
  h.row_bands = {{"Malignant epithelial", 0, 40, categorical_color(0)},
                 {"T cells", 40, 58, categorical_color(1)},
                 {"B", 58, 60, categorical_color(2)}};
  for (int c = 0; c < 22; ++c)
    h.col_spans.push_back({"chr" + std::to_string(c + 1), static_cast<size_t>(c * 10),
                           static_cast<size_t>(c * 10 + 10)});
  h.title = "Inferred copy number";
  h.colorbar_label = "CNV score";
  h.size = FigureSize{8, 5, 150};
  const auto f = drawn([&] { render_heatmap_png(h); });
  EXPECT_TRUE(layout_problems(f).empty()) << joined(layout_problems(f));
}

}  // namespace
}  // namespace norvex::plotting
