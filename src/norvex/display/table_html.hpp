#pragma once
// A result table as the notebook shows a data frame: an HTML table, long tables cut to
// their first and last rows with the full size noted below.
#include <cstddef>
#include <string>

namespace norvex {

class Table;

// Tables longer than max_rows show their first and last 5 rows around a "…" row.
std::string table_to_html(const Table& table, size_t max_rows = 60);

}  // namespace norvex
