// Embedding scatter plots: points rasterised straight into a pixel buffer (one cairo path
// per point would take minutes for a million cells), axes, legend or colour bar beside.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "norvex/common/errors.hpp"
#include "norvex/plotting/plot_canvas.hpp"

namespace norvex::plotting {

using namespace detail;

namespace {

uint64_t splitmix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// An opaque RGB pixel buffer in cairo's ARGB32 layout.
class Raster {
 public:
  Raster(int w, int h)
      : w_(w), h_(h), stride_(cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, w)) {
    data_.assign(static_cast<size_t>(stride_) * h_, 0xFF);
  }
  // Antialiased disc: coverage falls off over the last pixel of the radius.
  void disc(double cx, double cy, double r, const Rgb& c, double alpha) {
    const int x0 = std::max(0, static_cast<int>(std::floor(cx - r - 1)));
    const int x1 = std::min(w_ - 1, static_cast<int>(std::ceil(cx + r + 1)));
    const int y0 = std::max(0, static_cast<int>(std::floor(cy - r - 1)));
    const int y1 = std::min(h_ - 1, static_cast<int>(std::ceil(cy + r + 1)));
    const double sr = c.r * 255, sg = c.g * 255, sb = c.b * 255;
    for (int y = y0; y <= y1; ++y) {
      uint32_t* row = reinterpret_cast<uint32_t*>(data_.data() + static_cast<size_t>(y) * stride_);
      const double dy = y + 0.5 - cy;
      for (int x = x0; x <= x1; ++x) {
        const double dx = x + 0.5 - cx;
        const double cov = std::clamp(r + 0.5 - std::sqrt(dx * dx + dy * dy), 0.0, 1.0);
        if (cov <= 0) continue;
        const double a = cov * alpha;
        uint32_t p = row[x];
        double pr = (p >> 16) & 0xFF, pg = (p >> 8) & 0xFF, pb = p & 0xFF;
        pr += (sr - pr) * a;
        pg += (sg - pg) * a;
        pb += (sb - pb) * a;
        row[x] = 0xFF000000u | (static_cast<uint32_t>(pr + 0.5) << 16) |
                 (static_cast<uint32_t>(pg + 0.5) << 8) | static_cast<uint32_t>(pb + 0.5);
      }
    }
  }
  void paint(cairo_t* cr, double x, double y) {
    // A surface owning a copy: the canvas records the drawing and replays it after this
    // buffer is gone.
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w_, h_);
    cairo_surface_flush(s);
    const int dst_stride = cairo_image_surface_get_stride(s);
    unsigned char* dst = cairo_image_surface_get_data(s);
    for (int row = 0; row < h_; ++row)
      std::memcpy(dst + static_cast<size_t>(row) * dst_stride,
                  data_.data() + static_cast<size_t>(row) * stride_, static_cast<size_t>(stride_));
    cairo_surface_mark_dirty(s);
    cairo_set_source_surface(cr, s, x, y);
    cairo_paint(cr);
    cairo_surface_destroy(s);
  }

 private:
  int w_, h_, stride_;
  std::vector<unsigned char> data_;
};

double median(std::vector<float> v) {
  if (v.empty()) return 0;
  size_t k = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + k, v.end());
  return v[k];
}

const Rgb kMissing{0.72, 0.72, 0.72};
const TextStyle kAxisStyle{10};

void check_lengths(const ScatterPlot& p) {
  const size_t n = p.x.size();
  if (p.y.size() != n) throw ValueError("scatter plot: x and y differ in length");
  if (!p.codes.empty() && p.codes.size() != n)
    throw ValueError("scatter plot: one category code per point is needed");
  if (p.codes.empty() && !p.values.empty() && p.values.size() != n)
    throw ValueError("scatter plot: one value per point is needed");
  if (p.background_x.size() != p.background_y.size())
    throw ValueError("scatter plot: background x and y differ in length");
}

Rgb category_color_of(const ScatterPlot& p, size_t k) {
  return k < p.category_colors.size() ? p.category_colors[k] : categorical_color(k);
}

// The colour scale's width; a flat scale colours everything as its low end.
double value_span(const ScatterPlot& p) {
  return p.vmax > p.vmin ? p.vmax - p.vmin : 1.0;
}

// How the points are coloured, and the legend that follows.
struct Coloring {
  bool categorical = false, continuous = false;
  std::vector<long long> counts;  // points per category
  std::vector<LegendEntry> entries;
};

Coloring coloring_of(const ScatterPlot& p) {
  Coloring col;
  col.categorical = !p.codes.empty();
  col.continuous = !col.categorical && !p.values.empty();
  col.counts.assign(p.categories.size(), 0);
  if (!col.categorical) return col;
  // Legend entries: only categories that have points.
  long long n_missing = 0;
  for (int32_t code : p.codes) {
    if (code >= 0 && static_cast<size_t>(code) < col.counts.size())
      ++col.counts[code];
    else
      ++n_missing;
  }
  for (size_t k = 0; k < col.counts.size(); ++k)
    if (col.counts[k]) col.entries.push_back({p.categories[k], category_color_of(p, k)});
  if (n_missing) col.entries.push_back({"NA", kMissing});
  return col;
}

// Data range over all points, 3% margin so edge points are not clipped.
struct DataRange {
  double xmin = INFINITY, xmax = -INFINITY, ymin = INFINITY, ymax = -INFINITY;

  void extend(const std::vector<float>& xs, const std::vector<float>& ys) {
    for (size_t i = 0; i < xs.size(); ++i) {
      if (!std::isfinite(xs[i]) || !std::isfinite(ys[i])) continue;
      xmin = std::min<double>(xmin, xs[i]);
      xmax = std::max<double>(xmax, xs[i]);
      ymin = std::min<double>(ymin, ys[i]);
      ymax = std::max<double>(ymax, ys[i]);
    }
  }
};

DataRange data_range(const ScatterPlot& p) {
  DataRange d;
  d.extend(p.x, p.y);
  d.extend(p.background_x, p.background_y);
  if (!(d.xmax >= d.xmin)) d.xmin = 0, d.xmax = 1, d.ymin = 0, d.ymax = 1;
  if (d.xmax - d.xmin < 1e-9) d.xmin -= 0.5, d.xmax += 0.5;
  if (d.ymax - d.ymin < 1e-9) d.ymin -= 0.5, d.ymax += 0.5;
  const double mx = (d.xmax - d.xmin) * 0.03, my = (d.ymax - d.ymin) * 0.03;
  d.xmin -= mx, d.xmax += mx, d.ymin -= my, d.ymax += my;
  return d;
}

// Where everything goes: the plot area (one raster pixel per canvas pixel), the data range
// it shows, and the column beside it for the legend or colour bar.
struct ScatterLayout {
  Rect plot;
  DataRange range;
  int rw = 0, rh = 0;  // raster size
  double side_x = 0;   // left edge of the legend or colour bar

  // Raster pixel of a data point.
  std::pair<double, double> to_px(double x, double y) const {
    return {(x - range.xmin) / (range.xmax - range.xmin) * rw,
            (1 - (y - range.ymin) / (range.ymax - range.ymin)) * rh};
  }
};

// Width of the legend or colour bar beside the plot; 0 when there is none.
double side_width(const Canvas& c, const ScatterPlot& p, const Coloring& col, double plot_h) {
  if (col.categorical && !p.labels_on_data)
    return legend_width(c, p.legend_title, col.entries, plot_h, c.width() * 0.28);
  if (!col.continuous) return 0;
  TextStyle ts{8.5};
  double lw = std::max(c.measure(tick_label(p.vmax, 0.01), ts).w, c.measure("0.00", ts).w);
  return std::max(c.px(10) + c.px(5) + lw, c.measure(p.colorbar_label, TextStyle{9}).w);
}

ScatterLayout scatter_layout(const Canvas& c, const ScatterPlot& p, const Coloring& col,
                             double top) {
  const double pad = c.inch(0.14);
  const double xlabel_h = c.measure(p.x_label, kAxisStyle).h;
  const double ylabel_h = c.measure(p.y_label, kAxisStyle).h;
  const double plot_h_guess = c.height() - top - pad - xlabel_h - c.px(6);
  const double right_w = side_width(c, p, col, plot_h_guess);
  ScatterLayout l;
  l.plot.x = pad + ylabel_h + c.px(6);
  l.plot.y = top;
  l.plot.w = c.width() - l.plot.x - pad - (right_w > 0 ? right_w + c.px(14) : 0);
  l.plot.h = plot_h_guess;
  l.plot.w = std::max(l.plot.w, c.px(40));
  l.plot.h = std::max(l.plot.h, c.px(40));
  l.range = data_range(p);
  l.rw = static_cast<int>(l.plot.w), l.rh = static_cast<int>(l.plot.h);
  l.side_x = l.plot.right() + c.px(14);
  return l;
}

// Drawing order: a fixed pseudo-random order for categories (no group hides another
// systematically), ascending values for expression (high values stay on top).
std::vector<uint32_t> drawing_order(const ScatterPlot& p, const Coloring& col) {
  const size_t n = p.x.size();
  std::vector<uint32_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(i);
  if (col.categorical) {
    std::vector<uint64_t> key(n);
    for (size_t i = 0; i < n; ++i) key[i] = splitmix64(i);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return key[a] < key[b]; });
  } else if (col.continuous) {
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      const float va = std::isfinite(p.values[a]) ? p.values[a] : -INFINITY;
      const float vb = std::isfinite(p.values[b]) ? p.values[b] : -INFINITY;
      return va < vb;
    });
  }
  return order;
}

Rgb point_color(const ScatterPlot& p, const Coloring& col, size_t i) {
  if (col.categorical) {
    const int32_t code = p.codes[i];
    return code >= 0 && static_cast<size_t>(code) < p.categories.size() ? category_color_of(p, code)
                                                                        : kMissing;
  }
  if (col.continuous)
    return std::isfinite(p.values[i])
               ? sequential_color(p.cmap, (p.values[i] - p.vmin) / value_span(p))
               : kMissing;
  return Rgb{0.25, 0.45, 0.7};
}

// Background cells first, light and a little smaller, then the plotted ones on top.
void draw_points(Canvas& c, const ScatterPlot& p, const Coloring& col, const ScatterLayout& l) {
  const size_t total = p.x.size() + p.background_x.size();
  double r = p.point_radius_px;
  if (r <= 0)
    r = std::clamp(std::sqrt(static_cast<double>(l.rw) * l.rh / std::max<size_t>(1, total)) * 0.33,
                   0.75, 4.5);
  const double alpha = total > 200000 ? 0.55 : (total > 20000 ? 0.8 : 0.95);

  Raster raster(l.rw, l.rh);
  const Rgb kBackground{0.86, 0.86, 0.87};
  for (size_t i = 0; i < p.background_x.size(); ++i) {
    if (!std::isfinite(p.background_x[i]) || !std::isfinite(p.background_y[i])) continue;
    auto [px_, py_] = l.to_px(p.background_x[i], p.background_y[i]);
    raster.disc(px_, py_, r * 0.85, kBackground, 0.7);
  }
  for (uint32_t i : drawing_order(p, col)) {
    if (!std::isfinite(p.x[i]) || !std::isfinite(p.y[i])) continue;
    auto [px_, py_] = l.to_px(p.x[i], p.y[i]);
    raster.disc(px_, py_, r, point_color(p, col, i), alpha);
  }
  raster.paint(c.cr(), l.plot.x, l.plot.y);
}

void draw_frame(Canvas& c, const ScatterPlot& p, const Rect& plot) {
  c.stroke_rect(plot, kAxis, c.px(0.8));
  c.text(plot.x + plot.w / 2, plot.bottom() + c.px(4), p.x_label, kAxisStyle, 0.5, 0);
  c.text(plot.x - c.px(5), plot.y + plot.h / 2, p.y_label, kAxisStyle, 0.5, 1, 90);
}

// Each category's name at the median of its points.
void draw_labels_on_data(Canvas& c, const ScatterPlot& p, const Coloring& col,
                         const ScatterLayout& l) {
  for (size_t k = 0; k < col.counts.size(); ++k) {
    if (!col.counts[k]) continue;
    std::vector<float> xs, ys;
    for (size_t i = 0; i < p.x.size(); ++i)
      if (p.codes[i] == static_cast<int32_t>(k)) xs.push_back(p.x[i]), ys.push_back(p.y[i]);
    auto [lx, ly] = l.to_px(median(xs), median(ys));
    c.text(l.plot.x + lx, l.plot.y + ly, p.categories[k], TextStyle{9, true}, 0.5, 0.5, 0,
           c.width() * 0.3, true);
  }
}

void draw_colorbar(Canvas& c, const ScatterPlot& p, const ScatterLayout& l) {
  const double rx = l.side_x;
  TextStyle ls{9};
  c.text(rx, l.plot.y, p.colorbar_label, ls);
  const double by = l.plot.y + c.measure(p.colorbar_label, ls).h + c.px(4);
  const double bh = std::min(l.plot.h * 0.55, c.inch(2.4)), bw = c.px(10);
  const int steps = 256;
  for (int s = 0; s < steps; ++s) {
    const double t0 = static_cast<double>(s) / steps;
    c.fill_rect(Rect{rx, by + bh * (1 - t0 - 1.0 / steps), bw, bh / steps + 0.6},
                sequential_color(p.cmap, t0 + 0.5 / steps));
  }
  c.stroke_rect(Rect{rx, by, bw, bh}, kAxis, c.px(0.5));
  auto ticks = nice_ticks(p.vmin, p.vmax, 4);
  const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : 1;
  for (double t : ticks) {
    if (t < p.vmin - 1e-9 || t > p.vmax + 1e-9) continue;
    const double ty = by + bh * (1 - (t - p.vmin) / value_span(p));
    c.line(rx + bw, ty, rx + bw + c.px(3), ty, kAxis, c.px(0.6));
    c.text(rx + bw + c.px(5), ty, tick_label(t, step), TextStyle{8.5}, 0, 0.5);
  }
}

}  // namespace

std::string render_scatter_png(const ScatterPlot& p) {
  check_lengths(p);
  const Coloring col = coloring_of(p);
  if (col.continuous) sequential_color(p.cmap, 0);  // an unknown map fails before drawing

  Canvas c(p.size);
  const double top = c.header(p.title, p.subtitle);
  const ScatterLayout l = scatter_layout(c, p, col, top);
  draw_points(c, p, col, l);
  draw_frame(c, p, l.plot);
  if (col.categorical && p.labels_on_data)
    draw_labels_on_data(c, p, col, l);
  else if (col.categorical)
    draw_legend(c, l.side_x, l.plot.y, p.legend_title, col.entries, Swatch::Circle, l.plot.h,
                c.width() * 0.28);
  else if (col.continuous)
    draw_colorbar(c, p, l);
  return c.finish();
}

}  // namespace norvex::plotting
