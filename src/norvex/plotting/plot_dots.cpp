// Enrichment bars and dots, and dot grids: the figures of GO/GSEA and interaction results.
#include <algorithm>
#include <cmath>

#include "norvex/common/errors.hpp"
#include "norvex/plotting/plot_canvas.hpp"
#include "norvex/plotting/result_plots.hpp"

namespace norvex::plotting {
using namespace detail;

namespace {

const Rgb kUp{0.835, 0.369, 0.0};  // as the gene ranking, so directions read the same
const Rgb kNeutral{0.70, 0.70, 0.72};
const Rgb kDown{0.0, 0.447, 0.698};
const TextStyle kLabel{9};
const TextStyle kTick{9};
const TextStyle kAxisLabel{10};
const TextStyle kEmpty{11, false, false, kMuted};

std::vector<std::string> utf8_chars(const std::string& s) {
  std::vector<std::string> out;
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    out.push_back(s.substr(i, n));
    i += n;
  }
  return out;
}

std::string wrap_on(const Canvas& c, const std::string& text, const TextStyle& st, double max_w) {
  if (max_w <= 0 || c.measure(text, st).w <= max_w) return text;
  // Words split at blanks and underscores (MSigDB names are one long underscored word).
  std::vector<std::string> words;
  std::string cur;
  for (char ch : text) {
    cur += ch;
    if (ch == ' ' || ch == '_') words.push_back(std::move(cur)), cur.clear();
  }
  if (!cur.empty()) words.push_back(cur);
  std::string out, line;
  auto flush = [&] {
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (!line.empty()) out += (out.empty() ? "" : "\n") + line;
    line.clear();
  };
  for (const std::string& w : words) {
    if (c.measure(line + w, st).w <= max_w) {
      line += w;
      continue;
    }
    flush();
    if (c.measure(w, st).w <= max_w) {
      line = w;
      continue;
    }
    // A word wider than the space: broken between characters.
    for (const std::string& ch : utf8_chars(w)) {
      if (!line.empty() && c.measure(line + ch, st).w > max_w) flush();
      line += ch;
    }
  }
  flush();
  return out;
}

// Label column width: the widest label, at most `cap`, and each label wrapped to it.
double wrap_labels(const Canvas& c, const std::vector<std::string>& in, const TextStyle& st,
                   double cap, std::vector<std::string>& out) {
  double w = 0;
  for (const std::string& l : in) w = std::max(w, c.measure(l, st).w);
  w = std::min(w, cap);
  out.clear();
  double used = 0;
  for (const std::string& l : in) {
    out.push_back(wrap_on(c, l, st, w));
    used = std::max(used, c.measure(out.back(), st).w);
  }
  return used;
}

void colorbar(Canvas& c, double x, double y, double h, const std::string& cmap, double lo,
              double hi, const std::string& label) {
  const double bw = c.px(9);
  c.text(x, y, label, TextStyle{9, true});
  // The top tick's label is centred on the bar's top: half a line of room above it.
  const double tick_h = c.measure("0", kTick).h;
  const double top =
      y + c.measure(label.empty() ? "A" : label, TextStyle{9, true}).h + c.px(4) + tick_h / 2;
  const int steps = 64;
  for (int i = 0; i < steps; ++i) {
    const double t = 1.0 - (i + 0.5) / steps;
    c.fill_rect(Rect{x, top + h * i / steps, bw, h / steps + 0.8}, sequential_color(cmap, t));
  }
  c.stroke_rect(Rect{x, top, bw, h}, kAxis, c.px(0.5));
  if (!(hi > lo)) hi = lo + 1;
  // As many ticks as fit a line and a half apart.
  auto ticks = nice_ticks(lo, hi, std::clamp(static_cast<int>(h / (1.5 * tick_h)), 1, 4));
  const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : 1;
  for (double t : ticks) {
    if (t < lo - 1e-9 || t > hi + 1e-9) continue;
    const double ty = top + h * (1 - (t - lo) / (hi - lo));
    c.line(x + bw, ty, x + bw + c.px(3), ty, kAxis, c.px(0.6));
    c.text(x + bw + c.px(5), ty, tick_label(t, step), kTick, 0, 0.5);
  }
}

double colorbar_width(const Canvas& c, const std::string& label) {
  return std::max(c.measure(label, TextStyle{9, true}).w, c.px(9) + c.px(40));
}

// Size legend: circles for the given values; returns its height.
double size_legend(Canvas& c, double x, double y, const std::string& label,
                   const std::vector<std::pair<double, double>>& radius_and_value,
                   const std::vector<std::string>& texts) {
  c.text(x, y, label, TextStyle{9, true});
  double cy = y + c.measure(label.empty() ? "A" : label, TextStyle{9, true}).h + c.px(4);
  for (size_t i = 0; i < radius_and_value.size(); ++i) {
    const double r = radius_and_value[i].first;
    const double row = std::max(2 * r, c.px(11)) + c.px(3);
    c.set_color(kMuted);
    cairo_new_path(c.cr());
    cairo_arc(c.cr(), x + c.px(9), cy + row / 2, r, 0, 2 * M_PI);
    cairo_fill(c.cr());
    c.text(x + c.px(22), cy + row / 2, texts[i], kTick, 0, 0.5);
    cy += row;
  }
  return cy - y;
}

void validate(const DotGridPlot& p) {
  const size_t nr = p.rows.size(), nc = p.columns.size();
  if (!p.column_groups.empty() && p.column_groups.size() != nc)
    throw ValueError("dot grid: one column group per column is needed");
  for (const auto& d : p.dots)
    if (d.row >= nr || d.col >= nc) throw ValueError("dot grid: a dot outside the grid");
}

const TextStyle kRowStyle{9, false, true};
const TextStyle kGroupStyle{9.5, true};

// A dot grid's layout: the label margins, the grid of square cells and the dot sizes.
struct DotGridLayout {
  double pad = 0, top = 0;
  std::vector<std::string> labels;  // the row names, wrapped
  double col_label_cap = 0, col_label_h = 0;
  Rect plot;
  double cell = 0;
  double r_max = 0, r_min = 0, smin = INFINITY, smax = -INFINITY;

  // Dot area from the smallest to the largest size key.
  double radius(double v) const {
    const double t = smax > smin ? std::clamp((v - smin) / (smax - smin), 0.0, 1.0) : 1.0;
    return std::sqrt(r_min * r_min + t * (r_max * r_max - r_min * r_min));
  }
  double row_y(size_t r) const { return plot.y + cell * (r + 0.5); }
  double col_x(size_t k) const { return plot.x + cell * (k + 0.5); }
};

// The room the grid may take: row names on the left, group headers above, slanted column
// labels (and the axis name) below, the legends on the right.
DotGridLayout dot_grid_frame(const Canvas& c, const DotGridPlot& p, double top) {
  DotGridLayout L;
  L.pad = c.inch(0.14);
  L.top = top;
  const double label_w = wrap_labels(c, p.rows, kRowStyle, c.width() * 0.3, L.labels);
  // Column labels run at 45 degrees: their drop is about 0.71 x (width + line height).
  L.col_label_cap = std::max(c.height() * 0.3, c.width() * 0.22);
  double col_label_w = 0;
  for (auto& l : p.columns) col_label_w = std::max(col_label_w, c.measure(l, kTick).w);
  col_label_w = std::min(col_label_w, L.col_label_cap);
  L.col_label_h = 0.71 * (col_label_w + c.measure("Ag", kTick).h) + c.px(6);
  const double group_h = p.column_groups.empty() ? 0 : c.measure("Ag", kGroupStyle).h + c.px(6);
  double size_w = c.measure(p.size_label, TextStyle{9, true}).w;
  for (auto& k : p.size_keys) size_w = std::max(size_w, c.px(24) + c.measure(k.second, kTick).w);
  const double side_w = std::max(colorbar_width(c, p.color_label), size_w) + c.px(8);
  Rect& plot = L.plot;
  plot.x = L.pad + label_w + c.px(10);
  plot.y = top + group_h;
  plot.w = std::max(c.width() - plot.x - L.pad - side_w - c.px(16), c.px(60));
  plot.h = std::max(c.height() - plot.y - L.pad - L.col_label_h -
                        (p.x_label.empty() ? 0 : c.measure("A", kAxisLabel).h + c.px(4)),
                    c.px(40));
  return L;
}

// Square cells read best; the grid shrinks to keep them so. Slanted column labels reach
// down-left of their column: the grid moves right until the first ones stay on the canvas.
void fit_cells(const Canvas& c, const DotGridPlot& p, DotGridLayout& L) {
  const size_t nr = p.rows.size(), nc = p.columns.size();
  Rect& plot = L.plot;
  L.cell = std::min({plot.w / nc, plot.h / nr, c.px(26)});
  const double tick_h = c.measure("Ag", kTick).h;
  double shift = 0;
  for (size_t k = 0; k < nc; ++k) {
    const double reach =
        0.71 * (std::min(c.measure(p.columns[k], kTick).w, L.col_label_cap) + tick_h);
    shift = std::max(shift, L.pad + reach - (plot.x + L.cell * (k + 0.5) + c.px(3)));
  }
  if (shift > 0) {
    plot.x += shift;
    plot.w = std::max(plot.w - shift, c.px(40));
    L.cell = std::min({plot.w / nc, plot.h / nr, c.px(26)});
  }
  plot.w = L.cell * nc;
  plot.h = L.cell * nr;
  L.r_max = L.cell * 0.46, L.r_min = L.cell * 0.08;
  for (auto& k : p.size_keys)
    L.smin = std::min(L.smin, k.first), L.smax = std::max(L.smax, k.first);
  if (!std::isfinite(L.smin)) L.smin = 0, L.smax = 1;
}

// Guides along the rows and columns, with the row names left and column labels below.
void draw_grid_labels(Canvas& c, const DotGridPlot& p, const DotGridLayout& L) {
  const Rect& plot = L.plot;
  for (size_t r = 0; r < p.rows.size(); ++r) {
    const double cy = L.row_y(r);
    c.line(plot.x, cy, plot.right(), cy, kGrid, c.px(0.4));
    c.text(plot.x - c.px(6), cy, L.labels[r], kRowStyle, 1, 0.5);
  }
  for (size_t k = 0; k < p.columns.size(); ++k) {
    const double cx = L.col_x(k);
    c.line(cx, plot.y, cx, plot.bottom(), kGrid, c.px(0.4));
    c.text(cx + c.px(3), plot.bottom() + c.px(4), p.columns[k], kTick, 1, 0, 45, L.col_label_cap);
  }
}

// Group headers over their consecutive columns, with a separating line between groups.
void draw_column_groups(Canvas& c, const DotGridPlot& p, const DotGridLayout& L) {
  if (p.column_groups.empty()) return;
  const size_t nc = p.columns.size();
  const Rect& plot = L.plot;
  const double cell = L.cell;
  size_t start = 0;
  for (size_t k = 1; k <= nc; ++k) {
    if (k < nc && p.column_groups[k] == p.column_groups[start]) continue;
    const double x0 = plot.x + cell * start + c.px(2), x1 = plot.x + cell * k - c.px(2);
    c.text((x0 + x1) / 2, plot.y - c.px(4), p.column_groups[start], kGroupStyle, 0.5, 1, 0,
           x1 - x0 + cell);
    c.line(x0, plot.y - c.px(2), x1, plot.y - c.px(2), kAxis, c.px(0.8));
    if (k < nc)
      c.line(plot.x + cell * k, plot.y, plot.x + cell * k, plot.bottom(), kAxis, c.px(0.8));
    start = k;
  }
}

void draw_grid_dots(Canvas& c, const DotGridPlot& p, const DotGridLayout& L) {
  const double span = p.cmax > p.cmin ? p.cmax - p.cmin : 1;
  for (const auto& d : p.dots) {
    const double cx = L.col_x(d.col), cy = L.row_y(d.row);
    c.set_color(sequential_color(p.cmap, (d.color - p.cmin) / span));
    cairo_new_path(c.cr());
    cairo_arc(c.cr(), cx, cy, L.radius(d.size), 0, 2 * M_PI);
    cairo_fill_preserve(c.cr());
    c.set_color(kInk, 0.55);
    cairo_set_line_width(c.cr(), c.px(0.4));
    cairo_stroke(c.cr());
  }
  c.stroke_rect(Rect{L.plot.x, L.plot.y, L.plot.w, L.plot.h}, kAxis, c.px(0.6));
}

// Under the column labels: the grid keeps square cells, so it may end well above the
// figure's bottom.
void draw_grid_x_label(Canvas& c, const DotGridPlot& p, const DotGridLayout& L) {
  if (p.x_label.empty()) return;
  const double label_h = c.measure(p.x_label, kAxisLabel).h;
  c.text(L.plot.x + L.plot.w / 2,
         std::min(L.plot.bottom() + L.col_label_h, c.height() - L.pad - label_h), p.x_label,
         kAxisLabel, 0.5, 0);
}

// The colour bar and, below it, the size keys, right of the grid.
void draw_grid_legends(Canvas& c, const DotGridPlot& p, const DotGridLayout& L) {
  const double lx = L.plot.right() + c.px(18);
  const double cb_h = std::min(std::max(L.plot.h * 0.35, c.px(50)), c.px(90));
  const double span = p.cmax > p.cmin ? p.cmax - p.cmin : 1;
  colorbar(c, lx, L.top, cb_h, p.cmap, p.cmin, p.cmin + span, p.color_label);
  std::vector<std::pair<double, double>> keys;
  std::vector<std::string> texts;
  for (auto& k : p.size_keys) {
    keys.push_back({L.radius(k.first), k.first});
    texts.push_back(k.second);
  }
  size_legend(c, lx, L.top + cb_h + c.px(40), p.size_label, keys, texts);
}

}  // namespace

std::string wrap_label(const std::string& text, double pt, double max_width_px, int dpi) {
  FigureSize s;
  s.width_in = 1;
  s.height_in = 1;
  s.dpi = dpi;
  Canvas c(s);
  // A RenderScope may draw at another dpi; the width stays the one given at `dpi`.
  return wrap_on(c, text, TextStyle{pt}, max_width_px * c.dpi() / std::max(1, dpi));
}

std::string render_term_bars_png(const TermBarPlot& p) {
  const size_t n = p.labels.size();
  if (p.values.size() != n || (!p.directions.empty() && p.directions.size() != n) ||
      (!p.value_notes.empty() && p.value_notes.size() != n))
    throw ValueError("term bar plot: one value, direction and note per label is needed");
  Canvas c(p.size);
  const double pad = c.inch(0.14);
  const double top = c.header(p.title, p.subtitle);
  const TextStyle note{8, false, false, kMuted};
  auto direction = [&](size_t i) { return p.directions.empty() ? 0 : p.directions[i]; };
  std::vector<LegendEntry> entries;
  bool up = false, down = false, neutral = false;
  for (size_t i = 0; i < n; ++i)
    up |= direction(i) > 0, down |= direction(i) < 0, neutral |= direction(i) == 0;
  // An empty label leaves its entry out (one colour needs no legend).
  if (up && !p.up_label.empty()) entries.push_back({p.up_label, kUp});
  if (down && !p.down_label.empty()) entries.push_back({p.down_label, kDown});
  if (neutral && !p.neutral_label.empty()) entries.push_back({p.neutral_label, kNeutral});
  const double legend_w = legend_width(c, "", entries, c.height(), c.width() * 0.22);
  std::vector<std::string> labels;
  const double label_w = wrap_labels(c, p.labels, kLabel, c.width() * 0.36, labels);
  double note_w = 0;
  for (auto& s : p.value_notes) note_w = std::max(note_w, c.measure(s, note).w);
  Rect plot;
  plot.x = pad + label_w + c.px(8);
  plot.y = top;
  plot.w = c.width() - plot.x - pad - (note_w > 0 ? note_w + c.px(10) : 0) -
           (legend_w > 0 ? legend_w + c.px(14) : 0);
  plot.h =
      c.height() - top - pad - c.measure("0", kAxisLabel).h - c.measure("0", kTick).h - c.px(8);
  plot.w = std::max(plot.w, c.px(60));
  plot.h = std::max(plot.h, c.px(40));
  if (n == 0) {
    c.text(c.width() / 2, plot.y + plot.h / 2, p.empty_message, kEmpty, 0.5, 0.5, 0,
           c.width() - 2 * pad);
    return c.finish();
  }
  double lo = 0, hi = 0;
  for (double v : p.values)
    if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
  if (hi - lo < 1e-12) hi = lo + 1;
  // Headroom so the longest bar does not run into the frame.
  const double room = (hi - lo) * 0.04;
  if (hi > 0) hi += room;
  if (lo < 0) lo -= room;
  auto ticks = nice_ticks(lo, hi, 5);
  if (!ticks.empty()) lo = std::min(lo, ticks.front()), hi = std::max(hi, ticks.back());
  auto xpx = [&](double v) { return plot.x + (v - lo) / (hi - lo) * plot.w; };
  const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : 1;
  for (double t : ticks) {
    c.line(xpx(t), plot.y, xpx(t), plot.bottom(), kGrid, c.px(0.6));
    c.text(xpx(t), plot.bottom() + c.px(3), tick_label(t, step), kTick, 0.5, 0);
  }
  const double row = plot.h / n;
  const double thick = std::min(row * 0.7, c.px(16));
  for (size_t i = 0; i < n; ++i) {
    const double cy = plot.y + row * (i + 0.5);
    const double v = std::isfinite(p.values[i]) ? p.values[i] : 0;
    const double x0 = xpx(0), x1 = xpx(v);
    const int d = direction(i);
    c.fill_rect(Rect{std::min(x0, x1), cy - thick / 2, std::fabs(x1 - x0), thick},
                d > 0 ? kUp : (d < 0 ? kDown : kNeutral));
    c.text(plot.x - c.px(6), cy, labels[i], kLabel, 1, 0.5);
    if (!p.value_notes.empty()) c.text(plot.right() + c.px(8), cy, p.value_notes[i], note, 0, 0.5);
  }
  c.line(xpx(0), plot.y, xpx(0), plot.bottom(), kInk, c.px(0.9));
  c.line(plot.x, plot.bottom(), plot.right(), plot.bottom(), kAxis, c.px(0.8));
  c.text(plot.x + plot.w / 2, c.height() - pad, p.x_label, kAxisLabel, 0.5, 1);
  draw_legend(c, c.width() - pad - legend_w, plot.y, "", entries, Swatch::Square, plot.h,
              c.width() * 0.22);
  return c.finish();
}

std::string render_term_dots_png(const TermDotPlot& p) {
  const size_t n = p.labels.size();
  if (p.x.size() != n || p.sizes.size() != n || p.colors.size() != n)
    throw ValueError("term dot plot: one x, size and colour per label is needed");
  Canvas c(p.size);
  const double pad = c.inch(0.14);
  const double top = c.header(p.title, p.subtitle);
  std::vector<std::string> labels;
  const double label_w = wrap_labels(c, p.labels, kLabel, c.width() * 0.36, labels);
  const double side_w =
      std::max(colorbar_width(c, p.color_label), c.measure(p.size_label, TextStyle{9, true}).w) +
      c.px(8);
  Rect plot;
  plot.x = pad + label_w + c.px(10);
  plot.y = top;
  plot.w = std::max(c.width() - plot.x - pad - side_w - c.px(16), c.px(60));
  plot.h = std::max(
      c.height() - top - pad - c.measure("0", kAxisLabel).h - c.measure("0", kTick).h - c.px(8),
      c.px(40));
  if (n == 0) {
    c.text(c.width() / 2, plot.y + plot.h / 2, p.empty_message, kEmpty, 0.5, 0.5, 0,
           c.width() - 2 * pad);
    return c.finish();
  }
  const double row = plot.h / n;
  const double r_max = std::clamp(row * 0.45, c.px(3), c.px(9)), r_min = c.px(2.2);
  double smax = 0, smin = INFINITY, xlo = INFINITY, xhi = -INFINITY, clo = INFINITY,
         chi = -INFINITY;
  for (size_t i = 0; i < n; ++i) {
    if (std::isfinite(p.sizes[i]))
      smax = std::max(smax, p.sizes[i]), smin = std::min(smin, p.sizes[i]);
    if (std::isfinite(p.x[i])) xlo = std::min(xlo, p.x[i]), xhi = std::max(xhi, p.x[i]);
    if (std::isfinite(p.colors[i]))
      clo = std::min(clo, p.colors[i]), chi = std::max(chi, p.colors[i]);
  }
  if (!std::isfinite(xlo)) xlo = 0, xhi = 1;
  if (!std::isfinite(clo)) clo = 0, chi = 1;
  if (chi - clo < 1e-12) chi = clo + 1;
  if (!std::isfinite(smin)) smin = 0, smax = 1;
  // Dot area (not radius) proportional to the value, from zero.
  auto radius = [&](double v) {
    if (!std::isfinite(v) || smax <= 0) return r_min;
    return std::max(r_min, r_max * std::sqrt(std::max(v, 0.0) / smax));
  };
  // The x range includes zero when values straddle it or sit close, so signs read true.
  if (xlo > 0 && xlo < 0.25 * xhi) xlo = 0;
  if (xhi < 0 && xhi > 0.25 * xlo) xhi = 0;
  if (xhi - xlo < 1e-12) xlo -= 0.5, xhi += 0.5;
  const double margin = (xhi - xlo) * 0.06;
  xlo -= margin, xhi += margin;
  auto ticks = nice_ticks(xlo, xhi, 5);
  const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : 1;
  auto xpx = [&](double v) { return plot.x + (v - xlo) / (xhi - xlo) * plot.w; };
  for (double t : ticks) {
    if (t < xlo || t > xhi) continue;
    c.line(xpx(t), plot.y, xpx(t), plot.bottom(), kGrid, c.px(0.6));
    c.text(xpx(t), plot.bottom() + c.px(3), tick_label(t, step), kTick, 0.5, 0);
  }
  if (xlo < 0 && xhi > 0) c.line(xpx(0), plot.y, xpx(0), plot.bottom(), kAxis, c.px(0.8), true);
  for (size_t i = 0; i < n; ++i) {
    const double cy = plot.y + row * (i + 0.5);
    c.line(plot.x, cy, plot.right(), cy, kGrid, c.px(0.4));
    c.text(plot.x - c.px(6), cy, labels[i], kLabel, 1, 0.5);
    if (!std::isfinite(p.x[i])) continue;
    const double t = std::isfinite(p.colors[i]) ? (p.colors[i] - clo) / (chi - clo) : 0;
    c.set_color(sequential_color(p.cmap, t));
    cairo_new_path(c.cr());
    cairo_arc(c.cr(), xpx(p.x[i]), cy, radius(p.sizes[i]), 0, 2 * M_PI);
    cairo_fill_preserve(c.cr());
    c.set_color(kInk, 0.6);
    cairo_set_line_width(c.cr(), c.px(0.4));
    cairo_stroke(c.cr());
  }
  c.stroke_rect(Rect{plot.x, plot.y, plot.w, plot.h}, kAxis, c.px(0.6));
  c.text(plot.x + plot.w / 2, c.height() - pad, p.x_label, kAxisLabel, 0.5, 1);

  const double lx = plot.right() + c.px(16);
  const double cb_h = std::min(plot.h * 0.4, c.px(90));
  colorbar(c, lx, plot.y, cb_h, p.cmap, clo, chi, p.color_label);
  // Three size keys: the smallest, middle and largest value drawn.
  std::vector<std::pair<double, double>> keys;
  std::vector<std::string> texts;
  std::vector<double> vals;
  for (double v : {smin, (smin + smax) / 2, smax})
    if (vals.empty() || std::round(vals.back()) != std::round(v)) vals.push_back(v);
  for (double v : vals) {
    keys.push_back({radius(v), v});
    texts.push_back(std::to_string(static_cast<long long>(std::llround(v))));
  }
  size_legend(c, lx, plot.y + cb_h + c.px(40), p.size_label, keys, texts);
  return c.finish();
}

std::string render_dot_grid_png(const DotGridPlot& p) {
  validate(p);
  Canvas c(p.size);
  DotGridLayout L = dot_grid_frame(c, p, c.header(p.title, p.subtitle));
  if (p.rows.empty() || p.columns.empty() || p.dots.empty()) {
    c.text(c.width() / 2, L.plot.y + L.plot.h / 2, p.empty_message, kEmpty, 0.5, 0.5, 0,
           c.width() - 2 * L.pad);
    return c.finish();
  }
  fit_cells(c, p, L);
  draw_grid_labels(c, p, L);
  draw_column_groups(c, p, L);
  draw_grid_dots(c, p, L);
  draw_grid_x_label(c, p, L);
  draw_grid_legends(c, p, L);
  return c.finish();
}

}  // namespace norvex::plotting
