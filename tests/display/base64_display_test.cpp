// Classification and display of base64 artefacts with real image and HTML payloads.
#include <gtest/gtest.h>

#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/display/base64_display.hpp"
#include "norvex/host/recording_host.hpp"
#include "support/fixtures.hpp"

namespace norvex {
namespace {

using Kind = HostEvent::Kind;

// A byte string from a literal, its embedded zero bytes included.
template <size_t N>
std::string literal_bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

// Minimal but well-formed headers of the other formats.
const std::string kJpeg =
    literal_bytes("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00\xFF\xD9");
const std::string kGif = literal_bytes(
    "GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xFF\xFF\xFF!\xF9\x04\x01\x00\x00\x00\x00,"
    "\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02"
    "D\x01\x00;");
const std::string kWebp = literal_bytes(
    "RIFF\x1a\x00\x00\x00WEBPVP8L\x0d\x00\x00\x00\x2f\x00\x00\x00\x10\x07\x10\x11\x11\x88\x88\xfe"
    "\x07\x00");
const std::string kWave = literal_bytes("RIFF\x24\x00\x00\x00WAVEfmt \x10\x00\x00\x00");

TEST(DetectBase64Type, MagicBytesOfEachKind) {
  EXPECT_EQ(detect_base64_type(base64_encode(testing::make_png(4, 4))), "png");
  EXPECT_EQ(detect_base64_type(base64_encode(kJpeg)), "jpeg");
  EXPECT_EQ(detect_base64_type(base64_encode(kGif)), "gif");
  EXPECT_EQ(detect_base64_type(base64_encode(kWebp)), "webp");
  EXPECT_EQ(detect_base64_type(base64_encode("<!DOCTYPE HTML><html><body>x</body></html>")),
            "html");
  EXPECT_EQ(detect_base64_type(base64_encode("  <div id='plot'></div>")), "html");
  EXPECT_EQ(detect_base64_type(base64_encode("plain text, no markup")), "unknown");
  // RIFF without WEBP is not WebP, and not HTML either.
  EXPECT_EQ(detect_base64_type(base64_encode(kWave)), "unknown");
  EXPECT_EQ(detect_base64_type(base64_encode(kWave + "<script>x</script>")), "html");
  // Broken input: bad padding, a lone character, nothing at all.
  EXPECT_EQ(detect_base64_type("iVBORw0KGgo"), "unknown");
  EXPECT_EQ(detect_base64_type("A"), "unknown");
  EXPECT_EQ(detect_base64_type(""), "unknown");
  EXPECT_THROW(detect_base64_type(nullptr), TypeError);
  EXPECT_THROW(detect_base64_type(json::array()), TypeError);
}

TEST(DetectBase64Type, WhitespaceAndLengthDoNotMatter) {
  std::string b64 = base64_encode(testing::make_png(300, 300));
  std::string wrapped;
  for (size_t i = 0; i < b64.size(); i += 60)
    wrapped += b64.substr(i, 60) + (i % 120 ? "\n" : " \t");
  EXPECT_EQ(detect_base64_type(wrapped), "png");
  // Only the head is read: a damaged tail does not change the kind.
  std::string big = base64_encode(kJpeg + std::string(5000, 'x'));
  EXPECT_EQ(detect_base64_type(big + "!!!not base64 at all"), "jpeg");
  // Characters outside the alphabet are skipped, as a lenient decoder does.
  EXPECT_EQ(detect_base64_type("iVBO*Rw0K#Ggo="), "png");
}

class DisplayBase64 : public ::testing::Test {
 protected:
  RecordingHost host;
  RecordingHost stray;  // shows nothing: the host is passed, not installed
  ScopedHost scoped{stray};
  void TearDown() override { EXPECT_TRUE(stray.events.empty()); }
};

TEST_F(DisplayBase64, ImagesAsHtmlWithCleanDataUrl) {
  std::string b64 = base64_encode(testing::make_png(8, 8));
  std::string split = b64.substr(0, 10) + " \n " + b64.substr(10);
  display_base64_auto(host, split);
  ASSERT_EQ(host.events.size(), 1u);
  const std::string& html = host.events[0].text;
  EXPECT_EQ(host.events[0].kind, Kind::Html);
  EXPECT_NE(html.find("<img src=\"data:image/png;base64," + b64 + "\""), std::string::npos);
  EXPECT_NE(html.find("max-width:100%"), std::string::npos);
}

TEST_F(DisplayBase64, ImagesAsBytesWhenAsked) {
  display_base64_auto(host,
                      json::array({base64_encode(testing::make_png(3, 3)), base64_encode(kJpeg),
                                   base64_encode(kGif), base64_encode(kWebp)}),
                      false);
  auto images = host.of_kind(Kind::Image);
  ASSERT_EQ(images.size(), 4u);
  EXPECT_EQ(images[0].mime, "image/png");
  EXPECT_EQ(images[0].text.substr(1, 3), "PNG");
  EXPECT_EQ(images[1].mime, "image/jpeg");
  EXPECT_EQ(images[1].text, kJpeg);
  EXPECT_EQ(images[2].mime, "image/gif");
  EXPECT_EQ(images[3].mime, "image/webp");
  EXPECT_EQ(images[3].text, kWebp);
}

TEST_F(DisplayBase64, HtmlInAnIframeOfTheGivenSize) {
  std::string doc = base64_encode("<!doctype html><html><script>plot()</script></html>");
  display_base64_auto(host, doc, true, json::array({640, "480"}));
  ASSERT_EQ(host.events.size(), 1u);
  const std::string& html = host.events[0].text;
  EXPECT_NE(
      html.find("<iframe src=\"data:text/html;base64," + doc + "\" width=\"640\" height=\"480\""),
      std::string::npos);
  EXPECT_THROW(display_base64_auto(host, doc, true, json::array({640})), ValueError);
}

TEST_F(DisplayBase64, MappingsInOrderAndOtherValuesIgnored) {
  json payloads = json::object();
  payloads["zeta"] = base64_encode(kGif);
  payloads["alpha"] = base64_encode(kJpeg);
  display_base64_auto(host, payloads);
  ASSERT_EQ(host.events.size(), 2u);
  EXPECT_NE(host.events[0].text.find("data:image/gif"), std::string::npos);
  EXPECT_NE(host.events[1].text.find("data:image/jpeg"), std::string::npos);
  host.clear();
  display_base64_auto(host, nullptr);
  display_base64_auto(host, 42);
  EXPECT_TRUE(host.events.empty());
}

TEST_F(DisplayBase64, UnknownPayloadIsReportedNotRaised) {
  display_base64_auto(host, json::array({"@@@@", base64_encode("hello")}));
  EXPECT_EQ(host.console(),
            "⚠️ Unknown base64 type — cannot display\n⚠️ Unknown base64 type — cannot "
            "display\n");
  // A payload that passes classification on its head but cannot be decoded whole.
  std::string broken = base64_encode(kJpeg) + "A";
  EXPECT_THROW(display_base64_auto(host, broken, false), ValueError);
}

TEST_F(DisplayBase64, AttributeBreakingPayloadStaysInsideTheAttribute) {
  // A payload whose head is an image but which carries markup later on.
  std::string evil = base64_encode(kJpeg) + "\"><script>alert(1)</script>";
  display_base64_auto(host, evil);
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_EQ(host.events[0].text.find("<script>"), std::string::npos);
}

}  // namespace
}  // namespace norvex
