#pragma once
// Token usage as the services report it, normalised to the usage mapping
// {input_tokens, output_tokens, total_tokens} (integers, in that order).
#include <string>

#include "norvex/common/json.hpp"

namespace norvex {

json norm_usage_gemini(const json& resp);
json norm_usage_openai(const json& usage_obj);

// usage["total_tokens"] as an integer (KeyError / TypeError naming the problem).
long long usage_total(const json& usage);
// The last entry of a usage mapping as text (its total token count), as status lines show it.
std::string last_usage_text(const json& usage);

}  // namespace norvex
