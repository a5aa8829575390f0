#pragma once
// A small result table that travels inside JSON records (tool results, transactions).
// Large tables stay native in the dataset; this is for what a tool hands back.
//
// Wire form: {"__table__": {"columns": [...], "index": [...], "data": [[col0...], [col1...]]}}
// (column-major, values are JSON scalars).
#include <string>
#include <vector>

#include "norvex/common/json.hpp"

namespace norvex {

class Table {
 public:
  Table() = default;
  explicit Table(std::vector<std::string> index) : index_(std::move(index)) {}

  // Appends a column; its length must equal the number of rows (ValueError otherwise).
  // The first column added to a table without an index fixes the row count, with a
  // default 0..n-1 index.
  Table& add_column(const std::string& name, json values);

  const std::vector<std::string>& columns() const { return columns_; }
  const std::vector<std::string>& index() const { return index_; }
  size_t n_rows() const { return index_.size(); }
  size_t n_cols() const { return columns_.size(); }
  bool has_column(const std::string& name) const;
  // KeyError naming the column when absent.
  const json& column(const std::string& name) const;
  const json& at(size_t row, size_t col) const { return data_[col][row]; }

  // Rows whose positions are given, in that order.
  Table take_rows(const std::vector<size_t>& rows) const;

  json to_json() const;
  static bool is_table(const json& value);
  // ValueError when the value is not a well-formed tagged table.
  static Table from_json(const json& value);

 private:
  std::vector<std::string> columns_;
  std::vector<std::string> index_;
  std::vector<json> data_;  // one JSON array per column
};

}  // namespace norvex
