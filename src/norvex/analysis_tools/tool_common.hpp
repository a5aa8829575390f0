#pragma once
// Shared pieces of the built-in tools: reading arguments, checking requested values
// against the dataset, and assembling the result mapping.
#include <optional>
#include <string>
#include <vector>

#include "norvex/common/json.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/analysis_tools/registry.hpp"
#include "norvex/plotting/plot.hpp"

namespace norvex::detail {

// The fields of record argument `arg` of class `cls`: a record is taken as it is, a plain
// mapping is built into a record (unknown fields are a TypeError), absent or null means
// the class defaults.
json record_arg(const json& kwargs, const std::string& arg, const std::string& cls);

std::optional<std::string> opt_text(const json& fields, const std::string& key);
// A list of texts; a single text is taken as a one-element list; null gives nullopt.
std::optional<std::vector<std::string>> opt_text_list(const json& fields, const std::string& key);
double number(const json& fields, const std::string& key);
bool flag(const json& fields, const std::string& key);

// A category view of an obs column: codes into `categories` (-1 missing). Categorical
// columns keep their category order; other columns use sorted distinct values.
struct Categories {
  std::vector<int32_t> codes;
  std::vector<std::string> categories;
  // Position of a value, or -1.
  int32_t find(const std::string& value) const;
};
// KeyError naming the column and listing the obs columns when absent.
Categories obs_categories(const AnnData& adata, const std::string& column);
const Column& obs_column(const AnnData& adata, const std::string& column);

// ValueError when a requested value is not among `available`, naming the value, the
// field it came from and the valid values. Returns the matched values (exact match first,
// then case-insensitive), so "t cells" finds "T cells".
std::vector<std::string> match_values(const std::vector<std::string>& requested,
                                      const std::vector<std::string>& available,
                                      const std::string& what);

// "a, b, c" with at most `limit` items, then ", ... (N in total)".
std::string join_limited(const std::vector<std::string>& items, size_t limit = 30);

// Writes figures to the host when the caller asked to see them (show=true).
void show_images(const json& kwargs, const std::vector<std::string>& pngs);

std::string format_count(long long n);  // 12,345

// The colour of category `index` named `name`: the categorical palette by position (so a
// cell type keeps its colour across figures), grey for labels meaning "no label".
plotting::Rgb category_color(const std::string& name, size_t index);

// Common JSON-schema pieces for argument schemas.
json schema_string(const std::string& description);
json schema_enum(const std::vector<std::string>& values, const std::string& description);
json schema_string_list(const std::string& description);
json schema_number(const std::string& description, std::optional<double> minimum = std::nullopt,
                   std::optional<double> maximum = std::nullopt);
json schema_integer(const std::string& description, std::optional<long long> minimum,
                    std::optional<long long> maximum);
json schema_bool(const std::string& description);
json schema_object(json properties, const std::string& description = "");

}  // namespace norvex::detail
