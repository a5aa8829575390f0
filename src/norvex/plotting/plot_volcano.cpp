// Volcano plots with non-overlapping gene labels.
#include <algorithm>
#include <cmath>

#include "norvex/common/errors.hpp"
#include "norvex/plotting/plot_canvas.hpp"

namespace norvex::plotting {

using namespace detail;

namespace {
const Rgb kUp{0.835, 0.369, 0.0};
const Rgb kDown{0.0, 0.447, 0.698};
const Rgb kNs{0.70, 0.70, 0.72};

bool overlaps(const Rect& a, const Rect& b) {
  return a.x < b.right() && b.x < a.right() && a.y < b.bottom() && b.y < a.bottom();
}

const TextStyle kTick{9}, kAxisStyle{10};

bool finite_point(const VolcanoPlot& p, size_t i) {
  return std::isfinite(p.logfc[i]) && std::isfinite(p.neglog10_p[i]);
}

void check_lengths(const VolcanoPlot& p) {
  const size_t n = p.logfc.size();
  if (p.neglog10_p.size() != n || p.status.size() != n || p.names.size() != n)
    throw ValueError("volcano plot: logfc, p-values, status and names must have equal length");
  for (size_t i : p.labelled)
    if (i >= n) throw ValueError("volcano plot: labelled index out of range");
}

// Where everything goes: the data ranges and their ticks, the plot area, the legend.
struct VolcanoLayout {
  double xlo = 0, xhi = 0, yhi = 1;
  std::vector<double> xt, yt;
  double xstep = 1, ystep = 1;
  std::vector<LegendEntry> entries;
  Rect plot;

  // Points beyond the x range are drawn on its edge.
  bool beyond(double lfc) const { return lfc < xlo || lfc > xhi; }
  double X(double v) const {
    v = std::clamp(v, xlo + (xhi - xlo) * 0.005, xhi - (xhi - xlo) * 0.005);
    return plot.x + (v - xlo) / (xhi - xlo) * plot.w;
  }
  double Y(double v) const { return plot.bottom() - v / yhi * plot.h; }
};

// Genes detected in only one group get extreme fold changes; the x range follows the
// significant genes and the bulk of the others, and points beyond sit on the edge.
void set_ranges(const VolcanoPlot& p, VolcanoLayout& l) {
  const size_t n = p.logfc.size();
  double yhi = 1;
  std::vector<double> abs_lfc;
  double sig_max = 1;
  for (size_t i = 0; i < n; ++i) {
    if (std::isfinite(p.neglog10_p[i])) yhi = std::max(yhi, p.neglog10_p[i]);
    if (!std::isfinite(p.logfc[i])) continue;
    abs_lfc.push_back(std::fabs(p.logfc[i]));
    if (p.status[i] != 0) sig_max = std::max(sig_max, std::fabs(p.logfc[i]));
  }
  double bulk = 1;
  if (!abs_lfc.empty()) {
    size_t k = static_cast<size_t>(0.9 * (abs_lfc.size() - 1));
    std::nth_element(abs_lfc.begin(), abs_lfc.begin() + k, abs_lfc.end());
    bulk = abs_lfc[k];
  }
  for (size_t i : p.labelled)
    if (std::isfinite(p.logfc[i])) sig_max = std::max(sig_max, std::fabs(p.logfc[i]));
  const double xr = std::max({sig_max, bulk, p.lfc_threshold * 2, 1.0}) * 1.1;
  l.xlo = -xr, l.xhi = xr;
  l.yhi = yhi * 1.08;
}

// Counts per status, and how many points sit on the edge beyond the axis.
std::vector<LegendEntry> legend_entries(const VolcanoPlot& p, const VolcanoLayout& l) {
  const size_t n = p.logfc.size();
  long long n_up = 0, n_down = 0;
  for (auto s : p.status) n_up += s > 0, n_down += s < 0;
  std::vector<LegendEntry> entries = {
      {p.up_label + " (" + std::to_string(n_up) + ")", kUp},
      {p.down_label + " (" + std::to_string(n_down) + ")", kDown},
      {p.ns_label + " (" + std::to_string(static_cast<long long>(n) - n_up - n_down) + ")", kNs}};
  long long n_beyond = 0;
  for (size_t i = 0; i < n; ++i) n_beyond += finite_point(p, i) && l.beyond(p.logfc[i]);
  if (n_beyond > 0)
    entries.push_back({"\u25B8 beyond the axis (" + std::to_string(n_beyond) + ")", kAxis});
  return entries;
}

VolcanoLayout volcano_layout(const Canvas& c, const VolcanoPlot& p, double top) {
  const double pad = c.inch(0.14);
  VolcanoLayout l;
  set_ranges(p, l);
  l.entries = legend_entries(p, l);
  const double legend_w = legend_width(c, "", l.entries, c.height(), c.width() * 0.3);
  l.xt = nice_ticks(l.xlo, l.xhi, 6), l.yt = nice_ticks(0, l.yhi, 5);
  double ytw = 0;
  l.ystep = l.yt.size() > 1 ? l.yt[1] - l.yt[0] : 1;
  l.xstep = l.xt.size() > 1 ? l.xt[1] - l.xt[0] : 1;
  for (double t : l.yt) ytw = std::max(ytw, c.measure(tick_label(t, l.ystep), kTick).w);

  l.plot.x = pad + c.measure(p.y_label, kAxisStyle).h + c.px(6) + ytw + c.px(6);
  l.plot.y = top;
  l.plot.w = c.width() - l.plot.x - pad - legend_w - c.px(16);
  l.plot.h = c.height() - top - pad - c.measure(p.x_label, kAxisStyle).h - c.measure("0", kTick).h -
             c.px(8);
  return l;
}

// Grid with tick labels, and the dashed fold-change and p-value thresholds.
void draw_grid(Canvas& c, const VolcanoPlot& p, const VolcanoLayout& l) {
  const Rect& plot = l.plot;
  for (double t : l.xt) {
    if (t < l.xlo || t > l.xhi) continue;
    c.line(l.X(t), plot.y, l.X(t), plot.bottom(), kGrid, c.px(0.6));
    c.text(l.X(t), plot.bottom() + c.px(3), tick_label(t, l.xstep), kTick, 0.5, 0);
  }
  for (double t : l.yt) {
    if (t > l.yhi) continue;
    c.line(plot.x, l.Y(t), plot.right(), l.Y(t), kGrid, c.px(0.6));
    c.text(plot.x - c.px(4), l.Y(t), tick_label(t, l.ystep), kTick, 1, 0.5);
  }
  const double lt = p.lfc_threshold;
  c.line(l.X(lt), plot.y, l.X(lt), plot.bottom(), kAxis, c.px(0.7), true);
  c.line(l.X(-lt), plot.y, l.X(-lt), plot.bottom(), kAxis, c.px(0.7), true);
  if (p.p_threshold_neglog10 > 0 && p.p_threshold_neglog10 < l.yhi)
    c.line(plot.x, l.Y(p.p_threshold_neglog10), plot.right(), l.Y(p.p_threshold_neglog10), kAxis,
           c.px(0.7), true);
}

// Not significant first, so the coloured points stay on top; one path per status.
void draw_points(Canvas& c, const VolcanoPlot& p, const VolcanoLayout& l) {
  const size_t n = p.logfc.size();
  const double r = n > 5000 ? c.px(1.3) : c.px(1.9);
  cairo_t* cr = c.cr();
  cairo_save(cr);
  cairo_rectangle(cr, l.plot.x, l.plot.y, l.plot.w, l.plot.h);
  cairo_clip(cr);
  for (int pass : {0, -1, 1}) {
    const Rgb col = pass == 0 ? kNs : (pass > 0 ? kUp : kDown);
    c.set_color(col, pass == 0 ? 0.6 : 0.85);
    for (size_t i = 0; i < n; ++i) {
      if (p.status[i] != pass || !finite_point(p, i)) continue;
      const double x = l.X(p.logfc[i]), y = l.Y(p.neglog10_p[i]);
      if (l.beyond(p.logfc[i])) {
        // Points beyond the x range sit on the edge as triangles pointing the way they lie.
        const double dir = p.logfc[i] > 0 ? 1 : -1, t = r * 1.9;
        cairo_move_to(cr, x + dir * t * 0.5, y);
        cairo_line_to(cr, x - dir * t * 0.5, y - t * 0.6);
        cairo_line_to(cr, x - dir * t * 0.5, y + t * 0.6);
        cairo_close_path(cr);
      } else {
        cairo_new_sub_path(cr);
        cairo_arc(cr, x, y, r, 0, 2 * M_PI);
      }
    }
    cairo_fill(cr);
  }
  cairo_restore(cr);
  c.stroke_rect(l.plot, kAxis, c.px(0.8));
}

// Places one gene's label at the first free spot in rings around its point, with a leader
// line when it sits away from the point; false when no spot inside the plot is free.
bool place_label(Canvas& c, const VolcanoPlot& p, const VolcanoLayout& l, size_t i,
                 std::vector<Rect>& taken) {
  const TextStyle lab{8.5, false, true};
  const Rect& plot = l.plot;
  const double px_ = l.X(p.logfc[i]), py_ = l.Y(p.neglog10_p[i]);
  TextSize ts = c.measure(p.names[i], lab);
  const double gap = c.px(3);
  for (int ring = 0; ring < 6; ++ring) {
    const double d = gap + ring * ts.h * 0.8;
    const double side = p.logfc[i] >= 0 ? 1 : -1;
    const double near_x = side > 0 ? px_ + d : px_ - d - ts.w;
    const double far_x = side > 0 ? px_ - d - ts.w : px_ + d;
    const std::vector<std::pair<double, double>> spots = {
        {near_x, py_ - ts.h / 2},         {near_x, py_ - ts.h - d / 2}, {near_x, py_ + d / 2},
        {px_ - ts.w / 2, py_ - ts.h - d}, {far_x, py_ - ts.h / 2},      {px_ - ts.w / 2, py_ + d}};
    for (auto [lx, ly] : spots) {
      // Italic glyphs overhang their logical box a little: a pixel's margin each side.
      Rect box{lx - c.px(0.6), ly, ts.w + c.px(1.2), ts.h};
      if (box.x < plot.x || box.right() > plot.right() || box.y < plot.y ||
          box.bottom() > plot.bottom())
        continue;
      bool clash = false;
      for (auto& t : taken) clash |= overlaps(t, box);
      if (clash) continue;
      taken.push_back(box);
      if (ring > 0) {
        const double ax = std::clamp(px_, lx, lx + ts.w);
        const double ay = std::clamp(py_, ly, ly + ts.h);
        c.line(px_, py_, ax, ay, kMuted, c.px(0.5));
      }
      c.text(lx, ly, p.names[i], lab, 0, 0, 0, -1, true);
      return true;
    }
  }
  return false;
}

// Labels: most significant first, so they get the spots nearest their points.
void draw_labels(Canvas& c, const VolcanoPlot& p, const VolcanoLayout& l) {
  std::vector<size_t> order = p.labelled;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return p.neglog10_p[a] > p.neglog10_p[b]; });
  std::vector<Rect> taken;
  for (size_t i : order)
    if (finite_point(p, i)) place_label(c, p, l, i, taken);
}

}  // namespace

std::string render_volcano_png(const VolcanoPlot& p) {
  check_lengths(p);
  Canvas c(p.size);
  const double pad = c.inch(0.14);
  const double top = c.header(p.title, p.subtitle);
  const VolcanoLayout l = volcano_layout(c, p, top);
  draw_grid(c, p, l);
  draw_points(c, p, l);
  draw_labels(c, p, l);
  c.text(l.plot.x + l.plot.w / 2, c.height() - pad, p.x_label, kAxisStyle, 0.5, 1);
  c.text(pad, l.plot.y + l.plot.h / 2, p.y_label, kAxisStyle, 0.5, 0, 90);
  draw_legend(c, l.plot.right() + c.px(16), l.plot.y, "", l.entries, Swatch::Circle, l.plot.h,
              c.width() * 0.3);
  return c.finish();
}

}  // namespace norvex::plotting
