// Token usage as the services report it, normalised to {input_tokens, output_tokens,
// total_tokens}. Responses are parsed JSON here, so the mapping rules apply; both the
// snake_case and camelCase spellings are read.
#include "norvex/llm/usage.hpp"

#include <algorithm>
#include <cmath>

#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"

namespace norvex {
namespace {

long long add_counts(long long a, long long b) {
  return std::min(a + b, kMaxTokenCount);  // both within [0, limit]: no overflow
}

// The first non-null value among `names`, as an integer; `fallback` when there is none.
long long first_value(const json& x, std::initializer_list<const char*> names, long long fallback) {
  if (!x.is_object()) return fallback;  // null, or a value without such fields
  for (const char* name : names) {
    if (x.contains(name) && !x[name].is_null()) return token_count(x[name]);
  }
  return fallback;
}

json usage_mapping(long long in, long long out, long long total) {
  return json{{"input_tokens", in}, {"output_tokens", out}, {"total_tokens", total}};
}

}  // namespace

json norm_usage_gemini(const json& resp) {
  json md;
  if (resp.is_object()) {
    if (resp.contains("usage_metadata") && py_truthy(resp["usage_metadata"])) {
      md = resp["usage_metadata"];
    } else if (resp.contains("usageMetadata")) {
      md = resp["usageMetadata"];
    }
  }
  const long long in = first_value(
      md, {"prompt_token_count", "promptTokenCount", "input_token_count", "inputTokenCount"}, 0);
  const long long out = first_value(
      md,
      {"candidates_token_count", "candidatesTokenCount", "output_token_count", "outputTokenCount"},
      0);
  const long long total =
      first_value(md, {"total_token_count", "totalTokenCount"}, add_counts(in, out));
  return usage_mapping(in, out, total);
}

json norm_usage_openai(const json& usage_obj) {
  if (!usage_obj.is_object()) return usage_mapping(0, 0, 0);
  auto pick = [&](const char* primary, const char* older) -> long long {
    for (const char* name : {primary, older}) {
      if (usage_obj.contains(name) && py_truthy(usage_obj[name]))
        return token_count(usage_obj[name]);
    }
    return 0;
  };
  const long long in = pick("input_tokens", "prompt_tokens");
  const long long out = pick("output_tokens", "completion_tokens");
  const long long total = usage_obj.contains("total_tokens") && py_truthy(usage_obj["total_tokens"])
                              ? token_count(usage_obj["total_tokens"])
                              : add_counts(in, out);
  return usage_mapping(in, out, total);
}

std::string last_usage_text(const json& usage) {
  if (!usage.is_object() || usage.empty()) return "None";
  return py_str(usage.back());
}

long long usage_total(const json& usage) {
  if (!usage.is_object() || !usage.contains("total_tokens")) throw key_error("total_tokens");
  const json& v = usage["total_tokens"];
  if (!v.is_number()) throw TypeError("usage 'total_tokens' must be a number");
  return token_count(v);
}

long long token_count(const json& v) {
  if (v.is_number_unsigned())
    return static_cast<long long>(std::min<uint64_t>(v.get<uint64_t>(), kMaxTokenCount));
  if (v.is_number_float()) {
    const double d = v.get<double>();
    if (!std::isfinite(d)) return py_int(v);  // raises as int() does
    return static_cast<long long>(
        std::trunc(std::clamp(d, 0.0, static_cast<double>(kMaxTokenCount))));
  }
  return std::clamp(py_int(v), 0LL, kMaxTokenCount);
}

long long add_token_counts(long long a, long long b) {
  a = std::clamp(a, 0LL, kMaxTokenCount);
  b = std::clamp(b, 0LL, kMaxTokenCount);
  return std::min(a + b, kMaxTokenCount);
}

}  // namespace norvex
