// In-memory values of a dataset: arrays, data-frame columns and data frames.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "norvex/common/errors.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/text_format.hpp"

namespace norvex {

std::string python_float_repr(double v, bool single_precision) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  // Shortest round-trip digits, then Python's layout: positional for exponents in
  // [-4, 16), scientific with a two-digit exponent otherwise.
  auto res = single_precision
                 ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(v),
                                 std::chars_format::scientific)
                 : std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string s(buf, res.ptr);
  std::string sign;
  if (!s.empty() && s[0] == '-') {
    sign = "-";
    s.erase(0, 1);
  }
  size_t e = s.find('e');
  std::string mant = s.substr(0, e);
  int exp = std::stoi(s.substr(e + 1));
  std::string digits;
  for (char c : mant)
    if (c != '.') digits += c;
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  if (exp >= -4 && exp < 16) {
    std::string out;
    if (exp >= 0) {
      std::string ip = digits.substr(0, std::min<size_t>(digits.size(), exp + 1));
      while (ip.size() < static_cast<size_t>(exp + 1)) ip += '0';
      std::string fp = digits.size() > static_cast<size_t>(exp + 1) ? digits.substr(exp + 1) : "0";
      out = ip + "." + fp;
    } else {
      out = "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
    }
    return sign + out;
  }
  std::string m = digits.substr(0, 1);
  if (digits.size() > 1) m += "." + digits.substr(1);
  std::string es = std::to_string(std::abs(exp));
  if (es.size() < 2) es = "0" + es;
  return sign + m + "e" + (exp < 0 ? "-" : "+") + es;
}

// ---------------------------------------------------------------- Array

size_t Array::size() const {
  switch (kind) {
    case Kind::Float:
      return floats.size();
    case Kind::Int:
    case Kind::Bool:
      return ints.size();
    case Kind::String:
      return strings.size();
  }
  return 0;
}

json Array::json_at(size_t i) const {
  if (i >= size()) throw IndexError("array index " + std::to_string(i) + " out of range");
  switch (kind) {
    case Kind::Float:
      return std::isnan(floats[i]) ? json(nullptr) : json(floats[i]);
    case Kind::Int:
      return json(ints[i]);
    case Kind::Bool:
      return json(ints[i] != 0);
    case Kind::String:
      return json(strings[i]);
  }
  return nullptr;
}

std::string Array::text_at(size_t i) const {
  if (i >= size()) throw IndexError("array index " + std::to_string(i) + " out of range");
  switch (kind) {
    case Kind::Float:
      return python_float_repr(floats[i], dtype == "float32" || dtype == "float16");
    case Kind::Int:
      return std::to_string(ints[i]);
    case Kind::Bool:
      return ints[i] ? "True" : "False";
    case Kind::String:
      return strings[i];
  }
  return "";
}

// ---------------------------------------------------------------- IntValues

std::vector<int64_t>& IntValues::wide() {
  if (!std::holds_alternative<std::vector<int64_t>>(store_)) store_ = to_vector();
  return std::get<std::vector<int64_t>>(store_);
}

void IntValues::compact() {
  int64_t lo = 0, hi = 0;
  for_each([&](int64_t v) { lo = std::min(lo, v), hi = std::max(hi, v); });
  auto narrow = [&](auto tag) {
    using T = decltype(tag);
    if (sizeof(T) >= width()) return;
    store_ = std::vector<T>(begin(), end());
  };
  auto fits = [&](auto tag) {
    using T = decltype(tag);
    return lo >= std::numeric_limits<T>::min() && hi <= std::numeric_limits<T>::max();
  };
  if (fits(int8_t{}))
    narrow(int8_t{});
  else if (fits(int16_t{}))
    narrow(int16_t{});
  else if (fits(int32_t{}))
    narrow(int32_t{});
}

// ---------------------------------------------------------------- Array

Array Array::of_floats(std::vector<double> v, std::string dtype) {
  Array a;
  a.kind = Kind::Float;
  a.dtype = std::move(dtype);
  a.shape = {v.size()};
  a.floats = std::move(v);
  return a;
}

Array Array::of_ints(std::vector<int64_t> v, std::string dtype) {
  Array a;
  a.kind = Kind::Int;
  a.dtype = std::move(dtype);
  a.shape = {v.size()};
  a.ints = std::move(v);
  a.ints.compact();
  return a;
}

Array Array::of_bools(std::vector<bool> v) {
  Array a;
  a.kind = Kind::Bool;
  a.dtype = "bool";
  a.shape = {v.size()};
  a.ints = std::vector<int64_t>(v.begin(), v.end());
  a.ints.compact();
  return a;
}

Array Array::of_strings(std::vector<std::string> v) {
  Array a;
  a.kind = Kind::String;
  a.dtype = "str";
  a.shape = {v.size()};
  a.strings = std::move(v);
  return a;
}

Array Array::scalar(const json& value) {
  Array a;
  if (value.is_boolean()) {
    a = of_bools({value.get<bool>()});
  } else if (value.is_number_unsigned() &&
             value.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
    a = of_floats({value.get<double>()});
  } else if (value.is_number_integer()) {
    a = of_ints({value.get<int64_t>()});
  } else if (value.is_number_float()) {
    a = of_floats({value.get<double>()});
  } else if (value.is_string()) {
    a = of_strings({value.get<std::string>()});
  } else {
    throw TypeError("a scalar must be a number, a boolean or a string, not " +
                    std::string(value.type_name()));
  }
  a.shape = {};
  return a;
}

// ---------------------------------------------------------------- Column

bool Column::is_missing(size_t i) const {
  if (mask && i < mask->size() && (*mask)[i]) return true;
  if (categories) return values.ints.at(i) < 0;
  if (values.kind == Array::Kind::Float) return std::isnan(values.floats.at(i));
  return false;
}

std::string Column::text_at(size_t i) const {
  if (is_missing(i)) return "nan";
  if (categories) return categories->text_at(static_cast<size_t>(values.ints.at(i)));
  return values.text_at(i);
}

json Column::json_at(size_t i) const {
  if (is_missing(i)) return nullptr;
  if (categories) return categories->json_at(static_cast<size_t>(values.ints.at(i)));
  return values.json_at(i);
}

std::vector<std::string> Column::unique_text() const {
  std::vector<std::string> out;
  bool missing_seen = false;
  if (categories) {
    std::vector<bool> seen(categories->size(), false);
    for (size_t i = 0; i < size(); ++i) {
      int64_t code = values.ints[i];
      if (code < 0 || (mask && (*mask)[i])) {
        if (!missing_seen) out.push_back("nan");
        missing_seen = true;
      } else if (!seen[static_cast<size_t>(code)]) {
        seen[static_cast<size_t>(code)] = true;
        out.push_back(categories->text_at(static_cast<size_t>(code)));
      }
    }
    return out;
  }
  std::set<std::string> seen;
  for (size_t i = 0; i < size(); ++i) {
    if (is_missing(i)) {
      if (!missing_seen) out.push_back("nan");
      missing_seen = true;
      continue;
    }
    std::string t = values.text_at(i);
    if (seen.insert(t).second) out.push_back(std::move(t));
  }
  return out;
}

std::string Column::dtype_name() const {
  if (categories) return "category";
  if (mask) {
    if (values.kind == Array::Kind::Bool) return "boolean";
    if (values.kind == Array::Kind::String) return "string";
    std::string d = values.dtype;  // int8 -> Int8, uint16 -> UInt16
    if (d.rfind("uint", 0) == 0) return "UInt" + d.substr(4);
    if (d.rfind("int", 0) == 0) return "Int" + d.substr(3);
    return d;
  }
  if (values.kind == Array::Kind::String) return "object";
  return values.dtype;
}

Column Column::categorical(const std::vector<std::string>& values, bool ordered) {
  // Categories sorted like pandas' default for strings.
  std::set<std::string> cats(values.begin(), values.end());
  std::vector<std::string> cat_list(cats.begin(), cats.end());
  std::unordered_map<std::string, int64_t> code_of;
  for (size_t i = 0; i < cat_list.size(); ++i) code_of[cat_list[i]] = static_cast<int64_t>(i);
  std::vector<int64_t> codes;
  codes.reserve(values.size());
  for (auto& v : values) codes.push_back(code_of[v]);
  std::string code_dtype = cat_list.size() < 128     ? "int8"
                           : cat_list.size() < 32768 ? "int16"
                                                     : "int32";
  Column c;
  c.values = Array::of_ints(std::move(codes), code_dtype);
  c.categories = Array::of_strings(std::move(cat_list));
  c.ordered = ordered;
  return c;
}

// ---------------------------------------------------------------- DataFrame

namespace {

// Later occurrences of a name get "-1", "-2", ... (counting per name, skipping any
// candidate already present), so files keep the names anndata would give them.
void make_unique_names(std::vector<std::string>& names) {
  if (std::unordered_set<std::string_view>(names.begin(), names.end()).size() == names.size()) {
    return;
  }
  std::unordered_set<std::string> taken(names.begin(), names.end());
  std::unordered_set<std::string> seen;
  std::unordered_map<std::string, size_t> counter;
  std::vector<size_t> duplicates;
  for (size_t i = 0; i < names.size(); ++i) {
    if (!seen.insert(names[i]).second) duplicates.push_back(i);
  }
  for (size_t i : duplicates) {
    const std::string base = names[i];
    while (true) {
      std::string candidate = base + "-" + std::to_string(++counter[base]);
      if (taken.insert(candidate).second) {
        names[i] = std::move(candidate);
        break;
      }
    }
  }
}

}  // namespace

DataFrame DataFrame::stored(size_t n_rows, IndexLoader index,
                            std::vector<std::pair<std::string, ColumnLoader>> columns) {
  DataFrame df;
  df.lazy_rows_ = n_rows;
  df.index_loader_ = std::move(index);
  for (auto& [name, load] : columns) {
    if (df.has(name)) continue;  // a repeated column-order entry names the same column
    df.order_.push_back(name);
    df.pending_.emplace(name, std::move(load));
  }
  return df;
}

void DataFrame::load_index() const {
  if (!index_loader_) return;
  index_ = index_loader_();
  index_loader_ = nullptr;
  if (unique_pending_) make_unique_names(index_);
  unique_pending_ = false;
}

const std::vector<std::string>& DataFrame::index() const {
  load_index();
  return index_;
}

void DataFrame::set_index(std::vector<std::string> names) {
  if (!order_.empty() && names.size() != n_rows()) {
    throw ValueError("Length mismatch: the frame has " + std::to_string(n_rows()) +
                     " rows, the new index has " + std::to_string(names.size()) + " names");
  }
  index_ = std::move(names);
  index_loader_ = nullptr;
  unique_pending_ = false;
}

void DataFrame::make_index_unique() {
  if (index_loader_) {
    unique_pending_ = true;
    return;
  }
  make_unique_names(index_);
}

const Column& DataFrame::load_column(const std::string& name) const {
  auto it = cols_.find(name);
  if (it != cols_.end()) return it->second;
  auto p = pending_.find(name);
  if (p == pending_.end()) throw key_error(name);
  Column c = p->second();
  pending_.erase(p);
  return cols_.emplace(name, std::move(c)).first->second;
}

const Column& DataFrame::col(const std::string& name) const {
  return load_column(name);
}

Column& DataFrame::col(const std::string& name) {
  return const_cast<Column&>(load_column(name));
}

void DataFrame::set(const std::string& name, Column column) {
  if (n_rows() == 0 && order_.empty()) {
    // Like pandas: the first column of an empty frame brings a default 0..n-1 index.
    load_index();
    for (size_t i = 0; i < column.size(); ++i) index_.push_back(std::to_string(i));
  }
  if (column.size() != n_rows()) {
    throw ValueError("Length of values (" + std::to_string(column.size()) +
                     ") does not match length of index (" + std::to_string(n_rows()) +
                     ") for column '" + name + "'");
  }
  if (column.categories) {
    const int64_t n_cats = static_cast<int64_t>(column.categories->size());
    bool out_of_range = false;
    column.values.ints.for_each([&](int64_t code) { out_of_range |= code >= n_cats; });
    if (out_of_range) throw ValueError("column '" + name + "' has a category code out of range");
  }
  if (column.mask && column.mask->size() != column.size()) {
    throw ValueError("column '" + name + "' has a mask of the wrong length");
  }
  if (!has(name)) order_.push_back(name);
  pending_.erase(name);
  cols_[name] = std::move(column);
}

void DataFrame::erase(const std::string& name) {
  if (!has(name)) return;
  cols_.erase(name);
  pending_.erase(name);
  order_.erase(std::find(order_.begin(), order_.end(), name));
}

}  // namespace norvex
