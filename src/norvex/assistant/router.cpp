#include "norvex/assistant/router.hpp"

#include <algorithm>
#include <cctype>

#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/common/text.hpp"
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

bool optional_flag(const json& flags, const char* name) {
  auto it = flags.find(name);
  return it != flags.end() && py_truthy(*it);
}

}  // namespace

std::string detect_output_language(const json& user_query) {
  if (!user_query.is_string()) {
    throw TypeError(std::string("user_query must be str, not ") + py_type_name(user_query));
  }
  const std::string& q_raw = user_query.get_ref<const std::string&>();
  // Only ASCII letters have case among the words looked for; Hangul has none.
  const std::string q = ascii_lower(q_raw);
  auto has = [&q](const char* word) { return q.find(word) != std::string::npos; };
  if (has("영어") || has("english")) return "en";
  if (has("한글") || has("한국어") || has("korean")) return "ko";
  return has_hangul_syllable(q_raw) ? "ko" : "en";
}

json normalize_user_request(const json& user_req) {
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

bool check_router_res_validity(const json& router_res) {
  require_dict(router_res, "router_res");
  static const std::vector<std::string> keys = {"plot_type_to_draw", "reference_plot_type",
                                                "target_analysis", "target_celltype",
                                                "selected_tool"};
  return py_truthy(check_any_valid(router_res, keys, nullptr));
}

bool check_router_res_flags(const json& router_res) {
  require_dict(router_res, "router_res");
  auto it = router_res.find("flags");
  if (it == router_res.end()) throw key_error("flags");
  static const std::vector<std::string> keys = {"plot", "table_summary", "explain_data", "args",
                                                "code"};
  return py_truthy(check_any_valid(*it, keys, nullptr));
}

RouterDecision RouterDecision::from_record(const json& spec) {
  RouterDecision d;
  const json& flags = py_getitem(spec, "flags");
  auto required = [&](const char* name) { return py_truthy(py_getitem(flags, name)); };
  d.flags.info = required("info");
  d.flags.plot = required("plot");
  d.flags.table_summary = required("table_summary");
  d.flags.explain_data = required("explain_data");
  d.flags.explain_general = required("explain_general");
  d.flags.specific_pathway = required("specific_pathway");
  d.flags.reportgen = required("reportgen");
  d.flags.recurrent_query = required("recurrent_query");
  d.flags.save = optional_flag(flags, "save");
  d.flags.tree = optional_flag(flags, "tree");
  d.flags.args = optional_flag(flags, "args");
  d.flags.code = optional_flag(flags, "code");
  auto text = [&](const char* name) {
    auto it = spec.find(name);
    if (it == spec.end() || it->is_null()) return std::string();
    return it->is_string() ? it->get<std::string>() : py_str(*it);
  };
  d.record = spec;
  d.kind = text("kind");
  const json& tool = py_getitem(spec, "selected_tool");
  d.selected_tool = tool.is_string() ? tool.get<std::string>() : py_str(tool);
  d.target_celltype = py_getitem(spec, "target_celltype");
  d.target_analysis = text("target_analysis");
  d.query_item = text("query_item");
  d.plot_type = text("plot_type");
  d.plot_type_to_draw = text("plot_type_to_draw");
  d.reference_plot_type = text("reference_plot_type");
  if (auto it = spec.find("pathway_phrase"); it != spec.end() && it->is_string())
    d.pathway_phrase = it->get<std::string>();
  d.confidence = spec.value("confidence", json());
  if (auto it = spec.find("need_context"); it != spec.end()) d.need_context = py_truthy(*it);
  d.reason = text("reason");
  if (auto it = spec.find("questions"); it != spec.end() && it->is_array()) d.questions = *it;
  if (auto it = spec.find("info_answer"); it != spec.end()) d.info_answer = *it;
  if (auto it = spec.find("tree_target"); it != spec.end() && it->is_string())
    d.tree_target = it->get<std::string>();
  d.names_target = check_router_res_validity(spec);
  d.asks_output = check_router_res_flags(spec);
  return d;
}

FollowUpRequest FollowUpRequest::from_record(const json& r) {
  auto flag = [&](const char* name) { return py_truthy(py_getitem(r, name)); };
  FollowUpRequest f;
  f.render_plot = flag("render_plot");
  f.render_table = flag("render_table");
  f.render_code = flag("render_code");
  f.render_args = flag("render_args");
  f.explain = flag("explain");
  f.save = flag("save");
  f.explain_more_detail = flag("explain_more_detail");
  f.rerun_with_changes = flag("rerun_with_changes");
  return f;
}

json FollowUpRequest::to_record() const {
  return json{{"render_plot", render_plot},
              {"render_table", render_table},
              {"render_code", render_code},
              {"render_args", render_args},
              {"explain", explain},
              {"save", save},
              {"explain_more_detail", explain_more_detail},
              {"rerun_with_changes", rerun_with_changes}};
}

FollowUpRequest FollowUpRequest::from_router_flags(const RouterFlags& flags) {
  FollowUpRequest f;
  f.render_plot = flags.plot;
  f.render_table = flags.table_summary;
  f.render_code = flags.code;
  f.render_args = flags.args;
  f.explain = flags.explain_data;
  f.save = flags.save;
  return f;
}

}  // namespace norvex
