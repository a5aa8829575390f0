// The uns tree: ordered mappings of tables, arrays, scalars and stored objects, and its
// conversion from and to JSON records.
#include <cmath>
#include <limits>

#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/dataset/anndata.hpp"

namespace norvex {

// ---------------------------------------------------------------- UnsDict

UnsDict::UnsDict(const UnsDict& o) : order_(o.order_) {
  for (auto& [k, v] : o.items_) items_[k] = std::make_shared<UnsNode>(*v);
}

UnsDict& UnsDict::operator=(const UnsDict& o) {
  if (this != &o) {
    UnsDict copy(o);
    *this = std::move(copy);
  }
  return *this;
}

bool UnsDict::contains(const std::string& key) const {
  return items_.count(key) > 0;
}

const UnsNode& UnsDict::at(const std::string& key) const {
  auto it = items_.find(key);
  if (it == items_.end()) throw key_error(key);
  return *it->second;
}

UnsNode& UnsDict::at(const std::string& key) {
  auto it = items_.find(key);
  if (it == items_.end()) throw key_error(key);
  return *it->second;
}

UnsNode& UnsDict::operator[](const std::string& key) {
  auto it = items_.find(key);
  if (it != items_.end()) return *it->second;
  order_.push_back(key);
  auto node = std::make_shared<UnsNode>();
  items_[key] = node;
  return *node;
}

void UnsDict::set(const std::string& key, UnsNode value) {
  auto it = items_.find(key);
  if (it != items_.end()) {
    *it->second = std::move(value);
    return;
  }
  order_.push_back(key);
  items_[key] = std::make_shared<UnsNode>(std::move(value));
}

bool UnsDict::erase(const std::string& key) {
  if (!items_.erase(key)) return false;
  order_.erase(std::find(order_.begin(), order_.end(), key));
  return true;
}

// ---------------------------------------------------------------- UnsNode

std::string UnsNode::kind_name() const {
  switch (value_.index()) {
    case 0:
      return "null";
    case 1:
      return "dict";
    case 2:
      return "dataframe";
    case 3:
      return array().is_scalar() ? "scalar" : "array";
    case 4:
      return "sparse";
    default:
      return "stored";
  }
}

namespace {
TypeError wrong_kind(const std::string& wanted, const UnsNode& node) {
  return TypeError("uns value is a " + node.kind_name() + ", not a " + wanted);
}
}  // namespace

const UnsDict& UnsNode::dict() const {
  if (!is_dict()) throw wrong_kind("dict", *this);
  return std::get<UnsDict>(value_);
}
UnsDict& UnsNode::dict() {
  if (!is_dict()) throw wrong_kind("dict", *this);
  return std::get<UnsDict>(value_);
}
const DataFrame& UnsNode::table() const {
  if (!is_table()) throw wrong_kind("dataframe", *this);
  return std::get<DataFrame>(value_);
}
DataFrame& UnsNode::table() {
  if (!is_table()) throw wrong_kind("dataframe", *this);
  return std::get<DataFrame>(value_);
}
const Array& UnsNode::array() const {
  if (!is_array()) throw wrong_kind("array", *this);
  return std::get<Array>(value_);
}

bool UnsNode::truthy() const {
  if (is_null()) return false;
  if (is_dict()) return !dict().empty();
  if (is_table()) return table().n_rows() > 0 && !table().columns().empty();
  if (is_array()) {
    const Array& a = array();
    if (a.size() != 1) return a.size() > 0;
    switch (a.kind) {
      case Array::Kind::Float:
        return a.floats[0] != 0.0;  // NaN is truthy, as in Python
      case Array::Kind::Int:
      case Array::Kind::Bool:
        return a.ints[0] != 0;
      case Array::Kind::String:
        return !a.strings[0].empty();
    }
  }
  return true;
}

std::string UnsNode::text() const {
  // Old files store single strings as one-element arrays; they read the same.
  if (is_array() && array().kind == Array::Kind::String && array().size() == 1) {
    return array().strings[0];
  }
  throw TypeError("uns value is a " + kind_name() + ", not a string");
}

// ---------------------------------------------------------------- JSON conversion

namespace {

const std::string kJsonMarker = "__json__:";

UnsNode json_text(const json& value) {
  Array a = Array::scalar(json(kJsonMarker + dump_json(value)));
  return UnsNode(std::move(a));
}

// Builds a data-frame column from a list of JSON scalars (null marks a missing value).
Column column_from_json(const json& values) {
  bool any_float = false, any_int = false, any_bool = false, any_str = false, any_null = false,
       other = false;
  for (auto& v : values) {
    if (v.is_null())
      any_null = true;
    else if (v.is_boolean())
      any_bool = true;
    else if (v.is_number_integer())
      any_int = true;
    else if (v.is_number_float())
      any_float = true;
    else if (v.is_string())
      any_str = true;
    else
      other = true;
  }
  int kinds = any_bool + (any_int || any_float) + any_str;
  Column c;
  size_t n = values.size();
  if (other || kinds > 1) {
    // Mixed values keep their JSON text so nothing is lost.
    std::vector<std::string> s;
    for (auto& v : values) s.push_back(v.is_string() ? v.get<std::string>() : dump_json(v));
    c.values = Array::of_strings(std::move(s));
  } else if (any_str) {
    if (!any_null) {
      std::vector<std::string> s;
      for (auto& v : values) s.push_back(v.get<std::string>());
      c.values = Array::of_strings(std::move(s));
    } else {
      std::vector<std::string> present;
      for (auto& v : values)
        if (v.is_string()) present.push_back(v.get<std::string>());
      Column cat = Column::categorical(present);
      std::vector<int64_t> codes;
      size_t j = 0;
      for (auto& v : values) codes.push_back(v.is_null() ? -1 : cat.values.ints[j++]);
      cat.values.ints = std::move(codes);
      cat.values.shape = {n};
      c = std::move(cat);
    }
  } else if (any_bool) {
    std::vector<bool> b;
    std::vector<uint8_t> m;
    for (auto& v : values) {
      b.push_back(v.is_boolean() && v.get<bool>());
      m.push_back(v.is_null());
    }
    c.values = Array::of_bools(std::move(b));
    if (any_null) c.mask = std::move(m);
  } else if (any_float || (!any_int && any_null)) {
    std::vector<double> f;
    for (auto& v : values) f.push_back(v.is_null() ? NAN : v.get<double>());
    c.values = Array::of_floats(std::move(f));
  } else {
    std::vector<int64_t> i;
    std::vector<uint8_t> m;
    for (auto& v : values) {
      i.push_back(v.is_null() ? 0 : v.get<int64_t>());
      m.push_back(v.is_null());
    }
    c.values = Array::of_ints(std::move(i));
    if (any_null) c.mask = std::move(m);
  }
  return c;
}

json nested_list(const Array& a, size_t dim, size_t& pos) {
  json out = json::array();
  if (dim + 1 == a.shape.size()) {
    for (size_t i = 0; i < a.shape[dim]; ++i) out.push_back(a.json_at(pos++));
    return out;
  }
  for (size_t i = 0; i < a.shape[dim]; ++i) out.push_back(nested_list(a, dim + 1, pos));
  return out;
}

}  // namespace

UnsNode UnsNode::from_json(const json& value) {
  if (value.is_object()) {
    if (Table::is_table(value)) {
      Table t = Table::from_json(value);
      DataFrame df;
      df.set_index(t.index());
      for (auto& name : t.columns()) df.set(name, column_from_json(t.column(name)));
      return UnsNode(std::move(df));
    }
    UnsDict d;
    for (auto& [k, v] : value.items()) d.set(k, from_json(v));
    return UnsNode(std::move(d));
  }
  if (value.is_string()) {
    // A text that itself starts with the marker is stored as JSON text too, so the
    // convention stays reversible.
    const std::string& s = value.get_ref<const std::string&>();
    if (s.rfind(kJsonMarker, 0) == 0) return json_text(value);
    return UnsNode(Array::scalar(value));
  }
  if (value.is_number() || value.is_boolean()) return UnsNode(Array::scalar(value));
  // anndata has no null (it drops None on write); a NaN scalar reads as "missing" in
  // Python, and JSON has no NaN of its own, so reading it back as null is exact.
  if (value.is_null())
    return UnsNode(Array::scalar(json(std::numeric_limits<double>::quiet_NaN())));
  if (value.is_array() && !value.empty()) {
    bool all_int = true, all_num = true, all_bool = true, all_str = true;
    for (auto& v : value) {
      bool big_unsigned =
          v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX);
      all_int = all_int && v.is_number_integer() && !big_unsigned;
      all_num = all_num && v.is_number();
      all_bool = all_bool && v.is_boolean();
      all_str = all_str && v.is_string();
    }
    if (all_int) {
      std::vector<int64_t> v;
      for (auto& x : value) v.push_back(x.get<int64_t>());
      return UnsNode(Array::of_ints(std::move(v)));
    }
    if (all_num) {
      std::vector<double> v;
      for (auto& x : value) v.push_back(x.get<double>());
      return UnsNode(Array::of_floats(std::move(v)));
    }
    if (all_bool) {
      std::vector<bool> v;
      for (auto& x : value) v.push_back(x.get<bool>());
      return UnsNode(Array::of_bools(std::move(v)));
    }
    if (all_str) {
      std::vector<std::string> v;
      for (auto& x : value) v.push_back(x.get<std::string>());
      return UnsNode(Array::of_strings(std::move(v)));
    }
  }
  // Empty lists, lists of mappings or lists, mixed lists.
  return json_text(value);
}

json UnsNode::to_json() const {
  if (is_dict()) {
    json out = json::object();
    for (auto& k : dict().keys()) out[k] = dict().at(k).to_json();
    return out;
  }
  if (is_table()) {
    const DataFrame& df = table();
    Table t(df.index());
    for (auto& name : df.columns()) {
      const Column& c = df.col(name);
      json col = json::array();
      for (size_t i = 0; i < c.size(); ++i) col.push_back(c.json_at(i));
      t.add_column(name, std::move(col));
    }
    return t.to_json();
  }
  if (is_array()) {
    const Array& a = array();
    if (a.is_scalar()) {
      if (a.size() != 1) return nullptr;
      if (a.kind == Array::Kind::String && a.strings[0].rfind(kJsonMarker, 0) == 0) {
        try {
          return json::parse(a.strings[0].substr(kJsonMarker.size()));
        } catch (const json::exception&) {
          return a.strings[0];
        }
      }
      return a.json_at(0);
    }
    size_t pos = 0;
    if (a.size() == 0) return json::array();
    return nested_list(a, 0, pos);
  }
  // Null entries, sparse matrices and objects kept in the file have no JSON form.
  return nullptr;
}

}  // namespace norvex
