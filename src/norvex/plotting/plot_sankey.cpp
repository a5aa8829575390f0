// Sankey diagrams: one layout, drawn twice, by cairo (PNG) and by a small inline script
// (interactive HTML), so the report's image and the page show the same diagram.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "norvex/common/errors.hpp"
#include "norvex/common/escape.hpp"
#include "norvex/common/json.hpp"
#include "norvex/plotting/plot_canvas.hpp"
#include "norvex/plotting/result_plots.hpp"

namespace norvex::plotting {
using namespace detail;

namespace {

struct NodeBox {
  double x = 0, y = 0, h = 0;
};
struct LinkPath {
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0, width = 0;  // centre line ends and band width
};
struct SankeyLayout {
  double top = 0;  // below the header
  double node_w = 0, px_per_cell = 0, level_label_y = 0;
  std::vector<double> level_x;
  std::vector<NodeBox> nodes;
  std::vector<LinkPath> links;
  double total = 0;
};

const TextStyle kNodeLabel{8.5};
const TextStyle kLevel{9.5, true};

// "T cells (12,345)", as the page's labels read.
std::string with_count(const SankeyDiagram::Node& n) {
  const std::string digits = std::to_string(std::llround(n.count));
  std::string grouped;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return n.label + " (" + grouped + ")";
}

SankeyLayout layout(Canvas& c, const SankeyDiagram& d) {
  const size_t n_levels = d.levels.size();
  if (n_levels < 2) throw ValueError("sankey: at least two levels are needed");
  for (const auto& n : d.nodes)
    if (n.level >= n_levels) throw ValueError("sankey: a node outside the levels");
  for (const auto& l : d.links)
    if (l.from >= d.nodes.size() || l.to >= d.nodes.size() ||
        d.nodes[l.to].level != d.nodes[l.from].level + 1)
      throw ValueError("sankey: a link must join a node to one on the next level");
  SankeyLayout L;
  const double pad = c.inch(0.14);
  L.top = c.header(d.title, d.subtitle);
  L.level_label_y = L.top;
  const double area_top = L.top + c.measure("Ag", kLevel).h + c.px(6);
  const double area_h = c.height() - area_top - pad;
  L.node_w = c.px(9);
  const double left = pad, right = c.width() - pad;
  for (size_t l = 0; l < n_levels; ++l)
    L.level_x.push_back(left + (right - left - L.node_w) * l / (n_levels - 1));

  std::vector<std::vector<size_t>> by_level(n_levels);
  for (size_t i = 0; i < d.nodes.size(); ++i) by_level[d.nodes[i].level].push_back(i);
  double total = 0;
  for (size_t i : by_level[0]) total += d.nodes[i].count;
  L.total = total;
  size_t most = 1;
  for (auto& v : by_level) most = std::max(most, v.size());
  const double gap = std::min(c.px(6), area_h * 0.3 / most);
  L.px_per_cell = total > 0 ? (area_h - gap * (most - 1)) / total : 0;
  L.nodes.resize(d.nodes.size());
  for (size_t l = 0; l < n_levels; ++l) {
    double level_total = 0;
    for (size_t i : by_level[l]) level_total += d.nodes[i].count;
    double y = area_top + (area_h - level_total * L.px_per_cell -
                           gap * (by_level[l].empty() ? 0 : by_level[l].size() - 1)) /
                              2;
    for (size_t i : by_level[l]) {
      L.nodes[i] = {L.level_x[l], y, d.nodes[i].count * L.px_per_cell};
      y += L.nodes[i].h + gap;
    }
  }
  // Link ends stack inside their nodes, ordered by the position of the other end, so
  // bands leave and arrive without crossing inside a node.
  std::vector<size_t> order(d.links.size());
  std::iota(order.begin(), order.end(), 0);
  std::vector<double> out_used(d.nodes.size(), 0), in_used(d.nodes.size(), 0);
  L.links.resize(d.links.size());
  std::vector<size_t> by_target = order, by_source = order;
  std::stable_sort(by_target.begin(), by_target.end(), [&](size_t a, size_t b) {
    return L.nodes[d.links[a].to].y < L.nodes[d.links[b].to].y;
  });
  std::stable_sort(by_source.begin(), by_source.end(), [&](size_t a, size_t b) {
    return L.nodes[d.links[a].from].y < L.nodes[d.links[b].from].y;
  });
  for (size_t k : by_target) {
    const auto& l = d.links[k];
    const double w = l.count * L.px_per_cell;
    L.links[k].width = w;
    L.links[k].x0 = L.nodes[l.from].x + L.node_w;
    L.links[k].y0 = L.nodes[l.from].y + out_used[l.from] + w / 2;
    out_used[l.from] += w;
  }
  for (size_t k : by_source) {
    const auto& l = d.links[k];
    const double w = L.links[k].width;
    L.links[k].x1 = L.nodes[l.to].x;
    L.links[k].y1 = L.nodes[l.to].y + in_used[l.to] + w / 2;
    in_used[l.to] += w;
  }
  return L;
}

std::string hex(const Rgb& c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "#%02x%02x%02x", static_cast<int>(std::lround(c.r * 255)),
                static_cast<int>(std::lround(c.g * 255)), static_cast<int>(std::lround(c.b * 255)));
  return buf;
}

// The page's script: draws the nodes and links from the embedded layout and shows a
// tooltip with counts and percentages. Kept small and dependency-free on purpose.
const char* kScript = R"JS(
(function () {
  var D = JSON.parse(document.getElementById('sankey-data').textContent);
  var NS = 'http://www.w3.org/2000/svg';
  var svg = document.getElementById('sankey');
  var tip = document.getElementById('tip');
  function el(name, attrs, parent) {
    var e = document.createElementNS(NS, name);
    for (var k in attrs) e.setAttribute(k, attrs[k]);
    (parent || svg).appendChild(e);
    return e;
  }
  function esc(s) {
    return String(s).replace(/[&<>"]/g, function (c) {
      return {'&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;'}[c];
    });
  }
  function fmt(n) { return Math.round(n).toLocaleString('en-US'); }
  function pct(a, b) { return b > 0 ? (100 * a / b).toFixed(1) + '%' : '–'; }
  function show(ev, html) {
    tip.innerHTML = html;
    tip.style.display = 'block';
    tip.style.left = (ev.pageX + 14) + 'px';
    tip.style.top = (ev.pageY + 10) + 'px';
  }
  function hide() { tip.style.display = 'none'; }
  var links = el('g', {'fill': 'none'});
  D.links.forEach(function (l, i) {
    var xm = (l.x0 + l.x1) / 2;
    var p = el('path', {
      'd': 'M' + l.x0 + ',' + l.y0 + 'C' + xm + ',' + l.y0 + ' ' + xm + ',' + l.y1 + ' ' + l.x1 + ',' + l.y1,
      'stroke': D.nodes[l.from].color, 'stroke-opacity': 0.42,
      'stroke-width': Math.max(l.count * D.px_per_cell, 0.5),
      'data-link': i, 'data-count': l.count
    }, links);
    var a = esc(D.nodes[l.from].label), b = esc(D.nodes[l.to].label);
    var na = D.nodes[l.from].count, nb = D.nodes[l.to].count;
    var text = '<b>' + a + ' → ' + b + '</b><br>' + fmt(l.count) + ' cells<br>' +
      pct(l.count, na) + ' of ' + a + '<br>' + pct(l.count, nb) + ' of ' + b + '<br>' +
      pct(l.count, D.total) + ' of all cells';
    p.addEventListener('mousemove', function (ev) { p.setAttribute('stroke-opacity', 0.7); show(ev, text); });
    p.addEventListener('mouseleave', function () { p.setAttribute('stroke-opacity', 0.42); hide(); });
  });
  D.nodes.forEach(function (n, i) {
    var r = el('rect', {'x': n.x, 'y': n.y, 'width': D.node_w, 'height': Math.max(n.h, 0.5),
      'fill': n.color, 'data-node': i});
    var text = '<b>' + esc(n.label) + '</b> (' + esc(D.levels[n.level]) + ')<br>' + fmt(n.count) +
      ' cells<br>' + pct(n.count, D.total) + ' of all cells';
    r.addEventListener('mousemove', function (ev) { show(ev, text); });
    r.addEventListener('mouseleave', hide);
    var last = n.level === D.levels.length - 1;
    var t = el('text', {'x': last ? n.x - 4 : n.x + D.node_w + 4, 'y': n.y + n.h / 2,
      'dominant-baseline': 'middle', 'text-anchor': last ? 'end' : 'start',
      'font-size': D.font_px, 'class': 'label'});
    t.textContent = n.label + ' (' + fmt(n.count) + ')';
  });
  D.levels.forEach(function (name, l) {
    var t = el('text', {'x': D.level_x[l] + (l === D.levels.length - 1 ? D.node_w : 0),
      'y': D.level_y, 'dominant-baseline': 'hanging', 'font-weight': 'bold',
      'text-anchor': l === D.levels.length - 1 ? 'end' : 'start', 'font-size': D.level_px});
    t.textContent = name;
  });
  svg.setAttribute('data-ready', '1');
})();
)JS";

// Node labels beside their nodes. Small nodes sit closer together than their labels are
// tall, so each column's labels are spread apart (in node order) and a displaced label is
// joined to its node by a leader line.
void draw_node_labels(Canvas& c, const SankeyDiagram& d, const SankeyLayout& L) {
  const size_t last = d.levels.size() - 1;
  const double area_top = L.level_label_y + c.measure("Ag", kLevel).h + c.px(6);
  const double area_bottom = c.height() - c.inch(0.14);
  const double gap = c.px(1);
  for (size_t level = 0; level <= last; ++level) {
    std::vector<size_t> nodes;
    for (size_t i = 0; i < d.nodes.size(); ++i)
      if (d.nodes[i].level == level) nodes.push_back(i);
    std::stable_sort(nodes.begin(), nodes.end(),
                     [&](size_t a, size_t b) { return L.nodes[a].y < L.nodes[b].y; });
    std::vector<double> want, y, h;
    for (size_t i : nodes) {
      want.push_back(L.nodes[i].y + L.nodes[i].h / 2);
      h.push_back(c.measure(with_count(d.nodes[i]), kNodeLabel).h);
    }
    y = want;
    // Down from the top, then back up from the bottom edge: the least movement that keeps
    // the labels apart and on the canvas.
    for (size_t k = 0; k < y.size(); ++k) {
      const double floor_y = k ? y[k - 1] + (h[k - 1] + h[k]) / 2 + gap : area_top + h[k] / 2;
      y[k] = std::max(y[k], floor_y);
    }
    for (size_t k = y.size(); k-- > 0;) {
      const double ceil_y =
          k + 1 < y.size() ? y[k + 1] - (h[k + 1] + h[k]) / 2 - gap : area_bottom - h[k] / 2;
      y[k] = std::min(y[k], ceil_y);
    }
    bool moved = false;
    for (size_t k = 0; k < y.size(); ++k) moved |= std::fabs(y[k] - want[k]) > 0.5;
    const bool at_end = level == last;
    const double lead = moved ? c.px(10) : 0;
    for (size_t k = 0; k < nodes.size(); ++k) {
      const NodeBox& b = L.nodes[nodes[k]];
      const double edge = at_end ? b.x : b.x + L.node_w;
      const double x = at_end ? edge - c.px(3) - lead : edge + c.px(3) + lead;
      if (std::fabs(y[k] - want[k]) > 0.5)
        c.line(edge, want[k], at_end ? x + c.px(1) : x - c.px(1), y[k], kMuted, c.px(0.6));
      c.text(x, y[k], with_count(d.nodes[nodes[k]]), kNodeLabel, at_end ? 1 : 0, 0.5, 0, -1, true);
    }
  }
}

}  // namespace

std::string render_sankey_png(const SankeyDiagram& d) {
  Canvas c(d.size);
  const SankeyLayout L = layout(c, d);
  cairo_t* cr = c.cr();
  for (size_t k = 0; k < d.links.size(); ++k) {
    const LinkPath& p = L.links[k];
    if (p.width <= 0) continue;
    const double xm = (p.x0 + p.x1) / 2;
    c.set_color(d.nodes[d.links[k].from].color, 0.42);
    cairo_set_line_width(cr, std::max(p.width, 0.5));
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    cairo_move_to(cr, p.x0, p.y0);
    cairo_curve_to(cr, xm, p.y0, xm, p.y1, p.x1, p.y1);
    cairo_stroke(cr);
  }
  const size_t last = d.levels.size() - 1;
  for (size_t i = 0; i < d.nodes.size(); ++i) {
    const NodeBox& b = L.nodes[i];
    c.fill_rect(Rect{b.x, b.y, L.node_w, std::max(b.h, 0.5)}, d.nodes[i].color);
  }
  draw_node_labels(c, d, L);
  for (size_t l = 0; l < d.levels.size(); ++l)
    c.text(L.level_x[l] + (l == last ? L.node_w : 0), L.level_label_y, d.levels[l], kLevel,
           l == last ? 1 : 0, 0);
  return c.finish();
}

std::string render_sankey_html(const SankeyDiagram& d) {
  Canvas c(d.size);
  const SankeyLayout L = layout(c, d);
  json data = json::object();
  data["levels"] = d.levels;
  data["total"] = L.total;
  data["px_per_cell"] = L.px_per_cell;
  data["node_w"] = L.node_w;
  data["level_x"] = L.level_x;
  data["level_y"] = L.level_label_y;
  data["font_px"] = c.px(kNodeLabel.pt);
  data["level_px"] = c.px(kLevel.pt);
  json nodes = json::array();
  for (size_t i = 0; i < d.nodes.size(); ++i)
    nodes.push_back({{"label", d.nodes[i].label},
                     {"level", d.nodes[i].level},
                     {"count", d.nodes[i].count},
                     {"color", hex(d.nodes[i].color)},
                     {"x", L.nodes[i].x},
                     {"y", L.nodes[i].y},
                     {"h", L.nodes[i].h}});
  data["nodes"] = nodes;
  json links = json::array();
  for (size_t k = 0; k < d.links.size(); ++k)
    links.push_back({{"from", d.links[k].from},
                     {"to", d.links[k].to},
                     {"count", d.links[k].count},
                     {"x0", L.links[k].x0},
                     {"y0", L.links[k].y0},
                     {"x1", L.links[k].x1},
                     {"y1", L.links[k].y1}});
  data["links"] = links;
  std::string payload = data.dump();
  // "</" would end the script element early.
  for (size_t at = 0; (at = payload.find("</", at)) != std::string::npos; at += 3)
    payload.replace(at, 2, "<\\/");
  char view[96];
  // The page has its own heading; the drawing starts below the figure's header.
  const double y0 = std::max(0.0, L.top - c.px(4));
  std::snprintf(view, sizeof view, "0 %.0f %.0f %.0f", y0, c.width(), c.height() - y0);
  // Shown at 96 px per inch, the figure's size on screen.
  char css_w[32];
  std::snprintf(css_w, sizeof css_w, "%.0fpx", d.size.width_in * 96);
  std::string html =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + xml_escape(d.title) +
      "</title>\n<style>body{margin:12px;font-family:'Noto Sans','Noto Sans CJK KR',sans-serif;"
      "color:#262626;background:#fff}h1{font-size:17px;margin:0}p.sub{font-size:12px;color:"
      "#616166;margin:2px 0 8px}svg{width:100%;max-width:" +
      std::string(css_w) +
      ";height:auto;font-family:inherit}.label{paint-order:stroke;stroke:#fff;stroke-width:3px;"
      "stroke-opacity:.85}#tip{position:absolute;display:none;pointer-events:none;background:"
      "#fff;border:1px solid #bbb;border-radius:4px;padding:6px 8px;font-size:12px;box-shadow:"
      "0 1px 4px rgba(0,0,0,.2)}</style></head><body>\n<h1>" +
      xml_escape(d.title) + "</h1>\n<p class=\"sub\">" + xml_escape(d.subtitle) +
      "</p>\n<svg id=\"sankey\" viewBox=\"" + view +
      "\" xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" aria-label=\"" + xml_escape(d.title) +
      "\"></svg>\n<div id=\"tip\"></div>\n" +
      "<script type=\"application/json\" id=\"sankey-data\">" + payload + "</script>\n<script>" +
      kScript + "</script>\n</body></html>\n";
  return html;
}

}  // namespace norvex::plotting
