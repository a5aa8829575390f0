// The router's vocabulary: answer language, the two checks on a routing record, the
// follow-up request flags, and the value helpers they rest on.
#include <gtest/gtest.h>

#include "norvex/assistant/norvex.hpp"
#include "norvex/assistant/router.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/history/tx_values.hpp"
#include "norvex/host/recording_host.hpp"

namespace norvex {
namespace {

TEST(DetectOutputLanguage, ExplicitLanguageWordsWinOverScript) {
  EXPECT_EQ(detect_output_language("UMAP 그려줘"), "ko");
  EXPECT_EQ(detect_output_language("UMAP 그려줘, 영어로 설명해줘"), "en");
  EXPECT_EQ(detect_output_language("T 세포 분석 결과를 English로 알려줘"), "en");
  EXPECT_EQ(detect_output_language("Draw the UMAP and answer in KOREAN"), "ko");
  EXPECT_EQ(detect_output_language("answer in 한국어 please"), "ko");
  EXPECT_EQ(detect_output_language("show DEG for T cells"), "en");
  EXPECT_EQ(detect_output_language(""), "en");
  // Hangul jamo (not syllables) do not count as Korean script.
  EXPECT_EQ(detect_output_language("ㅋㅋ UMAP"), "en");
  EXPECT_THROW(detect_output_language(42), TypeError);
  EXPECT_THROW(detect_output_language(nullptr), TypeError);
}

json record(const json& overrides) {
  json r = {{"plot_type_to_draw", "none"}, {"reference_plot_type", "none"},
            {"target_analysis", "none"},   {"target_celltype", "none"},
            {"selected_tool", "none"},     {"flags", json::object()}};
  for (auto it = overrides.begin(); it != overrides.end(); ++it) r[it.key()] = it.value();
  return r;
}

class RouterChecks : public ::testing::Test {
 protected:
  RecordingHost host;
  ScopedHost scoped{host};
  // A half-configured assistant is enough: the checks read only their argument.
  Assistant assistant;
  void SetUp() override { host.clear(); }
};

TEST_F(RouterChecks, ValidityNeedsOneRealTargetField) {
  EXPECT_TRUE(assistant.check_router_res_validity(record({{"selected_tool", "plot_umap"}})));
  EXPECT_TRUE(assistant.check_router_res_validity(record({{"target_celltype", "T cells"}})));
  EXPECT_TRUE(assistant.check_router_res_validity(record({{"target_analysis", "None"}})));
  EXPECT_FALSE(assistant.check_router_res_validity(record({})));
  EXPECT_FALSE(assistant.check_router_res_validity(
      record({{"target_celltype", ""}, {"selected_tool", nullptr}, {"target_analysis", false}})));
  EXPECT_FALSE(assistant.check_router_res_validity(json::object()));
  EXPECT_THROW(assistant.check_router_res_validity(json::array()), TypeError);
  EXPECT_THROW(assistant.check_router_res_validity("plot_umap"), TypeError);
}

TEST_F(RouterChecks, FlagsCountOnlyOutputFlags) {
  json only_info = {{"flags",
                     {{"info", true},
                      {"explain_general", true},
                      {"save", true},
                      {"tree", true},
                      {"reportgen", true},
                      {"recurrent_query", true},
                      {"plot", false},
                      {"table_summary", false}}}};
  EXPECT_FALSE(assistant.check_router_res_flags(only_info));
  for (const char* f : {"plot", "table_summary", "explain_data", "args", "code"}) {
    json r = only_info;
    r["flags"][f] = true;
    EXPECT_TRUE(assistant.check_router_res_flags(r)) << f;
  }
  EXPECT_THROW(assistant.check_router_res_flags(json::object()), KeyError);
  EXPECT_THROW(assistant.check_router_res_flags(json::array({1})), TypeError);
  try {
    assistant.check_router_res_flags("x");
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_NE(std::string(e.what()).find("router_res"), std::string::npos);
  }
  EXPECT_TRUE(host.events.empty());
}

TEST(NormalizeUserRequest, EightFlagsInOrderAndNothingElse) {
  const std::vector<std::string> keys = {"render_plot",         "render_table",      "render_code",
                                         "render_args",         "explain",           "save",
                                         "explain_more_detail", "rerun_with_changes"};
  for (const json& empty : {json(nullptr), json::object(), json::array(), json("")}) {
    json n = normalize_user_request(empty);
    ASSERT_EQ(n.size(), 8u);
    size_t i = 0;
    for (auto it = n.begin(); it != n.end(); ++it, ++i) {
      EXPECT_EQ(it.key(), keys[i]);
      EXPECT_EQ(it.value(), false);
    }
  }
  json n = normalize_user_request(
      {{"render_plot", "yes"}, {"explain", 0}, {"save", 2}, {"show_plot", true}});
  EXPECT_EQ(n["render_plot"], true);
  EXPECT_EQ(n["explain"], false);
  EXPECT_EQ(n["save"], true);
  EXPECT_FALSE(n.contains("show_plot"));
  EXPECT_THROW(normalize_user_request(json::array({1})), AttributeError);
  EXPECT_THROW(normalize_user_request("render_plot"), AttributeError);
}

TEST(TxValues, CheckAnyValidSkipsEveryFormOfNothing) {
  json d = {{"a", "none"}, {"b", 0}, {"c", "x"}, {"d", 0.0}, {"e", false}, {"f", nullptr}};
  EXPECT_EQ(check_any_valid(d, {"a", "b", "c"}), "x");
  EXPECT_EQ(check_any_valid(d, {"a", "b", "d", "e", "f", "missing"}, "dflt"), "dflt");
  EXPECT_EQ(check_any_valid(d, {"a"}), nullptr);
  // Only the exact lower-case sentinel is "nothing"; true and lists are values.
  EXPECT_EQ(check_any_valid({{"a", "NONE"}}, {"a"}), "NONE");
  EXPECT_EQ(check_any_valid({{"a", true}}, {"a"}), true);
  EXPECT_EQ(check_any_valid({{"a", json::array()}}, {"a"}), json::array());
  EXPECT_EQ(check_any_valid(json::array(), {"a"}, 5), 5);

  EXPECT_EQ(get_any({{"a", nullptr}, {"b", ""}}, {"a", "b"}), "");
  EXPECT_EQ(get_any({{"a", nullptr}}, {"a"}, 7), 7);
}

TEST(TxValues, SafeIntAndTxById) {
  EXPECT_EQ(safe_int(nullptr), std::nullopt);
  EXPECT_EQ(safe_int(7), 7);
  EXPECT_EQ(safe_int("7"), 7);
  EXPECT_EQ(safe_int(" -12 "), -12);
  EXPECT_EQ(safe_int(3.9), 3);
  EXPECT_EQ(safe_int(-3.9), -3);
  EXPECT_EQ(safe_int(true), 1);
  EXPECT_EQ(safe_int("2.0"), std::nullopt);
  EXPECT_EQ(safe_int("abc"), std::nullopt);
  EXPECT_EQ(safe_int("99999999999999999999999"), std::nullopt);
  EXPECT_EQ(safe_int(1e300), std::nullopt);
  EXPECT_EQ(safe_int(json::array({1})), std::nullopt);

  std::vector<json> buf = {{{"q", 0}}, {{"q", 1}}, {{"q", 2}}};
  EXPECT_EQ(get_tx_by_id(buf, "0"), &buf[0]);
  EXPECT_EQ(get_tx_by_id(buf, 2), &buf[2]);
  EXPECT_EQ(get_tx_by_id(buf, 2.0), &buf[2]);
  EXPECT_EQ(get_tx_by_id(buf, "two"), nullptr);
  EXPECT_EQ(get_tx_by_id(buf, nullptr), nullptr);
  EXPECT_EQ(get_tx_by_id(buf, -1), nullptr);
  EXPECT_EQ(get_tx_by_id(buf, 3), nullptr);
  // The element itself: a change through the pointer is a change of the history.
  (*get_tx_by_id(buf, 1))["q"] = 10;
  EXPECT_EQ(buf[1]["q"], 10);
}

TEST(TxValues, ShortenCountsCharactersNotBytes) {
  EXPECT_EQ(shorten(nullptr), nullptr);
  EXPECT_EQ(shorten("  a\n\tb  "), "a b");
  EXPECT_EQ(shorten(std::string(300, 'x'), 200), std::string(199, 'x') + "\u2026");
  EXPECT_EQ(shorten("abc", 3), "abc");
  // Korean text is cut between characters, never inside one.
  json cut = shorten("가나다라마", 3);
  EXPECT_EQ(cut, "가나\u2026");
  EXPECT_EQ(shorten("a\u3000b"), "a b");
  EXPECT_EQ(shorten(12345, 3), "12\u2026");
  EXPECT_THROW(shorten("x", 0), ValueError);
}

}  // namespace
}  // namespace norvex
