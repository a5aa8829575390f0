#pragma once
// Figures of precomputed results: enrichment bars and dots, dot grids (ligand-receptor
// pairs), CNV heatmaps. Same conventions as plot.hpp.
#include <string>
#include <vector>

#include "norvex/plotting/plot.hpp"

namespace norvex::plotting {

// Horizontal bars, one per term top to bottom; long labels are wrapped, never cut.
struct TermBarPlot {
  std::vector<std::string> labels;
  std::vector<double> values;
  std::vector<int8_t> directions;  // 1 up, -1 down, 0 neither (colour and legend)
  std::vector<std::string> value_notes;
  std::string title, subtitle, x_label, up_label = "Up", down_label = "Down";
  std::string neutral_label = "Not significant";
  std::string empty_message = "Nothing to show";
  FigureSize size;
};

// Terms top to bottom at a numeric x; dot area by `sizes`, colour by `colors`.
struct TermDotPlot {
  std::vector<std::string> labels;
  std::vector<double> x, sizes, colors;
  std::string x_label, size_label, color_label;
  std::string cmap = "viridis";  // sequential (plot.hpp)
  std::string title, subtitle;
  std::string empty_message = "Nothing to show";
  FigureSize size;
};

// A grid of dots: rows top to bottom, columns left to right (optionally under group
// headers); dot area by `size`, colour by `color`.
struct DotGridPlot {
  struct Dot {
    size_t row = 0, col = 0;
    double size = 0, color = 0;
  };
  std::vector<std::string> rows, columns;
  std::vector<std::string> column_groups;  // one per column, or empty
  std::vector<Dot> dots;
  std::string size_label, color_label, x_label;
  // Size legend entries: value and its text (dot areas scale from the smallest to the
  // largest value given here).
  std::vector<std::pair<double, std::string>> size_keys;
  std::string cmap = "reds";
  double cmin = 0, cmax = 1;
  std::string title, subtitle;
  std::string empty_message = "Nothing to show";
  FigureSize size;
};

// Cells (rows, already aggregated to at most the figure's pixel height) by genomic bins,
// a diverging blue-white-red scale centred on zero.
struct HeatmapPlot {
  size_t n_rows = 0, n_cols = 0;
  std::vector<float> values;  // row-major; NaN draws light grey
  struct Band {
    std::string label;
    size_t first_row = 0, end_row = 0;
    Rgb color;
  };
  std::vector<Band> row_bands;  // groups of rows, labelled at the left
  struct Span {
    std::string label;
    size_t first_col = 0, end_col = 0;
  };
  std::vector<Span> col_spans;  // chromosomes: boundaries and labels along the top
  double limit = 1;             // colour scale -limit..limit
  std::string cmap = "bwr";     // diverging (diverging_cmaps)
  std::string colorbar_label, title, subtitle, x_label;
  FigureSize size;
};

// Diverging colour maps for values in [-1, 1], white at 0: "bwr", "RdBu_r", "coolwarm".
// ValueError naming the map and the valid names when unknown.
Rgb diverging_color(const std::string& cmap, double t);
const std::vector<std::string>& diverging_cmaps();

// Pixel rows and columns a heatmap area gets in a figure of this size (callers aggregate
// their data to this, so nothing larger than the output is ever built).
std::pair<size_t, size_t> heatmap_area_pixels(const FigureSize& size);

std::string render_term_bars_png(const TermBarPlot& plot);
std::string render_term_dots_png(const TermDotPlot& plot);
std::string render_dot_grid_png(const DotGridPlot& plot);
std::string render_heatmap_png(const HeatmapPlot& plot);

// `text` broken at blanks (or anywhere, for a word longer than the width) into lines no
// wider than `max_width_px` at `pt` points; "\n" separated.
std::string wrap_label(const std::string& text, double pt, double max_width_px, int dpi = 150);

}  // namespace norvex::plotting

namespace norvex::plotting {

// Flows of cells between annotation levels: nodes per level (columns, left to right) and
// links between consecutive levels, link width proportional to the cells flowing.
struct SankeyDiagram {
  std::vector<std::string> levels;  // column headings
  struct Node {
    size_t level = 0;
    std::string label;
    double count = 0;
    Rgb color;
  };
  struct Link {
    size_t from = 0, to = 0;  // node indices, `to` on the next level
    double count = 0;
  };
  std::vector<Node> nodes;
  std::vector<Link> links;
  std::string title, subtitle;
  FigureSize size;
};

// The same diagram as a PNG, and as a self-contained HTML page (inline SVG and script, no
// network) whose links and nodes show their counts and percentages on hover. In the page,
// link i is the SVG path with data-link="i", its stroke width `data-px-per-cell` times
// its count.
std::string render_sankey_png(const SankeyDiagram& diagram);
std::string render_sankey_html(const SankeyDiagram& diagram);

}  // namespace norvex::plotting
