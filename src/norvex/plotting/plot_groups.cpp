// Group comparisons: violins or box plots per panel, with significance brackets.
#include <algorithm>
#include <cmath>

#include "norvex/common/errors.hpp"
#include "norvex/plotting/plot_canvas.hpp"

namespace norvex::plotting {

using namespace detail;

namespace {

// Linear-interpolated quantile of sorted values (numpy's default).
double quantile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return NAN;
  const double pos = q * static_cast<double>(sorted.size() - 1);
  const size_t i = static_cast<size_t>(pos);
  if (i + 1 >= sorted.size()) return sorted.back();
  return sorted[i] + (pos - static_cast<double>(i)) * (sorted[i + 1] - sorted[i]);
}

struct Summary {
  std::vector<double> sorted;
  double q1 = NAN, median = NAN, q3 = NAN, lo = NAN, hi = NAN;  // lo/hi: whisker ends
};

Summary summarise(const std::vector<double>& values) {
  Summary s;
  for (double v : values)
    if (std::isfinite(v)) s.sorted.push_back(v);
  std::sort(s.sorted.begin(), s.sorted.end());
  if (s.sorted.empty()) return s;
  s.q1 = quantile(s.sorted, 0.25);
  s.median = quantile(s.sorted, 0.5);
  s.q3 = quantile(s.sorted, 0.75);
  const double iqr = s.q3 - s.q1;
  s.lo = *std::lower_bound(s.sorted.begin(), s.sorted.end(), s.q1 - 1.5 * iqr);
  s.hi = *(std::upper_bound(s.sorted.begin(), s.sorted.end(), s.q3 + 1.5 * iqr) - 1);
  return s;
}

// Gaussian kernel density (Scott's bandwidth) on `n` points over [lo, hi], through a fine
// histogram so that a million values cost one pass.
std::vector<double> density(const std::vector<double>& sorted, double lo, double hi, size_t n) {
  std::vector<double> out(n, 0.0);
  if (sorted.size() < 2 || hi <= lo) return out;
  double mean = 0, var = 0;
  for (double v : sorted) mean += v;
  mean /= static_cast<double>(sorted.size());
  for (double v : sorted) var += (v - mean) * (v - mean);
  var /= static_cast<double>(sorted.size() - 1);
  const double bw = std::sqrt(var) * std::pow(static_cast<double>(sorted.size()), -0.2);
  if (!(bw > 0)) return out;
  const size_t bins = 512;
  std::vector<double> hist(bins, 0.0);
  const double bin_w = (hi - lo) / bins;
  for (double v : sorted) {
    const size_t b = std::min(bins - 1, static_cast<size_t>((v - lo) / bin_w));
    hist[b] += 1;
  }
  for (size_t k = 0; k < n; ++k) {
    const double x = lo + (hi - lo) * static_cast<double>(k) / static_cast<double>(n - 1);
    double d = 0;
    for (size_t b = 0; b < bins; ++b) {
      if (hist[b] == 0) continue;
      const double z = (x - (lo + (b + 0.5) * bin_w)) / bw;
      if (std::fabs(z) < 6) d += hist[b] * std::exp(-0.5 * z * z);
    }
    out[k] = d;
  }
  return out;
}

void circle(Canvas& c, double x, double y, double r, const Rgb& fill, double alpha,
            const Rgb* edge = nullptr) {
  cairo_arc(c.cr(), x, y, r, 0, 2 * M_PI);
  c.set_color(fill, alpha);
  if (edge) {
    cairo_fill_preserve(c.cr());
    c.set_color(*edge);
    cairo_set_line_width(c.cr(), c.px(0.5));
    cairo_stroke(c.cr());
  } else {
    cairo_fill(c.cr());
  }
}

Rgb darker(const Rgb& c, double f = 0.6) {
  return Rgb{c.r * f, c.g * f, c.b * f};
}

// Bracket levels: shorter spans first, each on the lowest level where it overlaps no other.
std::vector<size_t> bracket_levels(const std::vector<GroupPanel::Bracket>& br) {
  std::vector<size_t> order(br.size()), level(br.size(), 0);
  for (size_t i = 0; i < br.size(); ++i) order[i] = i;
  auto span = [&](size_t i) { return std::max(br[i].a, br[i].b) - std::min(br[i].a, br[i].b); };
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t x, size_t y) { return span(x) < span(y); });
  std::vector<std::vector<std::pair<size_t, size_t>>> used;
  for (size_t i : order) {
    const size_t a = std::min(br[i].a, br[i].b), b = std::max(br[i].a, br[i].b);
    size_t l = 0;
    for (;; ++l) {
      if (l == used.size()) used.emplace_back();
      bool clash = false;
      for (auto& [x, y] : used[l]) clash |= !(b < x || a > y);  // sharing an end clashes too
      if (!clash) break;
    }
    used[l].emplace_back(a, b);
    level[i] = l;
  }
  return level;
}

const TextStyle kTickStyle{8.5};
const TextStyle kAxisStyle{10};
const TextStyle kPanelTitle{9.5, true};
const TextStyle kPanelSubtitle{8.5, false, false, kMuted};
const TextStyle kNoteStyle{7.5, false, false, kMuted};
const TextStyle kStarStyle{8.5, true};

void validate(const GroupComparisonPlot& p) {
  const size_t ng = p.groups.size();
  for (auto& panel : p.panels) {
    if (panel.values.size() != ng)
      throw ValueError("group comparison: one value list per group is needed in every panel");
    for (auto& b : panel.brackets)
      if (b.a >= ng || b.b >= ng) throw ValueError("group comparison: bracket out of range");
  }
}

Rgb group_color(const GroupComparisonPlot& p, size_t g) {
  return g < p.group_colors.size() ? p.group_colors[g] : categorical_color(g);
}

// The lines of a text broken at '\n' (one empty line for an empty text).
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  for (size_t a = 0; a <= text.size();) {
    const size_t b = std::min(text.find('\n', a), text.size());
    out.push_back(text.substr(a, b - a));
    a = b + 1;
  }
  return out;
}

// What the whole figure shares: the panel grid, the label rows under every panel, the
// footnote, and the one value range when the panels are on one scale.
struct FigureLayout {
  double pad = 0;
  std::vector<std::string> foot_lines;
  double foot_line_h = 0, foot_h = 0;
  double area_x = 0, area_y = 0, area_w = 0, area_h = 0;
  size_t ncols = 1;
  double cell_w = 0, cell_h = 0;
  double tick_w = 0;   // room left of each panel for its tick labels
  bool slant = false;  // group labels slanted, as they do not fit a slot
  double angle = 35, max_label_w = 0;
  double labels_h = 0, counts_h = 0;  // the group label row and the "n=" row
  double shared_lo = INFINITY, shared_hi = -INFINITY;
};

// Panels in a grid wide enough for the group labels.
void lay_out_grid(const Canvas& c, const GroupComparisonPlot& p, double top, FigureLayout& L) {
  const size_t ng = p.groups.size(), np = p.panels.size();
  const double ylabel_w = p.y_label.empty() ? 0 : c.measure(p.y_label, kAxisStyle).h + c.px(6);
  L.area_x = L.pad + ylabel_w, L.area_w = c.width() - L.area_x - L.pad;
  L.area_y = top, L.area_h = c.height() - top - L.pad - L.foot_h;
  const double min_panel_w = std::max(c.inch(1.6), c.inch(0.55) * ng + c.inch(0.5));
  const size_t max_cols = std::clamp<size_t>(static_cast<size_t>(L.area_w / min_panel_w), 1, np);
  // Balanced rows: five panels as 3 + 2, not 4 + 1.
  const size_t nrows = (np + max_cols - 1) / max_cols;
  L.ncols = (np + nrows - 1) / nrows;
  L.cell_w = L.area_w / L.ncols, L.cell_h = L.area_h / nrows;
}

// Group labels upright when they fit their slot, else slanted; the rows they and the
// counts take under each panel.
void lay_out_labels(const Canvas& c, const GroupComparisonPlot& p, FigureLayout& L) {
  const size_t ng = p.groups.size();
  double label_w = 0;
  for (auto& g : p.groups) label_w = std::max(label_w, c.measure(g, kTickStyle).w);
  L.tick_w = c.measure("00.00", kTickStyle).w + c.px(6);
  const double slot = (L.cell_w - L.tick_w - c.px(10)) / std::max<size_t>(ng, 1);
  L.slant = label_w > slot * 0.95;
  const double label_h = c.measure("Ag", kTickStyle).h;
  L.max_label_w = L.cell_h * 0.28;
  L.labels_h = L.slant ? std::min(label_w, L.max_label_w) * std::sin(L.angle * M_PI / 180) +
                             label_h + c.px(6)
                       : label_h + c.px(4);
  L.counts_h = c.measure("n=1", kNoteStyle).h + c.px(2);
}

FigureLayout figure_layout(const Canvas& c, const GroupComparisonPlot& p, double top) {
  FigureLayout L;
  L.pad = c.inch(0.14);
  if (!p.footnote.empty()) L.foot_lines = lines_of(p.footnote);
  L.foot_line_h = c.measure("Ag", kNoteStyle).h;
  L.foot_h = L.foot_lines.size() * L.foot_line_h + (L.foot_lines.empty() ? 0 : c.px(4));
  lay_out_grid(c, p, top, L);
  lay_out_labels(c, p, L);
  // The common range of panels on one scale.
  if (p.shared_y)
    for (const auto& panel : p.panels)
      for (const auto& vs : panel.values)
        for (double v : vs)
          if (std::isfinite(v))
            L.shared_lo = std::min(L.shared_lo, v), L.shared_hi = std::max(L.shared_hi, v);
  return L;
}

// One panel: its cell, title, value range, bracket levels and plotting rectangle.
struct PanelLayout {
  double cx0 = 0, cy0 = 0;  // top left of the panel's cell
  std::vector<std::string> title_lines;
  double title_line_h = 0;
  std::vector<Summary> sums;  // per group
  double lo = INFINITY, hi = -INFINITY;
  std::vector<size_t> levels;  // per bracket
  double bracket_step = 0;
  Rect plot;
  double y_lo = 0, y_hi = 0;   // the value axis
  double gslot = 0, half = 0;  // a group's slot width and its marks' half width

  double ypx(double v) const { return plot.bottom() - (v - y_lo) / (y_hi - y_lo) * plot.h; }
  double gx(size_t g) const { return plot.x + gslot * (g + 0.5); }
};

PanelLayout panel_layout(const Canvas& c, const GroupComparisonPlot& p, const FigureLayout& L,
                         size_t k) {
  const GroupPanel& panel = p.panels[k];
  PanelLayout P;
  P.cx0 = L.area_x + L.cell_w * (k % L.ncols), P.cy0 = L.area_y + L.cell_h * (k / L.ncols);
  // A title may have a second line (e.g. the cell types of an interaction).
  P.title_lines = lines_of(panel.title);
  P.title_line_h = c.measure("Ag", kPanelTitle).h;
  const double title_h = P.title_lines.size() * P.title_line_h + c.px(4);
  for (auto& v : panel.values) {
    P.sums.push_back(summarise(v));
    if (!P.sums.back().sorted.empty()) {
      P.lo = std::min(P.lo, P.sums.back().sorted.front());
      P.hi = std::max(P.hi, P.sums.back().sorted.back());
    }
  }
  if (p.shared_y && std::isfinite(L.shared_lo)) P.lo = L.shared_lo, P.hi = L.shared_hi;
  if (!std::isfinite(P.lo)) P.lo = 0, P.hi = 1;
  if (P.hi - P.lo < 1e-12) P.hi = P.lo + 1;
  P.levels = bracket_levels(panel.brackets);
  size_t n_levels = 0;
  for (size_t l : P.levels) n_levels = std::max(n_levels, l + 1);

  P.plot.x = P.cx0 + L.tick_w;
  P.plot.w = L.cell_w - L.tick_w - c.px(10);
  P.bracket_step = c.measure("*", kStarStyle).h + c.px(5);
  P.plot.y = P.cy0 + title_h + n_levels * P.bracket_step + c.px(2);
  P.plot.h = L.cell_h - (P.plot.y - P.cy0) - L.labels_h - L.counts_h - c.px(6);
  P.plot.h = std::max(P.plot.h, c.px(30));
  // The axis covers the data only, with a little room; the brackets sit above it.
  const double span = P.hi - P.lo;
  P.y_lo = P.lo - span * 0.04, P.y_hi = P.hi + span * 0.04;
  const size_t ng = p.groups.size();
  P.gslot = P.plot.w / std::max<size_t>(ng, 1);
  P.half = std::min(P.gslot * 0.4, c.inch(0.45));
  return P;
}

void draw_panel_title(Canvas& c, const FigureLayout& L, const PanelLayout& P) {
  for (size_t l = 0; l < P.title_lines.size(); ++l)
    c.text(P.cx0 + L.cell_w / 2, P.cy0 + l * P.title_line_h, P.title_lines[l],
           l == 0 ? kPanelTitle : kPanelSubtitle, 0.5, 0, 0, L.cell_w - c.px(8));
}

// Grid lines and tick labels (on one scale, the first column's only), then the axes.
void draw_value_axis(Canvas& c, const GroupComparisonPlot& p, const FigureLayout& L,
                     const PanelLayout& P, size_t k) {
  const Rect& plot = P.plot;
  const auto ticks = nice_ticks(P.lo, P.hi, 4);
  const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : 1;
  for (double t : ticks) {
    if (t < P.y_lo - 1e-12 || t > P.y_hi + 1e-12) continue;
    c.line(plot.x, P.ypx(t), plot.right(), P.ypx(t), kGrid, c.px(0.5));
    if (!p.shared_y || k % L.ncols == 0)
      c.text(plot.x - c.px(4), P.ypx(t), tick_label(t, step), kTickStyle, 1, 0.5);
  }
  c.line(plot.x, plot.y, plot.x, plot.bottom(), kAxis, c.px(0.8));
  c.line(plot.x, plot.bottom(), plot.right(), plot.bottom(), kAxis, c.px(0.8));
}

// A violin: the density outline (or a flat mark when all values are equal), the inner
// quartile bar and whiskers, and the median as a white dot.
void draw_violin(Canvas& c, const PanelLayout& P, const Summary& s, double gx, const Rgb& col) {
  const double vlo = s.sorted.front(), vhi = s.sorted.back();
  const size_t n = 96;
  const std::vector<double> d = density(s.sorted, vlo, vhi, n);
  const double dmax = *std::max_element(d.begin(), d.end());
  if (dmax > 0) {
    cairo_new_path(c.cr());
    for (size_t i = 0; i < n; ++i) {
      const double v = vlo + (vhi - vlo) * i / (n - 1.0);
      cairo_line_to(c.cr(), gx - P.half * d[i] / dmax, P.ypx(v));
    }
    for (size_t i = n; i-- > 0;) {
      const double v = vlo + (vhi - vlo) * i / (n - 1.0);
      cairo_line_to(c.cr(), gx + P.half * d[i] / dmax, P.ypx(v));
    }
    cairo_close_path(c.cr());
    c.set_color(col, 0.75);
    cairo_fill_preserve(c.cr());
    c.set_color(darker(col));
    cairo_set_line_width(c.cr(), c.px(0.7));
    cairo_stroke(c.cr());
  } else {  // all values equal: a flat mark at that value
    c.line(gx - P.half, P.ypx(vlo), gx + P.half, P.ypx(vlo), darker(col), c.px(1.4));
  }
  c.line(gx, P.ypx(s.q1), gx, P.ypx(s.q3), Rgb{0.12, 0.12, 0.12}, c.px(3.2));
  c.line(gx, P.ypx(s.lo), gx, P.ypx(s.hi), Rgb{0.12, 0.12, 0.12}, c.px(0.8));
  const Rgb white{1, 1, 1};
  circle(c, gx, P.ypx(s.median), c.px(1.9), white, 1.0);
}

// A box: whiskers with caps, the quartile box, the median line, and (when the points are
// not drawn) the outliers as open circles.
void draw_box(Canvas& c, const GroupComparisonPlot& p, const PanelLayout& P, const Summary& s,
              double gx, const Rgb& col) {
  const double bw = P.half * 0.9;
  const double yq1 = P.ypx(s.q1), yq3 = P.ypx(s.q3);
  c.line(gx, P.ypx(s.lo), gx, yq1, kInk, c.px(0.8));
  c.line(gx, yq3, gx, P.ypx(s.hi), kInk, c.px(0.8));
  c.line(gx - bw * 0.4, P.ypx(s.lo), gx + bw * 0.4, P.ypx(s.lo), kInk, c.px(0.8));
  c.line(gx - bw * 0.4, P.ypx(s.hi), gx + bw * 0.4, P.ypx(s.hi), kInk, c.px(0.8));
  c.fill_rect(Rect{gx - bw, yq3, 2 * bw, std::max(yq1 - yq3, c.px(0.8))}, col, 0.45);
  c.stroke_rect(Rect{gx - bw, yq3, 2 * bw, std::max(yq1 - yq3, c.px(0.8))}, kInk, c.px(0.8));
  c.line(gx - bw, P.ypx(s.median), gx + bw, P.ypx(s.median), kInk, c.px(1.6));
  if (!p.show_points) {
    const Rgb none{1, 1, 1};
    for (double v : s.sorted)
      if (v < s.lo || v > s.hi) circle(c, gx, P.ypx(v), c.px(1.6), none, 1.0, &kInk);
  }
}

// The values as points with a deterministic jitter; large groups are thinned to an even
// sample.
void draw_points(Canvas& c, const PanelLayout& P, const std::vector<double>& raw, size_t g,
                 double gx, const Rgb& col) {
  const size_t stride = std::max<size_t>(1, raw.size() / 1500);
  const double r = raw.size() > 200 ? c.px(0.9) : c.px(2.2);
  const Rgb edge = darker(col, 0.45);
  uint64_t h = 0x9E3779B97F4A7C15ull * (g + 1);
  for (size_t i = 0; i < raw.size(); i += stride) {
    if (!std::isfinite(raw[i])) continue;
    h ^= h << 13, h ^= h >> 7, h ^= h << 17;
    const double j = (static_cast<double>(h % 10000) / 10000.0 - 0.5) * P.half * 0.9;
    circle(c, gx + j, P.ypx(raw[i]), r, col, raw.size() > 200 ? 0.35 : 0.95,
           raw.size() > 200 ? nullptr : &edge);
  }
}

// One group's marks, then its label and the number of values under it.
void draw_group(Canvas& c, const GroupComparisonPlot& p, const FigureLayout& L,
                const PanelLayout& P, size_t k, size_t g) {
  const Summary& s = P.sums[g];
  const double gx = P.gx(g);
  const Rgb col = group_color(p, g);
  if (!s.sorted.empty()) {
    // Fewer values than a box needs: the points and their median; a box would invent quartiles.
    const bool few = p.kind == GroupComparisonPlot::Kind::Box && s.sorted.size() < kMinBoxValues;
    if (p.kind == GroupComparisonPlot::Kind::Violin) {
      draw_violin(c, P, s, gx, col);
    } else if (few) {
      const double bw = P.half * 0.6;
      c.line(gx - bw, P.ypx(s.median), gx + bw, P.ypx(s.median), kInk, c.px(2.0));
    } else {
      draw_box(c, p, P, s, gx, col);
    }
    if (p.show_points || few) draw_points(c, P, p.panels[k].values[g], g, gx, col);
  }
  const double y = P.plot.bottom() + c.px(4);
  if (L.slant)
    c.text(gx + c.px(3), y, p.groups[g], kTickStyle, 1, 0, L.angle, L.max_label_w);
  else
    c.text(gx, y, p.groups[g], kTickStyle, 0.5, 0, 0, P.gslot);
  c.text(gx, P.plot.bottom() + L.labels_h + c.px(2), "n=" + std::to_string(s.sorted.size()),
         kNoteStyle, 0.5, 0);
}

// Brackets between compared groups, stacked on their levels above the plot.
void draw_brackets(Canvas& c, const GroupPanel& panel, const PanelLayout& P) {
  for (size_t b = 0; b < panel.brackets.size(); ++b) {
    const auto& br = panel.brackets[b];
    const double xa = P.plot.x + P.gslot * (std::min(br.a, br.b) + 0.5) + c.px(2);
    const double xb = P.plot.x + P.gslot * (std::max(br.a, br.b) + 0.5) - c.px(2);
    const double y = P.plot.y - c.px(3) - P.levels[b] * P.bracket_step;
    c.line(xa, y, xb, y, kInk, c.px(0.8));
    c.line(xa, y, xa, y + c.px(3), kInk, c.px(0.8));
    c.line(xb, y, xb, y + c.px(3), kInk, c.px(0.8));
    c.text((xa + xb) / 2, y - c.px(0.5), br.label,
           br.label == "ns" || br.label == "n/a" ? kNoteStyle : kStarStyle, 0.5, 1);
  }
}

void draw_panel(Canvas& c, const GroupComparisonPlot& p, const FigureLayout& L, size_t k) {
  const PanelLayout P = panel_layout(c, p, L, k);
  draw_panel_title(c, L, P);
  draw_value_axis(c, p, L, P, k);
  for (size_t g = 0; g < p.groups.size(); ++g) draw_group(c, p, L, P, k, g);
  draw_brackets(c, p.panels[k], P);
}

// The value axis's name down the left, the footnote's lines along the bottom.
void draw_margins(Canvas& c, const GroupComparisonPlot& p, const FigureLayout& L) {
  if (!p.y_label.empty())
    c.text(L.pad, L.area_y + L.area_h / 2, p.y_label, kAxisStyle, 0.5, 0, 90, L.area_h);
  for (size_t i = 0; i < L.foot_lines.size(); ++i)
    c.text(L.pad, c.height() - L.pad - L.foot_h + c.px(4) + i * L.foot_line_h, L.foot_lines[i],
           kNoteStyle, 0, 0, 0, c.width() - 2 * L.pad);
}

}  // namespace

std::string render_group_comparison_png(const GroupComparisonPlot& p) {
  validate(p);
  Canvas c(p.size);
  const double top = c.header(p.title, p.subtitle);
  if (p.panels.empty()) {
    c.text(c.width() / 2, (top + c.height()) / 2, "No values to show",
           TextStyle{11, false, false, kMuted}, 0.5, 0.5);
    return c.finish();
  }
  const FigureLayout L = figure_layout(c, p, top);
  for (size_t k = 0; k < p.panels.size(); ++k) draw_panel(c, p, L, k);
  draw_margins(c, p, L);
  return c.finish();
}

}  // namespace norvex::plotting
