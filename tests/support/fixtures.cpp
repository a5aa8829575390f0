#include "support/fixtures.hpp"

#include <cstdlib>
#include <cstring>

#include <cairo.h>

#include "norvex/common/base64.hpp"

namespace norvex::testing {

std::string make_png(int w, int h, double r, double g, double b) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  cairo_t* cr = cairo_create(s);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_set_source_rgb(cr, r, g, b);
  cairo_rectangle(cr, w * 0.1, h * 0.1, w * 0.8, h * 0.8);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_set_line_width(cr, 3);
  cairo_move_to(cr, 0, h);
  cairo_line_to(cr, w, 0);
  cairo_stroke(cr);
  cairo_destroy(cr);
  std::string bytes;
  cairo_surface_write_to_png_stream(
      s,
      [](void* closure, const unsigned char* data, unsigned int length) {
        static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
        return CAIRO_STATUS_SUCCESS;
      },
      &bytes);
  cairo_surface_destroy(s);
  return bytes;
}

std::string make_png_b64(int w, int h, double r, double g, double b) {
  return base64_encode(make_png(w, h, r, g, b));
}

json router_record(const json& flags_over, const json& fields_over, int confidence) {
  json flags = {{"info", false},
                {"plot", false},
                {"table_summary", false},
                {"explain_data", false},
                {"explain_general", false},
                {"specific_pathway", false},
                {"save", false},
                {"tree", false},
                {"args", false},
                {"code", false},
                {"reportgen", false},
                {"recurrent_query", false}};
  for (auto it = flags_over.begin(); it != flags_over.end(); ++it) flags[it.key()] = it.value();
  json r = {{"kind", "plan"},
            {"flags", flags},
            {"selected_tool", "none"},
            {"confidence", confidence},
            {"target_analysis", "none"},
            {"target_celltype", "none"},
            {"query_item", "none"},
            {"plot_type", "none"},
            {"plot_type_to_draw", "none"},
            {"reference_plot_type", "none"},
            {"tree_target", "not_specified"},
            {"questions", json::array()}};
  for (auto it = fields_over.begin(); it != fields_over.end(); ++it) r[it.key()] = it.value();
  return r;
}

size_t count_pixels(const std::string& png, int r, int g, int b) {
  struct Reader {
    const std::string* data;
    size_t at = 0;
  } reader{&png};
  cairo_surface_t* s = cairo_image_surface_create_from_png_stream(
      [](void* closure, unsigned char* out, unsigned int length) {
        auto* rd = static_cast<Reader*>(closure);
        if (rd->at + length > rd->data->size()) return CAIRO_STATUS_READ_ERROR;
        std::memcpy(out, rd->data->data() + rd->at, length);
        rd->at += length;
        return CAIRO_STATUS_SUCCESS;
      },
      &reader);
  size_t n = 0;
  if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
    cairo_surface_flush(s);
    const int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
    const int stride = cairo_image_surface_get_stride(s);
    const unsigned char* px = cairo_image_surface_get_data(s);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const unsigned char* p = px + y * stride + x * 4;  // BGRA in memory
        if (std::abs(p[2] - r) <= 2 && std::abs(p[1] - g) <= 2 && std::abs(p[0] - b) <= 2) ++n;
      }
  }
  cairo_surface_destroy(s);
  return n;
}

size_t count_occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t pos = 0; (pos = text.find(part, pos)) != std::string::npos; pos += part.size()) ++n;
  return n;
}

}  // namespace norvex::testing
