#pragma once
// The plotting layer: figures described as plain data, rendered to PNG bytes, and from
// the same drawing to SVG and PDF when a RenderScope asks for them.
// Fonts, palettes and layout rules live here so every tool's figure looks the same:
// 150 dpi, Hangul-capable fonts, colour-blind-safe colours, legends outside the data.
// Rendering is deterministic: the same description gives the same PNG and SVG bytes.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace norvex::plotting {

struct Rgb {
  double r = 0, g = 0, b = 0;  // 0..1
};

// Categorical colours: Okabe-Ito first, then a longer colour-blind-safe palette; beyond
// that the list repeats with lighter tints so colours never run out.
Rgb categorical_color(size_t i);
std::vector<Rgb> categorical_palette(size_t n);
// Sequential colour maps for continuous values, t in [0, 1]: "viridis", "magma", "reds".
// ValueError naming the map and the valid names when unknown.
Rgb sequential_color(const std::string& cmap, double t);
const std::vector<std::string>& sequential_cmaps();

struct FigureSize {
  double width_in = 8.0;
  double height_in = 6.0;
  int dpi = 150;
};

// How the figures drawn on this thread are rendered while a RenderScope lives.
struct RenderOptions {
  int dpi = 0;       // pixels per inch of the PNG (and of rasterised points); 0: the figure's own
  bool svg = false;  // also render each figure as an SVG document
  bool pdf = false;  // also render each figure as a PDF document
};

// Where a piece of text landed, in pixels of the PNG: the axis-aligned box around its ink
// and the four corners of the (for rotated text, turned) ink box, x, y pairs in order.
struct TextBox {
  std::string text;  // as given; `cut` when it was shortened to fit ("…")
  double x = 0, y = 0, w = 0, h = 0;
  std::array<double, 8> corners{};
  bool cut = false;
};

// One figure as drawn: the PNG always, SVG and PDF when asked, and where its texts went
// (so a layout check can see clipping and overprinting).
struct RenderedFigure {
  std::string png, svg, pdf;
  int width_px = 0, height_px = 0;
  std::vector<TextBox> text_boxes;
};

// Installs render options for the figures drawn on this thread and keeps every figure
// rendered while it lives, in drawing order. Scopes nest; the innermost one applies.
class RenderScope {
 public:
  explicit RenderScope(const RenderOptions& options = {});
  ~RenderScope();
  RenderScope(const RenderScope&) = delete;
  RenderScope& operator=(const RenderScope&) = delete;

  const RenderOptions& options() const { return options_; }
  const std::vector<RenderedFigure>& figures() const { return figures_; }
  // The figure whose PNG is exactly `png`, or nullptr.
  const RenderedFigure* find(const std::string& png) const;
  // Innermost scope of this thread, or nullptr.
  static RenderScope* current();
  void add(RenderedFigure figure);

 private:
  RenderOptions options_;
  std::vector<RenderedFigure> figures_;
  RenderScope* previous_ = nullptr;
};

// The SVG of one of the last figures rendered with SVG in this process, found by its PNG
// bytes; empty when it is not among them. Results carry only PNGs, so a host that keeps
// vector forms finds them here when it shows the figure.
std::string remembered_svg(const std::string& png);

// Cells in an embedding, coloured by a category or by a continuous value. Points are
// rasterised straight into the image, so a million cells draw in a few seconds.
struct ScatterPlot {
  std::vector<float> x, y;
  // Categorical colouring: codes index `categories`; -1 draws grey (missing).
  std::vector<int32_t> codes;
  std::vector<std::string> categories;
  // Optional colour per category (so one cell type keeps its colour across figures);
  // empty: the categorical palette in category order. Only categories with points
  // appear in the legend.
  std::vector<Rgb> category_colors;
  // Continuous colouring (used when `codes` is empty): one value per point; drawn in
  // ascending order so high values stay visible.
  std::vector<float> values;
  std::string cmap = "viridis";
  double vmin = 0, vmax = 1;  // colour scale range for `values`
  std::string colorbar_label;
  // Cells outside the selection, drawn light grey underneath for orientation.
  std::vector<float> background_x, background_y;

  std::string title, subtitle, x_label = "UMAP1", y_label = "UMAP2", legend_title;
  bool labels_on_data = false;  // category names at their medians instead of a legend
  double point_radius_px = 0;   // 0: chosen from the number of points
  FigureSize size;
};

// Stacked bars of shares (each bar sums to 1), e.g. cell-type proportions per condition.
struct StackedBarPlot {
  std::vector<std::string> bars;             // one bar per group, left to right
  std::vector<std::string> bar_annotations;  // drawn above each bar ("n = 1,234"); may be empty
  std::vector<std::string> bar_groups;       // optional second label line under each bar
  std::vector<std::string> segments;         // stacked bottom to top; legend lists top first
  std::vector<std::vector<double>> shares;   // [bar][segment], in 0..1
  std::vector<Rgb> segment_colors;           // optional, one per segment
  bool percent_labels = true;                // write % inside segments tall enough
  std::string title, subtitle, x_label, y_label = "Proportion of cells (%)", legend_title;
  FigureSize size;
};

// Horizontal bars of a ranked gene list: positive values to the right in one colour,
// negative to the left in another; `labels` top to bottom.
struct RankingPlot {
  std::vector<std::string> labels;
  std::vector<double> values;
  std::vector<std::string> value_notes;  // optional text beside each bar (e.g. "padj 1e-5")
  // Each bar's direction: 1 up, -1 down, 0 neither. Colour and legend follow it, not the
  // sign of the value (scores are often stored unsigned). Empty: the value's sign decides.
  std::vector<int8_t> directions;
  std::string title, subtitle, x_label, up_label = "Up", down_label = "Down";
  std::string neutral_label = "Not significant";
  FigureSize size;
};

// Volcano plot: log fold change against -log10 adjusted p-value.
struct VolcanoPlot {
  std::vector<double> logfc, neglog10_p;
  std::vector<int8_t> status;    // 1 up, -1 down, 0 not significant
  std::vector<size_t> labelled;  // indices whose names are written
  std::vector<std::string> names;
  double lfc_threshold = 0.25, p_threshold_neglog10 = 1.30103;
  std::string title, subtitle, x_label = "log2 fold change", y_label = "-log10 adjusted p-value";
  std::string up_label = "Up", down_label = "Down", ns_label = "Not significant";
  FigureSize size;
};

// Dot plot of genes across groups: dot area is the fraction of cells expressing the gene,
// colour a per-group value (usually mean expression). Groups are rows, genes columns, or
// the other way round; optional gene blocks name what each run of genes marks.
struct DotPlot {
  std::vector<std::string> groups, genes;
  std::vector<std::vector<double>> fraction;  // [group][gene], 0..1; NaN draws nothing
  std::vector<std::vector<double>> color;     // [group][gene], coloured over [vmin, vmax]
  double vmin = 0, vmax = 1;
  std::string cmap = "reds";
  // Optional: one label per gene; consecutive equal labels form a block named beside the
  // gene axis (e.g. the group the genes mark).
  std::vector<std::string> gene_blocks;
  bool groups_as_columns = false;
  std::string title, subtitle, group_axis_label;
  std::string colorbar_label = "Mean expression";
  std::string size_label = "Cells expressing (%)";
  FigureSize size;
};

// Values of groups compared side by side, one panel per feature (and cell type), as
// violins (density, inner quartile bar, median dot) or box plots (quartiles, whiskers to
// 1.5 IQR), with brackets between compared groups labelled with stars. Every panel has its
// own value axis covering its data; brackets sit above it.
struct GroupPanel {
  std::string title;                        // a second line after "\n" is drawn smaller
  std::vector<std::vector<double>> values;  // one list per group (empty: nothing drawn)
  struct Bracket {
    size_t a = 0, b = 0;  // group positions
    std::string label;    // "***", "ns", ...
  };
  std::vector<Bracket> brackets;
};
// Fewer values than this in a box plot's group make quartiles meaningless: the group is
// drawn as its points and a median line instead of a box.
constexpr size_t kMinBoxValues = 4;
struct GroupComparisonPlot {
  enum class Kind { Violin, Box };
  Kind kind = Kind::Violin;
  std::vector<std::string> groups;  // x positions, the same in every panel
  std::vector<Rgb> group_colors;    // optional, one per group
  std::vector<GroupPanel> panels;
  bool show_points = false;  // the values as jittered points (at most 1,500 per group)
  // Panels measured on one scale (the same unit): one value range for all, its tick labels
  // on the first panel of each row only, so heights compare across panels.
  bool shared_y = false;
  std::string title, subtitle, y_label, x_label;
  std::string footnote;  // bottom line: what the marks and stars mean
  FigureSize size;
};

std::string render_scatter_png(const ScatterPlot& plot);
std::string render_dot_png(const DotPlot& plot);
std::string render_stacked_bars_png(const StackedBarPlot& plot);
std::string render_ranking_png(const RankingPlot& plot);
std::string render_volcano_png(const VolcanoPlot& plot);
std::string render_group_comparison_png(const GroupComparisonPlot& plot);

// Width and height in pixels of a PNG (ValueError when the bytes are not a PNG).
std::pair<int, int> png_size(const std::string& png);

}  // namespace norvex::plotting
