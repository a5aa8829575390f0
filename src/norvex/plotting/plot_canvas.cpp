#include "norvex/plotting/plot_canvas.hpp"

#include <cairo-pdf.h>
#include <cairo-svg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <mutex>

#include "norvex/common/errors.hpp"

namespace norvex::plotting {

namespace {

Rgb hex(unsigned v) {
  return Rgb{((v >> 16) & 0xFF) / 255.0, ((v >> 8) & 0xFF) / 255.0, (v & 0xFF) / 255.0};
}

// Okabe-Ito without black (too heavy for points), then Paul Tol's muted and light sets.
const std::vector<Rgb>& base_palette() {
  static const std::vector<Rgb> p = [] {
    std::vector<Rgb> v;
    for (unsigned h :
         {0xE69F00u, 0x56B4E9u, 0x009E73u, 0xF0E442u, 0x0072B2u, 0xD55E00u, 0xCC79A7u, 0xCC6677u,
          0x332288u, 0xDDCC77u, 0x117733u, 0x88CCEEu, 0x882255u, 0x44AA99u, 0x999933u, 0xAA4499u,
          0x77AADDu, 0xEE8866u, 0xEEDD88u, 0xFFAABBu, 0x99DDFFu, 0x44BB99u, 0xBBCC33u, 0xAAAA00u})
      v.push_back(hex(h));
    return v;
  }();
  return p;
}

struct Cmap {
  std::string name;
  std::vector<unsigned> stops;
};
const std::vector<Cmap>& cmaps() {
  static const std::vector<Cmap> m = {
      {"viridis",
       {0x440154, 0x472D7B, 0x3B528B, 0x2C728E, 0x21918C, 0x28AE80, 0x5EC962, 0xADDC30, 0xFDE725}},
      {"magma",
       {0x000004, 0x1C1044, 0x4F127B, 0x812581, 0xB5367A, 0xE55064, 0xFB8761, 0xFEC287, 0xFCFDBF}},
      {"reds", {0xE3E3E3, 0xFDD49E, 0xFDBB84, 0xFC8D59, 0xEF6548, 0xD7301F, 0xB30000, 0x7F0000}},
  };
  return m;
}

}  // namespace

Rgb categorical_color(size_t i) {
  const auto& p = base_palette();
  Rgb c = p[i % p.size()];
  // Past the palette, lighter tints of the same colours keep neighbours distinct.
  const double tint = std::min(0.6, 0.3 * static_cast<double>(i / p.size()));
  return Rgb{c.r + (1 - c.r) * tint, c.g + (1 - c.g) * tint, c.b + (1 - c.b) * tint};
}

std::vector<Rgb> categorical_palette(size_t n) {
  std::vector<Rgb> out;
  for (size_t i = 0; i < n; ++i) out.push_back(categorical_color(i));
  return out;
}

const std::vector<std::string>& sequential_cmaps() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    for (auto& m : cmaps()) v.push_back(m.name);
    return v;
  }();
  return names;
}

Rgb sequential_color(const std::string& cmap, double t) {
  for (auto& m : cmaps()) {
    if (m.name != cmap) continue;
    if (std::isnan(t)) t = 0;
    t = std::clamp(t, 0.0, 1.0) * (m.stops.size() - 1);
    size_t k = std::min(static_cast<size_t>(t), m.stops.size() - 2);
    double f = t - k;
    Rgb a = hex(m.stops[k]), b = hex(m.stops[k + 1]);
    return Rgb{a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f};
  }
  std::string valid;
  for (auto& n : sequential_cmaps()) valid += (valid.empty() ? "" : ", ") + n;
  throw ValueError("Unknown colour map '" + cmap + "'. Valid colour maps: " + valid);
}

std::pair<int, int> png_size(const std::string& png) {
  static const std::string sig = "\x89PNG\r\n\x1a\n";
  if (png.size() < 24 || png.compare(0, 8, sig) != 0 || png.compare(12, 4, "IHDR") != 0)
    throw ValueError("data is not a PNG image");
  auto be32 = [&](size_t o) {
    return (static_cast<unsigned char>(png[o]) << 24) |
           (static_cast<unsigned char>(png[o + 1]) << 16) |
           (static_cast<unsigned char>(png[o + 2]) << 8) | static_cast<unsigned char>(png[o + 3]);
  };
  return {static_cast<int>(be32(16)), static_cast<int>(be32(20))};
}

namespace {
thread_local RenderScope* g_scope = nullptr;
}  // namespace

RenderScope::RenderScope(const RenderOptions& options) : options_(options), previous_(g_scope) {
  g_scope = this;
}
RenderScope::~RenderScope() {
  g_scope = previous_;
}
RenderScope* RenderScope::current() {
  return g_scope;
}
namespace {
// A few dozen figures: enough for the figures of one answer and a "show it again", bounded
// because a scatter's SVG carries its points as an embedded image.
constexpr size_t kRememberedFigures = 24;
struct Remembered {
  std::mutex mutex;
  std::deque<std::pair<std::string, std::string>> figures;  // PNG, SVG; newest last
};
Remembered& remembered() {
  static Remembered* r = new Remembered();  // never destroyed: used until exit
  return *r;
}
}  // namespace

void RenderScope::add(RenderedFigure figure) {
  if (!figure.svg.empty()) {
    Remembered& r = remembered();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.figures.emplace_back(figure.png, figure.svg);
    if (r.figures.size() > kRememberedFigures) r.figures.pop_front();
  }
  figures_.push_back(std::move(figure));
}

std::string remembered_svg(const std::string& png) {
  Remembered& r = remembered();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (auto it = r.figures.rbegin(); it != r.figures.rend(); ++it)
    if (it->first == png) return it->second;
  return "";
}

const RenderedFigure* RenderScope::find(const std::string& png) const {
  for (const auto& f : figures_)
    if (f.png == png) return &f;
  return nullptr;
}

namespace detail {

namespace {
constexpr const char* kFontFamily = "Noto Sans, Noto Sans CJK KR, sans";
// cairo's largest image side, and a bound on one figure's memory (4 bytes a pixel).
constexpr double kMaxSide = 32767;
constexpr double kMaxPixels = 256.0 * 1024 * 1024;

cairo_status_t append_png(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}
}  // namespace

int effective_dpi(const FigureSize& size) {
  const RenderScope* scope = RenderScope::current();
  if (scope && scope->options().dpi > 0) return scope->options().dpi;
  return size.dpi > 0 ? size.dpi : 150;
}

Canvas::Canvas(const FigureSize& size) : dpi_(effective_dpi(size)) {
  w_ = std::round(std::clamp(size.width_in, 1.0, 40.0) * dpi_);
  h_ = std::round(std::clamp(size.height_in, 1.0, 40.0) * dpi_);
  if (w_ > kMaxSide || h_ > kMaxSide || w_ * h_ > kMaxPixels)
    throw ValueError("a figure of " + std::to_string(static_cast<long>(w_)) + "x" +
                     std::to_string(static_cast<long>(h_)) + " pixels (" +
                     std::to_string(static_cast<int>(dpi_)) +
                     " dpi) is larger than can be drawn; choose a lower dpi");
  const cairo_rectangle_t extents{0, 0, w_, h_};
  surface_ = cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, &extents);
  cr_ = cairo_create(surface_);
  cairo_set_source_rgb(cr_, 1, 1, 1);
  cairo_paint(cr_);
}

Canvas::~Canvas() {
  cairo_destroy(cr_);
  cairo_surface_destroy(surface_);
}

PangoLayout* Canvas::layout(const std::string& text, const TextStyle& style, double max_width,
                            bool wrap) const {
  PangoLayout* l = pango_cairo_create_layout(cr_);
  // Fixed font options: output must not depend on the desktop's settings.
  cairo_font_options_t* fo = cairo_font_options_create();
  cairo_font_options_set_antialias(fo, CAIRO_ANTIALIAS_GRAY);
  cairo_font_options_set_hint_style(fo, CAIRO_HINT_STYLE_SLIGHT);
  cairo_font_options_set_hint_metrics(fo, CAIRO_HINT_METRICS_OFF);
  pango_cairo_context_set_font_options(pango_layout_get_context(l), fo);
  pango_layout_context_changed(l);
  cairo_font_options_destroy(fo);
  PangoFontDescription* fd = pango_font_description_from_string(kFontFamily);
  pango_font_description_set_absolute_size(fd, px(style.pt) * PANGO_SCALE);
  pango_font_description_set_weight(fd, style.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  pango_font_description_set_style(fd, style.italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
  pango_layout_set_font_description(l, fd);
  pango_font_description_free(fd);
  pango_layout_set_text(l, text.c_str(), -1);
  if (max_width > 0) {
    pango_layout_set_width(l, static_cast<int>(max_width * PANGO_SCALE));
    if (wrap) {
      pango_layout_set_wrap(l, PANGO_WRAP_WORD_CHAR);
    } else {
      pango_layout_set_ellipsize(l, PANGO_ELLIPSIZE_END);
    }
  }
  return l;
}

TextSize Canvas::measure(const std::string& text, const TextStyle& style, double max_width) const {
  PangoLayout* l = layout(text, style, max_width);
  PangoRectangle ink, logical;
  pango_layout_get_pixel_extents(l, &ink, &logical);
  g_object_unref(l);
  return TextSize{static_cast<double>(logical.width), static_cast<double>(logical.height)};
}

void Canvas::text(double x, double y, const std::string& str, const TextStyle& style, double ax,
                  double ay, double angle, double max_width, bool halo) {
  if (str.empty()) return;
  PangoLayout* l = layout(str, style, max_width);
  PangoRectangle ink, logical;
  pango_layout_get_pixel_extents(l, &ink, &logical);
  cairo_save(cr_);
  cairo_translate(cr_, x, y);
  if (angle != 0) cairo_rotate(cr_, -angle * M_PI / 180.0);
  cairo_move_to(cr_, -ax * logical.width, -ay * logical.height);
  if (halo) {
    pango_cairo_layout_path(cr_, l);
    cairo_set_source_rgba(cr_, 1, 1, 1, 0.9);
    cairo_set_line_width(cr_, px(2.2));
    cairo_set_line_join(cr_, CAIRO_LINE_JOIN_ROUND);
    cairo_stroke(cr_);
    cairo_move_to(cr_, -ax * logical.width, -ay * logical.height);
  }
  set_color(style.color);
  pango_cairo_show_layout(cr_, l);
  cairo_restore(cr_);
  const bool cut = pango_layout_is_ellipsized(l);
  g_object_unref(l);
  record_text_box(x, y, logical.width, logical.height, angle, ax, ay, str, cut, ink);
}

void Canvas::record_text_box(double x, double y, double w, double h, double angle, double ax,
                             double ay, const std::string& str, bool cut,
                             const PangoRectangle& ink) {
  // The inked part of the anchored box (what can overprint), rotated about the anchor as
  // cairo drew it.
  const double a = -angle * M_PI / 180.0, ca = std::cos(a), sa = std::sin(a);
  double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
  TextBox box;
  const double u0 = -ax * w + ink.x, u1 = u0 + ink.width;
  const double v0 = -ay * h + ink.y, v1 = v0 + ink.height;
  const double us[4] = {u0, u1, u1, u0};
  const double vs[4] = {v0, v0, v1, v1};
  for (int k = 0; k < 4; ++k) {
    const double qx = x + us[k] * ca - vs[k] * sa, qy = y + us[k] * sa + vs[k] * ca;
    box.corners[2 * k] = qx;
    box.corners[2 * k + 1] = qy;
    x0 = std::min(x0, qx);
    x1 = std::max(x1, qx);
    y0 = std::min(y0, qy);
    y1 = std::max(y1, qy);
  }
  box.text = str;
  box.cut = cut;
  box.x = x0, box.y = y0, box.w = x1 - x0, box.h = y1 - y0;
  text_boxes_.push_back(std::move(box));
}

double Canvas::paragraph(double x, double y, const std::string& str, const TextStyle& style,
                         double max_width) {
  if (str.empty()) return 0;
  PangoLayout* l = layout(str, style, max_width, true);
  PangoRectangle ink, logical;
  pango_layout_get_pixel_extents(l, &ink, &logical);
  cairo_save(cr_);
  cairo_move_to(cr_, x, y);
  set_color(style.color);
  pango_cairo_show_layout(cr_, l);
  cairo_restore(cr_);
  g_object_unref(l);
  // The box starts at x whatever the alignment: the lines are left-aligned from there.
  record_text_box(x, y, logical.width, logical.height, 0, 0, 0, str, false, ink);
  return logical.height;
}

void Canvas::set_color(const Rgb& c, double alpha) {
  cairo_set_source_rgba(cr_, c.r, c.g, c.b, alpha);
}

void Canvas::line(double x0, double y0, double x1, double y1, const Rgb& c, double width_px,
                  bool dashed) {
  cairo_save(cr_);
  set_color(c);
  cairo_set_line_width(cr_, width_px);
  if (dashed) {
    double d[] = {px(3), px(2.5)};
    cairo_set_dash(cr_, d, 2, 0);
  }
  cairo_move_to(cr_, x0, y0);
  cairo_line_to(cr_, x1, y1);
  cairo_stroke(cr_);
  cairo_restore(cr_);
}

void Canvas::fill_rect(const Rect& r, const Rgb& c, double alpha) {
  set_color(c, alpha);
  cairo_rectangle(cr_, r.x, r.y, r.w, r.h);
  cairo_fill(cr_);
}

void Canvas::stroke_rect(const Rect& r, const Rgb& c, double width_px) {
  set_color(c);
  cairo_set_line_width(cr_, width_px);
  cairo_rectangle(cr_, r.x, r.y, r.w, r.h);
  cairo_stroke(cr_);
}

double Canvas::header(const std::string& title, const std::string& subtitle) {
  const double pad = inch(0.14);
  double y = pad;
  const double max_w = w_ - 2 * pad;
  // Wrapped, never cut: a subtitle carries counts and sources a reader needs whole.
  if (!title.empty()) y += paragraph(pad, y, title, TextStyle{13, true, false, kInk}, max_w);
  if (!subtitle.empty())
    y += paragraph(pad, y + px(1), subtitle, TextStyle{9, false, false, kMuted}, max_w) + px(1);
  return y + px(8);
}

std::string Canvas::png() const {
  cairo_surface_t* img =
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(w_), static_cast<int>(h_));
  cairo_t* cr = cairo_create(img);
  cairo_set_source_surface(cr, surface_, 0, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_flush(img);
  std::string out;
  const cairo_status_t st = cairo_surface_write_to_png_stream(img, append_png, &out);
  cairo_surface_destroy(img);
  if (st != CAIRO_STATUS_SUCCESS) throw RuntimeError("could not encode the figure as PNG");
  return out;
}

std::string Canvas::vector_document(bool pdf) const {
  // Vector pages are measured in points; the drawing, in pixels at dpi_, is scaled down.
  const double scale = 72.0 / dpi_;
  std::string out;
  cairo_surface_t* doc =
      pdf ? cairo_pdf_surface_create_for_stream(append_png, &out, w_ * scale, h_ * scale)
          : cairo_svg_surface_create_for_stream(append_png, &out, w_ * scale, h_ * scale);
  if (pdf) cairo_pdf_surface_set_metadata(doc, CAIRO_PDF_METADATA_CREATOR, "norvex");
  cairo_t* cr = cairo_create(doc);
  cairo_scale(cr, scale, scale);
  cairo_set_source_surface(cr, surface_, 0, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_finish(doc);
  const cairo_status_t st = cairo_surface_status(doc);
  cairo_surface_destroy(doc);
  if (st != CAIRO_STATUS_SUCCESS)
    throw RuntimeError(std::string("could not write the figure as ") + (pdf ? "PDF" : "SVG") +
                       ": " + cairo_status_to_string(st));
  return out;
}

std::string Canvas::finish() {
  cairo_surface_flush(surface_);
  std::string bytes = png();
  if (RenderScope* scope = RenderScope::current()) {
    RenderedFigure f;
    f.png = bytes;
    if (scope->options().svg) f.svg = vector_document(false);
    if (scope->options().pdf) f.pdf = vector_document(true);
    f.width_px = static_cast<int>(w_);
    f.height_px = static_cast<int>(h_);
    f.text_boxes = text_boxes_;
    scope->add(std::move(f));
  }
  return bytes;
}

std::vector<double> nice_ticks(double lo, double hi, int target) {
  if (!std::isfinite(lo) || !std::isfinite(hi)) return {};
  if (hi < lo) std::swap(lo, hi);
  if (hi - lo < 1e-12) {
    lo -= 0.5;
    hi += 0.5;
  }
  const double raw = (hi - lo) / std::max(1, target);
  const double mag = std::pow(10.0, std::floor(std::log10(raw)));
  double step = mag;
  for (double m : {1.0, 2.0, 2.5, 5.0, 10.0}) {
    step = m * mag;
    if (raw <= step) break;
  }
  std::vector<double> ticks;
  for (double v = std::ceil(lo / step - 1e-9) * step; v <= hi + step * 1e-9; v += step)
    ticks.push_back(std::fabs(v) < step * 1e-9 ? 0.0 : v);
  return ticks;
}

std::string tick_label(double v, double step) {
  int decimals = 0;
  while (decimals < 6 && std::fabs(step * std::pow(10.0, decimals) -
                                   std::round(step * std::pow(10.0, decimals))) > 1e-6)
    ++decimals;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  std::string s = buf;
  if (s == "-0") s = "0";
  // A typographic minus reads better than a hyphen on axes.
  if (!s.empty() && s[0] == '-') s = "\u2212" + s.substr(1);
  return s;
}

namespace {
struct LegendLayout {
  double row_h = 0, col_w = 0, title_h = 0;
  size_t rows = 0, cols = 1;
};

LegendLayout legend_layout(const Canvas& c, const std::string& title,
                           const std::vector<LegendEntry>& entries, double max_height,
                           double max_label_w) {
  LegendLayout L;
  TextStyle es{9};
  TextStyle ts{9.5, true};
  L.row_h = std::max(c.measure("Ag가", es).h, c.px(11)) + c.px(2);
  L.title_h = title.empty() ? 0 : c.measure(title, ts).h + c.px(3);
  double label_w = 0;
  for (auto& e : entries) label_w = std::max(label_w, c.measure(e.label, es, max_label_w).w);
  L.col_w = c.px(9) + c.px(5) + label_w + c.px(10);
  const double avail = std::max(L.row_h, max_height - L.title_h);
  size_t per_col = std::max<size_t>(1, static_cast<size_t>(avail / L.row_h));
  L.cols = std::max<size_t>(1, (entries.size() + per_col - 1) / per_col);
  L.rows = (entries.size() + L.cols - 1) / std::max<size_t>(1, L.cols);
  return L;
}
}  // namespace

double legend_width(const Canvas& c, const std::string& title,
                    const std::vector<LegendEntry>& entries, double max_height,
                    double max_label_w) {
  if (entries.empty()) return 0;
  LegendLayout L = legend_layout(c, title, entries, max_height, max_label_w);
  double tw = title.empty() ? 0 : c.measure(title, TextStyle{9.5, true}).w;
  return std::max(tw, L.cols * L.col_w);
}

void draw_legend(Canvas& c, double x, double y, const std::string& title,
                 const std::vector<LegendEntry>& entries, Swatch swatch, double max_height,
                 double max_label_w) {
  if (entries.empty()) return;
  LegendLayout L = legend_layout(c, title, entries, max_height, max_label_w);
  if (!title.empty()) c.text(x, y, title, TextStyle{9.5, true});
  const double top = y + L.title_h;
  const double s = c.px(8);
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t col = i / L.rows, row = i % L.rows;
    const double ex = x + col * L.col_w, ey = top + row * L.row_h + L.row_h / 2;
    c.set_color(entries[i].color);
    if (swatch == Swatch::Circle) {
      cairo_arc(c.cr(), ex + s / 2, ey, s / 2, 0, 2 * M_PI);
    } else {
      cairo_rectangle(c.cr(), ex, ey - s / 2, s, s);
    }
    cairo_fill(c.cr());
    c.text(ex + s + c.px(5), ey, entries[i].label, TextStyle{9}, 0, 0.5, 0, max_label_w);
  }
}

}  // namespace detail
}  // namespace norvex::plotting
