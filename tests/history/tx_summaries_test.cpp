// Compact summaries of the history for the transaction selector, the selection payload,
// and the value helpers that read the selector's answers.
#include <gtest/gtest.h>

#include "norvex/common/errors.hpp"
#include "norvex/history/tx_summaries.hpp"
#include "norvex/history/tx_values.hpp"

namespace norvex {
namespace {

json tx(const json& router, const json& plot_result) {
  json t = {{"query", "q"}, {"router_res", router}};
  if (!plot_result.is_null()) t["plot_result"] = plot_result;
  return t;
}

TEST(SummarizeTransactions, KeepsRoutingFieldsInOrderAndDropsEmptyOnes) {
  std::vector<json> buf = {
      tx({{"plot_type_to_draw", "violin"},
          {"reference_plot_type", "none"},
          {"target_celltype", ""},
          {"selected_tool", "plot_violin"},
          {"target_analysis", "deg"},
          {"user_query", "  add \n\t CD274  "}},
         {{"img_base64", "AAAA"}, {"table_summaries", {{"t", 1}}}}),
      tx({{"selected_tool", "plot_umap"}}, nullptr),  // explanation only: never a candidate
      tx(json::object(), {{"img_base64", "AAAA"}}),   // no routing record
      tx({{"selected_tool", "plot_cnv"}}, {{"img_base64", ""}}),
      tx({{"selected_tool", "plot_dot"}}, nullptr),
  };
  json s = summarize_transactions(buf);
  ASSERT_EQ(s.size(), 2u);
  // tx_id is the history position, so skipped entries leave gaps.
  EXPECT_EQ(s[0].dump(),
            R"({"tx_id":0,"plot_type_to_draw":"violin","reference_plot_type":"none",)"
            R"("selected_tool":"plot_violin","user_query":"add CD274","has_plot":true})");
  // Without a question in the routing record, the transaction's own question tells it apart.
  EXPECT_EQ(s[1].dump(),
            R"({"tx_id":3,"selected_tool":"plot_cnv","user_query":"q","has_plot":false})");

  EXPECT_EQ(summarize_transactions({}), json::array());
  EXPECT_THROW(summarize_transactions(buf, "30"), TypeError);
  EXPECT_EQ(summarize_transactions(buf, 1.9).size(), 1u);
}

TEST(SummarizeTransactions, OnlyTheFirstItemsAreScannedAndQueriesShortened) {
  std::vector<json> buf;
  for (int i = 0; i < 35; ++i)
    buf.push_back(
        tx({{"selected_tool", "t" + std::to_string(i)}, {"user_query", std::string(300, 'x')}},
           {{"img_base64", "A"}}));
  json s = summarize_transactions(buf, 30);
  ASSERT_EQ(s.size(), 30u);
  EXPECT_EQ(s.back()["tx_id"], 29);
  const std::string q = s[0]["user_query"];
  EXPECT_EQ(q, std::string(199, 'x') + "\u2026");
  EXPECT_EQ(summarize_transactions(buf, 30, 10)[0]["user_query"], std::string(9, 'x') + "\u2026");
}

TEST(FormatTxSummaries, PayloadKeysGuidanceAndText) {
  json summaries = json::array();
  for (int i = 0; i < 14; ++i) summaries.push_back({{"tx_id", i}});
  json router = {{"target_celltype", "T 세포"}};
  json schema = {{"type", "object"}};
  std::string text = format_tx_summaries_for_llm(router, summaries, schema, 10);
  json p = json::parse(text);
  std::vector<std::string> keys;
  for (auto it = p.begin(); it != p.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"task", "current_router", "candidates", "output_schema",
                                            "matching_guidance"}));
  EXPECT_EQ(p["task"], "select_best_previous_transaction");
  EXPECT_EQ(p["candidates"].size(), 10u);
  EXPECT_EQ(p["output_schema"], schema);
  ASSERT_EQ(p["matching_guidance"].size(), 5u);
  EXPECT_EQ(p["matching_guidance"][4],
            "If no good match exists, selected_tx_id=null and need_new_compute=true.");
  EXPECT_NE(text.find("\"T 세포\""), std::string::npos);  // not escaped
  EXPECT_NE(text.find("\n  \"task\": "), std::string::npos);
  EXPECT_NE(text.find("\n    \"target_celltype\""), std::string::npos);

  json empty = json::parse(format_tx_summaries_for_llm(router, json::array(), schema));
  EXPECT_EQ(empty["candidates"], json::array());
}

TEST(TxValues, SelectorIdsAndShortening) {
  std::vector<json> buf = {json{{"query", "new"}}, json{{"query", "old"}}};
  EXPECT_EQ((*get_tx_by_id(buf, "0"))["query"], "new");
  EXPECT_EQ((*get_tx_by_id(buf, 1.0))["query"], "old");
  EXPECT_EQ(get_tx_by_id(buf, 1), &buf[1]);  // the element itself
  for (json bad : {json("x"), json(), json(-1), json(2)})
    EXPECT_EQ(get_tx_by_id(buf, bad), nullptr) << bad;
  EXPECT_EQ(shorten("  a\n\tb  "), "a b");
  EXPECT_EQ(check_any_valid(json{{"a", "none"}, {"b", 0}, {"c", "x"}}, {"a", "b", "c"}), "x");
}

TEST(ToIso, CommonTimestampForms) {
  EXPECT_EQ(to_iso("20240305T10:11:12"), "2024-03-05T10:11:12");
  EXPECT_EQ(to_iso("20240305T101112"), "2024-03-05T10:11:12");
  EXPECT_EQ(to_iso(" 2024-3-05 10:00:00 "), "2024-03-05T10:00:00");
  EXPECT_EQ(to_iso("2024-03-05 whatever"), "2024-03-05 whatever");
  EXPECT_EQ(to_iso("  yesterday "), "yesterday");
  EXPECT_TRUE(to_iso(json::array({1})).is_null());
  EXPECT_TRUE(to_iso(nullptr).is_null());
  const std::string epoch = to_iso(0.5);
  EXPECT_EQ(epoch.size(), std::string("1970-01-01T00:00:00.500000").size()) << epoch;
  EXPECT_EQ(epoch.substr(epoch.size() - 7), ".500000");
}

}  // namespace
}  // namespace norvex
