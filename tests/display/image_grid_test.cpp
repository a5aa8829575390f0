// Several plot images merged into one grid picture: sizes, gaps, no stretching.
#include <cairo.h>
#include <gtest/gtest.h>

#include <cstring>

#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/display/image_grid.hpp"
#include "norvex/host/recording_host.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

cairo_status_t append(void* c, const unsigned char* d, unsigned n) {
  static_cast<std::string*>(c)->append(reinterpret_cast<const char*>(d), n);
  return CAIRO_STATUS_SUCCESS;
}

std::string solid_png(int w, int h, double r, double g, double b) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  cairo_t* cr = cairo_create(s);
  cairo_set_source_rgb(cr, r, g, b);
  cairo_paint(cr);
  cairo_destroy(cr);
  std::string bytes;
  cairo_surface_write_to_png_stream(s, append, &bytes);
  cairo_surface_destroy(s);
  return base64_encode(bytes);
}

struct Decoded {
  cairo_surface_t* s;
  ~Decoded() { cairo_surface_destroy(s); }
  int w() const { return cairo_image_surface_get_width(s); }
  int h() const { return cairo_image_surface_get_height(s); }
  // Pixel as 0xRRGGBB (opaque images).
  uint32_t at(int x, int y) const {
    const unsigned char* row =
        cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s);
    uint32_t px;
    std::memcpy(&px, row + 4 * x, 4);
    return px & 0xFFFFFF;
  }
};

Decoded decode(const std::string& b64) {
  std::string bytes = base64_decode(b64);
  struct R {
    const std::string* b;
    size_t pos;
  } st{&bytes, 0};
  cairo_surface_t* s = cairo_image_surface_create_from_png_stream(
      [](void* c, unsigned char* d, unsigned n) {
        auto* r = static_cast<R*>(c);
        if (r->pos + n > r->b->size()) return CAIRO_STATUS_READ_ERROR;
        std::memcpy(d, r->b->data() + r->pos, n);
        r->pos += n;
        return CAIRO_STATUS_SUCCESS;
      },
      &st);
  cairo_surface_flush(s);
  return Decoded{s};
}

TEST(ImageGrid, ImagesKeepTheirSizeWithTenPixelGaps) {
  RecordingHost host;
  RecordingHost stray;  // shows nothing: the host is passed, not installed
  ScopedHost scoped(stray);
  json imgs = json::array(
      {solid_png(40, 20, 1, 0, 0), solid_png(30, 50, 0, 1, 0), solid_png(40, 20, 0, 0, 1)});
  std::string merged = merge_base64_pngs_grid_nostretch(host, imgs, 2, 10, true);
  ASSERT_FALSE(merged.empty());
  Decoded d = decode(merged);
  // Columns 40 and 30 wide, rows 50 and 20 tall, 10 px between.
  EXPECT_EQ(d.w(), 40 + 10 + 30);
  EXPECT_EQ(d.h(), 50 + 10 + 20);
  // Each image centred in its cell at its own size: red 40x20 in a 40x50 cell.
  EXPECT_EQ(d.at(0, 15), 0xFF0000u);
  EXPECT_EQ(d.at(39, 34), 0xFF0000u);
  EXPECT_EQ(d.at(20, 14), 0xFFFFFFu);  // above the red image: background
  EXPECT_EQ(d.at(45, 25), 0xFFFFFFu);  // the gap between the columns
  EXPECT_EQ(d.at(50, 0), 0x00FF00u);   // green fills its 30x50 cell
  EXPECT_EQ(d.at(79, 49), 0x00FF00u);
  EXPECT_EQ(d.at(0, 60), 0x0000FFu);   // blue starts the second row
  EXPECT_EQ(d.at(60, 70), 0xFFFFFFu);  // the empty last cell
  EXPECT_TRUE(host.events.empty());

  testing::TempDir dir;
  testing::write_file(dir / "grid.png", base64_decode(merged));
}

TEST(ImageGrid, UnreadableImagesAreSkippedWithAWarning) {
  RecordingHost host;
  RecordingHost stray;  // shows nothing: the host is passed, not installed
  ScopedHost scoped(stray);
  json imgs = json::array({"not base64!", solid_png(5, 5, 0, 0, 0), base64_encode("GIF89a")});
  std::string merged = merge_base64_pngs_grid_nostretch(host, imgs, 3);
  Decoded d = decode(merged);
  EXPECT_EQ(d.w(), 5);
  EXPECT_EQ(host.of_kind(HostEvent::Kind::Print).size(), 2u);
  EXPECT_EQ(merge_base64_pngs_grid_nostretch(host, json::array({"@@"}), 1, 10, false), "");
  EXPECT_EQ(merge_base64_pngs_grid_nostretch(host, nullptr, 1, 10, false), "");
  EXPECT_THROW(merge_base64_pngs_grid_nostretch(host, imgs, 0), ValueError);
  EXPECT_TRUE(stray.events.empty());
}

TEST(ImageGrid, ColumnCountFollowsTheImagesShape) {
  std::string square = solid_png(100, 100, 0, 0, 0);
  std::string wide = solid_png(400, 100, 0, 0, 0);
  EXPECT_EQ(auto_ncols_from_imgs(square), 1);
  EXPECT_EQ(auto_ncols_from_imgs(json::array({square})), 1);
  EXPECT_EQ(auto_ncols_from_imgs(json::array({square, square})), 2);
  EXPECT_EQ(auto_ncols_from_imgs(json::array({square, square, square, square})), 2);
  EXPECT_EQ(auto_ncols_from_imgs(json(std::vector<std::string>(9, square))), 3);
  // Wide panels stack rather than sit side by side.
  EXPECT_EQ(auto_ncols_from_imgs(json::array({wide, wide})), 1);
  EXPECT_LE(auto_ncols_from_imgs(json(std::vector<std::string>(30, square))), 4);
}

TEST(ImageGrid, DisplayImageSendsBytesWithTheirType) {
  RecordingHost host;
  RecordingHost stray;  // shows nothing: the host is passed, not installed
  ScopedHost scoped(stray);
  display_img_base64(host, solid_png(2, 2, 0, 0, 0));
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_EQ(host.events[0].kind, HostEvent::Kind::Image);
  EXPECT_EQ(host.events[0].mime, "image/png");
  EXPECT_THROW(display_img_base64(host, base64_encode("hello")), ValueError);
  EXPECT_THROW(display_img_base64(host, "%%%"), ValueError);
  EXPECT_TRUE(stray.events.empty());
}

}  // namespace
}  // namespace norvex
