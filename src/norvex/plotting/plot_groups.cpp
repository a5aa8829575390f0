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

}  // namespace

std::string render_group_comparison_png(const GroupComparisonPlot& p) {
  const size_t ng = p.groups.size(), np = p.panels.size();
  for (auto& panel : p.panels) {
    if (panel.values.size() != ng)
      throw ValueError("group comparison: one value list per group is needed in every panel");
    for (auto& b : panel.brackets)
      if (b.a >= ng || b.b >= ng) throw ValueError("group comparison: bracket out of range");
  }
  auto color_of = [&](size_t g) {
    return g < p.group_colors.size() ? p.group_colors[g] : categorical_color(g);
  };

  Canvas c(p.size);
  const double pad = c.inch(0.14);
  const double top = c.header(p.title, p.subtitle);
  const TextStyle tick{8.5}, axis{10}, ptitle{9.5, true}, note{7.5, false, false, kMuted},
      star{8.5, true};
  std::vector<std::string> foot_lines;
  for (size_t a = 0; a <= p.footnote.size() && !p.footnote.empty();) {
    size_t b = p.footnote.find('\n', a);
    if (b == std::string::npos) b = p.footnote.size();
    foot_lines.push_back(p.footnote.substr(a, b - a));
    a = b + 1;
  }
  const double foot_line_h = c.measure("Ag", note).h;
  const double foot_h = foot_lines.size() * foot_line_h + (foot_lines.empty() ? 0 : c.px(4));
  const double ylabel_w = p.y_label.empty() ? 0 : c.measure(p.y_label, axis).h + c.px(6);

  if (np == 0) {
    c.text(c.width() / 2, (top + c.height()) / 2, "No values to show",
           TextStyle{11, false, false, kMuted}, 0.5, 0.5);
    return c.finish();
  }
  // Panels in a grid wide enough for the group labels.
  const double area_x = pad + ylabel_w, area_w = c.width() - area_x - pad;
  const double area_y = top, area_h = c.height() - top - pad - foot_h;
  const double min_panel_w = std::max(c.inch(1.6), c.inch(0.55) * ng + c.inch(0.5));
  const size_t max_cols = std::clamp<size_t>(static_cast<size_t>(area_w / min_panel_w), 1, np);
  // Balanced rows: five panels as 3 + 2, not 4 + 1.
  const size_t nrows = (np + max_cols - 1) / max_cols;
  const size_t ncols = (np + nrows - 1) / nrows;
  const double cell_w = area_w / ncols, cell_h = area_h / nrows;

  double label_w = 0;
  for (auto& g : p.groups) label_w = std::max(label_w, c.measure(g, tick).w);
  const double tick_w = c.measure("00.00", tick).w + c.px(6);
  const double slot = (cell_w - tick_w - c.px(10)) / std::max<size_t>(ng, 1);
  const bool slant = label_w > slot * 0.95;
  const double angle = 35, label_h = c.measure("Ag", tick).h;
  const double max_label_w = cell_h * 0.28;
  const double labels_h =
      slant ? std::min(label_w, max_label_w) * std::sin(angle * M_PI / 180) + label_h + c.px(6)
            : label_h + c.px(4);
  const double counts_h = c.measure("n=1", note).h + c.px(2);

  // The common range of panels on one scale.
  double shared_lo = INFINITY, shared_hi = -INFINITY;
  if (p.shared_y)
    for (const auto& panel : p.panels)
      for (const auto& vs : panel.values)
        for (double v : vs)
          if (std::isfinite(v))
            shared_lo = std::min(shared_lo, v), shared_hi = std::max(shared_hi, v);

  for (size_t k = 0; k < np; ++k) {
    const GroupPanel& panel = p.panels[k];
    const double cx0 = area_x + cell_w * (k % ncols), cy0 = area_y + cell_h * (k / ncols);
    // A title may have a second line (e.g. the cell types of an interaction).
    std::vector<std::string> title_lines;
    for (size_t a = 0; a <= panel.title.size();) {
      const size_t b = std::min(panel.title.find('\n', a), panel.title.size());
      title_lines.push_back(panel.title.substr(a, b - a));
      a = b + 1;
    }
    const double line_h = c.measure("Ag", ptitle).h;
    for (size_t l = 0; l < title_lines.size(); ++l)
      c.text(cx0 + cell_w / 2, cy0 + l * line_h, title_lines[l],
             l == 0 ? ptitle : TextStyle{8.5, false, false, kMuted}, 0.5, 0, 0, cell_w - c.px(8));
    const double title_h = title_lines.size() * line_h + c.px(4);

    std::vector<Summary> sums;
    double lo = INFINITY, hi = -INFINITY;
    for (auto& v : panel.values) {
      sums.push_back(summarise(v));
      if (!sums.back().sorted.empty()) {
        lo = std::min(lo, sums.back().sorted.front());
        hi = std::max(hi, sums.back().sorted.back());
      }
    }
    if (p.shared_y && std::isfinite(shared_lo)) lo = shared_lo, hi = shared_hi;
    if (!std::isfinite(lo)) lo = 0, hi = 1;
    if (hi - lo < 1e-12) hi = lo + 1;
    const std::vector<size_t> levels = bracket_levels(panel.brackets);
    size_t n_levels = 0;
    for (size_t l : levels) n_levels = std::max(n_levels, l + 1);

    Rect plot;
    plot.x = cx0 + tick_w;
    plot.w = cell_w - tick_w - c.px(10);
    const double bracket_step = c.measure("*", star).h + c.px(5);
    plot.y = cy0 + title_h + n_levels * bracket_step + c.px(2);
    plot.h = cell_h - (plot.y - cy0) - labels_h - counts_h - c.px(6);
    plot.h = std::max(plot.h, c.px(30));
    // The axis covers the data only, with a little room; the brackets sit above it.
    const double span = hi - lo;
    const double y_lo = lo - span * 0.04, y_hi = hi + span * 0.04;
    auto ypx = [&](double v) { return plot.bottom() - (v - y_lo) / (y_hi - y_lo) * plot.h; };
    const auto ticks = nice_ticks(lo, hi, 4);
    const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : 1;
    for (double t : ticks) {
      if (t < y_lo - 1e-12 || t > y_hi + 1e-12) continue;
      c.line(plot.x, ypx(t), plot.right(), ypx(t), kGrid, c.px(0.5));
      if (!p.shared_y || k % ncols == 0)
        c.text(plot.x - c.px(4), ypx(t), tick_label(t, step), tick, 1, 0.5);
    }
    c.line(plot.x, plot.y, plot.x, plot.bottom(), kAxis, c.px(0.8));
    c.line(plot.x, plot.bottom(), plot.right(), plot.bottom(), kAxis, c.px(0.8));

    const double gslot = plot.w / std::max<size_t>(ng, 1);
    const double half = std::min(gslot * 0.4, c.inch(0.45));
    for (size_t g = 0; g < ng; ++g) {
      const Summary& s = sums[g];
      const double gx = plot.x + gslot * (g + 0.5);
      const Rgb col = color_of(g);
      if (!s.sorted.empty()) {
        const double vlo = s.sorted.front(), vhi = s.sorted.back();
        if (p.kind == GroupComparisonPlot::Kind::Violin) {
          const size_t n = 96;
          const std::vector<double> d = density(s.sorted, vlo, vhi, n);
          const double dmax = *std::max_element(d.begin(), d.end());
          if (dmax > 0) {
            cairo_new_path(c.cr());
            for (size_t i = 0; i < n; ++i) {
              const double v = vlo + (vhi - vlo) * i / (n - 1.0);
              cairo_line_to(c.cr(), gx - half * d[i] / dmax, ypx(v));
            }
            for (size_t i = n; i-- > 0;) {
              const double v = vlo + (vhi - vlo) * i / (n - 1.0);
              cairo_line_to(c.cr(), gx + half * d[i] / dmax, ypx(v));
            }
            cairo_close_path(c.cr());
            c.set_color(col, 0.75);
            cairo_fill_preserve(c.cr());
            c.set_color(darker(col));
            cairo_set_line_width(c.cr(), c.px(0.7));
            cairo_stroke(c.cr());
          } else {  // all values equal: a flat mark at that value
            c.line(gx - half, ypx(vlo), gx + half, ypx(vlo), darker(col), c.px(1.4));
          }
          c.line(gx, ypx(s.q1), gx, ypx(s.q3), Rgb{0.12, 0.12, 0.12}, c.px(3.2));
          c.line(gx, ypx(s.lo), gx, ypx(s.hi), Rgb{0.12, 0.12, 0.12}, c.px(0.8));
          const Rgb white{1, 1, 1};
          circle(c, gx, ypx(s.median), c.px(1.9), white, 1.0);
        } else if (s.sorted.size() < kMinBoxValues) {
          // The points (drawn below) and their median; a box would invent quartiles.
          const double bw = half * 0.6;
          c.line(gx - bw, ypx(s.median), gx + bw, ypx(s.median), kInk, c.px(2.0));
        } else {
          const double bw = half * 0.9;
          const double yq1 = ypx(s.q1), yq3 = ypx(s.q3);
          c.line(gx, ypx(s.lo), gx, yq1, kInk, c.px(0.8));
          c.line(gx, yq3, gx, ypx(s.hi), kInk, c.px(0.8));
          c.line(gx - bw * 0.4, ypx(s.lo), gx + bw * 0.4, ypx(s.lo), kInk, c.px(0.8));
          c.line(gx - bw * 0.4, ypx(s.hi), gx + bw * 0.4, ypx(s.hi), kInk, c.px(0.8));
          c.fill_rect(Rect{gx - bw, yq3, 2 * bw, std::max(yq1 - yq3, c.px(0.8))}, col, 0.45);
          c.stroke_rect(Rect{gx - bw, yq3, 2 * bw, std::max(yq1 - yq3, c.px(0.8))}, kInk,
                        c.px(0.8));
          c.line(gx - bw, ypx(s.median), gx + bw, ypx(s.median), kInk, c.px(1.6));
          if (!p.show_points) {
            const Rgb none{1, 1, 1};
            for (double v : s.sorted)
              if (v < s.lo || v > s.hi) circle(c, gx, ypx(v), c.px(1.6), none, 1.0, &kInk);
          }
        }
        const bool few =
            p.kind == GroupComparisonPlot::Kind::Box && s.sorted.size() < kMinBoxValues;
        if (p.show_points || few) {
          // Deterministic jitter; large groups are thinned to an even sample.
          const std::vector<double>& raw = panel.values[g];
          const size_t stride = std::max<size_t>(1, raw.size() / 1500);
          const double r = raw.size() > 200 ? c.px(0.9) : c.px(2.2);
          const Rgb edge = darker(col, 0.45);
          uint64_t h = 0x9E3779B97F4A7C15ull * (g + 1);
          for (size_t i = 0; i < raw.size(); i += stride) {
            if (!std::isfinite(raw[i])) continue;
            h ^= h << 13, h ^= h >> 7, h ^= h << 17;
            const double j = (static_cast<double>(h % 10000) / 10000.0 - 0.5) * half * 0.9;
            circle(c, gx + j, ypx(raw[i]), r, col, raw.size() > 200 ? 0.35 : 0.95,
                   raw.size() > 200 ? nullptr : &edge);
          }
        }
      }
      // Group label and the number of values under it.
      if (slant)
        c.text(gx + c.px(3), plot.bottom() + c.px(4), p.groups[g], tick, 1, 0, angle, max_label_w);
      else
        c.text(gx, plot.bottom() + c.px(4), p.groups[g], tick, 0.5, 0, 0, gslot);
      c.text(gx, plot.bottom() + labels_h + c.px(2), "n=" + std::to_string(s.sorted.size()), note,
             0.5, 0);
    }
    for (size_t b = 0; b < panel.brackets.size(); ++b) {
      const auto& br = panel.brackets[b];
      const double xa = plot.x + gslot * (std::min(br.a, br.b) + 0.5) + c.px(2);
      const double xb = plot.x + gslot * (std::max(br.a, br.b) + 0.5) - c.px(2);
      const double y = plot.y - c.px(3) - levels[b] * bracket_step;
      c.line(xa, y, xb, y, kInk, c.px(0.8));
      c.line(xa, y, xa, y + c.px(3), kInk, c.px(0.8));
      c.line(xb, y, xb, y + c.px(3), kInk, c.px(0.8));
      c.text((xa + xb) / 2, y - c.px(0.5), br.label,
             br.label == "ns" || br.label == "n/a" ? TextStyle{7.5, false, false, kMuted} : star,
             0.5, 1);
    }
  }
  if (!p.y_label.empty()) c.text(pad, area_y + area_h / 2, p.y_label, axis, 0.5, 0, 90, area_h);
  for (size_t i = 0; i < foot_lines.size(); ++i)
    c.text(pad, c.height() - pad - foot_h + c.px(4) + i * foot_line_h, foot_lines[i], note, 0, 0, 0,
           c.width() - 2 * pad);
  return c.finish();
}

}  // namespace norvex::plotting
