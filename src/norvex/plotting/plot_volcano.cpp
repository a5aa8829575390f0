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
}  // namespace

std::string render_volcano_png(const VolcanoPlot& p) {
  const size_t n = p.logfc.size();
  if (p.neglog10_p.size() != n || p.status.size() != n || p.names.size() != n)
    throw ValueError("volcano plot: logfc, p-values, status and names must have equal length");
  for (size_t i : p.labelled)
    if (i >= n) throw ValueError("volcano plot: labelled index out of range");

  Canvas c(p.size);
  const double pad = c.inch(0.14);
  const double top = c.header(p.title, p.subtitle);
  const TextStyle tick{9}, axis{10};

  long long n_up = 0, n_down = 0;
  for (auto s : p.status) n_up += s > 0, n_down += s < 0;
  std::vector<LegendEntry> entries = {
      {p.up_label + " (" + std::to_string(n_up) + ")", kUp},
      {p.down_label + " (" + std::to_string(n_down) + ")", kDown},
      {p.ns_label + " (" + std::to_string(static_cast<long long>(n) - n_up - n_down) + ")", kNs}};

  // Genes detected in only one group get extreme fold changes; the x range follows the
  // significant genes and the bulk of the others, and points beyond sit on the edge.
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
  double xlo = -xr, xhi = xr;
  yhi *= 1.08;
  long long n_beyond = 0;
  for (size_t i = 0; i < n; ++i)
    n_beyond += std::isfinite(p.logfc[i]) && std::isfinite(p.neglog10_p[i]) &&
                (p.logfc[i] < xlo || p.logfc[i] > xhi);
  if (n_beyond > 0)
    entries.push_back({"\u25B8 beyond the axis (" + std::to_string(n_beyond) + ")", kAxis});
  const double legend_w = legend_width(c, "", entries, c.height(), c.width() * 0.3);
  auto xt = nice_ticks(xlo, xhi, 6), yt = nice_ticks(0, yhi, 5);
  double ytw = 0;
  const double ystep = yt.size() > 1 ? yt[1] - yt[0] : 1, xstep = xt.size() > 1 ? xt[1] - xt[0] : 1;
  for (double t : yt) ytw = std::max(ytw, c.measure(tick_label(t, ystep), tick).w);

  Rect plot;
  plot.x = pad + c.measure(p.y_label, axis).h + c.px(6) + ytw + c.px(6);
  plot.y = top;
  plot.w = c.width() - plot.x - pad - legend_w - c.px(16);
  plot.h = c.height() - top - pad - c.measure(p.x_label, axis).h - c.measure("0", tick).h - c.px(8);
  auto X = [&](double v) {
    v = std::clamp(v, xlo + (xhi - xlo) * 0.005, xhi - (xhi - xlo) * 0.005);
    return plot.x + (v - xlo) / (xhi - xlo) * plot.w;
  };
  auto Y = [&](double v) { return plot.bottom() - v / yhi * plot.h; };

  for (double t : xt) {
    if (t < xlo || t > xhi) continue;
    c.line(X(t), plot.y, X(t), plot.bottom(), kGrid, c.px(0.6));
    c.text(X(t), plot.bottom() + c.px(3), tick_label(t, xstep), tick, 0.5, 0);
  }
  for (double t : yt) {
    if (t > yhi) continue;
    c.line(plot.x, Y(t), plot.right(), Y(t), kGrid, c.px(0.6));
    c.text(plot.x - c.px(4), Y(t), tick_label(t, ystep), tick, 1, 0.5);
  }
  c.line(X(p.lfc_threshold), plot.y, X(p.lfc_threshold), plot.bottom(), kAxis, c.px(0.7), true);
  c.line(X(-p.lfc_threshold), plot.y, X(-p.lfc_threshold), plot.bottom(), kAxis, c.px(0.7), true);
  if (p.p_threshold_neglog10 > 0 && p.p_threshold_neglog10 < yhi)
    c.line(plot.x, Y(p.p_threshold_neglog10), plot.right(), Y(p.p_threshold_neglog10), kAxis,
           c.px(0.7), true);

  const double r = n > 5000 ? c.px(1.3) : c.px(1.9);
  cairo_t* cr = c.cr();
  cairo_save(cr);
  cairo_rectangle(cr, plot.x, plot.y, plot.w, plot.h);
  cairo_clip(cr);
  // Points beyond the x range sit on the edge as triangles pointing the way they lie.
  auto beyond = [&](size_t i) { return p.logfc[i] < xlo || p.logfc[i] > xhi; };
  for (int pass : {0, -1, 1}) {
    const Rgb col = pass == 0 ? kNs : (pass > 0 ? kUp : kDown);
    c.set_color(col, pass == 0 ? 0.6 : 0.85);
    for (size_t i = 0; i < n; ++i) {
      if (p.status[i] != pass || !std::isfinite(p.logfc[i]) || !std::isfinite(p.neglog10_p[i]))
        continue;
      const double x = X(p.logfc[i]), y = Y(p.neglog10_p[i]);
      if (beyond(i)) {
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
  c.stroke_rect(plot, kAxis, c.px(0.8));

  // Labels: most significant first, each at the first free spot around its point.
  std::vector<size_t> order = p.labelled;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return p.neglog10_p[a] > p.neglog10_p[b]; });
  std::vector<Rect> taken;
  const TextStyle lab{8.5, false, true};
  for (size_t i : order) {
    if (!std::isfinite(p.logfc[i]) || !std::isfinite(p.neglog10_p[i])) continue;
    const double px_ = X(p.logfc[i]), py_ = Y(p.neglog10_p[i]);
    TextSize ts = c.measure(p.names[i], lab);
    const double gap = c.px(3);
    bool placed = false;
    for (int ring = 0; ring < 6 && !placed; ++ring) {
      const double d = gap + ring * ts.h * 0.8;
      const double side = p.logfc[i] >= 0 ? 1 : -1;
      const double near_x = side > 0 ? px_ + d : px_ - d - ts.w;
      const double far_x = side > 0 ? px_ - d - ts.w : px_ + d;
      const std::vector<std::pair<double, double>> spots = {
          {near_x, py_ - ts.h / 2}, {near_x, py_ - ts.h - d / 2},
          {near_x, py_ + d / 2},    {px_ - ts.w / 2, py_ - ts.h - d},
          {far_x, py_ - ts.h / 2},  {px_ - ts.w / 2, py_ + d}};
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
        placed = true;
        break;
      }
    }
  }

  c.text(plot.x + plot.w / 2, c.height() - pad, p.x_label, axis, 0.5, 1);
  c.text(pad, plot.y + plot.h / 2, p.y_label, axis, 0.5, 0, 90);
  draw_legend(c, plot.right() + c.px(16), plot.y, "", entries, Swatch::Circle, plot.h,
              c.width() * 0.3);
  return c.finish();
}

}  // namespace norvex::plotting
