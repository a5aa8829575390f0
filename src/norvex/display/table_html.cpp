#include "norvex/display/table_html.hpp"

#include <fmt/format.h>

#include <cmath>

#include "norvex/common/escape.hpp"
#include "norvex/common/table.hpp"

namespace norvex {
namespace {

constexpr size_t kEdgeRows = 5;

// Cell text like a data frame's: floats with six significant digits, NaN for missing.
std::string cell_text(const json& v) {
  if (v.is_null()) return "NaN";
  if (v.is_string()) return v.get<std::string>();
  if (v.is_boolean()) return v.get<bool>() ? "True" : "False";
  if (v.is_number_float()) {
    double d = v.get<double>();
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    double a = std::fabs(d);
    if (a != 0 && (a < 1e-4 || a >= 1e6)) return fmt::format("{:.6e}", d);
    return fmt::format("{:.6f}", d);
  }
  return dump_json(v);
}

}  // namespace

std::string table_to_html(const Table& t, size_t max_rows) {
  const size_t n = t.n_rows();
  std::string out =
      "<div class=\"norvex-table\" style=\"overflow:auto\"><table class=\"dataframe\">";
  out += "<thead><tr><th></th>";
  for (const auto& c : t.columns()) out += "<th>" + html_escape(c) + "</th>";
  out += "</tr></thead><tbody>";
  auto row = [&](size_t r) {
    out += "<tr><th>" + html_escape(t.index()[r]) + "</th>";
    for (size_t c = 0; c < t.n_cols(); ++c)
      out += "<td>" + html_escape(cell_text(t.at(r, c))) + "</td>";
    out += "</tr>";
  };
  const bool cut = n > max_rows && n > 2 * kEdgeRows;
  if (!cut) {
    for (size_t r = 0; r < n; ++r) row(r);
  } else {
    for (size_t r = 0; r < kEdgeRows; ++r) row(r);
    out += "<tr><th>…</th>";
    for (size_t c = 0; c < t.n_cols(); ++c) out += "<td>…</td>";
    out += "</tr>";
    for (size_t r = n - kEdgeRows; r < n; ++r) row(r);
  }
  out += "</tbody></table>";
  if (cut) {
    out += fmt::format("<p>{} rows × {} columns</p>", n, t.n_cols());
  }
  return out + "</div>";
}

}  // namespace norvex
