#include "norvex/analysis_tools/tool_common.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "norvex/common/errors.hpp"
#include "norvex/common/text.hpp"

namespace norvex::detail {

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

}  // namespace norvex::detail
