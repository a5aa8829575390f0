#include "norvex/analysis_tools/tool_common.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "norvex/common/text.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/analysis_tools/builtin_tools.hpp"
#include "norvex/host/host.hpp"

namespace norvex::detail {

json record_arg(const json& kwargs, const std::string& arg, const std::string& cls_name) {
  auto cls = builtin_class(cls_name);
  if (!kwargs.is_object() || !kwargs.contains(arg) || kwargs[arg].is_null())
    return record_fields(cls->defaults());
  const json& v = kwargs[arg];
  if (is_record(v)) {
    if (record_class_name(v) != cls_name)
      throw TypeError("argument '" + arg + "' must be a " + cls_name + ", not a " +
                      record_class_name(v));
    // Rebuilt so that missing fields take their defaults and types are checked.
    return record_fields(cls->make(record_fields(v)));
  }
  if (v.is_object()) return record_fields(cls->make(v));
  throw TypeError("argument '" + arg + "' must be a " + cls_name + " or a mapping of its fields");
}

std::optional<std::string> opt_text(const json& fields, const std::string& key) {
  if (!fields.contains(key) || fields[key].is_null()) return std::nullopt;
  if (!fields[key].is_string()) throw TypeError("'" + key + "' must be a text");
  std::string s = fields[key].get<std::string>();
  if (s.empty()) return std::nullopt;
  return s;
}

std::optional<std::vector<std::string>> opt_text_list(const json& fields, const std::string& key) {
  if (!fields.contains(key) || fields[key].is_null()) return std::nullopt;
  const json& v = fields[key];
  if (v.is_string()) return std::vector<std::string>{v.get<std::string>()};
  if (!v.is_array()) throw TypeError("'" + key + "' must be a list of texts");
  std::vector<std::string> out;
  for (auto& e : v) {
    if (!e.is_string()) throw TypeError("'" + key + "' must be a list of texts, got " + e.dump());
    out.push_back(e.get<std::string>());
  }
  if (out.empty()) return std::nullopt;
  return out;
}

double number(const json& fields, const std::string& key) {
  if (!fields.contains(key) || !fields[key].is_number())
    throw TypeError("'" + key + "' must be a number");
  return fields[key].get<double>();
}

bool flag(const json& fields, const std::string& key) {
  return fields.contains(key) && fields[key].is_boolean() && fields[key].get<bool>();
}

int32_t Categories::find(const std::string& value) const {
  for (size_t i = 0; i < categories.size(); ++i)
    if (categories[i] == value) return static_cast<int32_t>(i);
  return -1;
}

const Column& obs_column(const AnnData& adata, const std::string& column) {
  if (!adata.obs.has(column))
    throw KeyError("'" + column + "' is not an obs column. Available obs columns: " +
                   join_limited(adata.obs.columns()));
  return adata.obs.col(column);
}

Categories obs_categories(const AnnData& adata, const std::string& column) {
  const Column& col = obs_column(adata, column);
  Categories out;
  const size_t n = col.size();
  out.codes.assign(n, -1);
  if (col.is_categorical()) {
    const Array& cats = *col.categories;
    for (size_t i = 0; i < cats.size(); ++i) out.categories.push_back(cats.text_at(i));
    const Array& vals = col.values;
    for (size_t i = 0; i < n; ++i) {
      if (col.is_missing(i)) continue;
      int64_t code =
          vals.kind == Array::Kind::Float ? static_cast<int64_t>(vals.floats[i]) : vals.ints[i];
      if (code >= 0 && static_cast<size_t>(code) < out.categories.size())
        out.codes[i] = static_cast<int32_t>(code);
    }
    return out;
  }
  std::vector<std::string> texts(n);
  std::set<std::string> distinct;
  for (size_t i = 0; i < n; ++i) {
    if (col.is_missing(i)) continue;
    texts[i] = col.text_at(i);
    distinct.insert(texts[i]);
  }
  out.categories.assign(distinct.begin(), distinct.end());
  std::map<std::string, int32_t> pos;
  for (size_t i = 0; i < out.categories.size(); ++i)
    pos[out.categories[i]] = static_cast<int32_t>(i);
  for (size_t i = 0; i < n; ++i)
    if (!col.is_missing(i)) out.codes[i] = pos[texts[i]];
  return out;
}

namespace {
}  // namespace

std::vector<std::string> match_values(const std::vector<std::string>& requested,
                                      const std::vector<std::string>& available,
                                      const std::string& what) {
  std::vector<std::string> out;
  std::vector<std::string> missing;
  for (const auto& r : requested) {
    auto exact = std::find(available.begin(), available.end(), r);
    if (exact != available.end()) {
      out.push_back(*exact);
      continue;
    }
    auto ci = std::find_if(available.begin(), available.end(),
                           [&](const std::string& a) { return ascii_lower(a) == ascii_lower(r); });
    if (ci != available.end()) {
      out.push_back(*ci);
      continue;
    }
    missing.push_back("'" + r + "'");
  }
  if (!missing.empty())
    throw ValueError("Unknown " + what + ": " + join_limited(missing) +
                     ". Valid values: " + join_limited(available));
  return out;
}

std::string join_limited(const std::vector<std::string>& items, size_t limit) {
  std::string out;
  for (size_t i = 0; i < items.size() && i < limit; ++i) {
    if (i) out += ", ";
    out += items[i];
  }
  if (items.size() > limit) out += ", ... (" + std::to_string(items.size()) + " in total)";
  return out;
}

void show_images(const json& kwargs, const std::vector<std::string>& pngs) {
  if (!kwargs.is_object() || !kwargs.contains("show") || !kwargs["show"].is_boolean() ||
      !kwargs["show"].get<bool>())
    return;
  for (const auto& p : pngs) current_host().display_image(p, "image/png");
}

std::string format_count(long long n) {
  std::string digits = std::to_string(n < 0 ? -n : n);
  std::string out;
  int k = 0;
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    if (k && k % 3 == 0) out.insert(out.begin(), ',');
    out.insert(out.begin(), *it);
    ++k;
  }
  return n < 0 ? "-" + out : out;
}

plotting::Rgb category_color(const std::string& name, size_t index) {
  std::string l;
  for (char ch : name) l += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (l == "unassigned" || l == "unknown" || l == "nan" || l == "na" || l == "none")
    return plotting::Rgb{0.62, 0.62, 0.64};
  return plotting::categorical_color(index);
}

json schema_string(const std::string& description) {
  return json{{"type", "string"}, {"description", description}};
}
json schema_enum(const std::vector<std::string>& values, const std::string& description) {
  return json{{"type", "string"}, {"enum", values}, {"description", description}};
}
json schema_string_list(const std::string& description) {
  return json{{"type", "array"}, {"items", {{"type", "string"}}}, {"description", description}};
}
json schema_number(const std::string& description, std::optional<double> minimum,
                   std::optional<double> maximum) {
  json s{{"type", "number"}, {"description", description}};
  if (minimum) s["minimum"] = *minimum;
  if (maximum) s["maximum"] = *maximum;
  return s;
}
json schema_integer(const std::string& description, std::optional<long long> minimum,
                    std::optional<long long> maximum) {
  json s{{"type", "integer"}, {"description", description}};
  if (minimum) s["minimum"] = *minimum;
  if (maximum) s["maximum"] = *maximum;
  return s;
}
json schema_bool(const std::string& description) {
  return json{{"type", "boolean"}, {"description", description}};
}
json schema_object(json properties, const std::string& description) {
  json s{{"type", "object"}};
  if (!description.empty()) s["description"] = description;
  s["properties"] = std::move(properties);
  s["additionalProperties"] = false;
  return s;
}

}  // namespace norvex::detail
