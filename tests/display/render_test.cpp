// Model-written Markdown becomes harmless HTML; arguments and warnings are rendered
// through the notebook host.
#include <gtest/gtest.h>

#include "norvex/display/render.hpp"
#include "norvex/host/recording_host.hpp"

namespace norvex {
namespace {

bool contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

TEST(SafeMarkdown, GithubFeaturesRender) {
  std::string html = markdown_to_safe_html(
      "# Title\n\n| gene | logFC |\n|---|---|\n| CD3E | 2.1 |\n\n~~old~~ and "
      "https://example.org/x and [docs](https://example.org/d)\n\n- one\n- two\n");
  EXPECT_TRUE(contains(html, "<h1>Title</h1>"));
  EXPECT_TRUE(contains(html, "<table>"));
  EXPECT_TRUE(contains(html, "<td>CD3E</td>"));
  EXPECT_TRUE(contains(html, "<del>old</del>"));
  EXPECT_TRUE(contains(html, "<a href=\"https://example.org/x\">"));
  EXPECT_TRUE(contains(html, "<a href=\"https://example.org/d\">docs</a>"));
  EXPECT_TRUE(contains(html, "<li>two</li>"));
}

TEST(SafeMarkdown, ScriptsAndRawHtmlBecomeVisibleText) {
  std::string html = markdown_to_safe_html(
      "Before\n\n<script>alert('x')</script>\n\nInline <img src=x onerror=alert(1)> and "
      "<b onclick=\"steal()\">bold</b>\n\n<div style=\"position:fixed\">overlay</div>\n");
  EXPECT_FALSE(contains(html, "<script"));
  EXPECT_FALSE(contains(html, "<img"));
  EXPECT_FALSE(contains(html, "<b "));
  EXPECT_FALSE(contains(html, "<div"));
  EXPECT_TRUE(contains(html, "&lt;script&gt;alert("));
  EXPECT_TRUE(contains(html, "&lt;b onclick=&quot;steal()&quot;&gt;bold"));
  EXPECT_TRUE(contains(html, "overlay"));
  // A bare line break tag, common in model tables, stays a line break.
  EXPECT_TRUE(contains(markdown_to_safe_html("a<br>b"), "a<br />\nb"));
}

TEST(SafeMarkdown, ScriptLinksKeepOnlyTheirWords) {
  for (const std::string md :
       {"[click](javascript:alert(1))", "[click](JaVaScRiPt:alert(1))",
        "[click](java\tscript:alert(1))", "[click](&#106;avascript:alert(1))",
        "[click](vbscript:msgbox(1))", "[click](data:text/html;base64,PHNjcmlwdD4=)",
        "<javascript:alert(1)>"}) {
    std::string html = markdown_to_safe_html(md);
    EXPECT_FALSE(contains(html, "href=\"javascript")) << md;
    EXPECT_FALSE(contains(html, "href=\"vbscript")) << md;
    EXPECT_FALSE(contains(html, "href=\"data")) << md;
    EXPECT_FALSE(contains(html, "<a ")) << md << " -> " << html;
  }
  EXPECT_TRUE(contains(markdown_to_safe_html("[click](javascript:alert(1))"), "click"));
  // Images: only web and inline raster images; others keep their alt text.
  std::string img = markdown_to_safe_html("![umap](data:image/svg+xml;base64,PHN2Zz4=)");
  EXPECT_FALSE(contains(img, "<img"));
  EXPECT_TRUE(contains(img, "umap"));
  EXPECT_TRUE(contains(markdown_to_safe_html("![p](data:image/png;base64,iVBORw0KGgo=)"),
                       "<img src=\"data:image/png;base64,iVBORw0KGgo=\""));
  // Nested: a link inside an image description inside a link.
  std::string nested =
      markdown_to_safe_html("[![a [b](javascript:x)](javascript:y)](javascript:z)");
  EXPECT_FALSE(contains(nested, "href=\"javascript")) << nested;
  EXPECT_FALSE(contains(nested, "<a ")) << nested;
}

TEST(SafeLinkUrl, Schemes) {
  EXPECT_TRUE(is_safe_link_url("https://a.b/c"));
  EXPECT_TRUE(is_safe_link_url("mailto:x@y.z"));
  EXPECT_TRUE(is_safe_link_url("#section"));
  EXPECT_TRUE(is_safe_link_url("relative/path:with-colon"));
  EXPECT_FALSE(is_safe_link_url(" \x01javascript:x"));
  EXPECT_FALSE(is_safe_link_url("file:///etc/passwd"));
  EXPECT_FALSE(is_safe_link_url("data:image/png;base64,AA"));
  EXPECT_TRUE(is_safe_link_url("data:image/png;base64,AA", true));
  EXPECT_FALSE(is_safe_link_url("data:image/svg+xml,<svg/>", true));
}

TEST(Renderers, GoThroughTheHostEscaped) {
  RecordingHost host;
  RecordingHost stray;  // shows nothing: the host is passed, not installed
  ScopedHost scoped(stray);
  render_vantu_info(host, "**4 cells**", "en");
  render_vantu_explanation(host, "<script>x()</script>");
  display_analysis_parameters(
      host, "plot_umap",
      {{"target_genes", {"CD3E", "<b>"}},
       {"plot_cfg", {{"__class__", "UMAPPlotConfig"}, {"title", "a & b"}}}});
  show_user_warning_big(host, "No earlier <plot> matches.", true);
  show_user_warning_big(host, "plain", false);
  auto html = host.of_kind(HostEvent::Kind::Html);
  ASSERT_EQ(html.size(), 4u);
  EXPECT_TRUE(contains(html[0].text, "Dataset information"));
  EXPECT_TRUE(contains(html[0].text, "<strong>4 cells</strong>"));
  EXPECT_FALSE(contains(html[1].text, "<script>"));
  EXPECT_TRUE(contains(html[2].text, "UMAPPlotConfig"));
  EXPECT_TRUE(contains(html[2].text, "a &amp; b"));
  EXPECT_FALSE(contains(html[2].text, "<b>"));
  EXPECT_FALSE(contains(html[2].text, "__class__"));
  EXPECT_TRUE(contains(html[3].text, "No earlier &lt;plot&gt; matches."));
  EXPECT_EQ(host.console(), "⚠️ WARNING: plain\n");
  EXPECT_TRUE(stray.events.empty());
}

}  // namespace
}  // namespace norvex
