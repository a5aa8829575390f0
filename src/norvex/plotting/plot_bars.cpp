// Stacked proportion bars and ranked gene bars.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "norvex/common/errors.hpp"
#include "norvex/plotting/plot_canvas.hpp"

namespace norvex::plotting {

using namespace detail;

namespace {

double luminance(const Rgb& c) {
  return 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
}

const Rgb kUp{0.835, 0.369, 0.0};  // Okabe-Ito vermillion
const Rgb kNeutral{0.70, 0.70, 0.72};
const Rgb kDown{0.0, 0.447, 0.698};  // Okabe-Ito blue

const TextStyle kTick{9}, kAxisStyle{10}, kNote{8, false, false, kMuted};

void check_lengths(const StackedBarPlot& p) {
  const size_t nb = p.bars.size(), ns = p.segments.size();
  if (p.shares.size() != nb) throw ValueError("stacked bars: one share list per bar is needed");
  for (auto& s : p.shares)
    if (s.size() != ns) throw ValueError("stacked bars: one share per segment is needed");
  if (!p.bar_annotations.empty() && p.bar_annotations.size() != nb)
    throw ValueError("stacked bars: one annotation per bar is needed");
  if (!p.bar_groups.empty() && p.bar_groups.size() != nb)
    throw ValueError("stacked bars: one group per bar is needed");
}

Rgb segment_color_of(const StackedBarPlot& p, size_t k) {
  return k < p.segment_colors.size() ? p.segment_colors[k] : categorical_color(k);
}

// Where everything goes: the plot area, one slot per bar, how bar labels are set, the
// legend beside.
struct BarsLayout {
  std::vector<LegendEntry> entries;
  Rect plot;
  double slot = 0, bar_w = 0;
  bool slant = false;  // bar labels slanted: they do not fit their slot
  double angle = 40, max_label_w = 0;
  double labels_h = 0;  // height of the bar labels under the axis
};

BarsLayout bars_layout(const Canvas& c, const StackedBarPlot& p, double top) {
  const double pad = c.inch(0.14);
  const size_t nb = p.bars.size();
  BarsLayout l;
  // The legend lists the top segment first, like the stack reads.
  for (size_t k = p.segments.size(); k-- > 0;)
    l.entries.push_back({p.segments[k], segment_color_of(p, k)});
  const double legend_w =
      legend_width(c, p.legend_title, l.entries, c.height() - top - pad, c.width() * 0.3);

  const double ylabel_h = c.measure(p.y_label, kAxisStyle).h;
  const double ytick_w = c.measure("100", kTick).w;
  Rect& plot = l.plot;
  plot.x = pad + ylabel_h + c.px(6) + ytick_w + c.px(6);
  plot.w = c.width() - plot.x - pad - (legend_w > 0 ? legend_w + c.px(16) : 0);
  plot.w = std::max(plot.w, c.px(60));
  l.slot = nb ? plot.w / nb : plot.w;

  // Bar labels: horizontal when they fit their slot, slanted otherwise.
  double label_w = 0, label_h = c.measure("Ag", kTick).h;
  for (auto& b : p.bars) label_w = std::max(label_w, c.measure(b, kTick).w);
  l.slant = label_w > l.slot * 0.95;
  l.max_label_w = c.height() * 0.22;
  l.labels_h = label_h + c.px(4);
  if (l.slant) {
    const double lw = std::min(label_w, l.max_label_w);
    l.labels_h =
        lw * std::sin(l.angle * M_PI / 180) + label_h * std::cos(l.angle * M_PI / 180) + c.px(6);
  }
  const double group_h = p.bar_groups.empty() ? 0 : c.measure("Ag", kTick).h + c.px(10);
  const double xlabel_h = p.x_label.empty() ? 0 : c.measure(p.x_label, kAxisStyle).h + c.px(4);
  const double annot_h = p.bar_annotations.empty() ? 0 : c.measure("n=1", kNote).h + c.px(3);
  plot.y = top + annot_h;
  plot.h = c.height() - plot.y - pad - l.labels_h - group_h - xlabel_h;
  plot.h = std::max(plot.h, c.px(60));
  l.bar_w = std::min(l.slot * 0.72, c.inch(0.9));
  return l;
}

void draw_percent_axis(Canvas& c, const StackedBarPlot& p, const Rect& plot) {
  for (int t = 0; t <= 100; t += 25) {
    const double y = plot.bottom() - plot.h * t / 100.0;
    c.line(plot.x, y, plot.right(), y, kGrid, c.px(0.6));
    c.text(plot.x - c.px(4), y, std::to_string(t), kTick, 1, 0.5);
  }
  c.text(c.inch(0.14), plot.y + plot.h / 2, p.y_label, kAxisStyle, 0.5, 0, 90);
}

// The share written inside each segment tall and wide enough for it, in ink that reads
// on the segment's colour.
void draw_percent_labels(Canvas& c, const StackedBarPlot& p, const BarsLayout& l, size_t b,
                         double cx) {
  const Rect& plot = l.plot;
  const double bw = l.bar_w;
  double acc = 0;
  const TextStyle pct_style{8};
  for (size_t k = 0; k < p.segments.size(); ++k) {
    const double s = std::clamp(p.shares[b][k], 0.0, 1.0);
    const double y1 = plot.bottom() - plot.h * acc, h = plot.h * s;
    acc += s;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.0f%%", s * 100);
    TextSize ts = c.measure(buf, pct_style);
    if (s < 0.03 || h < ts.h + c.px(1) || bw < ts.w + c.px(4)) continue;
    TextStyle st = pct_style;
    st.color = luminance(segment_color_of(p, k)) > 0.5 ? kInk : Rgb{1, 1, 1};
    c.text(cx, y1 - h / 2, buf, st, 0.5, 0.5);
  }
}

// One bar: its segments bottom to top, the seams between them, the shares, its
// annotation above and its label below.
void draw_bar(Canvas& c, const StackedBarPlot& p, const BarsLayout& l, size_t b) {
  const Rect& plot = l.plot;
  const size_t ns = p.segments.size();
  const double bw = l.bar_w, cx = plot.x + l.slot * (b + 0.5);
  double acc = 0;
  for (size_t k = 0; k < ns; ++k) {
    const double s = std::clamp(p.shares[b][k], 0.0, 1.0);
    if (s <= 0) continue;
    const double y1 = plot.bottom() - plot.h * acc, h = plot.h * s;
    c.fill_rect(Rect{cx - bw / 2, y1 - h, bw, h}, segment_color_of(p, k));
    acc += s;
  }
  // Thin white seams keep neighbouring segments apart.
  acc = 0;
  for (size_t k = 0; k + 1 < ns; ++k) {
    acc += std::clamp(p.shares[b][k], 0.0, 1.0);
    if (p.shares[b][k] <= 0 || acc >= 0.999) continue;
    const double y = plot.bottom() - plot.h * acc;
    c.line(cx - bw / 2, y, cx + bw / 2, y, Rgb{1, 1, 1}, c.px(0.7));
  }
  if (p.percent_labels) draw_percent_labels(c, p, l, b, cx);
  if (!p.bar_annotations.empty()) c.text(cx, plot.y - c.px(2), p.bar_annotations[b], kNote, 0.5, 1);
  if (l.slant)
    c.text(cx + c.px(3), plot.bottom() + c.px(4), p.bars[b], kTick, 1, 0, l.angle, l.max_label_w);
  else
    c.text(cx, plot.bottom() + c.px(4), p.bars[b], kTick, 0.5, 0);
}

// Consecutive bars of one group get a bracket with the group's name.
void draw_group_brackets(Canvas& c, const StackedBarPlot& p, const BarsLayout& l) {
  const Rect& plot = l.plot;
  const size_t nb = p.bars.size();
  const double slot = l.slot;
  const double gy = plot.bottom() + l.labels_h + c.px(3);
  size_t start = 0;
  for (size_t b = 1; b <= nb; ++b) {
    if (b < nb && p.bar_groups[b] == p.bar_groups[start]) continue;
    const double x0 = plot.x + slot * start + slot * 0.12, x1 = plot.x + slot * b - slot * 0.12;
    c.line(x0, gy, x1, gy, kAxis, c.px(0.9));
    c.text((x0 + x1) / 2, gy + c.px(2), p.bar_groups[start], TextStyle{9, true}, 0.5, 0, 0,
           x1 - x0 + slot * 0.2);
    start = b;
  }
}

}  // namespace

std::string render_stacked_bars_png(const StackedBarPlot& p) {
  check_lengths(p);
  Canvas c(p.size);
  const double pad = c.inch(0.14);
  const double top = c.header(p.title, p.subtitle);
  const BarsLayout l = bars_layout(c, p, top);
  const Rect& plot = l.plot;
  draw_percent_axis(c, p, plot);
  for (size_t b = 0; b < p.bars.size(); ++b) draw_bar(c, p, l, b);
  c.line(plot.x, plot.bottom(), plot.right(), plot.bottom(), kAxis, c.px(0.8));
  if (!p.bar_groups.empty()) draw_group_brackets(c, p, l);
  if (!p.x_label.empty())
    c.text(plot.x + plot.w / 2, c.height() - pad, p.x_label, kAxisStyle, 0.5, 1);
  draw_legend(c, plot.right() + c.px(16), plot.y, p.legend_title, l.entries, Swatch::Square,
              c.height() - plot.y - pad, c.width() * 0.3);
  return c.finish();
}

std::string render_ranking_png(const RankingPlot& p) {
  const size_t n = p.labels.size();
  if (p.values.size() != n) throw ValueError("ranking plot: one value per label is needed");
  if (!p.value_notes.empty() && p.value_notes.size() != n)
    throw ValueError("ranking plot: one note per label is needed");
  if (!p.directions.empty() && p.directions.size() != n)
    throw ValueError("ranking plot: one direction per label is needed");
  auto direction = [&](size_t i) -> int {
    if (!p.directions.empty()) return p.directions[i] > 0 ? 1 : (p.directions[i] < 0 ? -1 : 0);
    const double v = std::isfinite(p.values[i]) ? p.values[i] : 0;
    return v >= 0 ? 1 : -1;
  };

  Canvas c(p.size);
  const double pad = c.inch(0.14);
  const double top = c.header(p.title, p.subtitle);
  const TextStyle gene{9.5, false, true}, tick{9}, axis{10}, note{8, false, false, kMuted};

  bool any_up = false, any_down = false, any_neutral = false;
  for (size_t i = 0; i < n; ++i) {
    const int d = direction(i);
    any_up |= d > 0, any_down |= d < 0, any_neutral |= d == 0;
  }
  std::vector<LegendEntry> entries;
  if (any_up || n == 0) entries.push_back({p.up_label, kUp});
  if (any_down || n == 0) entries.push_back({p.down_label, kDown});
  if (any_neutral) entries.push_back({p.neutral_label, kNeutral});
  const double legend_w = legend_width(c, "", entries, c.height(), c.width() * 0.25);

  double label_w = 0, note_w = 0;
  for (auto& l : p.labels) label_w = std::max(label_w, c.measure(l, gene).w);
  for (auto& s : p.value_notes) note_w = std::max(note_w, c.measure(s, note).w);
  label_w = std::min(label_w, c.width() * 0.3);
  const double xlabel_h = c.measure(p.x_label, axis).h;
  const double xtick_h = c.measure("0", tick).h;
  Rect plot;
  plot.x = pad + label_w + c.px(8);
  plot.y = top;
  plot.w = c.width() - plot.x - pad - (note_w > 0 ? note_w + c.px(10) : 0) -
           (legend_w > 0 ? legend_w + c.px(14) : 0);
  plot.h = c.height() - top - pad - xlabel_h - xtick_h - c.px(8);
  plot.w = std::max(plot.w, c.px(60));
  plot.h = std::max(plot.h, c.px(40));

  if (n == 0) {
    c.text(plot.x + plot.w / 2, plot.y + plot.h / 2, "No genes to show",
           TextStyle{11, false, false, kMuted}, 0.5, 0.5);
    return c.finish();
  }
  double lo = 0, hi = 0;
  for (double v : p.values)
    if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
  if (hi - lo < 1e-12) hi = lo + 1;
  auto ticks = nice_ticks(lo, hi, 5);
  if (!ticks.empty()) lo = std::min(lo, ticks.front()), hi = std::max(hi, ticks.back());
  auto xpx = [&](double v) { return plot.x + (v - lo) / (hi - lo) * plot.w; };
  const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : 1;
  for (double t : ticks) {
    c.line(xpx(t), plot.y, xpx(t), plot.bottom(), kGrid, c.px(0.6));
    c.text(xpx(t), plot.bottom() + c.px(3), tick_label(t, step), tick, 0.5, 0);
  }
  const double row = plot.h / n;
  const double thick = std::min(row * 0.7, c.px(16));
  for (size_t i = 0; i < n; ++i) {
    const double cy = plot.y + row * (i + 0.5);
    const double v = std::isfinite(p.values[i]) ? p.values[i] : 0;
    const double x0 = xpx(0), x1 = xpx(v);
    c.fill_rect(Rect{std::min(x0, x1), cy - thick / 2, std::fabs(x1 - x0), thick},
                direction(i) > 0 ? kUp : (direction(i) < 0 ? kDown : kNeutral));
    c.text(plot.x - c.px(6), cy, p.labels[i], gene, 1, 0.5, 0, label_w);
    if (!p.value_notes.empty()) c.text(plot.right() + c.px(8), cy, p.value_notes[i], note, 0, 0.5);
  }
  c.line(xpx(0), plot.y, xpx(0), plot.bottom(), kInk, c.px(0.9));
  c.line(plot.x, plot.bottom(), plot.right(), plot.bottom(), kAxis, c.px(0.8));
  c.text(plot.x + plot.w / 2, c.height() - pad, p.x_label, axis, 0.5, 1);
  draw_legend(c, c.width() - pad - legend_w, plot.y, "", entries, Swatch::Square, plot.h,
              c.width() * 0.25);
  return c.finish();
}

}  // namespace norvex::plotting
