#include "norvex/assistant/flow_util.hpp"

#include "norvex/analysis_tools/registry.hpp"
#include "norvex/analysis_tools/repro_code.hpp"

#include <fmt/format.h>

#include <cmath>

#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"

namespace norvex::detail {

std::string fill_template(const std::string& tmpl,
                          const std::map<std::string, std::string>& values) {
  std::string out;
  out.reserve(tmpl.size());
  size_t i = 0;
  while (i < tmpl.size()) {
    if (tmpl[i] == '{') {
      size_t close = tmpl.find('}', i + 1);
      if (close != std::string::npos) {
        auto it = values.find(tmpl.substr(i + 1, close - i - 1));
        if (it != values.end()) {
          out += it->second;
          i = close + 1;
          continue;
        }
      }
    }
    out += tmpl[i++];
  }
  return out;
}

long long to_usage_int(const json& value, const char* name) {
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (value.is_number_integer()) return value.get<long long>();
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (std::isfinite(d)) return static_cast<long long>(d);
  }
  if (value.is_string()) {
    std::string s = py_strip(value.get<std::string>());
    try {
      size_t used = 0;
      long long v = std::stoll(s, &used);
      if (used == s.size()) return v;
    } catch (const std::exception&) {
    }
  }
  throw TypeError(std::string("'") + name + "' must be an integer, not " + py_type_name(value) +
                  " (" + py_repr(value, 40) + ")");
}

std::string Stopwatch::seconds() const {
  std::chrono::duration<double> d = std::chrono::steady_clock::now() - start_;
  return fmt::format("{:.2f}", d.count());
}

json report_value(const std::optional<std::string>& report) {
  if (!report) return nullptr;
  return base64_encode(*report);
}

std::string py_list_literal(const std::vector<std::string>& items) {
  json arr = json::array();
  for (auto& s : items) arr.push_back(s);
  return py_repr(arr);
}

std::string json_array_one_line(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += dump_json(json(items[i]));
  }
  return out + "]";
}

std::string notebook_repro_code(const std::string& tool, const json& exec_args) {
  ReproOptions ro;
  ro.adata_var_name = "adata_t";
  ro.result_var_name = "result";
  ro.assume_imported = true;
  ro.norvex_pkg_name = "norvex";
  auto cls = config_name_to_class_map().find(tool);
  if (cls != config_name_to_class_map().end())
    for (auto& [name, c] : cls->second) ro.data_class_names.push_back(name);
  return build_repro_code_snippet_clean(tool, exec_args, ro);
}

}  // namespace norvex::detail
