#pragma once
// The layout check: every text of a figure on the canvas, no two texts on top of each other.
// Texts are compared as the boxes they were drawn in (turned boxes for rotated labels), so
// neighbouring slanted labels that only share bounding rectangles do not count.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "norvex/plotting/plot.hpp"

namespace norvex::testing {

// Whether two convex quadrilaterals overlap by more than `tol` pixels along every axis
// that could separate them (separating axis theorem).
inline bool quads_overlap(const std::array<double, 8>& a, const std::array<double, 8>& b,
                          double tol) {
  for (const auto* q : {&a, &b}) {
    for (int k = 0; k < 4; ++k) {
      const double ex = (*q)[(2 * k + 2) % 8] - (*q)[2 * k];
      const double ey = (*q)[(2 * k + 3) % 8] - (*q)[2 * k + 1];
      const double len = std::hypot(ex, ey);
      if (len < 1e-9) continue;
      const double nx = -ey / len, ny = ex / len;
      double amin = 1e300, amax = -1e300, bmin = 1e300, bmax = -1e300;
      for (int i = 0; i < 4; ++i) {
        const double pa = a[2 * i] * nx + a[2 * i + 1] * ny;
        const double pb = b[2 * i] * nx + b[2 * i + 1] * ny;
        amin = std::min(amin, pa), amax = std::max(amax, pa);
        bmin = std::min(bmin, pb), bmax = std::max(bmax, pb);
      }
      if (std::min(amax, bmax) - std::max(amin, bmin) <= tol) return false;
    }
  }
  return true;
}

// What is wrong with the figure's layout, one line per problem (empty: nothing).
inline std::vector<std::string> layout_problems(const plotting::RenderedFigure& f,
                                                double tol = 1.0) {
  std::vector<std::string> out;
  const auto& boxes = f.text_boxes;
  for (const auto& b : boxes) {
    if (b.x < -tol || b.y < -tol || b.x + b.w > f.width_px + tol || b.y + b.h > f.height_px + tol)
      out.push_back("'" + b.text + "' leaves the canvas");
  }
  for (size_t i = 0; i < boxes.size(); ++i)
    for (size_t j = i + 1; j < boxes.size(); ++j)
      if (quads_overlap(boxes[i].corners, boxes[j].corners, tol))
        out.push_back("'" + boxes[i].text + "' overlaps '" + boxes[j].text + "'");
  return out;
}

inline std::string joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

// The texts drawn, for finding one.
inline const plotting::TextBox* find_text(const plotting::RenderedFigure& f,
                                          const std::string& needle) {
  for (const auto& b : f.text_boxes)
    if (b.text.find(needle) != std::string::npos) return &b;
  return nullptr;
}

}  // namespace norvex::testing
