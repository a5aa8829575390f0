#include "norvex/common/escape.hpp"

#include <gtest/gtest.h>

namespace norvex {
namespace {

TEST(HtmlEscape, EscapesTextAndBothQuotes) {
  EXPECT_EQ(html_escape("<a href=\"x\">Tom's & co</a>"),
            "&lt;a href=&quot;x&quot;&gt;Tom&#x27;s &amp; co&lt;/a&gt;");
  // Bytes pass through untouched: the escaping is for markup, not for encodings.
  EXPECT_EQ(html_escape("가\x01\xFF"), "가\x01\xFF");
  EXPECT_EQ(html_escape(""), "");
}

TEST(XmlEscape, KeepsTextValidForWord) {
  EXPECT_EQ(xml_escape("a<b>&\"c\""), "a&lt;b&gt;&amp;&quot;c&quot;");
  EXPECT_EQ(xml_escape("Tom's"), "Tom's");
  EXPECT_EQ(xml_escape("x\x01y\tz"), "xy\tz");
  EXPECT_EQ(xml_escape("bad\xFF"), "bad\xEF\xBF\xBD");
  EXPECT_EQ(xml_escape("\xED\xA0\x80"),
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(xml_escape("\xEF\xBF\xBE"), "");          // U+FFFE
}

TEST(DecodeHtmlEntities, UndoesBothEscapes) {
  for (const std::string text : {"<b> \"R&D\" Tom's</b>", "&lt; stays text", "가나 & 다"}) {
    std::string h = html_escape(text), x = xml_escape(text);
    decode_html_entities(h);
    decode_html_entities(x);
    EXPECT_EQ(h, text);
    EXPECT_EQ(x, text);
  }
  std::string s = "a&nbsp;b&#39;c&amp;gt;";
  decode_html_entities(s);
  EXPECT_EQ(s, "a b'c&gt;");
}

}  // namespace
}  // namespace norvex
