#pragma once
// Shared pieces of the built-in tools: checking requested values against the dataset, and
// the warnings a tool run collects. (Arguments are read and checked by the parameter tables,
// params.hpp.)
#include <optional>
#include <string>
#include <vector>

#include "norvex/common/json.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/plotting/plot.hpp"

namespace norvex::detail {

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

// What a tool run found worth telling the user without failing (genes left out, a scaled
// matrix read), in the order found, without the "⚠️ WARNING: " prefix. Tools never print:
// the messages travel in the result's "warnings" and the caller shows them.
using Warnings = std::vector<std::string>;

std::string format_count(long long n);  // 12,345

// The colour of category `index` named `name`: the categorical palette by position (so a
// cell type keeps its colour across figures), grey for labels meaning "no label".
plotting::Rgb category_color(const std::string& name, size_t index);

}  // namespace norvex::detail
