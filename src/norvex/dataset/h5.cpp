#include "norvex/dataset/h5.hpp"

#include <liblzf/lzf.h>

#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <functional>
#include <numeric>

namespace norvex::h5 {

namespace {

std::recursive_mutex& h5_mutex() {
  static std::recursive_mutex m;
  return m;
}

// Closes a temporary identifier (types, spaces, property lists) at scope exit.
struct Temp {
  hid_t id;
  explicit Temp(hid_t i) : id(i) {}
  ~Temp() {
    if (id >= 0) H5Idec_ref(id);
  }
  Temp(const Temp&) = delete;
  Temp& operator=(const Temp&) = delete;
  operator hid_t() const { return id; }
};

// h5py's LZF filter (registered below).
constexpr H5Z_filter_t kLzfFilter = 32000;

hid_t check(hid_t id, const std::string& what) {
  if (id < 0) throw Failure(what);
  return id;
}
void check_status(herr_t status, const std::string& what) {
  if (status < 0) throw Failure(what);
}

size_t product(const std::vector<size_t>& dims) {
  return std::accumulate(dims.begin(), dims.end(), size_t{1}, std::multiplies<>());
}

// Bytes one value of file type `ftype` takes once decoded (Array keeps numbers as 8-byte
// values and text as std::string).
size_t memory_per_value(hid_t ftype) {
  switch (H5Tget_class(ftype)) {
    case H5T_STRING:
      return sizeof(std::string) +
             (H5Tis_variable_str(ftype) > 0 ? sizeof(char*) : H5Tget_size(ftype));
    case H5T_ARRAY: {
      int nd = H5Tget_array_ndims(ftype);
      std::vector<hsize_t> dims(static_cast<size_t>(std::max(nd, 0)));
      if (nd > 0) H5Tget_array_dims2(ftype, dims.data());
      size_t m = 1;
      for (auto d : dims) m = d && m > SIZE_MAX / 8 / d ? SIZE_MAX / 8 : m * d;
      return 8 * std::max<size_t>(m, 1);
    }
    default:
      return 8;
  }
}

// What the file actually stores for a dataset bounds how many values it can declare: data
// never written reads as a fill value, so a tiny file could otherwise ask for terabytes.
// Deflate (and lzf, with shuffle or checksums) cannot shrink data more than about 1032:1.
void check_extent(hid_t dataset, size_t n, hid_t ftype) {
  const std::string what = "'" + shown(object_name(dataset)) + "'";
  check_memory(n, memory_per_value(ftype), what);
  const size_t type_size = std::max<size_t>(H5Tget_size(ftype), 1);
  const size_t raw = n > SIZE_MAX / type_size ? SIZE_MAX : n * type_size;
  constexpr size_t kAlwaysFine = size_t(1) << 20;
  if (raw <= kAlwaysFine) return;
  Temp dcpl(H5Dget_create_plist(dataset));
  if (dcpl.id < 0) return;
  H5D_layout_t layout = H5Pget_layout(dcpl);
  if (layout == H5D_VIRTUAL || H5Pget_external_count(dcpl) > 0) return;  // stored elsewhere
  size_t ratio = 1;
  int nfilters = H5Pget_nfilters(dcpl);
  for (int i = 0; i < nfilters; ++i) {
    unsigned flags = 0;
    size_t nelem = 0;
    H5Z_filter_t id = H5Pget_filter2(dcpl, static_cast<unsigned>(i), &flags, &nelem, nullptr, 0,
                                     nullptr, nullptr);
    if (id == H5Z_FILTER_DEFLATE || id == kLzfFilter) {
      ratio = 1100;
    } else if (id != H5Z_FILTER_SHUFFLE && id != H5Z_FILTER_FLETCHER32) {
      ratio = 0;  // a filter whose limit is unknown: only memory bounds the read
      break;
    }
  }
  const size_t stored = static_cast<size_t>(H5Dget_storage_size(dataset));
  if (ratio == 0 && stored > 0) return;
  if (ratio == 0) ratio = 1;
  if (raw / ratio > stored) {
    throw Failure(what + " declares " + std::to_string(n) + " values (" + std::to_string(raw) +
                  " bytes) but the file stores only " + std::to_string(stored) + " bytes of them");
  }
}

std::vector<size_t> space_dims(hid_t space) {
  int nd = H5Sget_simple_extent_ndims(space);
  if (nd < 0) throw Failure("unreadable dataspace");
  std::vector<hsize_t> d(static_cast<size_t>(nd));
  if (nd > 0) H5Sget_simple_extent_dims(space, d.data(), nullptr);
  return {d.begin(), d.end()};
}

std::string int_dtype(size_t size, bool is_signed) {
  return std::string(is_signed ? "int" : "uint") + std::to_string(size * 8);
}

hid_t bool_type() {
  hid_t t = H5Tenum_create(H5T_NATIVE_INT8);
  int8_t f = 0, tr = 1;
  H5Tenum_insert(t, "FALSE", &f);
  H5Tenum_insert(t, "TRUE", &tr);
  return t;
}

bool is_bool_enum(hid_t type) {
  if (H5Tget_nmembers(type) != 2) return false;
  char* a = H5Tget_member_name(type, 0);
  char* b = H5Tget_member_name(type, 1);
  bool ok = a && b && std::strcmp(a, "FALSE") == 0 && std::strcmp(b, "TRUE") == 0;
  if (a) H5free_memory(a);
  if (b) H5free_memory(b);
  return ok;
}

hid_t vlen_utf8() {
  hid_t t = H5Tcopy(H5T_C_S1);
  H5Tset_size(t, H5T_VARIABLE);
  H5Tset_cset(t, H5T_CSET_UTF8);
  return t;
}

// File type for a numpy dtype name; the caller releases it.
hid_t file_type(const std::string& dtype) {
  if (dtype == "float32") return H5Tcopy(H5T_IEEE_F32LE);
  if (dtype == "float64") return H5Tcopy(H5T_IEEE_F64LE);
  if (dtype == "int8") return H5Tcopy(H5T_STD_I8LE);
  if (dtype == "int16") return H5Tcopy(H5T_STD_I16LE);
  if (dtype == "int32") return H5Tcopy(H5T_STD_I32LE);
  if (dtype == "int64") return H5Tcopy(H5T_STD_I64LE);
  if (dtype == "uint8") return H5Tcopy(H5T_STD_U8LE);
  if (dtype == "uint16") return H5Tcopy(H5T_STD_U16LE);
  if (dtype == "uint32") return H5Tcopy(H5T_STD_U32LE);
  if (dtype == "uint64") return H5Tcopy(H5T_STD_U64LE);
  if (dtype == "bool") return bool_type();
  if (dtype == "str") return vlen_utf8();
  throw Failure("unsupported dtype '" + dtype + "'");
}

using ReadFn = std::function<herr_t(hid_t mem, void* buf)>;

void decode_integers(Array& a, hid_t ftype, size_t n, const ReadFn& rd) {
  a.kind = Array::Kind::Int;
  a.dtype = int_dtype(H5Tget_size(ftype), H5Tget_sign(ftype) != H5T_SGN_NONE);
  a.ints.resize(n);
  if (n) check_status(rd(H5T_NATIVE_INT64, a.ints.wide_data()), "cannot read integers");
  a.ints.compact();
}

void decode_floats(Array& a, hid_t ftype, size_t n, const ReadFn& rd) {
  a.kind = Array::Kind::Float;
  a.dtype = "float" + std::to_string(H5Tget_size(ftype) * 8);
  a.floats.resize(n);
  if (n) check_status(rd(H5T_NATIVE_DOUBLE, a.floats.data()), "cannot read floats");
}

// One signed value of `size` bytes (1, 2, 4 or 8; others read as 0).
int64_t signed_at(const unsigned char* p, size_t size) {
  int64_t v = 0;
  if (size == 1) {
    v = *reinterpret_cast<const int8_t*>(p);
  } else if (size == 2) {
    int16_t x;
    std::memcpy(&x, p, 2);
    v = x;
  } else if (size == 4) {
    int32_t x;
    std::memcpy(&x, p, 4);
    v = x;
  } else if (size == 8) {
    std::memcpy(&v, p, 8);
  }
  return v;
}

// Enums are read as their native integers; h5py's booleans (FALSE/TRUE) become Bool.
void decode_enums(Array& a, hid_t ftype, size_t n, const ReadFn& rd) {
  const bool is_bool = is_bool_enum(ftype);
  a.kind = is_bool ? Array::Kind::Bool : Array::Kind::Int;
  Temp mem(check(H5Tget_native_type(ftype, H5T_DIR_ASCEND), "enum type"));
  const size_t msize = H5Tget_size(mem);
  std::vector<unsigned char> raw(n * msize);
  if (n) check_status(rd(mem, raw.data()), "cannot read enum values");
  a.dtype = is_bool ? "bool" : int_dtype(msize, true);
  std::vector<int64_t> values(n);
  for (size_t i = 0; i < n; ++i) {
    const int64_t v = signed_at(raw.data() + i * msize, msize);
    values[i] = is_bool ? (v != 0) : v;
  }
  a.ints = std::move(values);
  a.ints.compact();
}

void decode_variable_strings(Array& a, hid_t ftype, size_t n, const ReadFn& rd) {
  Temp mem(H5Tcopy(H5T_C_S1));
  H5Tset_size(mem, H5T_VARIABLE);
  H5Tset_cset(mem, H5Tget_cset(ftype));
  std::vector<char*> buf(n, nullptr);
  if (n) check_status(rd(mem, buf.data()), "cannot read strings");
  for (size_t i = 0; i < n; ++i) {
    if (buf[i]) {
      a.strings[i] = buf[i];
      H5free_memory(buf[i]);
    }
  }
}

// Fixed-size strings may fill their whole width (no terminator) or be space padded.
void decode_fixed_strings(Array& a, hid_t ftype, size_t n, const ReadFn& rd) {
  const size_t size = H5Tget_size(ftype);
  Temp mem(H5Tcopy(H5T_C_S1));
  H5Tset_size(mem, size);
  H5Tset_strpad(mem, H5Tget_strpad(ftype));
  H5Tset_cset(mem, H5Tget_cset(ftype));
  std::vector<char> buf(n * size + 1, 0);
  if (n) check_status(rd(mem, buf.data()), "cannot read strings");
  for (size_t i = 0; i < n; ++i) {
    const char* p = buf.data() + i * size;
    size_t len = strnlen(p, size);
    std::string s(p, len);
    if (H5Tget_strpad(ftype) == H5T_STR_SPACEPAD) {
      while (!s.empty() && s.back() == ' ') s.pop_back();
    }
    a.strings[i] = std::move(s);
  }
}

void decode_strings(Array& a, hid_t ftype, size_t n, const ReadFn& rd) {
  a.kind = Array::Kind::String;
  a.dtype = "str";
  a.strings.resize(n);
  if (H5Tis_variable_str(ftype) > 0)
    decode_variable_strings(a, ftype, n, rd);
  else
    decode_fixed_strings(a, ftype, n, rd);
}

// An array member (each element a small numeric array): its dimensions extend the shape.
void decode_array_members(Array& a, hid_t ftype, size_t n, const ReadFn& rd) {
  Temp base(H5Tget_super(ftype));
  int nd = H5Tget_array_ndims(ftype);
  if (nd <= 0) throw Failure("bad array member");
  std::vector<hsize_t> dims(static_cast<size_t>(nd));
  H5Tget_array_dims2(ftype, dims.data());
  size_t m = 1;
  for (auto d : dims) {
    m *= d;
    a.shape.push_back(d);
  }
  H5T_class_t bcls = H5Tget_class(base);
  if (bcls != H5T_INTEGER && bcls != H5T_FLOAT) throw Failure("non-numeric array member");
  Temp mem(H5Tarray_create2(H5T_NATIVE_DOUBLE, static_cast<unsigned>(nd), dims.data()));
  a.kind = Array::Kind::Float;
  a.dtype = bcls == H5T_FLOAT ? "float" + std::to_string(H5Tget_size(base) * 8)
                              : int_dtype(H5Tget_size(base), H5Tget_sign(base) != H5T_SGN_NONE);
  a.floats.resize(n * m);
  if (n * m > 0) check_status(rd(mem, a.floats.data()), "cannot read array member");
  if (bcls == H5T_INTEGER) {
    a.kind = Array::Kind::Int;
    a.ints = std::vector<int64_t>(a.floats.begin(), a.floats.end());
    a.floats.clear();
  }
}

// Reads n elements of file type `ftype` through `rd` into an Array of the given shape.
Array decode(hid_t ftype, size_t n, std::vector<size_t> shape, const ReadFn& rd) {
  Array a;
  a.shape = std::move(shape);
  switch (H5Tget_class(ftype)) {
    case H5T_INTEGER:
      decode_integers(a, ftype, n, rd);
      return a;
    case H5T_FLOAT:
      decode_floats(a, ftype, n, rd);
      return a;
    case H5T_ENUM:
      decode_enums(a, ftype, n, rd);
      return a;
    case H5T_STRING:
      decode_strings(a, ftype, n, rd);
      return a;
    case H5T_ARRAY:
      decode_array_members(a, ftype, n, rd);
      return a;
    case H5T_COMPOUND:
      throw Failure("structured (compound) values");
    case H5T_REFERENCE:
      throw Failure("object references");
    default:
      throw Failure("unsupported data type");
  }
}

Temp select_block(hid_t dataset, const std::vector<size_t>& start,
                  const std::vector<size_t>& count) {
  Temp fs(check(H5Dget_space(dataset), "dataspace"));
  std::vector<hsize_t> st(start.begin(), start.end()), ct(count.begin(), count.end());
  auto dims = space_dims(fs);
  if (dims.size() != st.size()) throw Failure("block rank does not match the dataset");
  for (size_t i = 0; i < dims.size(); ++i) {
    if (st[i] + ct[i] > dims[i]) throw Failure("block outside the dataset");
  }
  check_status(H5Sselect_hyperslab(fs, H5S_SELECT_SET, st.data(), nullptr, ct.data(), nullptr),
               "cannot select block");
  hid_t id = fs.id;
  fs.id = -1;
  return Temp(id);
}

template <class T>
void read_range_impl(hid_t dataset, size_t start, size_t count, T* out, hid_t mem) {
  auto l = lock();
  if (count == 0) return;
  Temp fs = select_block(dataset, {start}, {count});
  hsize_t c = count;
  Temp ms(H5Screate_simple(1, &c, nullptr));
  check_status(H5Dread(dataset, mem, ms, fs, H5P_DEFAULT, out), "cannot read range");
}

Temp create_space(const std::vector<size_t>& shape) {
  if (shape.empty()) return Temp(H5Screate(H5S_SCALAR));
  std::vector<hsize_t> d(shape.begin(), shape.end());
  return Temp(H5Screate_simple(static_cast<int>(d.size()), d.data(), nullptr));
}

void write_raw(hid_t loc, const std::string& name, hid_t ftype, hid_t mtype,
               const std::vector<size_t>& shape, const void* data) {
  Temp space = create_space(shape);
  Handle ds(H5Dcreate2(loc, name.c_str(), ftype, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  if (!ds.valid()) throw Failure("cannot create dataset '" + name + "'");
  if (product(shape) > 0 || shape.empty()) {
    check_status(H5Dwrite(ds, mtype, H5S_ALL, H5S_ALL, H5P_DEFAULT, data),
                 "cannot write dataset '" + name + "'");
  }
}

void delete_attr_if_any(hid_t obj, const std::string& name) {
  if (H5Aexists(obj, name.c_str()) > 0) H5Adelete(obj, name.c_str());
}

void write_attr(hid_t obj, const std::string& name, hid_t ftype, hid_t mtype,
                const std::vector<size_t>& shape, const void* data) {
  delete_attr_if_any(obj, name);
  Temp space = create_space(shape);
  Temp attr(H5Acreate2(obj, name.c_str(), ftype, space, H5P_DEFAULT, H5P_DEFAULT));
  if (attr.id < 0) throw Failure("cannot create attribute '" + name + "'");
  if (product(shape) > 0 || shape.empty()) {
    check_status(H5Awrite(attr, mtype, data), "cannot write attribute '" + name + "'");
  }
}

// LZF (h5py's own filter, id 32000): files written with compression="lzf" (anndata's
// compatibility archives among them) need it, and Debian's HDF5 plugin for it fails to
// load, so it is registered here over liblzf (kLzfFilter).
size_t lzf_filter(unsigned flags, size_t cd_nelmts, const unsigned cd_values[], size_t nbytes,
                  size_t* buf_size, void** buf) {
  if (!(flags & H5Z_FLAG_REVERSE)) {
    size_t out_size = *buf_size;
    void* out = H5allocate_memory(out_size, false);
    if (!out) return 0;
    unsigned status =
        lzf_compress(*buf, static_cast<unsigned>(nbytes), out, static_cast<unsigned>(out_size));
    if (!status) {
      H5free_memory(out);
      return 0;  // incompressible: HDF5 stores the chunk as it is
    }
    H5free_memory(*buf);
    *buf = out;
    *buf_size = out_size;
    return status;
  }
  size_t out_size = (cd_nelmts >= 3 && cd_values[2] != 0) ? cd_values[2] : *buf_size;
  const size_t limit = size_t{1} << 32;
  while (out_size <= limit) {
    void* out = H5allocate_memory(out_size, false);
    if (!out) return 0;
    unsigned status =
        lzf_decompress(*buf, static_cast<unsigned>(nbytes), out, static_cast<unsigned>(out_size));
    if (status) {
      H5free_memory(*buf);
      *buf = out;
      *buf_size = out_size;
      return status;
    }
    H5free_memory(out);
    if (errno != E2BIG) return 0;  // corrupt chunk
    out_size += *buf_size;
  }
  return 0;
}

void register_lzf() {
  if (H5Zfilter_avail(kLzfFilter) > 0) return;
  static const H5Z_class2_t lzf_class = {H5Z_CLASS_T_VERS, kLzfFilter, 1,         1, "lzf",
                                         nullptr,          nullptr,    lzf_filter};
  H5Zregister(&lzf_class);
}

}  // namespace

std::unique_lock<std::recursive_mutex> lock() {
  static std::once_flag once;
  std::unique_lock<std::recursive_mutex> l(h5_mutex());
  std::call_once(once, [] {
    H5open();
    // Errors are reported by our exceptions; HDF5's own stack dumps would only confuse.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    register_lzf();
  });
  return l;
}

Handle& Handle::operator=(Handle&& o) noexcept {
  if (this != &o) {
    if (id_ >= 0) {
      auto l = lock();
      H5Idec_ref(id_);
    }
    id_ = o.id_;
    o.id_ = -1;
  }
  return *this;
}

Handle::~Handle() {
  if (id_ >= 0) {
    auto l = lock();
    H5Idec_ref(id_);
  }
}

bool is_hdf5(const std::filesystem::path& path) {
  auto l = lock();
  return H5Fis_hdf5(path.c_str()) > 0;
}

Handle open_read(const std::filesystem::path& path) {
  auto l = lock();
  Handle f(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  if (!f.valid()) throw Failure("cannot open the HDF5 file (damaged or truncated)");
  return f;
}

Handle create_file(const std::filesystem::path& path) {
  auto l = lock();
  // Links are kept in creation order so mappings read back in the order they were written.
  Temp fcpl(H5Pcreate(H5P_FILE_CREATE));
  H5Pset_link_creation_order(fcpl, H5P_CRT_ORDER_TRACKED | H5P_CRT_ORDER_INDEXED);
  Handle f(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, fcpl, H5P_DEFAULT));
  if (!f.valid()) throw Failure("cannot create the file");
  return f;
}

void flush(hid_t file) {
  auto l = lock();
  check_status(H5Fflush(file, H5F_SCOPE_GLOBAL), "cannot flush the file");
}

Kind kind(hid_t loc, const std::string& path) {
  auto l = lock();
  // H5Lexists needs every intermediate link to exist, so walk the path.
  size_t pos = 0;
  while (true) {
    size_t next = path.find('/', pos);
    std::string prefix = next == std::string::npos ? path : path.substr(0, next);
    if (!prefix.empty() && H5Lexists(loc, prefix.c_str(), H5P_DEFAULT) <= 0) return Kind::Missing;
    if (next == std::string::npos) break;
    pos = next + 1;
  }
  hid_t obj = H5Oopen(loc, path.c_str(), H5P_DEFAULT);
  if (obj < 0) return Kind::Missing;
  Temp t(obj);
  switch (H5Iget_type(obj)) {
    case H5I_GROUP:
      return Kind::Group;
    case H5I_DATASET:
      return Kind::Dataset;
    default:
      return Kind::Other;
  }
}

Handle open_child(hid_t group, const std::string& name, Kind& kind) {
  auto l = lock();
  kind = Kind::Missing;
  if (name.empty() || name.find('/') != std::string::npos || name == ".") return Handle();
  Handle obj(H5Oopen(group, name.c_str(), H5P_DEFAULT));
  if (!obj.valid()) return obj;
  switch (H5Iget_type(obj)) {
    case H5I_GROUP:
      kind = Kind::Group;
      break;
    case H5I_DATASET:
      kind = Kind::Dataset;
      break;
    default:
      kind = Kind::Other;
  }
  return obj;
}

Handle open_group(hid_t loc, const std::string& path) {
  auto l = lock();
  Handle g(H5Gopen2(loc, path.c_str(), H5P_DEFAULT));
  if (!g.valid()) throw Failure("cannot open group '" + path + "'");
  return g;
}

Handle open_dataset(hid_t loc, const std::string& path) {
  auto l = lock();
  Handle d(H5Dopen2(loc, path.c_str(), H5P_DEFAULT));
  if (!d.valid()) throw Failure("cannot open dataset '" + path + "'");
  return d;
}

namespace {
herr_t collect_name(hid_t, const char* name, const H5L_info_t*, void* data) {
  static_cast<std::vector<std::string>*>(data)->push_back(name);
  return 0;
}
}  // namespace

std::vector<std::string> children(hid_t group) {
  auto l = lock();
  std::vector<std::string> names;
  H5_index_t index = H5_INDEX_NAME;
  Temp gcpl(H5Gget_create_plist(group));
  unsigned flags = 0;
  if (gcpl.id >= 0 && H5Pget_link_creation_order(gcpl, &flags) >= 0 &&
      (flags & H5P_CRT_ORDER_INDEXED)) {
    index = H5_INDEX_CRT_ORDER;
  }
  hsize_t idx = 0;
  if (H5Literate(group, index, H5_ITER_INC, &idx, collect_name, &names) < 0) {
    throw Failure("cannot list group '" + object_name(group) + "'");
  }
  return names;
}

std::string object_name(hid_t obj) {
  auto l = lock();
  ssize_t n = H5Iget_name(obj, nullptr, 0);
  if (n <= 0) return "?";
  std::string s(static_cast<size_t>(n) + 1, '\0');
  H5Iget_name(obj, s.data(), s.size());
  s.resize(static_cast<size_t>(n));
  return s;
}

ObjectId object_id(hid_t obj) {
  auto l = lock();
  H5O_info_t info{};
  check_status(H5Oget_info2(obj, &info, H5O_INFO_BASIC), "cannot identify an object");
  return ObjectId{info.fileno, static_cast<uint64_t>(info.addr)};
}

std::string shown(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return std::string(text);
  size_t cut = max_bytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "... (" + std::to_string(text.size()) + " bytes)";
}

void check_memory(size_t n, size_t bytes_each, const std::string& what) {
  static const size_t physical = [] {
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && page > 0 ? static_cast<size_t>(pages) * static_cast<size_t>(page)
                                 : SIZE_MAX;
  }();
  if (bytes_each && n > physical / bytes_each) {
    throw Failure(what + " declares " + std::to_string(n) +
                  " values, more than this machine's memory can hold");
  }
}

bool has_attr(hid_t obj, const std::string& name) {
  auto l = lock();
  return H5Aexists(obj, name.c_str()) > 0;
}

namespace {
Array read_attr(hid_t attr, hid_t type) {
  Temp space(H5Aget_space(attr));
  std::vector<size_t> dims;
  if (H5Sget_simple_extent_type(space) != H5S_NULL) dims = space_dims(space);
  size_t n = H5Sget_simple_extent_type(space) == H5S_NULL ? 0 : product(dims);
  check_memory(n, memory_per_value(type), "an attribute");
  return decode(type, n, dims, [attr](hid_t mem, void* buf) { return H5Aread(attr, mem, buf); });
}
}  // namespace

std::optional<std::string> attr_text(hid_t obj, const std::string& name) {
  auto l = lock();
  if (H5Aexists(obj, name.c_str()) <= 0) return std::nullopt;
  Temp attr(H5Aopen(obj, name.c_str(), H5P_DEFAULT));
  if (attr.id < 0) return std::nullopt;
  Temp t(H5Aget_type(attr));
  if (H5Tget_class(t) != H5T_STRING) return std::nullopt;
  try {
    Array a = read_attr(attr, t);
    if (a.strings.size() != 1) return std::nullopt;
    return a.strings[0];
  } catch (const Failure&) {
    return std::nullopt;
  }
}

Array attr_array(hid_t obj, const std::string& name) {
  auto l = lock();
  Temp attr(H5Aopen(obj, name.c_str(), H5P_DEFAULT));
  if (attr.id < 0) throw Failure("cannot open attribute '" + name + "'");
  Temp t(H5Aget_type(attr));
  return read_attr(attr, t);
}

Handle attr_deref(hid_t obj, const std::string& name) {
  auto l = lock();
  Temp attr(H5Aopen(obj, name.c_str(), H5P_DEFAULT));
  if (attr.id < 0) throw Failure("cannot open attribute '" + name + "'");
  Temp t(H5Aget_type(attr));
  if (H5Tget_class(t) != H5T_REFERENCE)
    throw Failure("attribute '" + name + "' is not a reference");
  hobj_ref_t ref{};
  check_status(H5Aread(attr, H5T_STD_REF_OBJ, &ref), "cannot read reference '" + name + "'");
  Handle target(H5Rdereference2(obj, H5P_DEFAULT, H5R_OBJECT, &ref));
  if (!target.valid()) throw Failure("dangling reference in attribute '" + name + "'");
  return target;
}

void set_attr_text(hid_t obj, const std::string& name, const std::string& value) {
  auto l = lock();
  Temp t(vlen_utf8());
  const char* p = value.c_str();
  write_attr(obj, name, t, t, {}, &p);
}

void set_attr_texts(hid_t obj, const std::string& name, const std::vector<std::string>& values) {
  auto l = lock();
  if (values.empty()) {
    write_attr(obj, name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, {0}, nullptr);
    return;
  }
  Temp t(vlen_utf8());
  std::vector<const char*> ptrs;
  for (auto& v : values) ptrs.push_back(v.c_str());
  write_attr(obj, name, t, t, {values.size()}, ptrs.data());
}

void set_attr_bool(hid_t obj, const std::string& name, bool value) {
  auto l = lock();
  Temp t(bool_type());
  int8_t v = value ? 1 : 0;
  write_attr(obj, name, t, t, {}, &v);
}

void set_attr_ints(hid_t obj, const std::string& name, const std::vector<int64_t>& values) {
  auto l = lock();
  write_attr(obj, name, H5T_STD_I64LE, H5T_NATIVE_INT64, {values.size()}, values.data());
}

void set_encoding(hid_t obj, const std::string& type, const std::string& version) {
  set_attr_text(obj, "encoding-type", type);
  set_attr_text(obj, "encoding-version", version);
}

TypeInfo type_info(hid_t dataset) {
  auto l = lock();
  Temp t(check(H5Dget_type(dataset), "dataset type"));
  TypeInfo info;
  size_t size = H5Tget_size(t);
  switch (H5Tget_class(t)) {
    case H5T_INTEGER:
      info.cls = TypeClass::Int;
      info.dtype = int_dtype(size, H5Tget_sign(t) != H5T_SGN_NONE);
      break;
    case H5T_FLOAT:
      info.cls = TypeClass::Float;
      info.dtype = "float" + std::to_string(size * 8);
      break;
    case H5T_ENUM:
      info.cls = is_bool_enum(t) ? TypeClass::Bool : TypeClass::Int;
      info.dtype = info.cls == TypeClass::Bool ? "bool" : int_dtype(size, true);
      break;
    case H5T_STRING:
      info.cls = TypeClass::String;
      info.dtype = "str";
      break;
    case H5T_COMPOUND:
      info.cls = TypeClass::Compound;
      info.dtype = "void";
      break;
    case H5T_REFERENCE:
      info.cls = TypeClass::Reference;
      info.dtype = "object";
      break;
    default:
      info.cls = TypeClass::Other;
      info.dtype = "unknown";
  }
  return info;
}

std::vector<size_t> shape(hid_t dataset) {
  auto l = lock();
  Temp s(check(H5Dget_space(dataset), "dataspace"));
  if (H5Sget_simple_extent_type(s) == H5S_NULL) return {0};
  return space_dims(s);
}

namespace {
Array read_impl(hid_t dataset, const std::vector<size_t>& start, const std::vector<size_t>& count);
}

Array read(hid_t dataset, const std::vector<size_t>& start, const std::vector<size_t>& count) {
  auto l = lock();
  try {
    return read_impl(dataset, start, count);
  } catch (const Failure& e) {
    throw Failure(std::string(e.what()) + " in '" + shown(object_name(dataset)) + "'");
  }
}

namespace {
Array read_impl(hid_t dataset, const std::vector<size_t>& start, const std::vector<size_t>& count) {
  Temp t(check(H5Dget_type(dataset), "dataset type"));
  if (count.empty()) {
    Temp s(check(H5Dget_space(dataset), "dataspace"));
    if (H5Sget_simple_extent_type(s) == H5S_NULL) {
      return decode(t, 0, {0}, [](hid_t, void*) { return herr_t{0}; });
    }
    auto dims = space_dims(s);
    check_extent(dataset, product(dims), t);
    hid_t d = dataset;
    return decode(t, product(dims), dims, [d](hid_t mem, void* buf) {
      return H5Dread(d, mem, H5S_ALL, H5S_ALL, H5P_DEFAULT, buf);
    });
  }
  Temp fs = select_block(dataset, start, count);
  check_memory(product(count), memory_per_value(t), "'" + shown(object_name(dataset)) + "'");
  std::vector<hsize_t> ct(count.begin(), count.end());
  Temp ms(H5Screate_simple(static_cast<int>(ct.size()), ct.data(), nullptr));
  hid_t d = dataset, m = ms.id, f = fs.id;
  return decode(t, product(count), count, [d, m, f](hid_t mem, void* buf) {
    return H5Dread(d, mem, m, f, H5P_DEFAULT, buf);
  });
}
}  // namespace

std::vector<std::string> fields(hid_t dataset) {
  auto l = lock();
  Temp t(check(H5Dget_type(dataset), "dataset type"));
  if (H5Tget_class(t) != H5T_COMPOUND) return {};
  std::vector<std::string> out;
  int n = H5Tget_nmembers(t);
  for (int i = 0; i < n; ++i) {
    char* name = H5Tget_member_name(t, static_cast<unsigned>(i));
    out.push_back(name ? name : "");
    if (name) H5free_memory(name);
  }
  return out;
}

Array read_field(hid_t dataset, const std::string& field) {
  auto l = lock();
  Temp t(check(H5Dget_type(dataset), "dataset type"));
  int idx = H5Tget_member_index(t, field.c_str());
  if (idx < 0) throw Failure("no field '" + field + "'");
  Temp mt(H5Tget_member_type(t, static_cast<unsigned>(idx)));
  Temp s(check(H5Dget_space(dataset), "dataspace"));
  auto dims = space_dims(s);
  check_extent(dataset, product(dims), mt);
  hid_t d = dataset;
  std::string fname = field;
  // A compound memory type with just this member reads that member alone.
  return decode(mt, product(dims), dims, [d, fname](hid_t mem, void* buf) -> herr_t {
    Temp comp(H5Tcreate(H5T_COMPOUND, H5Tget_size(mem)));
    if (H5Tinsert(comp, fname.c_str(), 0, mem) < 0) return -1;
    return H5Dread(d, comp, H5S_ALL, H5S_ALL, H5P_DEFAULT, buf);
  });
}

void read_range(hid_t dataset, size_t start, size_t count, int64_t* out) {
  read_range_impl(dataset, start, count, out, H5T_NATIVE_INT64);
}
void read_range(hid_t dataset, size_t start, size_t count, float* out) {
  read_range_impl(dataset, start, count, out, H5T_NATIVE_FLOAT);
}
void read_range(hid_t dataset, size_t start, size_t count, int32_t* out) {
  read_range_impl(dataset, start, count, out, H5T_NATIVE_INT32);
}

void read_points(hid_t dataset, const std::vector<uint64_t>& positions, float* out) {
  auto l = lock();
  if (positions.empty()) return;
  Temp fs(check(H5Dget_space(dataset), "dataspace"));
  static_assert(sizeof(hsize_t) == sizeof(uint64_t));
  check_status(H5Sselect_elements(fs, H5S_SELECT_SET, positions.size(),
                                  reinterpret_cast<const hsize_t*>(positions.data())),
               "cannot select elements");
  hsize_t c = positions.size();
  Temp ms(H5Screate_simple(1, &c, nullptr));
  check_status(H5Dread(dataset, H5T_NATIVE_FLOAT, ms, fs, H5P_DEFAULT, out),
               "cannot read elements");
}

void read_block(hid_t dataset, size_t row, size_t col, size_t n_rows, size_t n_cols, double* out) {
  auto l = lock();
  if (n_rows == 0 || n_cols == 0) return;
  Temp fs = select_block(dataset, {row, col}, {n_rows, n_cols});
  hsize_t c[2] = {n_rows, n_cols};
  Temp ms(H5Screate_simple(2, c, nullptr));
  check_status(H5Dread(dataset, H5T_NATIVE_DOUBLE, ms, fs, H5P_DEFAULT, out), "cannot read block");
}

void write(hid_t loc, const std::string& name, const Array& values) {
  auto l = lock();
  if (values.size() != product(values.shape)) throw Failure("array '" + name + "' has a bad shape");
  switch (values.kind) {
    case Array::Kind::String: {
      Temp t(vlen_utf8());
      std::vector<const char*> ptrs;
      for (auto& s : values.strings) ptrs.push_back(s.c_str());
      write_raw(loc, name, t, t, values.shape, ptrs.data());
      return;
    }
    case Array::Kind::Bool: {
      Temp t(bool_type());
      std::vector<int8_t> v(values.ints.begin(), values.ints.end());
      write_raw(loc, name, t, t, values.shape, v.data());
      return;
    }
    case Array::Kind::Int: {
      Temp t(file_type(values.dtype == "bool" || values.dtype.rfind("float", 0) == 0 ||
                               values.dtype.find("int") == std::string::npos
                           ? std::string("int64")
                           : values.dtype));
      const std::vector<int64_t> wide = values.ints.to_vector();
      write_raw(loc, name, t, H5T_NATIVE_INT64, values.shape, wide.data());
      return;
    }
    case Array::Kind::Float: {
      Temp t(file_type(values.dtype == "float32" ? "float32" : "float64"));
      write_raw(loc, name, t, H5T_NATIVE_DOUBLE, values.shape, values.floats.data());
      return;
    }
  }
}

void write_doubles(hid_t loc, const std::string& name, const double* values,
                   const std::vector<size_t>& shape, const std::string& dtype) {
  auto l = lock();
  Temp t(file_type(dtype));
  write_raw(loc, name, t, H5T_NATIVE_DOUBLE, shape, values);
}

void write_floats(hid_t loc, const std::string& name, const float* values, size_t n,
                  const std::string& dtype) {
  auto l = lock();
  Temp t(file_type(dtype));
  write_raw(loc, name, t, H5T_NATIVE_FLOAT, {n}, values);
}

void write_ints(hid_t loc, const std::string& name, const int64_t* values, size_t n,
                const std::string& dtype) {
  auto l = lock();
  Temp t(file_type(dtype));
  write_raw(loc, name, t, H5T_NATIVE_INT64, {n}, values);
}

Handle create_group(hid_t loc, const std::string& name) {
  auto l = lock();
  Temp gcpl(H5Pcreate(H5P_GROUP_CREATE));
  H5Pset_link_creation_order(gcpl, H5P_CRT_ORDER_TRACKED | H5P_CRT_ORDER_INDEXED);
  Handle g(H5Gcreate2(loc, name.c_str(), H5P_DEFAULT, gcpl, H5P_DEFAULT));
  if (!g.valid()) throw Failure("cannot create group '" + name + "'");
  return g;
}

Handle create_growing(hid_t loc, const std::string& name, const std::string& dtype) {
  auto l = lock();
  Temp t(file_type(dtype));
  hsize_t zero = 0, unlimited = H5S_UNLIMITED, chunk = 1 << 16;
  Temp space(H5Screate_simple(1, &zero, &unlimited));
  Temp dcpl(H5Pcreate(H5P_DATASET_CREATE));
  H5Pset_chunk(dcpl, 1, &chunk);
  Handle ds(H5Dcreate2(loc, name.c_str(), t, space, H5P_DEFAULT, dcpl, H5P_DEFAULT));
  if (!ds.valid()) throw Failure("cannot create dataset '" + name + "'");
  return ds;
}

namespace {
void append_impl(hid_t dataset, const void* values, size_t n, hid_t mem) {
  auto l = lock();
  if (n == 0) return;
  Temp fs0(check(H5Dget_space(dataset), "dataspace"));
  hsize_t cur = 0;
  H5Sget_simple_extent_dims(fs0, &cur, nullptr);
  hsize_t grown = cur + n;
  check_status(H5Dset_extent(dataset, &grown), "cannot extend dataset");
  Temp fs(H5Dget_space(dataset));
  hsize_t count = n;
  H5Sselect_hyperslab(fs, H5S_SELECT_SET, &cur, nullptr, &count, nullptr);
  Temp ms(H5Screate_simple(1, &count, nullptr));
  check_status(H5Dwrite(dataset, mem, ms, fs, H5P_DEFAULT, values), "cannot append");
}
}  // namespace

void append(hid_t dataset, const float* values, size_t n) {
  append_impl(dataset, values, n, H5T_NATIVE_FLOAT);
}
void append(hid_t dataset, const int64_t* values, size_t n) {
  append_impl(dataset, values, n, H5T_NATIVE_INT64);
}

Handle create_fixed(hid_t loc, const std::string& name, const std::string& dtype, size_t n) {
  auto l = lock();
  Temp t(file_type(dtype));
  const hsize_t dim = n;
  Temp space(H5Screate_simple(1, &dim, nullptr));
  Temp dcpl(H5Pcreate(H5P_DATASET_CREATE));
  // Allocated at once, so the block is in place even for ranges never written.
  H5Pset_alloc_time(dcpl, H5D_ALLOC_TIME_EARLY);
  Handle ds(H5Dcreate2(loc, name.c_str(), t, space, H5P_DEFAULT, dcpl, H5P_DEFAULT));
  if (!ds.valid()) throw Failure("cannot create dataset '" + name + "'");
  return ds;
}

namespace {
void write_range_impl(hid_t dataset, size_t start, size_t count, const void* values, hid_t mem) {
  auto l = lock();
  if (count == 0) return;
  Temp fs = select_block(dataset, {start}, {count});
  const hsize_t c = count;
  Temp ms(H5Screate_simple(1, &c, nullptr));
  check_status(H5Dwrite(dataset, mem, ms, fs, H5P_DEFAULT, values), "cannot write range");
}
}  // namespace

void write_range(hid_t dataset, size_t start, size_t count, const float* values) {
  write_range_impl(dataset, start, count, values, H5T_NATIVE_FLOAT);
}
void write_range(hid_t dataset, size_t start, size_t count, const int32_t* values) {
  write_range_impl(dataset, start, count, values, H5T_NATIVE_INT32);
}

void copy(hid_t src_loc, const std::string& src_path, hid_t dst_loc, const std::string& dst_path) {
  auto l = lock();
  Temp ocpypl(H5Pcreate(H5P_OBJECT_COPY));
  // Old categoricals point at their categories through object references; without this
  // flag the references would dangle in the new file.
  H5Pset_copy_object(ocpypl, H5O_COPY_EXPAND_REFERENCE_FLAG);
  check_status(H5Ocopy(src_loc, src_path.c_str(), dst_loc, dst_path.c_str(), ocpypl, H5P_DEFAULT),
               "cannot copy '" + src_path + "'");
}

namespace {

bool has_reference_type(hid_t type) {
  return H5Tdetect_class(type, H5T_REFERENCE) > 0;
}

// Frees what reading variable-length values (strings) allocated inside `buf`.
void reclaim(hid_t type, hid_t space, void* buf) {
  if (H5Tdetect_class(type, H5T_VLEN) > 0 || H5Tis_variable_str(type) > 0)
    H5Dvlen_reclaim(type, space, H5P_DEFAULT, buf);
}

herr_t copy_one_attr(hid_t src, const char* name, const H5A_info_t*, void* data) {
  const hid_t dst = *static_cast<hid_t*>(data);
  Temp a(H5Aopen(src, name, H5P_DEFAULT));
  if (a.id < 0) return -1;
  Temp type(H5Aget_type(a)), space(H5Aget_space(a));
  if (type.id < 0 || space.id < 0 || has_reference_type(type)) return -1;
  const hssize_t n = H5Sget_simple_extent_npoints(space);
  if (n < 0) return -1;
  std::vector<char> buf(std::max<size_t>(1, static_cast<size_t>(n) * H5Tget_size(type)));
  if (H5Aread(a, type, buf.data()) < 0) return -1;
  Temp out(H5Acreate2(dst, name, type, space, H5P_DEFAULT, H5P_DEFAULT));
  const herr_t status = out.id < 0 ? -1 : H5Awrite(out, type, buf.data());
  reclaim(type, space, buf.data());
  return status;
}

void copy_attrs(hid_t src, hid_t dst, const std::string& what) {
  hsize_t idx = 0;
  hid_t target = dst;
  check_status(H5Aiterate2(src, H5_INDEX_NAME, H5_ITER_INC, &idx, copy_one_attr, &target),
               "cannot copy the attributes of '" + what + "'");
}

void copy_dataset_by_parts(hid_t src, const std::string& path, hid_t dst, const std::string& name) {
  Temp ds(check(H5Dopen2(src, path.c_str(), H5P_DEFAULT), "cannot open '" + path + "'"));
  Temp type(H5Dget_type(ds)), space(H5Dget_space(ds)), dcpl(H5Dget_create_plist(ds));
  if (type.id < 0 || space.id < 0 || dcpl.id < 0) throw Failure("cannot read '" + path + "'");
  if (has_reference_type(type)) throw Failure("'" + path + "' holds references");
  Temp out(check(H5Dcreate2(dst, name.c_str(), type, space, H5P_DEFAULT, dcpl, H5P_DEFAULT),
                 "cannot create '" + name + "'"));
  const int nd = H5Sget_simple_extent_ndims(space);
  std::vector<hsize_t> dims(static_cast<size_t>(std::max(nd, 0)));
  if (nd > 0) H5Sget_simple_extent_dims(space, dims.data(), nullptr);
  const size_t value_size = H5Tget_size(type);
  if (nd <= 0) {
    // A scalar: one value.
    std::vector<char> buf(std::max<size_t>(1, value_size));
    check_status(H5Dread(ds, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, buf.data()),
                 "cannot read '" + path + "'");
    const herr_t status = H5Dwrite(out, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, buf.data());
    reclaim(type, space, buf.data());
    check_status(status, "cannot write '" + name + "'");
  } else {
    // Slabs of whole rows (first dimension), about 8 MB each.
    size_t row_bytes = value_size;
    for (size_t i = 1; i < dims.size(); ++i) row_bytes *= static_cast<size_t>(dims[i]);
    const hsize_t rows_per =
        std::max<hsize_t>(1, (size_t{8} << 20) / std::max<size_t>(1, row_bytes));
    std::vector<char> buf;
    for (hsize_t row = 0; row < dims[0]; row += rows_per) {
      std::vector<hsize_t> start(dims.size(), 0), count = dims;
      start[0] = row;
      count[0] = std::min(rows_per, dims[0] - row);
      buf.resize(std::max<size_t>(1, static_cast<size_t>(count[0]) * row_bytes));
      Temp mem(H5Screate_simple(nd, count.data(), nullptr));
      Temp in_sel(H5Scopy(space)), out_sel(H5Scopy(space));
      H5Sselect_hyperslab(in_sel, H5S_SELECT_SET, start.data(), nullptr, count.data(), nullptr);
      H5Sselect_hyperslab(out_sel, H5S_SELECT_SET, start.data(), nullptr, count.data(), nullptr);
      check_status(H5Dread(ds, type, mem, in_sel, H5P_DEFAULT, buf.data()),
                   "cannot read '" + path + "'");
      const herr_t status = H5Dwrite(out, type, mem, out_sel, H5P_DEFAULT, buf.data());
      reclaim(type, mem, buf.data());
      check_status(status, "cannot write '" + name + "'");
    }
  }
  copy_attrs(ds, out, path);
}

// Attributes may hold references too (old categoricals point at their categories).
bool attrs_hold_references(hid_t obj) {
  const int n_attrs = H5Aget_num_attrs(obj);
  for (int i = 0; i < n_attrs; ++i) {
    Temp a(H5Aopen_by_idx(obj, ".", H5_INDEX_NAME, H5_ITER_INC, static_cast<hsize_t>(i),
                          H5P_DEFAULT, H5P_DEFAULT));
    Temp type(H5Aget_type(a));
    if (type.id < 0 || has_reference_type(type)) return true;
  }
  return false;
}

bool references_below(hid_t loc, const std::string& path, int depth) {
  const Kind k = kind(loc, path);
  if (k == Kind::Dataset) {
    Temp ds(H5Dopen2(loc, path.c_str(), H5P_DEFAULT));
    Temp type(H5Dget_type(ds));
    return type.id < 0 || has_reference_type(type) || attrs_hold_references(ds);
  }
  if (k != Kind::Group) return false;
  Temp g(H5Gopen2(loc, path.c_str(), H5P_DEFAULT));
  if (attrs_hold_references(g) || depth > 100) return true;
  for (const auto& child : children(g))
    if (references_below(loc, path + "/" + child, depth + 1)) return true;
  return false;
}

void copy_group_by_parts(hid_t src, const std::string& path, hid_t dst, const std::string& name,
                         int depth) {
  if (depth > 100) throw Failure("'" + path + "' is nested too deeply");
  Temp in(check(H5Gopen2(src, path.c_str(), H5P_DEFAULT), "cannot open '" + path + "'"));
  Temp gcpl(H5Gget_create_plist(in));
  Temp out(check(H5Gcreate2(dst, name.c_str(), H5P_DEFAULT, gcpl, H5P_DEFAULT),
                 "cannot create '" + name + "'"));
  copy_attrs(in, out, path);
  for (const auto& child : children(in)) {
    const std::string child_path = path + "/" + child;
    const Kind k = kind(src, child_path);
    if (k == Kind::Group)
      copy_group_by_parts(src, child_path, out, child, depth + 1);
    else if (k == Kind::Dataset)
      copy_dataset_by_parts(src, child_path, out, child);
  }
}

}  // namespace

void copy_by_parts(hid_t src_loc, const std::string& src_path, hid_t dst_loc,
                   const std::string& dst_path) {
  auto l = lock();
  if (kind(src_loc, src_path) == Kind::Group)
    copy_group_by_parts(src_loc, src_path, dst_loc, dst_path, 0);
  else
    copy_dataset_by_parts(src_loc, src_path, dst_loc, dst_path);
}

bool holds_references(hid_t loc, const std::string& path) {
  auto l = lock();
  return references_below(loc, path, 0);
}

}  // namespace norvex::h5
