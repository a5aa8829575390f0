#include "norvex/common/table.hpp"

#include "norvex/common/errors.hpp"

namespace norvex {

Table& Table::add_column(const std::string& name, json values) {
  if (!values.is_array()) throw TypeError("Table column '" + name + "' must be a list of values");
  if (columns_.empty() && index_.empty()) {
    for (size_t i = 0; i < values.size(); ++i) index_.push_back(std::to_string(i));
  }
  if (values.size() != index_.size()) {
    throw ValueError("Table column '" + name + "' has " + std::to_string(values.size()) +
                     " values, expected " + std::to_string(index_.size()));
  }
  for (auto& c : columns_) {
    if (c == name) throw ValueError("Table column '" + name + "' already exists");
  }
  columns_.push_back(name);
  data_.push_back(std::move(values));
  return *this;
}

bool Table::has_column(const std::string& name) const {
  for (auto& c : columns_)
    if (c == name) return true;
  return false;
}

const json& Table::column(const std::string& name) const {
  for (size_t i = 0; i < columns_.size(); ++i)
    if (columns_[i] == name) return data_[i];
  throw key_error(name);
}

Table Table::take_rows(const std::vector<size_t>& rows) const {
  std::vector<std::string> idx;
  idx.reserve(rows.size());
  for (size_t r : rows) {
    if (r >= n_rows()) throw IndexError("Table row " + std::to_string(r) + " out of range");
    idx.push_back(index_[r]);
  }
  Table out(std::move(idx));
  for (size_t c = 0; c < columns_.size(); ++c) {
    json col = json::array();
    for (size_t r : rows) col.push_back(data_[c][r]);
    out.columns_.push_back(columns_[c]);
    out.data_.push_back(std::move(col));
  }
  return out;
}

json Table::to_json() const {
  json body = json::object();
  body["columns"] = columns_;
  body["index"] = index_;
  json data = json::array();
  for (auto& col : data_) data.push_back(col);
  body["data"] = std::move(data);
  return json{{"__table__", std::move(body)}};
}

bool Table::is_table(const json& value) {
  return value.is_object() && value.size() == 1 && value.contains("__table__") &&
         value["__table__"].is_object();
}

Table Table::from_json(const json& value) {
  if (!is_table(value)) throw ValueError("value is not a table");
  const json& body = value["__table__"];
  if (!body.contains("columns") || !body["columns"].is_array() || !body.contains("index") ||
      !body["index"].is_array() || !body.contains("data") || !body["data"].is_array() ||
      body["data"].size() != body["columns"].size()) {
    throw ValueError("malformed table: needs 'columns', 'index' and one 'data' list per column");
  }
  std::vector<std::string> idx;
  for (auto& v : body["index"]) idx.push_back(v.is_string() ? v.get<std::string>() : v.dump());
  Table t(std::move(idx));
  for (size_t i = 0; i < body["columns"].size(); ++i) {
    const json& name = body["columns"][i];
    t.add_column(name.is_string() ? name.get<std::string>() : name.dump(), body["data"][i]);
  }
  return t;
}

}  // namespace norvex
