#pragma once
// Small pieces shared by the planning, pathway, explanation and fresh-request flows.
#include <chrono>
#include <map>
#include <optional>
#include <string>

#include "norvex/common/json.hpp"

namespace norvex::detail {

// Fills {name} placeholders in one pass, so text inserted for one placeholder is never
// searched for another (a question may itself contain "{user_query}").
std::string fill_template(const std::string& tmpl,
                          const std::map<std::string, std::string>& values);

// A running token total given as any number (truncated) or integer text; TypeError naming
// `name` otherwise.
long long to_usage_int(const json& value, const char* name);

// Seconds with two decimals, as the status lines show them.
class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  std::string seconds() const;

 private:
  std::chrono::steady_clock::time_point start_;
};

// A report document as a record keeps it: base64 text of the .docx bytes, or null.
json report_value(const std::optional<std::string>& report);

// The reproduction snippet shown with a result: the tool called on the notebook's
// `adata_t` with `exec_args` (with show=true), its record classes imported by name.
std::string notebook_repro_code(const std::string& tool, const json& exec_args);

// Python-style one-line list of quoted symbols: ['A', 'B'].
std::string py_list_literal(const std::vector<std::string>& items);
// One-line JSON array with ", " between items, non-ASCII kept.
std::string json_array_one_line(const std::vector<std::string>& items);

}  // namespace norvex::detail
