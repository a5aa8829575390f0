// Heatmaps of values already aggregated to the figure's resolution (CNV by genomic bin).
#include <algorithm>
#include <cmath>

#include "norvex/common/errors.hpp"
#include "norvex/plotting/plot_canvas.hpp"
#include "norvex/plotting/result_plots.hpp"

namespace norvex::plotting {
using namespace detail;

namespace {

struct Diverging {
  std::string name;
  std::vector<Rgb> stops;  // from -1 to 1, white in the middle
};

const std::vector<Diverging>& diverging_maps() {
  static const std::vector<Diverging> m = {
      {"bwr",
       {{0.02, 0.19, 0.58}, {0.36, 0.56, 0.85}, {1, 1, 1}, {0.90, 0.40, 0.33}, {0.60, 0.02, 0.11}}},
      {"RdBu_r",
       {{0.02, 0.19, 0.38},
        {0.26, 0.58, 0.76},
        {0.97, 0.97, 0.97},
        {0.84, 0.38, 0.30},
        {0.40, 0.0, 0.12}}},
      {"coolwarm",
       {{0.23, 0.30, 0.75},
        {0.55, 0.69, 0.99},
        {0.87, 0.87, 0.87},
        {0.96, 0.60, 0.48},
        {0.71, 0.02, 0.15}}},
  };
  return m;
}

// The layout both the size query and the renderer use, so data aggregated to the first
// fits the second pixel for pixel.
struct HeatmapLayout {
  Rect area;
  double band_x = 0, label_w = 0, chrom_h = 0;
};

HeatmapLayout heatmap_layout(const Canvas& c, bool has_x_label) {
  HeatmapLayout L;
  const double pad = c.inch(0.14);
  // Header height as for a one-line title and subtitle whatever the text, so the area (and
  // the data aggregated to it) does not depend on the wording.
  const double top = pad + c.measure("Ag", TextStyle{13, true}).h +
                     c.measure("Ag", TextStyle{9}).h + c.px(1) + c.px(8);
  L.chrom_h = c.measure("22", TextStyle{8}).h + c.px(4);
  L.label_w = c.width() * 0.2;
  L.band_x = pad + L.label_w + c.px(6);
  const double colorbar_w = c.px(9) + c.px(44);
  L.area.x = L.band_x + c.px(8);
  L.area.y = top + L.chrom_h;
  L.area.w = std::floor(c.width() - L.area.x - pad - colorbar_w - c.px(14));
  L.area.h = std::floor(c.height() - L.area.y - pad -
                        (has_x_label ? c.measure("Ag", TextStyle{10}).h + c.px(4) : 0));
  L.area.w = std::max(L.area.w, 10.0);
  L.area.h = std::max(L.area.h, 10.0);
  return L;
}

}  // namespace

const std::vector<std::string>& diverging_cmaps() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    for (auto& m : diverging_maps()) v.push_back(m.name);
    return v;
  }();
  return names;
}

Rgb diverging_color(const std::string& cmap, double t) {
  for (const auto& m : diverging_maps()) {
    if (m.name != cmap) continue;
    if (std::isnan(t)) return Rgb{0.85, 0.85, 0.85};
    const double u = (std::clamp(t, -1.0, 1.0) + 1) / 2 * (m.stops.size() - 1);
    const size_t k = std::min(static_cast<size_t>(u), m.stops.size() - 2);
    const double f = u - k;
    const Rgb a = m.stops[k], b = m.stops[k + 1];
    return Rgb{a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f};
  }
  std::string valid;
  for (auto& n : diverging_cmaps()) valid += (valid.empty() ? "" : ", ") + n;
  throw ValueError("Unknown diverging colour map '" + cmap + "'. Valid colour maps: " + valid);
}

std::pair<size_t, size_t> heatmap_area_pixels(const FigureSize& size) {
  Canvas c(size);
  const HeatmapLayout L = heatmap_layout(c, true);
  return {static_cast<size_t>(L.area.h), static_cast<size_t>(L.area.w)};
}

std::string render_heatmap_png(const HeatmapPlot& p) {
  if (p.values.size() != p.n_rows * p.n_cols)
    throw ValueError("heatmap: n_rows x n_cols values are needed");
  diverging_color(p.cmap, 0);  // an unknown map fails before drawing
  Canvas c(p.size);
  const double pad = c.inch(0.14);
  c.header(p.title, p.subtitle);
  const HeatmapLayout L = heatmap_layout(c, !p.x_label.empty());
  const Rect& a = L.area;
  if (p.n_rows == 0 || p.n_cols == 0) {
    c.text(c.width() / 2, a.y + a.h / 2, "No cells to show", TextStyle{11, false, false, kMuted},
           0.5, 0.5);
    return c.finish();
  }
  // The data as an image of its own resolution, then scaled into the area.
  cairo_surface_t* img = cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(p.n_cols),
                                                    static_cast<int>(p.n_rows));
  cairo_surface_flush(img);
  unsigned char* data = cairo_image_surface_get_data(img);
  const int stride = cairo_image_surface_get_stride(img);
  const double lim = p.limit > 0 ? p.limit : 1;
  for (size_t r = 0; r < p.n_rows; ++r) {
    auto* row = reinterpret_cast<uint32_t*>(data + r * stride);
    for (size_t k = 0; k < p.n_cols; ++k) {
      const float v = p.values[r * p.n_cols + k];
      const Rgb col = diverging_color(p.cmap, std::isnan(v) ? NAN : v / lim);
      row[k] = (static_cast<uint32_t>(std::lround(col.r * 255)) << 16) |
               (static_cast<uint32_t>(std::lround(col.g * 255)) << 8) |
               static_cast<uint32_t>(std::lround(col.b * 255));
    }
  }
  cairo_surface_mark_dirty(img);
  cairo_t* cr = c.cr();
  cairo_save(cr);
  cairo_rectangle(cr, a.x, a.y, a.w, a.h);
  cairo_clip(cr);
  cairo_translate(cr, a.x, a.y);
  cairo_scale(cr, a.w / p.n_cols, a.h / p.n_rows);
  cairo_set_source_surface(cr, img, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
  cairo_paint(cr);
  cairo_restore(cr);
  cairo_surface_destroy(img);

  const double ry = a.h / p.n_rows, cx = a.w / p.n_cols;
  // Row groups: a colour strip, the label, a line between groups.
  const TextStyle band_style{8.5};
  const double text_h = c.measure("Ag", band_style).h;
  for (size_t b = 0; b < p.row_bands.size(); ++b) {
    const auto& band = p.row_bands[b];
    const double y0 = a.y + band.first_row * ry, y1 = a.y + band.end_row * ry;
    c.fill_rect(Rect{L.band_x, y0, c.px(6), y1 - y0}, band.color);
    if (y1 - y0 >= text_h * 0.6)
      c.text(L.band_x - c.px(4), (y0 + y1) / 2, band.label, band_style, 1, 0.5, 0, L.label_w);
    if (b > 0) c.line(L.band_x, y0, a.right(), y0, kInk, c.px(0.7));
  }
  // Chromosomes: boundaries through the heatmap, labels above; labels that would collide
  // with the previous one are left out (the boundaries still show every chromosome).
  const TextStyle chrom_style{8};
  double last_right = -1e9;
  for (size_t s = 0; s < p.col_spans.size(); ++s) {
    const auto& span = p.col_spans[s];
    const double x0 = a.x + span.first_col * cx, x1 = a.x + span.end_col * cx;
    if (s > 0) c.line(x0, a.y - c.px(3), x0, a.bottom(), kInk, c.px(0.6));
    std::string label = span.label;
    if (label.rfind("chr", 0) == 0) label = label.substr(3);
    const double w = c.measure(label, chrom_style).w;
    const double mid = (x0 + x1) / 2;
    if (mid - w / 2 > last_right + c.px(2)) {
      c.text(mid, a.y - c.px(3), label, chrom_style, 0.5, 1);
      last_right = mid + w / 2;
    }
  }
  c.stroke_rect(a, kAxis, c.px(0.6));
  if (!p.x_label.empty()) c.text(a.x + a.w / 2, c.height() - pad, p.x_label, TextStyle{10}, 0.5, 1);

  // Colour bar, centred on zero.
  const double bx = a.right() + c.px(14), bw = c.px(9);
  const double bh = std::min(a.h * 0.5, c.px(120));
  c.text(bx, a.y - L.chrom_h, p.colorbar_label, TextStyle{8.5, true}, 0, 0, 0,
         c.width() - bx - pad + c.px(30));
  const double by = a.y + c.px(4);
  const int steps = 64;
  for (int i = 0; i < steps; ++i) {
    const double t = 1.0 - 2.0 * (i + 0.5) / steps;
    c.fill_rect(Rect{bx, by + bh * i / steps, bw, bh / steps + 0.8}, diverging_color(p.cmap, t));
  }
  c.stroke_rect(Rect{bx, by, bw, bh}, kAxis, c.px(0.5));
  auto ticks = nice_ticks(-lim, lim, 4);
  const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : 1;
  for (double t : ticks) {
    if (t < -lim - 1e-12 || t > lim + 1e-12) continue;
    const double ty = by + bh * (1 - (t + lim) / (2 * lim));
    c.line(bx + bw, ty, bx + bw + c.px(3), ty, kAxis, c.px(0.6));
    c.text(bx + bw + c.px(5), ty, tick_label(t, step), TextStyle{8}, 0, 0.5);
  }
  return c.finish();
}

}  // namespace norvex::plotting
