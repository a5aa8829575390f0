// One drawing, several outputs: PNG at the figure's own or a chosen resolution, SVG and PDF
// from the same drawing, collected by the RenderScope in drawing order.
#include <gtest/gtest.h>

#include <cstdlib>

#include "norvex/common/errors.hpp"
#include "norvex/plotting/plot.hpp"
#include "norvex/plotting/result_plots.hpp"
#include "support/fixtures.hpp"

namespace norvex::plotting {
namespace {

StackedBarPlot bars() {
  StackedBarPlot s;
  s.bars = {"Normal", "Tumour"};
  s.segments = {"T", "B"};
  s.shares = {{0.25, 0.75}, {0.5, 0.5}};
  s.title = "Cell types";
  s.size = FigureSize{6, 4, 150};
  return s;
}

// The value of a numeric attribute of the root <svg> element ("width" -> 432 of "432pt").
double svg_attribute(const std::string& svg, const std::string& name) {
  const size_t root = svg.find("<svg");
  const size_t at = svg.find(" " + name + "=\"", root);
  if (root == std::string::npos || at == std::string::npos) return -1;
  return std::atof(svg.c_str() + at + name.size() + 3);
}

TEST(FigureOutput, WithoutAScopeOnlyThePngIsMadeAndNothingIsCollected) {
  const std::string png = render_stacked_bars_png(bars());
  EXPECT_EQ(png_size(png), (std::pair<int, int>{900, 600}));
  EXPECT_EQ(RenderScope::current(), nullptr);
}

TEST(FigureOutput, ADpiDrawsTheSameLayoutAtMorePixels) {
  RenderScope base;
  const std::string at150 = render_stacked_bars_png(bars());
  RenderedFigure f150 = base.figures().at(0);
  RenderScope hi(RenderOptions{300, false, false});
  const std::string at300 = render_stacked_bars_png(bars());
  ASSERT_EQ(hi.figures().size(), 1u);
  EXPECT_EQ(png_size(at300), (std::pair<int, int>{1800, 1200}));
  EXPECT_EQ(hi.figures()[0].width_px, 1800);
  // Every text lands at the same place relative to the figure, twice as many pixels in.
  const auto& a = f150.text_boxes;
  const auto& b = hi.figures()[0].text_boxes;
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].text, b[i].text);
    // Within 1% of the figure: text metrics round differently at each size.
    EXPECT_NEAR(b[i].x, 2 * a[i].x, 18.0) << a[i].text;
    EXPECT_NEAR(b[i].y, 2 * a[i].y, 12.0) << a[i].text;
  }
  // The innermost scope collects; the outer one saw only its own figure.
  EXPECT_EQ(base.figures().size(), 1u);
}

TEST(FigureOutput, SvgAndPdfAreVectorDocumentsOfThePagesSize) {
  RenderScope scope(RenderOptions{0, true, true});
  const std::string png = render_stacked_bars_png(bars());
  ASSERT_EQ(scope.figures().size(), 1u);
  const RenderedFigure& f = scope.figures()[0];
  EXPECT_EQ(f.png, png);
  EXPECT_EQ(scope.find(png), &f);
  EXPECT_EQ(scope.find("other"), nullptr);
  // 6 x 4 inches are 432 x 288 points, whatever the PNG's resolution.
  EXPECT_EQ(f.svg.rfind("<?xml", 0), 0u);
  EXPECT_NEAR(svg_attribute(f.svg, "width"), 432, 0.01);
  EXPECT_NEAR(svg_attribute(f.svg, "height"), 288, 0.01);
  // Text and bars are paths, not a picture of them.
  EXPECT_EQ(f.svg.find("<image"), std::string::npos);
  EXPECT_NE(f.svg.find("<path"), std::string::npos);
  EXPECT_NE(f.svg.find("glyph"), std::string::npos);
  EXPECT_EQ(f.pdf.rfind("%PDF-", 0), 0u);
  EXPECT_NE(f.pdf.find("/MediaBox [ 0 0 432 288 ]"), std::string::npos);
}

TEST(FigureOutput, ScatterPointsTravelAsOneEmbeddedRasterInTheSvg) {
  ScatterPlot p;
  for (int i = 0; i < 300; ++i) {
    p.x.push_back(static_cast<float>(i % 20));
    p.y.push_back(static_cast<float>(i / 20));
    p.codes.push_back(i % 2);
  }
  p.categories = {"A", "B"};
  p.size = FigureSize{5, 4, 150};
  RenderScope scope(RenderOptions{0, true, false});
  const std::string png = render_scatter_png(p);
  const std::string& svg = scope.figures().at(0).svg;
  size_t images = 0;
  for (size_t at = 0; (at = svg.find("<image", at)) != std::string::npos; ++at) ++images;
  EXPECT_EQ(images, 1u);
  // Replayed after the point buffer is gone, the PNG still shows the points.
  EXPECT_GT(testing::count_pixels(png, 0xE6, 0x9F, 0x00), 100u);
  EXPECT_EQ(png, render_scatter_png(p));  // deterministic under a scope as well
}

TEST(FigureOutput, ATooLargeResolutionIsRefusedByName) {
  StackedBarPlot s = bars();
  s.size.width_in = 30;
  RenderScope scope(RenderOptions{1200, false, false});
  try {
    render_stacked_bars_png(s);
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("1200 dpi"), std::string::npos) << e.what();
  }
  // The heatmap sizes its data to the pixels it will get, at the scope's resolution.
  RenderScope hi(RenderOptions{300, false, false});
  FigureSize size{6, 4, 150};
  const auto area300 = heatmap_area_pixels(size);
  RenderScope lo(RenderOptions{150, false, false});
  const auto area150 = heatmap_area_pixels(size);
  EXPECT_NEAR(static_cast<double>(area300.second), 2.0 * area150.second, 4.0);
}

}  // namespace
}  // namespace norvex::plotting
