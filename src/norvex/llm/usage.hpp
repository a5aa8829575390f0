#pragma once
// Token usage as the services report it, normalised to the usage mapping
// {input_tokens, output_tokens, total_tokens} (integers, in that order).
#include <string>

#include "norvex/common/json.hpp"

namespace norvex {

// Counts are held to [0, kMaxTokenCount] (far beyond any real request), so sums of many of
// them never overflow.
constexpr long long kMaxTokenCount = 1'000'000'000'000'000LL;
// A count as a service gives it (integer, float or numeric text, as int() reads it), held
// to that range: a misbehaving service's absurd numbers must not overflow later sums.
long long token_count(const json& value);
// a + b for token counts, held to the same range.
long long add_token_counts(long long a, long long b);

json norm_usage_gemini(const json& resp);
json norm_usage_openai(const json& usage_obj);

// usage["total_tokens"] as an integer (KeyError / TypeError naming the problem).
long long usage_total(const json& usage);
// The last entry of a usage mapping as text (its total token count), as status lines show it.
std::string last_usage_text(const json& usage);

}  // namespace norvex
