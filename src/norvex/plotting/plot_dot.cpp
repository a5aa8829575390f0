// Dot plots: genes against groups, dot area for the share of expressing cells and colour
// for the expression level, with a colour bar and a size legend that say which is which.
#include <algorithm>
#include <cmath>
#include <iterator>

#include "norvex/common/errors.hpp"
#include "norvex/plotting/plot_canvas.hpp"

namespace norvex::plotting {

using namespace detail;

namespace {

const double kLegendFractions[] = {0.2, 0.4, 0.6, 0.8, 1.0};
const TextStyle kBlockStyle{8};

// Runs of equal block labels: [first, end) gene positions.
std::vector<std::pair<size_t, size_t>> block_runs(const std::vector<std::string>& blocks) {
  std::vector<std::pair<size_t, size_t>> out;
  for (size_t i = 0; i < blocks.size();) {
    size_t j = i + 1;
    while (j < blocks.size() && blocks[j] == blocks[i]) ++j;
    out.emplace_back(i, j);
    i = j;
  }
  return out;
}

// The line (0 nearest the grid) of each block label over the columns: a name wider than
// its run of genes moves up a line rather than run into its neighbour's name.
std::vector<size_t> block_label_lines(const Canvas& c, const std::vector<std::string>& blocks,
                                      const std::vector<std::pair<size_t, size_t>>& runs,
                                      double cell, size_t max_lines) {
  std::vector<size_t> line(runs.size(), 0);
  std::vector<double> line_end(max_lines, -1e300);  // right end of the last label per line
  const double gap = c.px(4);
  for (size_t r = 0; r < runs.size(); ++r) {
    const double centre = (runs[r].first + runs[r].second) * cell / 2;
    const double w = c.measure(blocks[runs[r].first], kBlockStyle).w;
    size_t l = 0;
    while (l + 1 < max_lines && centre - w / 2 < line_end[l] + gap) ++l;
    line[r] = l;
    line_end[l] = centre + w / 2;
  }
  return line;
}

const TextStyle kTickStyle{9};
const TextStyle kAxisStyle{10};
const TextStyle kLegendTitle{9};
const TextStyle kLegendText{8.5};
const TextStyle kGeneStyle{9, false, true};  // gene symbols in italics
const Rgb kDotEdge{0.35, 0.35, 0.37};

void validate(const DotPlot& p) {
  const size_t ng = p.groups.size(), nk = p.genes.size();
  if (p.fraction.size() != ng || p.color.size() != ng)
    throw ValueError("dot plot: one row of fractions and colours per group is needed");
  for (size_t g = 0; g < ng; ++g)
    if (p.fraction[g].size() != nk || p.color[g].size() != nk)
      throw ValueError("dot plot: one fraction and one colour per gene is needed");
  if (!p.gene_blocks.empty() && p.gene_blocks.size() != nk)
    throw ValueError("dot plot: one block label per gene is needed");
}

// Where everything goes: rows and columns (groups or genes), the label margins, the gene
// blocks beside the gene axis, the legends on the right, and the grid of square cells.
struct DotLayout {
  bool swap = false;  // groups as columns, genes as rows
  const std::vector<std::string>* rows = nullptr;
  const std::vector<std::string>* cols = nullptr;
  TextStyle row_style, col_style;
  double pad = 0, top = 0;
  double bar_w = 0, legend_w = 0;
  bool blocks = false;
  std::vector<std::pair<size_t, size_t>> runs;  // of gene blocks
  double block_line_h = 0;
  size_t block_lines = 1;           // lines of block names over the columns
  double block_h = 0, block_w = 0;  // block names above the columns / right of the rows
  double row_label_w = 0, col_label_len = 0;
  Rect area, grid;
  double cell = 0, max_r = 0;

  size_t nr() const { return rows->size(); }
  size_t nc() const { return cols->size(); }
  // The group and gene of a cell.
  std::pair<size_t, size_t> group_gene(size_t r, size_t c) const {
    return swap ? std::pair<size_t, size_t>{c, r} : std::pair<size_t, size_t>{r, c};
  }
  double row_y(size_t r) const { return grid.y + (r + 0.5) * cell; }
  double col_x(size_t k) const { return grid.x + (k + 0.5) * cell; }
};

// Right-hand legends: the colour bar, then the dot sizes.
void lay_out_legends(const Canvas& c, const DotPlot& p, DotLayout& L) {
  L.bar_w = c.px(10);
  L.legend_w = std::max(c.measure(p.colorbar_label, kLegendTitle).w,
                        c.measure(p.size_label, kLegendTitle).w);
  L.legend_w = std::max(L.legend_w, L.bar_w + c.px(5) + c.measure("0.000", kLegendText).w);
  L.legend_w = std::min(L.legend_w, c.width() * 0.3);
}

// Gene blocks: beside the gene axis (above the columns, or right of the rows).
void lay_out_blocks(const Canvas& c, const DotPlot& p, DotLayout& L) {
  const size_t ng = p.groups.size(), nk = p.genes.size();
  L.blocks = !p.gene_blocks.empty();
  if (L.blocks) L.runs = block_runs(p.gene_blocks);
  L.block_line_h = c.measure("Ag", kBlockStyle).h;
  // Lines of block names over the columns, from a first guess of the cell size (labels at
  // most three lines deep; a name still too wide is shortened to its run).
  if (L.blocks && !L.swap) {
    const double guess =
        std::min((c.width() - 2 * L.pad) * 0.6 / std::max<size_t>(1, nk),
                 std::min((c.height() - L.top) * 0.6 / std::max<size_t>(1, ng), c.inch(0.34)));
    for (size_t l : block_label_lines(c, p.gene_blocks, L.runs, guess, 3))
      L.block_lines = std::max(L.block_lines, l + 1);
  }
  L.block_h = L.blocks && !L.swap ? L.block_lines * L.block_line_h + c.px(8) : 0;
  double block_w = 0;
  if (L.blocks && L.swap)
    for (auto& b : p.gene_blocks) block_w = std::max(block_w, c.measure(b, kTickStyle).w);
  L.block_w = L.blocks && L.swap ? std::min(block_w, c.width() * 0.2) + c.px(10) : 0;
}

double axis_label_height(const Canvas& c, const DotPlot& p) {
  return p.group_axis_label.empty() ? 0 : c.measure("Ag", kAxisStyle).h + c.px(6);
}

// The label margins, then the grid in what is left: square cells, no larger than a third
// of an inch so few genes do not become blobs.
void lay_out_grid(const Canvas& c, const DotPlot& p, DotLayout& L) {
  for (auto& r : *L.rows) L.row_label_w = std::max(L.row_label_w, c.measure(r, L.row_style).w);
  for (auto& k : *L.cols) L.col_label_len = std::max(L.col_label_len, c.measure(k, L.col_style).w);
  L.row_label_w = std::min(L.row_label_w, c.width() * 0.3);
  L.col_label_len = std::min(L.col_label_len, c.height() * 0.3);
  const double axis_label_h = axis_label_height(c, p);
  Rect& area = L.area;
  area.x = L.pad + (L.swap ? 0 : axis_label_h) + L.row_label_w + c.px(6);
  area.y = L.top + L.block_h;
  area.w = c.width() - area.x - L.pad - L.legend_w - c.px(18) - L.block_w;
  area.h = c.height() - area.y - L.pad - L.col_label_len - c.px(6) - (L.swap ? axis_label_h : 0);
  area.w = std::max(area.w, c.px(40));
  area.h = std::max(area.h, c.px(40));
  const size_t nr = L.nr(), nc = L.nc();
  L.cell =
      std::min({area.w / std::max<size_t>(1, nc), area.h / std::max<size_t>(1, nr), c.inch(0.34)});
  L.grid = Rect{area.x, area.y, L.cell * nc, L.cell * nr};
  L.max_r = L.cell * 0.45;
}

DotLayout dot_layout(const Canvas& c, const DotPlot& p, double top) {
  DotLayout L;
  L.swap = p.groups_as_columns;
  L.rows = L.swap ? &p.genes : &p.groups;
  L.cols = L.swap ? &p.groups : &p.genes;
  L.row_style = L.swap ? kGeneStyle : kTickStyle;
  L.col_style = L.swap ? kTickStyle : kGeneStyle;
  L.pad = c.inch(0.14);
  L.top = top;
  lay_out_legends(c, p, L);
  lay_out_blocks(c, p, L);
  lay_out_grid(c, p, L);
  return L;
}

// A filled circle with the dots' thin grey edge.
void dot(Canvas& c, double x, double y, double r, const Rgb& fill) {
  cairo_t* cr = c.cr();
  cairo_new_path(cr);
  cairo_arc(cr, x, y, r, 0, 2 * M_PI);
  c.set_color(fill);
  cairo_fill_preserve(cr);
  c.set_color(kDotEdge);
  cairo_set_line_width(cr, c.px(0.35));
  cairo_stroke(cr);
}

// Light guides so a dot can be traced to its row and column, the dots, the frame.
void draw_grid(Canvas& c, const DotPlot& p, const DotLayout& L) {
  const Rect& grid = L.grid;
  for (size_t r = 0; r < L.nr(); ++r)
    c.line(grid.x, L.row_y(r), grid.right(), L.row_y(r), kGrid, c.px(0.5));
  for (size_t k = 0; k < L.nc(); ++k)
    c.line(L.col_x(k), grid.y, L.col_x(k), grid.bottom(), kGrid, c.px(0.5));
  const double span = p.vmax > p.vmin ? p.vmax - p.vmin : 1.0;
  for (size_t r = 0; r < L.nr(); ++r) {
    for (size_t k = 0; k < L.nc(); ++k) {
      auto [g, gene] = L.group_gene(r, k);
      const double f = p.fraction[g][gene], v = p.color[g][gene];
      if (!std::isfinite(f) || f <= 0) continue;
      const double rad = L.max_r * std::sqrt(std::min(f, 1.0));
      const Rgb fill = std::isfinite(v)
                           ? sequential_color(p.cmap, std::clamp((v - p.vmin) / span, 0.0, 1.0))
                           : Rgb{0.8, 0.8, 0.8};
      dot(c, L.col_x(k), L.row_y(r), rad, fill);
    }
  }
  c.stroke_rect(grid, kAxis, c.px(0.7));
}

// Row names left of the grid, column names down below it, and the group axis's name.
void draw_axis_labels(Canvas& c, const DotPlot& p, const DotLayout& L) {
  const Rect& grid = L.grid;
  for (size_t r = 0; r < L.nr(); ++r)
    c.text(grid.x - c.px(5), L.row_y(r), (*L.rows)[r], L.row_style, 1, 0.5, 0, L.row_label_w);
  for (size_t k = 0; k < L.nc(); ++k)
    c.text(L.col_x(k), grid.bottom() + c.px(4), (*L.cols)[k], L.col_style, 1, 0.5, 90,
           L.col_label_len);
  if (p.group_axis_label.empty()) return;
  if (L.swap)
    c.text(grid.x + grid.w / 2, grid.bottom() + c.px(8) + L.col_label_len, p.group_axis_label,
           kAxisStyle, 0.5, 0);
  else
    c.text(L.pad, grid.y + grid.h / 2, p.group_axis_label, kAxisStyle, 0.5, 0, 90);
}

// The width a block name over the columns may take: up to the neighbours' names on the
// same line, and never past the canvas. Two names that still meet (three lines were not
// enough) split the room between them.
double block_label_room(const Canvas& c, const DotPlot& p, const DotLayout& L,
                        const std::vector<size_t>& lines, size_t r, double centre) {
  const double w = c.measure(p.gene_blocks[L.runs[r].first], kBlockStyle).w, gap = c.px(4);
  double left = L.pad, right = c.width() - L.pad;
  for (size_t o = 0; o < L.runs.size(); ++o) {
    if (o == r || lines[o] != lines[r]) continue;
    const double oc = L.grid.x + (L.runs[o].first + L.runs[o].second) * L.cell / 2;
    const double ow = c.measure(p.gene_blocks[L.runs[o].first], kBlockStyle).w;
    const bool meet = std::fabs(oc - centre) < (w + ow) / 2 + gap;
    if (oc < centre) left = std::max(left, meet ? (oc + centre) / 2 + gap / 2 : oc + ow / 2 + gap);
    if (oc > centre)
      right = std::min(right, meet ? (oc + centre) / 2 - gap / 2 : oc - ow / 2 - gap);
  }
  return std::max(2 * std::min(centre - left, right - centre), c.px(12));
}

// A block over the columns: its bracket, and its name on its line above (with a thin
// leader when the name moved up).
void draw_column_block(Canvas& c, const DotPlot& p, const DotLayout& L,
                       const std::vector<size_t>& lines, size_t r, double a, double b) {
  const Rect& grid = L.grid;
  const double y = grid.y - c.px(3);
  c.line(grid.x + a, y, grid.x + b, y, kInk, c.px(0.8));
  c.line(grid.x + a, y, grid.x + a, y + c.px(3), kInk, c.px(0.8));
  c.line(grid.x + b, y, grid.x + b, y + c.px(3), kInk, c.px(0.8));
  const double centre = grid.x + (a + b) / 2;
  const double room = block_label_room(c, p, L, lines, r, centre);
  const double ly = y - c.px(2) - lines[r] * L.block_line_h;
  if (lines[r] > 0) c.line(centre, y, centre, ly, kGrid, c.px(0.6));
  c.text(centre, ly, p.gene_blocks[L.runs[r].first], kBlockStyle, 0.5, 1, 0, room);
}

// A block right of the rows: its bracket and its name beside it.
void draw_row_block(Canvas& c, const DotPlot& p, const DotLayout& L, size_t r, double a, double b) {
  const Rect& grid = L.grid;
  const double x = grid.right() + c.px(4);
  c.line(x, grid.y + a, x, grid.y + b, kInk, c.px(0.8));
  c.line(x - c.px(3), grid.y + a, x, grid.y + a, kInk, c.px(0.8));
  c.line(x - c.px(3), grid.y + b, x, grid.y + b, kInk, c.px(0.8));
  c.text(x + c.px(4), grid.y + (a + b) / 2, p.gene_blocks[L.runs[r].first], kBlockStyle, 0, 0.5, 0,
         L.block_w - c.px(10));
}

// Gene blocks: a bracket over each run of genes with the same label, the label beside it.
void draw_gene_blocks(Canvas& c, const DotPlot& p, const DotLayout& L) {
  if (!L.blocks) return;
  const std::vector<size_t> lines =
      L.swap ? std::vector<size_t>(L.runs.size(), 0)
             : block_label_lines(c, p.gene_blocks, L.runs, L.cell, L.block_lines);
  for (size_t r = 0; r < L.runs.size(); ++r) {
    const auto [i, j] = L.runs[r];
    const double a = (i + 0.15) * L.cell, b = (j - 0.15) * L.cell;
    if (!L.swap)
      draw_column_block(c, p, L, lines, r, a, b);
    else
      draw_row_block(c, p, L, r, a, b);
  }
}

double size_row_height(const Canvas& c, const DotLayout& L) {
  return std::max(2 * L.max_r + c.px(3), c.measure("100%", kLegendText).h);
}

// The colour bar with its title and ticks, from `y` down; it gives way so that the size
// legend below it stays on the canvas. Returns where the size legend begins.
double draw_colorbar(Canvas& c, const DotPlot& p, const DotLayout& L, double lx, double y) {
  c.text(lx, y, p.colorbar_label, kLegendTitle, 0, 0, 0, L.legend_w);
  const double tick_h = c.measure("0", kLegendText).h;
  y += c.measure(p.colorbar_label, kLegendTitle, L.legend_w).h + c.px(4) + tick_h / 2;
  const double size_rows_h = std::size(kLegendFractions) * size_row_height(c, L);
  const double size_h = c.px(16) + c.measure(p.size_label, kLegendTitle, L.legend_w).h + c.px(4) +
                        size_rows_h + tick_h / 2;
  const double bar_h =
      std::max(c.px(30), std::min(std::clamp(c.height() * 0.25, c.px(50), c.inch(1.6)),
                                  c.height() - L.pad - y - size_h));
  const int steps = 128;
  for (int s = 0; s < steps; ++s) {
    const double t0 = static_cast<double>(s) / steps;
    c.fill_rect(Rect{lx, y + bar_h * (1 - t0 - 1.0 / steps), L.bar_w, bar_h / steps + 0.6},
                sequential_color(p.cmap, t0 + 0.5 / steps));
  }
  c.stroke_rect(Rect{lx, y, L.bar_w, bar_h}, kAxis, c.px(0.5));
  const double span = p.vmax > p.vmin ? p.vmax - p.vmin : 1.0;
  const auto ticks =
      nice_ticks(p.vmin, p.vmax, std::clamp(static_cast<int>(bar_h / (1.5 * tick_h)), 1, 4));
  const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : 1;
  for (double t : ticks) {
    if (t < p.vmin - 1e-9 || t > p.vmax + 1e-9) continue;
    const double ty = y + bar_h * (1 - (t - p.vmin) / span);
    c.line(lx + L.bar_w, ty, lx + L.bar_w + c.px(3), ty, kAxis, c.px(0.6));
    c.text(lx + L.bar_w + c.px(5), ty, tick_label(t, step), kLegendText, 0, 0.5);
  }
  y += bar_h + c.px(16) + tick_h / 2;
  return y;
}

// Size legend: the same radius rule as the dots.
void draw_size_legend(Canvas& c, const DotPlot& p, const DotLayout& L, double lx, double y) {
  c.text(lx, y, p.size_label, kLegendTitle, 0, 0, 0, L.legend_w);
  y += c.measure(p.size_label, kLegendTitle, L.legend_w).h + c.px(4);
  const double row_h = size_row_height(c, L);
  for (double f : kLegendFractions) {
    const double cx = lx + L.max_r, cy = y + row_h / 2;
    dot(c, cx, cy, L.max_r * std::sqrt(f), Rgb{0.55, 0.55, 0.57});
    c.text(lx + 2 * L.max_r + c.px(6), cy, std::to_string(static_cast<int>(f * 100 + 0.5)) + "%",
           kLegendText, 0, 0.5);
    y += row_h;
  }
}

}  // namespace

std::string render_dot_png(const DotPlot& p) {
  validate(p);
  Canvas c(p.size);
  const DotLayout L = dot_layout(c, p, c.header(p.title, p.subtitle));
  draw_grid(c, p, L);
  draw_axis_labels(c, p, L);
  draw_gene_blocks(c, p, L);
  const double lx = L.grid.right() + L.block_w + c.px(18);
  const double y = draw_colorbar(c, p, L, lx, L.area.y);
  draw_size_legend(c, p, L, lx, y);
  return c.finish();
}

}  // namespace norvex::plotting
