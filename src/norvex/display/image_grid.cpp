#include "norvex/display/image_grid.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/text.hpp"
#include "norvex/host/host.hpp"

namespace norvex {
namespace {

// Bounds the memory of one merged picture (4 bytes a pixel).
constexpr double kMaxMergedPixels = 64.0 * 1024 * 1024;
constexpr int kMaxSide = 32767;  // cairo's limit for an image surface

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

// The payloads of a string, a list or a mapping, in order.
std::vector<json> payloads_of(const json& imgs) {
  std::vector<json> out;
  if (imgs.is_string()) {
    out.push_back(imgs);
  } else if (imgs.is_array() || imgs.is_object()) {
    for (const auto& v : imgs) out.push_back(v);
  }
  return out;
}

struct ReadState {
  const std::string* bytes;
  size_t pos = 0;
};

cairo_status_t read_from_memory(void* closure, unsigned char* data, unsigned int length) {
  auto* st = static_cast<ReadState*>(closure);
  if (st->pos + length > st->bytes->size()) return CAIRO_STATUS_READ_ERROR;
  std::memcpy(data, st->bytes->data() + st->pos, length);
  st->pos += length;
  return CAIRO_STATUS_SUCCESS;
}

cairo_status_t write_to_string(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

bool is_png(const std::string& bytes) {
  return bytes.size() >= 8 && std::memcmp(bytes.data(), "\x89PNG\r\n\x1a\n", 8) == 0;
}

// Width and height from a PNG's header, read from the first base64 characters only.
bool png_size_from_b64(const json& payload, double& w, double& h) {
  if (!payload.is_string()) return false;
  std::string b64 = strip_data_url(payload.get<std::string>());
  std::string head;
  for (char c : b64) {
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
    head += c;
    if (head.size() == 32) break;
  }
  if (head.size() < 32) return false;
  std::string bytes;
  try {
    bytes = base64_decode(head);
  } catch (const std::exception&) {
    return false;
  }
  if (!is_png(bytes) || bytes.size() < 24) return false;
  auto be32 = [&bytes](size_t at) {
    return (uint32_t(uint8_t(bytes[at])) << 24) | (uint32_t(uint8_t(bytes[at + 1])) << 16) |
           (uint32_t(uint8_t(bytes[at + 2])) << 8) | uint32_t(uint8_t(bytes[at + 3]));
  };
  w = be32(16);
  h = be32(20);
  return w > 0 && h > 0;
}

Surface decode_png(const json& payload) {
  if (!payload.is_string()) return nullptr;
  std::string bytes;
  try {
    bytes = base64_decode(strip_data_url(payload.get<std::string>()));
  } catch (const std::exception&) {
    return nullptr;
  }
  if (!is_png(bytes)) return nullptr;
  ReadState st{&bytes};
  Surface s(cairo_image_surface_create_from_png_stream(read_from_memory, &st));
  if (cairo_surface_status(s.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
  return s;
}

const char* image_mime(const std::string& bytes) {
  if (is_png(bytes)) return "image/png";
  if (bytes.size() >= 3 && std::memcmp(bytes.data(), "\xFF\xD8\xFF", 3) == 0) return "image/jpeg";
  if (bytes.size() >= 4 && std::memcmp(bytes.data(), "GIF8", 4) == 0) return "image/gif";
  if (bytes.size() >= 12 && std::memcmp(bytes.data(), "RIFF", 4) == 0 &&
      std::memcmp(bytes.data() + 8, "WEBP", 4) == 0)
    return "image/webp";
  return nullptr;
}

}  // namespace

int auto_ncols_from_imgs(const json& imgs, bool /*verbose*/) {
  std::vector<json> items = payloads_of(imgs);
  const int n = static_cast<int>(items.size());
  if (n <= 1) return 1;
  double sum_w = 0, sum_h = 0;
  int known = 0;
  for (const auto& item : items) {
    double w, h;
    if (png_size_from_b64(item, w, h)) {
      sum_w += w;
      sum_h += h;
      ++known;
    }
  }
  const double cell_aspect = known ? sum_w / sum_h : 1.0;
  // The column count whose whole grid comes closest to a 4:3 page, with empty cells in
  // the last row counted against it (four panels read better as 2x2 than as 3+1).
  int best = 1;
  double best_score = 1e300;
  for (int c = 1; c <= std::min(n, 4); ++c) {
    int rows = (n + c - 1) / c;
    double empty = double(rows * c - n) / n;
    double score = std::fabs(std::log(cell_aspect * c / rows / (4.0 / 3.0))) + empty;
    if (score < best_score - 1e-9) {
      best_score = score;
      best = c;
    }
  }
  return best;
}

std::string merge_base64_pngs_grid_nostretch(NotebookHost& host, const json& imgs, int ncols,
                                             int pad, bool verbose) {
  if (ncols < 1) throw ValueError("ncols must be at least 1, got " + std::to_string(ncols));
  if (pad < 0) throw ValueError("pad must not be negative, got " + std::to_string(pad));
  std::vector<Surface> surfaces;
  std::vector<json> items = payloads_of(imgs);
  for (size_t i = 0; i < items.size(); ++i) {
    Surface s = decode_png(items[i]);
    if (!s) {
      if (verbose)
        host.print("⚠️ WARNING: image " + std::to_string(i + 1) +
                   " is not a readable PNG; skipped.");
      continue;
    }
    surfaces.push_back(std::move(s));
  }
  if (surfaces.empty()) return "";

  const size_t n = surfaces.size();
  const size_t cols = std::min<size_t>(static_cast<size_t>(ncols), n);
  const size_t rows = (n + cols - 1) / cols;
  std::vector<double> col_w(cols, 0), row_h(rows, 0);
  for (size_t i = 0; i < n; ++i) {
    col_w[i % cols] =
        std::max<double>(col_w[i % cols], cairo_image_surface_get_width(surfaces[i].get()));
    row_h[i / cols] =
        std::max<double>(row_h[i / cols], cairo_image_surface_get_height(surfaces[i].get()));
  }
  double total_w = pad * double(cols - 1), total_h = pad * double(rows - 1);
  for (double w : col_w) total_w += w;
  for (double h : row_h) total_h += h;
  if (total_w > kMaxSide || total_h > kMaxSide || total_w * total_h > kMaxMergedPixels) {
    throw ValueError("merged image would be " + std::to_string(long(total_w)) + "x" +
                     std::to_string(long(total_h)) + " pixels, more than can be shown");
  }

  Surface canvas(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, int(total_w), int(total_h)));
  if (cairo_surface_status(canvas.get()) != CAIRO_STATUS_SUCCESS)
    throw RuntimeError("cannot allocate the merged image");
  cairo_t* cr = cairo_create(canvas.get());
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  double y = 0;
  for (size_t r = 0; r < rows; ++r) {
    double x = 0;
    for (size_t c = 0; c < cols; ++c) {
      size_t i = r * cols + c;
      if (i < n) {
        cairo_surface_t* s = surfaces[i].get();
        // Whole pixels keep the image sharp: it is copied, never resampled.
        double ox = x + std::floor((col_w[c] - cairo_image_surface_get_width(s)) / 2);
        double oy = y + std::floor((row_h[r] - cairo_image_surface_get_height(s)) / 2);
        cairo_set_source_surface(cr, s, ox, oy);
        cairo_paint(cr);
      }
      x += col_w[c] + pad;
    }
    y += row_h[r] + pad;
  }
  cairo_destroy(cr);
  cairo_surface_flush(canvas.get());
  std::string png;
  if (cairo_surface_write_to_png_stream(canvas.get(), write_to_string, &png) !=
      CAIRO_STATUS_SUCCESS)
    throw RuntimeError("cannot encode the merged image as PNG");
  return base64_encode(png);
}

namespace {
// Points per pixel of a cairo SVG (its width attribute, in points, over the PNG's pixels).
double svg_points_per_pixel(const std::string& svg, double width_px) {
  const size_t tag = svg.find("<svg");
  const size_t at = tag == std::string::npos ? tag : svg.find("width=\"", tag);
  if (at == std::string::npos || width_px <= 0) return 72.0 / 150.0;
  const double pt = std::atof(svg.c_str() + at + 7);
  return pt > 0 ? pt / width_px : 72.0 / 150.0;
}
}  // namespace

std::string merge_svgs_grid_nostretch(const json& imgs, const json& svgs, int ncols, int pad) {
  std::vector<json> pngs = payloads_of(imgs), docs = payloads_of(svgs);
  if (pngs.empty() || pngs.size() != docs.size() || ncols < 1 || pad < 0) return "";
  std::vector<double> w(pngs.size()), h(pngs.size());
  for (size_t i = 0; i < pngs.size(); ++i) {
    if (!png_size_from_b64(pngs[i], w[i], h[i]) || !docs[i].is_string() ||
        docs[i].get<std::string>().empty())
      return "";
  }
  if (pngs.size() == 1) return docs[0].get<std::string>();
  const size_t n = pngs.size();
  const size_t cols = std::min<size_t>(static_cast<size_t>(ncols), n);
  const size_t rows = (n + cols - 1) / cols;
  std::vector<double> col_w(cols, 0), row_h(rows, 0);
  for (size_t i = 0; i < n; ++i) {
    col_w[i % cols] = std::max(col_w[i % cols], w[i]);
    row_h[i / cols] = std::max(row_h[i / cols], h[i]);
  }
  double total_w = pad * double(cols - 1), total_h = pad * double(rows - 1);
  for (double v : col_w) total_w += v;
  for (double v : row_h) total_h += v;
  const double scale = svg_points_per_pixel(docs[0].get<std::string>(), w[0]);
  auto num = [](double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return std::string(buf);
  };
  // Each figure as an image of its own document: their ids cannot collide.
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
      "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"" +
      num(total_w * scale) + "pt\" height=\"" + num(total_h * scale) + "pt\" viewBox=\"0 0 " +
      num(total_w) + " " + num(total_h) +
      "\" version=\"1.1\">\n<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  double y = 0;
  for (size_t r = 0; r < rows; ++r) {
    double x = 0;
    for (size_t c = 0; c < cols; ++c) {
      const size_t i = r * cols + c;
      if (i < n) {
        const double ox = x + std::floor((col_w[c] - w[i]) / 2);
        const double oy = y + std::floor((row_h[r] - h[i]) / 2);
        const std::string uri =
            "data:image/svg+xml;base64," + base64_encode(docs[i].get<std::string>());
        out += "<image x=\"" + num(ox) + "\" y=\"" + num(oy) + "\" width=\"" + num(w[i]) +
               "\" height=\"" + num(h[i]) + "\" href=\"" + uri + "\" xlink:href=\"" + uri +
               "\"/>\n";
      }
      x += col_w[c] + pad;
    }
    y += row_h[r] + pad;
  }
  return out + "</svg>\n";
}

void display_img_base64(NotebookHost& host, const std::string& b64) {
  std::string bytes = base64_decode(strip_data_url(b64));
  const char* mime = image_mime(bytes);
  if (!mime) throw ValueError("the base64 payload is not a PNG, JPEG, GIF or WebP image");
  host.display_image(bytes, mime);
}

}  // namespace norvex
