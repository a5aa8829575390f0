#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "norvex/common/errors.hpp"
#include "norvex/host/recording_host.hpp"
#include "norvex/llm/usage.hpp"

namespace norvex {
namespace {

json usage(long long in, long long out, long long total) {
  return {{"input_tokens", in}, {"output_tokens", out}, {"total_tokens", total}};
}

TEST(UsageTest, GeminiReportsInEitherSpelling) {
  RecordingHost host;
  ScopedHost scope(host);
  EXPECT_EQ(norm_usage_gemini(
                {{"usage_metadata", {{"prompt_token_count", 10}, {"candidates_token_count", 5}}}}),
            usage(10, 5, 15));
  EXPECT_EQ(norm_usage_gemini(json::object()), usage(0, 0, 0));
  EXPECT_EQ(norm_usage_gemini(json()), usage(0, 0, 0));
  EXPECT_EQ(
      norm_usage_gemini(
          {{"usageMetadata",
            {{"promptTokenCount", 7}, {"candidatesTokenCount", 3}, {"totalTokenCount", 12}}}}),
      usage(7, 3, 12));
  EXPECT_EQ(
      norm_usage_gemini({{"usageMetadata", {{"prompt_token_count", 0}, {"promptTokenCount", 9}}}}),
      usage(0, 0, 0));
  EXPECT_EQ(norm_usage_gemini(
                {{"usage_metadata", json::object()},
                 {"usageMetadata", {{"inputTokenCount", "12"}, {"outputTokenCount", 12.9}}}}),
            usage(12, 12, 24));
  EXPECT_THROW(norm_usage_gemini({{"usageMetadata", {{"promptTokenCount", "many"}}}}), ValueError);
}

TEST(UsageTest, OpenAIMappingsFallBackToOlderNames) {
  RecordingHost host;
  ScopedHost scope(host);
  EXPECT_EQ(norm_usage_openai({{"prompt_tokens", 4}, {"completion_tokens", 6}}), usage(4, 6, 10));
  EXPECT_EQ(norm_usage_openai({{"total_tokens", 0}, {"input_tokens", 2}, {"output_tokens", 3}}),
            usage(2, 3, 5));
  EXPECT_EQ(norm_usage_openai({{"input_tokens", nullptr}, {"prompt_tokens", 8}}), usage(8, 0, 8));
  EXPECT_EQ(norm_usage_openai(json()), usage(0, 0, 0));
  EXPECT_EQ(
      norm_usage_openai({{"input_tokens", "12"}, {"output_tokens", 1.7}, {"total_tokens", 99}}),
      usage(12, 1, 99));
  EXPECT_THROW(norm_usage_openai({{"input_tokens", "x"}}), ValueError);
  // Key order matters: callers read the last entry as the total.
  EXPECT_EQ(norm_usage_openai({{"total_tokens", 3}, {"input_tokens", 1}}).back(), 3);
}

TEST(UsageTest, AbsurdCountsSaturateInsteadOfOverflowing) {
  RecordingHost host;
  ScopedHost scope(host);
  const long long max = std::numeric_limits<long long>::max();
  // Near the integer limit: the totals made from them must stay sane and non-negative.
  json g = norm_usage_gemini(
      {{"usageMetadata", {{"promptTokenCount", max}, {"candidatesTokenCount", max}}}});
  EXPECT_EQ(g, usage(kMaxTokenCount, kMaxTokenCount, kMaxTokenCount));
  json o = norm_usage_openai({{"input_tokens", max}, {"output_tokens", 1}});
  EXPECT_EQ(o, usage(kMaxTokenCount, 1, kMaxTokenCount));
  // Beyond the signed range, as floats, or negative.
  EXPECT_EQ(norm_usage_openai({{"input_tokens", std::numeric_limits<uint64_t>::max()},
                               {"output_tokens", 1e300},
                               {"total_tokens", -5}}),
            usage(kMaxTokenCount, kMaxTokenCount, 0));
  EXPECT_EQ(usage_total({{"total_tokens", 1e300}}), kMaxTokenCount);
  EXPECT_EQ(add_token_counts(kMaxTokenCount, kMaxTokenCount), kMaxTokenCount);
  EXPECT_THROW(norm_usage_openai({{"input_tokens", std::nan("")}}), ValueError);
}

}  // namespace
}  // namespace norvex
