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

}  // namespace

std::string render_scatter_png(const ScatterPlot& p) {
  const size_t n = p.x.size();
  if (p.y.size() != n) throw ValueError("scatter plot: x and y differ in length");
  if (!p.codes.empty() && p.codes.size() != n)
    throw ValueError("scatter plot: one category code per point is needed");
  if (p.codes.empty() && !p.values.empty() && p.values.size() != n)
    throw ValueError("scatter plot: one value per point is needed");
  if (p.background_x.size() != p.background_y.size())
    throw ValueError("scatter plot: background x and y differ in length");
  const bool categorical = !p.codes.empty();
  const bool continuous = !categorical && !p.values.empty();
  if (continuous) sequential_color(p.cmap, 0);

  Canvas c(p.size);
  const double pad = c.inch(0.14);
  const double top = c.header(p.title, p.subtitle);

  auto color_of = [&](size_t k) {
    return k < p.category_colors.size() ? p.category_colors[k] : categorical_color(k);
  };
  const Rgb kMissing{0.72, 0.72, 0.72};

  // Legend entries: only categories that have points.
  std::vector<LegendEntry> entries;
  std::vector<long long> counts(p.categories.size(), 0);
  long long n_missing = 0;
  if (categorical) {
    for (int32_t code : p.codes) {
      if (code >= 0 && static_cast<size_t>(code) < counts.size())
        ++counts[code];
      else
        ++n_missing;
    }
    for (size_t k = 0; k < counts.size(); ++k)
      if (counts[k]) entries.push_back({p.categories[k], color_of(k)});
    if (n_missing) entries.push_back({"NA", kMissing});
  }

  const TextStyle axis_style{10};
  const double xlabel_h = c.measure(p.x_label, axis_style).h;
  const double ylabel_h = c.measure(p.y_label, axis_style).h;
  const double plot_h_guess = c.height() - top - pad - xlabel_h - c.px(6);
  double right_w = 0;
  if (categorical && !p.labels_on_data) {
    right_w = legend_width(c, p.legend_title, entries, plot_h_guess, c.width() * 0.28);
  } else if (continuous) {
    TextStyle ts{8.5};
    double lw = std::max(c.measure(tick_label(p.vmax, 0.01), ts).w, c.measure("0.00", ts).w);
    right_w = std::max(c.px(10) + c.px(5) + lw, c.measure(p.colorbar_label, TextStyle{9}).w);
  }
  Rect plot;
  plot.x = pad + ylabel_h + c.px(6);
  plot.y = top;
  plot.w = c.width() - plot.x - pad - (right_w > 0 ? right_w + c.px(14) : 0);
  plot.h = plot_h_guess;
  plot.w = std::max(plot.w, c.px(40));
  plot.h = std::max(plot.h, c.px(40));

  // Data range over all points, 3% margin so edge points are not clipped.
  double xmin = INFINITY, xmax = -INFINITY, ymin = INFINITY, ymax = -INFINITY;
  auto extend = [&](const std::vector<float>& xs, const std::vector<float>& ys) {
    for (size_t i = 0; i < xs.size(); ++i) {
      if (!std::isfinite(xs[i]) || !std::isfinite(ys[i])) continue;
      xmin = std::min<double>(xmin, xs[i]);
      xmax = std::max<double>(xmax, xs[i]);
      ymin = std::min<double>(ymin, ys[i]);
      ymax = std::max<double>(ymax, ys[i]);
    }
  };
  extend(p.x, p.y);
  extend(p.background_x, p.background_y);
  if (!(xmax >= xmin)) xmin = 0, xmax = 1, ymin = 0, ymax = 1;
  if (xmax - xmin < 1e-9) xmin -= 0.5, xmax += 0.5;
  if (ymax - ymin < 1e-9) ymin -= 0.5, ymax += 0.5;
  const double mx = (xmax - xmin) * 0.03, my = (ymax - ymin) * 0.03;
  xmin -= mx, xmax += mx, ymin -= my, ymax += my;
  const int rw = static_cast<int>(plot.w), rh = static_cast<int>(plot.h);
  auto to_px = [&](double x, double y) {
    return std::pair<double, double>{(x - xmin) / (xmax - xmin) * rw,
                                     (1 - (y - ymin) / (ymax - ymin)) * rh};
  };

  const size_t total = n + p.background_x.size();
  double r = p.point_radius_px;
  if (r <= 0)
    r = std::clamp(std::sqrt(static_cast<double>(rw) * rh / std::max<size_t>(1, total)) * 0.33,
                   0.75, 4.5);
  const double alpha = total > 200000 ? 0.55 : (total > 20000 ? 0.8 : 0.95);

  Raster raster(rw, rh);
  const Rgb kBackground{0.86, 0.86, 0.87};
  for (size_t i = 0; i < p.background_x.size(); ++i) {
    if (!std::isfinite(p.background_x[i]) || !std::isfinite(p.background_y[i])) continue;
    auto [px_, py_] = to_px(p.background_x[i], p.background_y[i]);
    raster.disc(px_, py_, r * 0.85, kBackground, 0.7);
  }
  // Drawing order: a fixed pseudo-random order for categories (no group hides another
  // systematically), ascending values for expression (high values stay on top).
  std::vector<uint32_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(i);
  if (categorical) {
    std::vector<uint64_t> key(n);
    for (size_t i = 0; i < n; ++i) key[i] = splitmix64(i);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return key[a] < key[b]; });
  } else if (continuous) {
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      const float va = std::isfinite(p.values[a]) ? p.values[a] : -INFINITY;
      const float vb = std::isfinite(p.values[b]) ? p.values[b] : -INFINITY;
      return va < vb;
    });
  }
  const double span = p.vmax > p.vmin ? p.vmax - p.vmin : 1.0;
  for (uint32_t i : order) {
    if (!std::isfinite(p.x[i]) || !std::isfinite(p.y[i])) continue;
    Rgb col{0.25, 0.45, 0.7};
    if (categorical) {
      const int32_t code = p.codes[i];
      col =
          code >= 0 && static_cast<size_t>(code) < p.categories.size() ? color_of(code) : kMissing;
    } else if (continuous) {
      col = std::isfinite(p.values[i]) ? sequential_color(p.cmap, (p.values[i] - p.vmin) / span)
                                       : kMissing;
    }
    auto [px_, py_] = to_px(p.x[i], p.y[i]);
    raster.disc(px_, py_, r, col, alpha);
  }
  raster.paint(c.cr(), plot.x, plot.y);
  c.stroke_rect(plot, kAxis, c.px(0.8));
  c.text(plot.x + plot.w / 2, plot.bottom() + c.px(4), p.x_label, axis_style, 0.5, 0);
  c.text(plot.x - c.px(5), plot.y + plot.h / 2, p.y_label, axis_style, 0.5, 1, 90);

  const double rx = plot.right() + c.px(14);
  if (categorical && p.labels_on_data) {
    for (size_t k = 0; k < counts.size(); ++k) {
      if (!counts[k]) continue;
      std::vector<float> xs, ys;
      for (size_t i = 0; i < n; ++i)
        if (p.codes[i] == static_cast<int32_t>(k)) xs.push_back(p.x[i]), ys.push_back(p.y[i]);
      auto [lx, ly] = to_px(median(xs), median(ys));
      c.text(plot.x + lx, plot.y + ly, p.categories[k], TextStyle{9, true}, 0.5, 0.5, 0,
             c.width() * 0.3, true);
    }
  } else if (categorical) {
    draw_legend(c, rx, plot.y, p.legend_title, entries, Swatch::Circle, plot.h, c.width() * 0.28);
  } else if (continuous) {
    TextStyle ls{9};
    c.text(rx, plot.y, p.colorbar_label, ls);
    const double by = plot.y + c.measure(p.colorbar_label, ls).h + c.px(4);
    const double bh = std::min(plot.h * 0.55, c.inch(2.4)), bw = c.px(10);
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
      const double ty = by + bh * (1 - (t - p.vmin) / span);
      c.line(rx + bw, ty, rx + bw + c.px(3), ty, kAxis, c.px(0.6));
      c.text(rx + bw + c.px(5), ty, tick_label(t, step), TextStyle{8.5}, 0, 0.5);
    }
  }
  return c.finish();
}

}  // namespace norvex::plotting
