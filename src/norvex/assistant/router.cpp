#include "norvex/assistant/router.hpp"

#include <algorithm>
#include <cctype>

#include "norvex/common/errors.hpp"
#include "norvex/assistant/norvex.hpp"
#include "norvex/history/tx_values.hpp"

namespace norvex {
namespace {

void require_dict(const json& value, const char* name) {
  if (!value.is_object()) {
    throw TypeError(std::string(name) + " must be dict, not " + py_type_name(value));
  }
}

// True when the text holds a precomposed Hangul syllable (U+AC00..U+D7A3). In UTF-8 these
// are three-byte sequences from EA B0 80 to ED 9E A3.
bool has_hangul_syllable(const std::string& s) {
  for (size_t i = 0; i + 2 < s.size(); ++i) {
    unsigned char a = static_cast<unsigned char>(s[i]);
    if ((a & 0xF0) != 0xE0) continue;
    unsigned char b = static_cast<unsigned char>(s[i + 1]);
    unsigned char c = static_cast<unsigned char>(s[i + 2]);
    if ((b & 0xC0) != 0x80 || (c & 0xC0) != 0x80) continue;
    char32_t cp = (char32_t(a & 0x0F) << 12) | (char32_t(b & 0x3F) << 6) | char32_t(c & 0x3F);
    if (cp >= 0xAC00 && cp <= 0xD7A3) return true;
  }
  return false;
}

const char* const kUserRequestKeys[] = {"render_plot",         "render_table",      "render_code",
                                        "render_args",         "explain",           "save",
                                        "explain_more_detail", "rerun_with_changes"};

}  // namespace

std::string _detect_output_language(const json& user_query) {
  if (!user_query.is_string()) {
    throw TypeError(std::string("user_query must be str, not ") + py_type_name(user_query));
  }
  const std::string& q_raw = user_query.get_ref<const std::string&>();
  // Only ASCII letters have case among the words looked for; Hangul has none.
  std::string q = q_raw;
  std::transform(q.begin(), q.end(), q.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  auto has = [&q](const char* word) { return q.find(word) != std::string::npos; };
  if (has("영어") || has("english")) return "en";
  if (has("한글") || has("한국어") || has("korean")) return "ko";
  return has_hangul_syllable(q_raw) ? "ko" : "en";
}

json _normalize_user_request(const json& user_req) {
  json out = json::object();
  if (py_truthy(user_req) && !user_req.is_object()) {
    throw AttributeError(std::string("'") + py_type_name(user_req) +
                         "' object has no attribute 'get'");
  }
  for (const char* key : kUserRequestKeys) {
    bool value = false;
    if (user_req.is_object()) {
      auto it = user_req.find(key);
      if (it != user_req.end()) value = py_truthy(*it);
    }
    out[key] = value;
  }
  return out;
}

bool norvex::check_router_res_validity(const json& router_res) {
  require_dict(router_res, "router_res");
  static const std::vector<std::string> keys = {"plot_type_to_draw", "reference_plot_type",
                                                "target_analysis", "target_celltype",
                                                "selected_tool"};
  return py_truthy(_check_any_valid(router_res, keys, nullptr));
}

bool norvex::check_router_res_flags(const json& router_res) {
  require_dict(router_res, "router_res");
  auto it = router_res.find("flags");
  if (it == router_res.end()) throw key_error("flags");
  static const std::vector<std::string> keys = {"plot", "table_summary", "explain_data", "args",
                                                "code"};
  return py_truthy(_check_any_valid(*it, keys, nullptr));
}

}  // namespace norvex
