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

}  // namespace

std::string render_dot_png(const DotPlot& p) {
  const size_t ng = p.groups.size(), nk = p.genes.size();
  if (p.fraction.size() != ng || p.color.size() != ng)
    throw ValueError("dot plot: one row of fractions and colours per group is needed");
  for (size_t g = 0; g < ng; ++g)
    if (p.fraction[g].size() != nk || p.color[g].size() != nk)
      throw ValueError("dot plot: one fraction and one colour per gene is needed");
  if (!p.gene_blocks.empty() && p.gene_blocks.size() != nk)
    throw ValueError("dot plot: one block label per gene is needed");

  const bool swap = p.groups_as_columns;
  const std::vector<std::string>& rows = swap ? p.genes : p.groups;
  const std::vector<std::string>& cols = swap ? p.groups : p.genes;
  const size_t nr = rows.size(), nc = cols.size();
  auto group_gene = [&](size_t r, size_t c) {
    return swap ? std::pair<size_t, size_t>{c, r} : std::pair<size_t, size_t>{r, c};
  };

  Canvas c(p.size);
  const double pad = c.inch(0.14);
  const double top = c.header(p.title, p.subtitle);
  const TextStyle tick{9}, axis{10}, legend_title{9}, legend_text{8.5};
  const TextStyle gene_style{9, false, true};  // gene symbols in italics
  const TextStyle& row_style = swap ? gene_style : tick;
  const TextStyle& col_style = swap ? tick : gene_style;

  // Right-hand legends: the colour bar, then the dot sizes.
  const double bar_w = c.px(10);
  double legend_w = std::max(c.measure(p.colorbar_label, legend_title).w,
                             c.measure(p.size_label, legend_title).w);
  legend_w = std::max(legend_w, bar_w + c.px(5) + c.measure("0.000", legend_text).w);
  legend_w = std::min(legend_w, c.width() * 0.3);

  // Gene blocks: beside the gene axis (above the columns, or right of the rows).
  const bool blocks = !p.gene_blocks.empty();
  const auto runs = blocks ? block_runs(p.gene_blocks) : std::vector<std::pair<size_t, size_t>>{};
  const double block_line_h = c.measure("Ag", kBlockStyle).h;
  // Lines of block names over the columns, from a first guess of the cell size (labels at
  // most three lines deep; a name still too wide is shortened to its run).
  size_t block_lines = 1;
  if (blocks && !swap) {
    const double guess =
        std::min((c.width() - 2 * pad) * 0.6 / std::max<size_t>(1, nk),
                 std::min((c.height() - top) * 0.6 / std::max<size_t>(1, ng), c.inch(0.34)));
    for (size_t l : block_label_lines(c, p.gene_blocks, runs, guess, 3))
      block_lines = std::max(block_lines, l + 1);
  }
  const double block_h = blocks && !swap ? block_lines * block_line_h + c.px(8) : 0;
  double block_w = 0;
  if (blocks && swap)
    for (auto& b : p.gene_blocks) block_w = std::max(block_w, c.measure(b, tick).w);
  block_w = blocks && swap ? std::min(block_w, c.width() * 0.2) + c.px(10) : 0;

  double row_label_w = 0, col_label_len = 0;
  for (auto& r : rows) row_label_w = std::max(row_label_w, c.measure(r, row_style).w);
  for (auto& k : cols) col_label_len = std::max(col_label_len, c.measure(k, col_style).w);
  row_label_w = std::min(row_label_w, c.width() * 0.3);
  col_label_len = std::min(col_label_len, c.height() * 0.3);
  const double axis_label_h = p.group_axis_label.empty() ? 0 : c.measure("Ag", axis).h + c.px(6);

  Rect area;
  area.x = pad + (swap ? 0 : axis_label_h) + row_label_w + c.px(6);
  area.y = top + block_h;
  area.w = c.width() - area.x - pad - legend_w - c.px(18) - block_w;
  area.h = c.height() - area.y - pad - col_label_len - c.px(6) - (swap ? axis_label_h : 0);
  area.w = std::max(area.w, c.px(40));
  area.h = std::max(area.h, c.px(40));
  // Square cells, no larger than a third of an inch so few genes do not become blobs.
  const double cell =
      std::min({area.w / std::max<size_t>(1, nc), area.h / std::max<size_t>(1, nr), c.inch(0.34)});
  Rect grid{area.x, area.y, cell * nc, cell * nr};
  const double max_r = cell * 0.45;

  const double span = p.vmax > p.vmin ? p.vmax - p.vmin : 1.0;
  auto colour_of = [&](double v) {
    return sequential_color(p.cmap, std::clamp((v - p.vmin) / span, 0.0, 1.0));
  };

  // Light guides so a dot can be traced to its row and column.
  for (size_t r = 0; r < nr; ++r) {
    const double y = grid.y + (r + 0.5) * cell;
    c.line(grid.x, y, grid.right(), y, kGrid, c.px(0.5));
  }
  for (size_t k = 0; k < nc; ++k) {
    const double x = grid.x + (k + 0.5) * cell;
    c.line(x, grid.y, x, grid.bottom(), kGrid, c.px(0.5));
  }
  cairo_t* cr = c.cr();
  for (size_t r = 0; r < nr; ++r) {
    for (size_t k = 0; k < nc; ++k) {
      auto [g, gene] = group_gene(r, k);
      const double f = p.fraction[g][gene], v = p.color[g][gene];
      if (!std::isfinite(f) || f <= 0) continue;
      const double rad = max_r * std::sqrt(std::min(f, 1.0));
      cairo_new_path(cr);
      cairo_arc(cr, grid.x + (k + 0.5) * cell, grid.y + (r + 0.5) * cell, rad, 0, 2 * M_PI);
      c.set_color(std::isfinite(v) ? colour_of(v) : Rgb{0.8, 0.8, 0.8});
      cairo_fill_preserve(cr);
      c.set_color(Rgb{0.35, 0.35, 0.37});
      cairo_set_line_width(cr, c.px(0.35));
      cairo_stroke(cr);
    }
  }
  c.stroke_rect(grid, kAxis, c.px(0.7));

  for (size_t r = 0; r < nr; ++r)
    c.text(grid.x - c.px(5), grid.y + (r + 0.5) * cell, rows[r], row_style, 1, 0.5, 0, row_label_w);
  for (size_t k = 0; k < nc; ++k)
    c.text(grid.x + (k + 0.5) * cell, grid.bottom() + c.px(4), cols[k], col_style, 1, 0.5, 90,
           col_label_len);
  if (!p.group_axis_label.empty()) {
    if (swap)
      c.text(grid.x + grid.w / 2, grid.bottom() + c.px(8) + col_label_len, p.group_axis_label, axis,
             0.5, 0);
    else
      c.text(pad, grid.y + grid.h / 2, p.group_axis_label, axis, 0.5, 0, 90);
  }

  // Gene blocks: a bracket over each run of genes with the same label, the label beside it.
  if (blocks) {
    const std::vector<size_t> lines =
        swap ? std::vector<size_t>(runs.size(), 0)
             : block_label_lines(c, p.gene_blocks, runs, cell, block_lines);
    for (size_t r = 0; r < runs.size(); ++r) {
      const auto [i, j] = runs[r];
      const double a = (i + 0.15) * cell, b = (j - 0.15) * cell;
      if (!swap) {
        const double y = grid.y - c.px(3);
        c.line(grid.x + a, y, grid.x + b, y, kInk, c.px(0.8));
        c.line(grid.x + a, y, grid.x + a, y + c.px(3), kInk, c.px(0.8));
        c.line(grid.x + b, y, grid.x + b, y + c.px(3), kInk, c.px(0.8));
        // Room up to the neighbours' names on the same line, and never past the canvas.
        // Two names that still meet (three lines were not enough) split the room between them.
        const double centre = grid.x + (a + b) / 2;
        const double w = c.measure(p.gene_blocks[i], kBlockStyle).w, gap = c.px(4);
        double left = pad, right = c.width() - pad;
        for (size_t o = 0; o < runs.size(); ++o) {
          if (o == r || lines[o] != lines[r]) continue;
          const double oc = grid.x + (runs[o].first + runs[o].second) * cell / 2;
          const double ow = c.measure(p.gene_blocks[runs[o].first], kBlockStyle).w;
          const bool meet = std::fabs(oc - centre) < (w + ow) / 2 + gap;
          if (oc < centre)
            left = std::max(left, meet ? (oc + centre) / 2 + gap / 2 : oc + ow / 2 + gap);
          if (oc > centre)
            right = std::min(right, meet ? (oc + centre) / 2 - gap / 2 : oc - ow / 2 - gap);
        }
        const double room = std::max(2 * std::min(centre - left, right - centre), c.px(12));
        const double ly = y - c.px(2) - lines[r] * block_line_h;
        if (lines[r] > 0) c.line(centre, y, centre, ly, kGrid, c.px(0.6));
        c.text(centre, ly, p.gene_blocks[i], kBlockStyle, 0.5, 1, 0, room);
      } else {
        const double x = grid.right() + c.px(4);
        c.line(x, grid.y + a, x, grid.y + b, kInk, c.px(0.8));
        c.line(x - c.px(3), grid.y + a, x, grid.y + a, kInk, c.px(0.8));
        c.line(x - c.px(3), grid.y + b, x, grid.y + b, kInk, c.px(0.8));
        c.text(x + c.px(4), grid.y + (a + b) / 2, p.gene_blocks[i], kBlockStyle, 0, 0.5, 0,
               block_w - c.px(10));
      }
    }
  }

  // Colour bar.
  const double lx = grid.right() + block_w + c.px(18);
  double y = area.y;
  c.text(lx, y, p.colorbar_label, legend_title, 0, 0, 0, legend_w);
  const double tick_h = c.measure("0", legend_text).h;
  y += c.measure(p.colorbar_label, legend_title, legend_w).h + c.px(4) + tick_h / 2;
  // The bar gives way so that the size legend below it stays on the canvas.
  const double size_rows_h =
      std::size(kLegendFractions) * std::max(2 * max_r + c.px(3), c.measure("100%", legend_text).h);
  const double size_h = c.px(16) + c.measure(p.size_label, legend_title, legend_w).h + c.px(4) +
                        size_rows_h + tick_h / 2;
  const double bar_h =
      std::max(c.px(30), std::min(std::clamp(c.height() * 0.25, c.px(50), c.inch(1.6)),
                                  c.height() - pad - y - size_h));
  const int steps = 128;
  for (int s = 0; s < steps; ++s) {
    const double t0 = static_cast<double>(s) / steps;
    c.fill_rect(Rect{lx, y + bar_h * (1 - t0 - 1.0 / steps), bar_w, bar_h / steps + 0.6},
                sequential_color(p.cmap, t0 + 0.5 / steps));
  }
  c.stroke_rect(Rect{lx, y, bar_w, bar_h}, kAxis, c.px(0.5));
  const auto ticks =
      nice_ticks(p.vmin, p.vmax, std::clamp(static_cast<int>(bar_h / (1.5 * tick_h)), 1, 4));
  const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : 1;
  for (double t : ticks) {
    if (t < p.vmin - 1e-9 || t > p.vmax + 1e-9) continue;
    const double ty = y + bar_h * (1 - (t - p.vmin) / span);
    c.line(lx + bar_w, ty, lx + bar_w + c.px(3), ty, kAxis, c.px(0.6));
    c.text(lx + bar_w + c.px(5), ty, tick_label(t, step), legend_text, 0, 0.5);
  }
  y += bar_h + c.px(16) + tick_h / 2;

  // Size legend: the same radius rule as the dots.
  c.text(lx, y, p.size_label, legend_title, 0, 0, 0, legend_w);
  y += c.measure(p.size_label, legend_title, legend_w).h + c.px(4);
  const double row_h = std::max(2 * max_r + c.px(3), c.measure("100%", legend_text).h);
  for (double f : kLegendFractions) {
    const double cx = lx + max_r, cy = y + row_h / 2;
    cairo_new_path(cr);
    cairo_arc(cr, cx, cy, max_r * std::sqrt(f), 0, 2 * M_PI);
    c.set_color(Rgb{0.55, 0.55, 0.57});
    cairo_fill_preserve(cr);
    c.set_color(Rgb{0.35, 0.35, 0.37});
    cairo_set_line_width(cr, c.px(0.35));
    cairo_stroke(cr);
    c.text(lx + 2 * max_r + c.px(6), cy, std::to_string(static_cast<int>(f * 100 + 0.5)) + "%",
           legend_text, 0, 0.5);
    y += row_h;
  }
  return c.finish();
}

}  // namespace norvex::plotting
