#pragma once
// The one place that talks to the HDF5 C library. Every call takes the same (recursive)
// lock, so readers on other threads can come later without auditing each caller, and
// hdf5.h stays out of every other header. Failures throw h5::Failure with the HDF5 object
// path involved; the dataset layer turns them into FileError naming the file.
#include <hdf5.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "norvex/dataset/anndata.hpp"

namespace norvex::h5 {

struct Failure : std::runtime_error {
  explicit Failure(const std::string& what) : std::runtime_error(what) {}
};

// Held by every function of this layer (and by callers that combine several calls).
std::unique_lock<std::recursive_mutex> lock();

// Owning HDF5 identifier of any kind; released with H5Idec_ref.
class Handle {
 public:
  Handle() = default;
  explicit Handle(hid_t id) : id_(id) {}
  Handle(Handle&& o) noexcept : id_(o.id_) { o.id_ = -1; }
  Handle& operator=(Handle&& o) noexcept;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle();
  hid_t get() const { return id_; }
  bool valid() const { return id_ >= 0; }
  operator hid_t() const { return id_; }

 private:
  hid_t id_ = -1;
};

// ---- files ----
bool is_hdf5(const std::filesystem::path& path);
Handle open_read(const std::filesystem::path& path);
Handle create_file(const std::filesystem::path& path);
void flush(hid_t file);

// ---- navigation ----
enum class Kind { Missing, Group, Dataset, Other };
Kind kind(hid_t loc, const std::string& path);
// Opens the member `name` of an open group, whatever it is (one lookup, for walking trees
// of many small objects); `kind` is Missing and the handle invalid when there is none.
Handle open_child(hid_t group, const std::string& name, Kind& kind);
Handle open_group(hid_t loc, const std::string& path);
Handle open_dataset(hid_t loc, const std::string& path);
// Member names in creation order when the group tracks it, else in name order.
std::vector<std::string> children(hid_t group);
std::string object_name(hid_t obj);
// An object's identity in its file: the same through every link that reaches it.
struct ObjectId {
  unsigned long file = 0;
  uint64_t address = 0;
  bool operator==(const ObjectId&) const = default;
};
ObjectId object_id(hid_t obj);

// Text taken from a file, cut for quoting in a message (a damaged file may hold megabytes
// where a name is expected).
std::string shown(std::string_view text, size_t max_bytes = 200);

// Refuses, before allocating, a read of `n` values of `bytes_each` bytes in memory that no
// machine of this size could hold; `what` names the object.
void check_memory(size_t n, size_t bytes_each, const std::string& what);

// ---- attributes ----
bool has_attr(hid_t obj, const std::string& name);
// String attribute (variable or fixed length, scalar or one element); nullopt if absent or
// not a string.
std::optional<std::string> attr_text(hid_t obj, const std::string& name);
// Any attribute as an Array (numbers, booleans, strings).
Array attr_array(hid_t obj, const std::string& name);
// The object an object-reference attribute points to.
Handle attr_deref(hid_t obj, const std::string& name);

void set_attr_text(hid_t obj, const std::string& name, const std::string& value);
// Array of strings; an empty list is written as an empty float64 array, as anndata does.
void set_attr_texts(hid_t obj, const std::string& name, const std::vector<std::string>& values);
void set_attr_bool(hid_t obj, const std::string& name, bool value);
void set_attr_ints(hid_t obj, const std::string& name, const std::vector<int64_t>& values);
// encoding-type / encoding-version pair.
void set_encoding(hid_t obj, const std::string& type, const std::string& version);

// ---- datasets ----
enum class TypeClass { Int, Float, Bool, String, Compound, Reference, Other };
struct TypeInfo {
  TypeClass cls = TypeClass::Other;
  std::string dtype;  // numpy name: "int8", "float32", "bool", "str", ...
};
TypeInfo type_info(hid_t dataset);
std::vector<size_t> shape(hid_t dataset);
// Whole dataset, or the block [start, start + count) when given (row-major shape = count).
Array read(hid_t dataset, const std::vector<size_t>& start = {},
           const std::vector<size_t>& count = {});
// Names of the members of a compound dataset, in order.
std::vector<std::string> fields(hid_t dataset);
// One member of a compound dataset; array members give a shape {n, ...}.
Array read_field(hid_t dataset, const std::string& field);
// 1-d ranges straight into typed buffers (the hot paths of matrix access).
void read_range(hid_t dataset, size_t start, size_t count, int64_t* out);
void read_range(hid_t dataset, size_t start, size_t count, float* out);
void read_range(hid_t dataset, size_t start, size_t count, int32_t* out);
// The elements at `positions` (increasing) of a 1-d dataset.
void read_points(hid_t dataset, const std::vector<uint64_t>& positions, float* out);
// 2-d block into doubles, row-major.
void read_block(hid_t dataset, size_t row, size_t col, size_t n_rows, size_t n_cols, double* out);

// Writes `values` (of any shape; scalar when shape is empty) with its dtype.
void write(hid_t loc, const std::string& name, const Array& values);
void write_doubles(hid_t loc, const std::string& name, const double* values,
                   const std::vector<size_t>& shape, const std::string& dtype);
void write_floats(hid_t loc, const std::string& name, const float* values, size_t n,
                  const std::string& dtype);
void write_ints(hid_t loc, const std::string& name, const int64_t* values, size_t n,
                const std::string& dtype);
Handle create_group(hid_t loc, const std::string& name);

// A 1-d dataset that grows as rows are appended (chunked).
Handle create_growing(hid_t loc, const std::string& name, const std::string& dtype);
void append(hid_t dataset, const float* values, size_t n);
void append(hid_t dataset, const int64_t* values, size_t n);

// A 1-d dataset of `n` values in one contiguous block, filled range by range (so that
// readers can map it).
Handle create_fixed(hid_t loc, const std::string& name, const std::string& dtype, size_t n);
void write_range(hid_t dataset, size_t start, size_t count, const float* values);
void write_range(hid_t dataset, size_t start, size_t count, const int32_t* values);

// Copies an object with everything under it (and the objects its references point to).
void copy(hid_t src_loc, const std::string& src_path, hid_t dst_loc, const std::string& dst_path);
// The same copy done by hand, a few megabytes at a time, with the same types, layouts,
// filters and attributes. HDF5's object copy can crash when the disk fills up; this one
// fails with a Failure. Objects holding references are refused (holds_references).
void copy_by_parts(hid_t src_loc, const std::string& src_path, hid_t dst_loc,
                   const std::string& dst_path);
// True when the object or anything under it stores HDF5 references (old categoricals).
bool holds_references(hid_t loc, const std::string& path);

}  // namespace norvex::h5
