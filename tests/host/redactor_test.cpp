// The redactor: short keys only as whole words, XML markup kept whole, binary bytes left
// alone, and every text and key of a JSON value.
#include "norvex/host/redactor.hpp"

#include <gtest/gtest.h>

namespace norvex {
namespace {

TEST(Redactor, ShortKeysGoOnlyAsWholeWordsLongOnesEverywhere) {
  Redactor r;
  r.add("x");
  EXPECT_EQ(r.text("key x, xenon, max x_y 1x x"), "key [redacted], xenon, max x_y 1x [redacted]");
  EXPECT_EQ(r.text("x"), "[redacted]");
  EXPECT_EQ(r.text("(x)"), "([redacted])");
  // A letter of a multi-byte character is part of a word.
  EXPECT_EQ(r.text("éx xé"), "éx xé");

  Redactor shortish;
  shortish.add("abc1234");  // 7 characters: still a word only
  EXPECT_EQ(shortish.text("zabc1234 abc1234."), "zabc1234 [redacted].");
  Redactor long_key;
  long_key.add("abc12345");  // 8: taken out inside words too
  EXPECT_EQ(long_key.text("zabc12345z"), "z[redacted]z");
}

TEST(Redactor, XmlKeepsItsMarkupAndTakesKeysOutOfTextAndValues) {
  Redactor r;
  r.add("x");
  r.add("sk-long-secret-99");
  const std::string xml =
      R"(<a:off x="0" y="0"/><c r="A1" t="s"><v>x</v></c><t>key sk-long-secret-99</t>)"
      R"(<h r:id="sk-long-secret-99" w="x"/>)";
  EXPECT_EQ(r.xml(xml),
            R"(<a:off x="0" y="0"/><c r="A1" t="s"><v>[redacted]</v></c><t>key [redacted]</t>)"
            R"(<h r:id="[redacted]" w="x"/>)");
  EXPECT_EQ(r.xml("no tags x"), "no tags [redacted]");
  EXPECT_EQ(r.xml("<unclosed x=\"x"), "<unclosed x=\"x");
}

TEST(Redactor, BinaryBytesAreLeftAloneAndTextIsRedacted) {
  Redactor r;
  r.add("x");
  const std::string png = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR x x", 20);
  EXPECT_TRUE(Redactor::is_binary(png));
  EXPECT_EQ(r.file_bytes(png), png);
  const std::string latin1 = "caf\xe9 x";  // not UTF-8
  EXPECT_TRUE(Redactor::is_binary(latin1));
  EXPECT_EQ(r.file_bytes(latin1), latin1);
  EXPECT_FALSE(Redactor::is_binary("a,b\nx,한국어\n"));
  EXPECT_EQ(r.file_bytes("a,b\nx,한국어\n"), "a,b\n[redacted],한국어\n");
}

TEST(Redactor, JsonValuesLoseTheKeyInTextsAndKeys) {
  Redactor r;
  r.add("sk-secret-in-json");
  const json v = {{"query", "UMAP for sk-secret-in-json"},
                  {"sk-secret-in-json", {1, "sk-secret-in-json!", true, nullptr}},
                  {"n", 3}};
  EXPECT_EQ(r.value(v), json({{"query", "UMAP for [redacted]"},
                              {"[redacted]", {1, "[redacted]!", true, nullptr}},
                              {"n", 3}}));
  EXPECT_EQ(Redactor().value(v), v);
}

}  // namespace
}  // namespace norvex
