#pragma once
// Drawing primitives over cairo and pango, private to the plotting implementation files.
#include <cairo.h>
#include <pango/pangocairo.h>

#include <string>
#include <vector>

#include "norvex/plotting/plot.hpp"

namespace norvex::plotting::detail {

struct Rect {
  double x = 0, y = 0, w = 0, h = 0;
  double right() const { return x + w; }
  double bottom() const { return y + h; }
};

struct TextStyle {
  double pt = 9;
  bool bold = false;
  bool italic = false;
  Rgb color{0.15, 0.15, 0.15};
};

struct TextSize {
  double w = 0, h = 0;
};

const Rgb kInk{0.15, 0.15, 0.15};
const Rgb kMuted{0.38, 0.38, 0.40};
const Rgb kGrid{0.88, 0.88, 0.90};
const Rgb kAxis{0.45, 0.45, 0.47};

// One figure: a cairo context recording the drawing at the figure's pixel size, so the
// same drawing is replayed into a PNG and, when the thread's RenderScope asks, into SVG and
// PDF. Every text drawn is remembered with its box for layout checks.
class Canvas {
 public:
  explicit Canvas(const FigureSize& size);
  ~Canvas();
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  cairo_t* cr() const { return cr_; }
  double width() const { return w_; }
  double height() const { return h_; }
  double px(double pt) const { return pt * dpi_ / 72.0; }  // points to pixels
  double inch(double in) const { return in * dpi_; }

  TextSize measure(const std::string& text, const TextStyle& style, double max_width = -1) const;
  // Draws text anchored at (x, y): ax/ay 0 = left/top, 0.5 = centre, 1 = right/bottom.
  // angle in degrees (counter-clockwise). max_width > 0 ellipsizes longer text.
  void text(double x, double y, const std::string& text, const TextStyle& style, double ax = 0,
            double ay = 0, double angle = 0, double max_width = -1, bool halo = false);
  // Text wrapped at blanks into lines no wider than max_width, left-aligned from its top
  // left (x, y); returns its height. Nothing is cut off.
  double paragraph(double x, double y, const std::string& text, const TextStyle& style,
                   double max_width);
  void set_color(const Rgb& c, double alpha = 1.0);
  void line(double x0, double y0, double x1, double y1, const Rgb& c, double width_px,
            bool dashed = false);
  void fill_rect(const Rect& r, const Rgb& c, double alpha = 1.0);
  void stroke_rect(const Rect& r, const Rgb& c, double width_px);

  // Title and subtitle at the top; returns the y where content may begin.
  double header(const std::string& title, const std::string& subtitle);

  // The figure as PNG bytes; also hands the whole rendering (SVG and PDF as asked) to the
  // thread's RenderScope. Call once, when drawing is done.
  std::string finish();
  int dpi() const { return static_cast<int>(dpi_); }

 private:
  PangoLayout* layout(const std::string& text, const TextStyle& style, double max_width,
                      bool wrap = false) const;
  void record_text_box(double x, double y, double w, double h, double angle, double ax, double ay,
                       const std::string& text, bool cut, const PangoRectangle& ink);
  std::string png() const;
  std::string vector_document(bool pdf) const;

  cairo_surface_t* surface_ = nullptr;
  cairo_t* cr_ = nullptr;
  double w_ = 0, h_ = 0, dpi_ = 150;
  std::vector<TextBox> text_boxes_;
};

// The dpi a figure of this size is drawn at on this thread.
int effective_dpi(const FigureSize& size);

// Nice tick positions covering [lo, hi], about `target` of them.
std::vector<double> nice_ticks(double lo, double hi, int target = 5);
std::string tick_label(double v, double step);

// Legend entries drawn in a column (or several) within `area`; returns the width used.
struct LegendEntry {
  std::string label;
  Rgb color;
};
enum class Swatch { Circle, Square };
double legend_width(const Canvas& c, const std::string& title,
                    const std::vector<LegendEntry>& entries, double max_height, double max_label_w);
void draw_legend(Canvas& c, double x, double y, const std::string& title,
                 const std::vector<LegendEntry>& entries, Swatch swatch, double max_height,
                 double max_label_w);

}  // namespace norvex::plotting::detail
