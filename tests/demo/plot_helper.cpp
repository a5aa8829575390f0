#include "plot_helper.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace norvex::testing {
namespace {

void hsv_color(cairo_t* cr, size_t k, size_t n, double alpha) {
  const double h = std::fmod(static_cast<double>(k) / std::max<size_t>(n, 1) * 6.0, 6.0);
  const double s = k % 2 ? 0.65 : 0.9, v = k % 3 == 2 ? 0.7 : 0.9;
  const double c = v * s, x = c * (1 - std::fabs(std::fmod(h, 2.0) - 1)), m = v - c;
  double r = 0, g = 0, b = 0;
  switch (static_cast<int>(h)) {
    case 0:
      r = c, g = x;
      break;
    case 1:
      r = x, g = c;
      break;
    case 2:
      g = c, b = x;
      break;
    case 3:
      g = x, b = c;
      break;
    case 4:
      r = x, b = c;
      break;
    default:
      r = c, b = x;
      break;
  }
  cairo_set_source_rgba(cr, r + m, g + m, b + m, alpha);
}

}  // namespace

void render_umap_png(const AnnData& adata, const std::string& color_by,
                     const std::filesystem::path& out) {
  const DenseMatrix xy = adata.obsm("X_umap");
  const Column& col = adata.obs.col(color_by);
  const std::vector<std::string> labels = col.unique_text();
  const int W = 1100, H = 800, plot = 760;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, W, H);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  double x0 = 1e9, x1 = -1e9, y0 = 1e9, y1 = -1e9;
  for (size_t i = 0; i < xy.n_rows; ++i) {
    x0 = std::min(x0, xy.at(i, 0)), x1 = std::max(x1, xy.at(i, 0));
    y0 = std::min(y0, xy.at(i, 1)), y1 = std::max(y1, xy.at(i, 1));
  }
  for (size_t i = 0; i < xy.n_rows; ++i) {
    const size_t k = std::find(labels.begin(), labels.end(), col.text_at(i)) - labels.begin();
    hsv_color(cr, k, labels.size(), 0.6);
    const double px = 20 + (xy.at(i, 0) - x0) / (x1 - x0) * plot;
    const double py = 20 + (1 - (xy.at(i, 1) - y0) / (y1 - y0)) * plot;
    cairo_arc(cr, px, py, 2.0, 0, 2 * M_PI);
    cairo_fill(cr);
  }
  cairo_select_font_face(cr, "sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 13);
  for (size_t k = 0; k < labels.size(); ++k) {
    hsv_color(cr, k, labels.size(), 1.0);
    cairo_rectangle(cr, plot + 50, 30 + 22 * k, 12, 12);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_move_to(cr, plot + 70, 41 + 22 * k);
    cairo_show_text(cr, labels[k].c_str());
  }
  cairo_surface_write_to_png(surface, out.c_str());
  cairo_destroy(cr);
  cairo_surface_destroy(surface);
}

void render_cnv_png(const AnnData& adata, const std::filesystem::path& out) {
  const DenseMatrix cnv = adata.obsm("X_cnv");
  const Column& origin = adata.obs.col("tumor_origin_ind");
  const Column& sample = adata.obs.col("sample");
  std::vector<size_t> order(cnv.n_rows);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (origin.values.ints[a] != origin.values.ints[b])
      return origin.values.ints[a] < origin.values.ints[b];
    return sample.values.ints[a] < sample.values.ints[b];
  });
  const int W = static_cast<int>(cnv.n_cols) * 5, H = 600;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, W, H);
  cairo_t* cr = cairo_create(surface);
  for (int y = 0; y < H; ++y) {
    const size_t i = order[static_cast<size_t>(y) * cnv.n_rows / H];
    for (size_t b = 0; b < cnv.n_cols; ++b) {
      const double v = std::clamp(cnv.at(i, b) / 0.2, -1.0, 1.0);
      if (v >= 0)
        cairo_set_source_rgb(cr, 1, 1 - v, 1 - v);
      else
        cairo_set_source_rgb(cr, 1 + v, 1 + v, 1);
      cairo_rectangle(cr, static_cast<double>(b) * 5, y, 5, 1);
      cairo_fill(cr);
    }
  }
  // Chromosome boundaries.
  if (adata.uns.contains("cnv")) {
    cairo_set_source_rgb(cr, 0, 0, 0);
    const UnsDict& pos = adata.uns.at("cnv").dict().at("chr_pos").dict();
    for (auto& chrom : pos.keys()) {
      const double x = static_cast<double>(pos.at(chrom).array().ints[0]) * 5;
      cairo_move_to(cr, x, 0);
      cairo_line_to(cr, x, H);
      cairo_stroke(cr);
    }
  }
  cairo_surface_write_to_png(surface, out.c_str());
  cairo_destroy(cr);
  cairo_surface_destroy(surface);
}

}  // namespace norvex::testing
