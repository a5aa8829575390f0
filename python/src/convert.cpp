#include "convert.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"

namespace norvex::python {

namespace {

py::object helpers() {
  return py::module_::import("norvex._convert");
}

bool is_numpy_scalar(py::handle v) {
  static py::object generic = py::module_::import("numpy").attr("generic");
  return py::isinstance(v, generic);
}

std::string type_name(py::handle v) {
  return py::str(py::type::handle_of(v).attr("__name__")).cast<std::string>();
}

// The limit the file reader keeps for uns, for every value crossing from Python: a value
// nested without end, or holding itself, is a ValueError instead of a crashed interpreter.
constexpr size_t kMaxNesting = 100;

// The containers being converted on this thread, outermost first.
std::vector<const void*>& open_containers() {
  thread_local std::vector<const void*> open;
  return open;
}

// Entered for each container converted; refuses one too deep or already open further out.
class Nesting {
 public:
  explicit Nesting(const void* container) {
    auto& open = open_containers();
    if (container && std::find(open.begin(), open.end(), container) != open.end())
      throw ValueError("the value contains itself (a cycle) and cannot be converted");
    if (open.size() >= kMaxNesting) {
      throw ValueError("the value is nested more than " + std::to_string(kMaxNesting) +
                       " levels deep and cannot be converted");
    }
    open.push_back(container);
  }
  ~Nesting() { open_containers().pop_back(); }
  Nesting(const Nesting&) = delete;
  Nesting& operator=(const Nesting&) = delete;
};

}  // namespace

json to_json(py::handle v) {
  if (v.is_none()) return nullptr;
  if (py::isinstance<py::bool_>(v)) return v.cast<bool>();
  if (py::isinstance<py::int_>(v)) {
    try {
      return v.cast<long long>();
    } catch (const py::cast_error&) {
      return v.cast<double>();
    }
  }
  if (py::isinstance<py::float_>(v)) return v.cast<double>();
  if (py::isinstance<py::str>(v)) return v.cast<std::string>();
  if (py::isinstance<py::bytes>(v)) throw TypeError("bytes are not accepted here; give text");
  if (py::isinstance<py::dict>(v)) {
    Nesting level(v.ptr());
    json out = json::object();
    for (auto item : v.cast<py::dict>()) {
      if (!py::isinstance<py::str>(item.first)) {
        throw TypeError("mapping keys must be text, not " + type_name(item.first));
      }
      out[item.first.cast<std::string>()] = to_json(item.second);
    }
    return out;
  }
  if (py::isinstance<py::list>(v) || py::isinstance<py::tuple>(v)) {
    Nesting level(v.ptr());
    json out = json::array();
    for (auto item : v) out.push_back(to_json(item));
    return out;
  }
  if (is_numpy_scalar(v)) return to_json(v.attr("item")());
  // Records (configuration classes), pandas frames and numpy arrays: the package's helper
  // turns them into plain values or the engine's tagged forms.
  py::object plain = helpers().attr("to_plain")(v);
  if (plain.is(v)) throw TypeError("cannot pass a value of type " + type_name(v));
  Nesting level(v.ptr());  // a record whose plain form holds the record again
  return to_json(plain);
}

py::object from_json(const json& v) {
  Nesting level(nullptr);  // JSON cannot hold itself, but may be deep
  switch (v.type()) {
    case json::value_t::null:
      return py::none();
    case json::value_t::boolean:
      return py::bool_(v.get<bool>());
    case json::value_t::number_integer:
      return py::int_(v.get<long long>());
    case json::value_t::number_unsigned:
      return py::int_(v.get<unsigned long long>());
    case json::value_t::number_float:
      return py::float_(v.get<double>());
    case json::value_t::string:
      return py::str(v.get<std::string>());
    case json::value_t::array: {
      py::list out;
      for (auto& e : v) out.append(from_json(e));
      return out;
    }
    case json::value_t::object: {
      if (Table::is_table(v)) {
        const Table t = Table::from_json(v);
        py::list columns, data;
        for (size_t c = 0; c < t.n_cols(); ++c) {
          columns.append(t.columns()[c]);
          data.append(from_json(t.column(t.columns()[c])));
        }
        return helpers().attr("table_from_parts")(columns, py::cast(t.index()), data);
      }
      py::dict out;
      for (auto it = v.begin(); it != v.end(); ++it) out[py::str(it.key())] = from_json(it.value());
      return out;
    }
    default:
      return py::none();
  }
}

namespace {

// Integers copied at the array's own width when it is a narrow signed one (pandas keeps
// categorical codes as int8 for up to 127 categories), else as int64.
Array ints_from(py::handle values, std::string dtype) {
  Array a = Array::of_ints({}, std::move(dtype));
  auto at_width = [&](auto tag) {
    using T = decltype(tag);
    if (!py::isinstance<py::array_t<T>>(values)) return false;
    auto v = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(values);
    a.ints = IntValues::of(v.data(), static_cast<size_t>(v.size()));
    return true;
  };
  if (!at_width(int8_t{}) && !at_width(int16_t{}) && !at_width(int32_t{})) {
    auto v = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(values);
    a.ints = std::vector<int64_t>(v.data(), v.data() + v.size());
  }
  a.shape = {a.ints.size()};
  return a;
}

// One column from (kind, values, categories, ordered, mask) as norvex._convert gives it.
Column column_from_parts(py::handle parts) {
  auto t = parts.cast<py::tuple>();
  const std::string kind = t[0].cast<std::string>();
  Column col;
  if (kind == "category") {
    col.values = ints_from(t[1], t[4].cast<std::string>());
    col.categories = Array::of_strings(t[2].cast<std::vector<std::string>>());
    col.ordered = t[3].cast<bool>();
  } else if (kind == "float") {
    auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(t[1]);
    col.values = Array::of_floats(std::vector<double>(a.data(), a.data() + a.size()),
                                  t[4].cast<std::string>());
  } else if (kind == "int") {
    col.values = ints_from(t[1], t[4].cast<std::string>());
  } else if (kind == "bool") {
    col.values = Array::of_bools(t[1].cast<std::vector<bool>>());
  } else {
    col.values = Array::of_strings(t[1].cast<std::vector<std::string>>());
  }
  if (!t[5].is_none()) col.mask = t[5].cast<std::vector<uint8_t>>();
  return col;
}

}  // namespace

DataFrame frame_from_parts(py::handle parts) {
  auto t = parts.cast<py::tuple>();
  DataFrame df;
  df.set_index(t[0].cast<std::vector<std::string>>());
  for (auto item : t[1]) {
    auto c = item.cast<py::tuple>();
    df.set(c[0].cast<std::string>(), column_from_parts(c[1]));
  }
  return df;
}

namespace {

// A Python object kept by the engine past the call that gave it: released with the GIL,
// since the engine may drop it on a thread that does not hold it.
struct KeptObject {
  py::object object;
  explicit KeptObject(py::object o) : object(std::move(o)) {}
  KeptObject(const KeptObject&) = delete;
  KeptObject& operator=(const KeptObject&) = delete;
  ~KeptObject() {
    py::gil_scoped_acquire gil;
    object = py::object();
  }
};

}  // namespace

DataFrame frame_with_names_on_demand(py::handle parts) {
  auto t = parts.cast<py::tuple>();
  const size_t n_rows = py::len(t[0]);
  auto names = std::make_shared<KeptObject>(py::reinterpret_borrow<py::object>(t[0]));
  // A million cell names are tens of megabytes of copies that only writing a file needs.
  DataFrame df = DataFrame::stored(
      n_rows,
      [names] {
        py::gil_scoped_acquire gil;
        std::vector<std::string> out;
        try {
          out = helpers().attr("_text_index")(names->object).cast<std::vector<std::string>>();
        } catch (const std::exception& e) {
          throw ValueError(std::string("the cell names could not be read: ") + e.what());
        }
        return out;  // a pandas index is immutable: as many names as at adoption
      },
      {});
  for (auto item : t[1]) {
    auto c = item.cast<py::tuple>();
    df.set(c[0].cast<std::string>(), column_from_parts(c[1]));
  }
  return df;
}

UnsNode uns_from_py(py::handle v) {
  if (py::isinstance<py::dict>(v)) {
    Nesting level(v.ptr());
    UnsDict d;
    for (auto item : v.cast<py::dict>()) {
      UnsNode node = uns_from_py(item.second);
      if (!node.is_null()) d.set(py::str(item.first).cast<std::string>(), std::move(node));
    }
    return UnsNode(std::move(d));
  }
  py::object parts = helpers().attr("uns_parts")(v);
  if (parts.is_none()) return UnsNode();  // a kind the engine does not read: left to Python
  auto t = parts.cast<py::tuple>();
  const std::string kind = t[0].cast<std::string>();
  if (kind == "frame") return UnsNode(frame_from_parts(t[1]));
  if (kind == "json") {
    Nesting level(v.ptr());
    return UnsNode::from_json(to_json(t[1]));
  }
  // "array": (kind, column parts, shape)
  Column c = column_from_parts(t[1]);
  c.values.shape = t[2].cast<std::vector<size_t>>();
  return UnsNode(std::move(c.values));
}

namespace {

py::object array_to_py(const Array& a) {
  py::list flat;
  for (size_t i = 0; i < a.size(); ++i) {
    switch (a.kind) {
      case Array::Kind::Float:
        flat.append(a.floats[i]);
        break;
      case Array::Kind::Int:
        flat.append(a.ints[i]);
        break;
      case Array::Kind::Bool:
        flat.append(a.ints[i] != 0);
        break;
      case Array::Kind::String:
        flat.append(a.strings[i]);
        break;
    }
  }
  return helpers().attr("array_from_parts")(flat, a.dtype, py::cast(a.shape));
}

py::object column_to_py(const Column& c) {
  py::object values = array_to_py(c.values);
  py::object categories = c.categories ? array_to_py(*c.categories) : py::none();
  py::object mask = c.mask ? py::cast(*c.mask) : py::none();
  return py::make_tuple(values, categories, c.ordered, mask);
}

}  // namespace

py::object uns_to_py(const UnsNode& node) {
  Nesting level(nullptr);
  if (node.is_dict()) {
    py::dict out;
    for (auto& k : node.dict().keys()) out[py::str(k)] = uns_to_py(node.dict().at(k));
    return out;
  }
  if (node.is_table()) {
    const DataFrame& df = node.table();
    py::list names, columns;
    for (auto& name : df.columns()) {
      names.append(name);
      columns.append(column_to_py(df.col(name)));
    }
    return helpers().attr("frame_from_parts")(py::cast(df.index()), names, columns, df.index_name);
  }
  if (node.is_array()) return array_to_py(node.array());
  return py::none();
}

}  // namespace norvex::python
