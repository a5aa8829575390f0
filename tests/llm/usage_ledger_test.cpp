#include "norvex/llm/usage_ledger.hpp"

#include <gtest/gtest.h>

namespace norvex {
namespace {

TEST(ModelPriceTest, NamesAndTheirDatedSnapshotsMatchButNeighboursDoNot) {
  ASSERT_TRUE(find_model_price("gpt-5"));
  EXPECT_DOUBLE_EQ(find_model_price("gpt-5")->input, 1.25);
  EXPECT_DOUBLE_EQ(find_model_price("gpt-5")->cached_input, 0.125);
  EXPECT_DOUBLE_EQ(find_model_price("gpt-5")->output, 10.0);
  EXPECT_DOUBLE_EQ(find_model_price("gpt-5-2025-08-07")->input, 1.25);
  EXPECT_DOUBLE_EQ(find_model_price("gpt-5-mini")->input, 0.25);
  EXPECT_DOUBLE_EQ(find_model_price("gpt-5-mini-2025-08-07")->input, 0.25);
  EXPECT_DOUBLE_EQ(find_model_price("gpt-4o-mini-2024-07-18")->output, 0.6);
  EXPECT_DOUBLE_EQ(find_model_price("models/gemini-2.5-flash")->output, 2.5);
  for (const char* unknown : {"gpt-5x", "gpt-5-turbo", "gpt-5-", "qwen2.5-7b-instruct", "", "gpt"})
    EXPECT_FALSE(find_model_price(unknown)) << unknown;
  EXPECT_EQ(price_table_date(), "2025-08-15");
}

TEST(ModelPriceTest, CostBillsCachedInputAtItsRateAndThinkingAsOutput) {
  const ModelPrice price{1.0, 0.1, 10.0};
  ModelTally t;
  t.input_tokens = 1'000'000;
  t.cached_input_tokens = 200'000;
  t.output_tokens = 100'000;
  t.total_tokens = 1'100'000;
  EXPECT_DOUBLE_EQ(estimated_cost(t, price), 0.8 + 0.02 + 1.0);
  // Gemini: 200k thinking tokens are in the total but not in the output count.
  t.total_tokens = 1'300'000;
  EXPECT_DOUBLE_EQ(estimated_cost(t, price), 0.8 + 0.02 + 3.0);
  // More cached than input (a confused server) is no negative cost.
  t.cached_input_tokens = 5'000'000;
  t.total_tokens = 0;
  EXPECT_DOUBLE_EQ(estimated_cost(t, price), 0.1 + 1.0);
}

TEST(ModelPriceTest, CachedInputIsReadFromEachServicesShape) {
  EXPECT_EQ(cached_input_tokens({{"usage", {{"input_tokens_details", {{"cached_tokens", 7}}}}}}),
            7);
  EXPECT_EQ(cached_input_tokens({{"usage", {{"prompt_tokens_details", {{"cached_tokens", 8}}}}}}),
            8);
  EXPECT_EQ(cached_input_tokens({{"usageMetadata", {{"cachedContentTokenCount", 9}}}}), 9);
  EXPECT_EQ(cached_input_tokens({{"usage", {{"prompt_tokens_details", nullptr}}}}), 0);
  EXPECT_EQ(cached_input_tokens({{"usage", {{"prompt_tokens_details", {{"cached_tokens", "x"}}}}}}),
            0);
  EXPECT_EQ(cached_input_tokens(json::array()), 0);
}

TEST(UsageLedgerTest, TalliesPerModelInFirstUseOrderWithReportAndSummary) {
  UsageLedger ledger;
  EXPECT_EQ(ledger.summary_lines(),
            (std::vector<std::string>{"ℹ️ INFO: No model calls yet in this session."}));
  const json call = {
      {"input_tokens", 400'000}, {"output_tokens", 12'000}, {"total_tokens", 412'000}};
  ledger.record("gpt-5", call, 100'000);
  ledger.record("qwen2.5-7b-instruct", {{"input_tokens", 30}, {"output_tokens", 5}});
  ledger.record("gpt-5", call);
  ledger.record("gpt-5", {{"input_tokens", "junk"}, {"output_tokens", -3}});

  const auto tallies = ledger.tallies();
  ASSERT_EQ(tallies.size(), 2u);
  EXPECT_EQ(tallies[0].first, "gpt-5");
  EXPECT_EQ(tallies[0].second.calls, 3);
  EXPECT_EQ(tallies[0].second.input_tokens, 800'000);
  EXPECT_EQ(tallies[0].second.cached_input_tokens, 100'000);
  EXPECT_EQ(tallies[0].second.output_tokens, 24'000);
  EXPECT_EQ(tallies[0].second.total_tokens, 824'000);

  // 700k uncached at 1.25, 100k cached at 0.125, 24k output at 10 (per million).
  const double gpt5 = 0.875 + 0.0125 + 0.24;
  const json report = ledger.report();
  EXPECT_DOUBLE_EQ(report["models"]["gpt-5"]["estimated_cost_usd"].get<double>(), gpt5);
  EXPECT_TRUE(report["models"]["qwen2.5-7b-instruct"]["estimated_cost_usd"].is_null());
  EXPECT_EQ(report["models"]["qwen2.5-7b-instruct"]["total_tokens"], 0);
  EXPECT_EQ(report["total_tokens"], 824'000);
  EXPECT_DOUBLE_EQ(report["estimated_cost_usd"].get<double>(), gpt5);
  EXPECT_EQ(report["prices_as_of"], "2025-08-15");

  EXPECT_EQ(ledger.summary_lines(),
            (std::vector<std::string>{
                "ℹ️ INFO: Tokens and estimated cost this session (prices of 2025-08-15):",
                "   gpt-5: 3 calls, 800000 input (100000 cached), 24000 output, 824000 total · "
                "about $1.13",
                "   qwen2.5-7b-instruct: 1 call, 30 input (0 cached), 5 output, 0 total · no "
                "price known",
                "   all models: 4 calls, 800030 input (100000 cached), 24005 output, 824000 total "
                "· about $1.13 (models with no price known not counted)"}));

  UsageLedger local;
  local.record("llama3", {{"input_tokens", 1}, {"output_tokens", 1}, {"total_tokens", 2}});
  EXPECT_TRUE(local.report()["estimated_cost_usd"].is_null());
  local.record("gpt-4o-mini",
               {{"input_tokens", 2000}, {"output_tokens", 0}, {"total_tokens", 2000}});
  EXPECT_EQ(local.summary_lines()[2],
            "   gpt-4o-mini: 1 call, 2000 input (0 cached), 0 output, 2000 total · about $0.0003");
}

}  // namespace
}  // namespace norvex
