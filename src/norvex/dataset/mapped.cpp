#include "norvex/dataset/mapped.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "norvex/dataset/h5.hpp"

namespace norvex::detail {

namespace {

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

std::optional<MappedVector::Type> native_type(hid_t dataset) {
  Temp t(H5Dget_type(dataset));
  if (t.id < 0) return std::nullopt;
  if (H5Tequal(t, H5T_NATIVE_INT32) > 0) return MappedVector::Type::Int32;
  if (H5Tequal(t, H5T_NATIVE_INT64) > 0) return MappedVector::Type::Int64;
  if (H5Tequal(t, H5T_NATIVE_FLOAT) > 0) return MappedVector::Type::Float32;
  if (H5Tequal(t, H5T_NATIVE_DOUBLE) > 0) return MappedVector::Type::Float64;
  return std::nullopt;
}

}  // namespace

std::shared_ptr<const FileMap> FileMap::of(hid_t file) {
  auto l = h5::lock();
  Temp fapl(H5Fget_access_plist(file));
  if (fapl.id < 0 || H5Pget_driver(fapl) != H5FD_SEC2) return nullptr;
  void* handle = nullptr;
  if (H5Fget_vfd_handle(file, H5P_DEFAULT, &handle) < 0 || !handle) return nullptr;
  const int fd = *static_cast<int*>(handle);
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size <= 0) return nullptr;
  const size_t size = static_cast<size_t>(st.st_size);
  void* p = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return nullptr;
  return std::shared_ptr<const FileMap>(new FileMap(static_cast<const std::byte*>(p), size));
}

FileMap::~FileMap() {
  munmap(const_cast<std::byte*>(data_), size_);
}

void MappedVector::release(size_t start, size_t count) const {
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  for_each_piece<std::byte>(start, count, [&](const std::byte*, size_t first, size_t n) {
    // Bytes, not elements: the piece's element offsets scaled by the width.
    const std::byte* base = pieces_[first / piece_elems_];
    const uintptr_t a = reinterpret_cast<uintptr_t>(base + (first % piece_elems_) * width_);
    const uintptr_t b = a + n * width_;
    // Whole pages inside the range only: a page shared with other data may be in use.
    const uintptr_t a_up = (a + page - 1) & ~(page - 1), b_down = b & ~(page - 1);
    if (b_down > a_up) madvise(reinterpret_cast<void*>(a_up), b_down - a_up, MADV_DONTNEED);
  });
}

std::optional<MappedVector> MappedVector::open(const std::shared_ptr<const FileMap>& map,
                                               hid_t dataset) {
  if (!map) return std::nullopt;
  auto l = h5::lock();
  MappedVector v;
  v.map_ = map;
  auto type = native_type(dataset);
  if (!type) return std::nullopt;
  v.type_ = *type;
  v.width_ = v.type_ == Type::Int32 || v.type_ == Type::Float32 ? 4 : 8;
  Temp space(H5Dget_space(dataset));
  if (space.id < 0 || H5Sget_simple_extent_ndims(space) != 1) return std::nullopt;
  hsize_t n = 0;
  H5Sget_simple_extent_dims(space, &n, nullptr);
  v.size_ = static_cast<size_t>(n);
  if (v.size_ == 0) return v;

  Temp dcpl(H5Dget_create_plist(dataset));
  if (dcpl.id < 0 || H5Pget_nfilters(dcpl) != 0 || H5Pget_external_count(dcpl) != 0)
    return std::nullopt;
  // Addresses count from the end of the user block (usually empty), not the file's start.
  hsize_t user_block = 0;
  {
    Temp file(H5Iget_file_id(dataset));
    Temp fcpl(file.id >= 0 ? H5Fget_create_plist(file) : -1);
    if (fcpl.id < 0 || H5Pget_userblock(fcpl, &user_block) < 0) return std::nullopt;
  }
  // A piece is usable when it lies inside the file and is aligned for its type (a
  // misaligned or out-of-file address means a damaged file: leave it to HDF5's checks).
  auto usable = [&](haddr_t& addr, size_t bytes) {
    if (addr == HADDR_UNDEF || addr > HADDR_UNDEF - user_block) return false;
    addr += user_block;
    return addr % v.width_ == 0 && addr <= map->size() && bytes <= map->size() - addr;
  };
  const H5D_layout_t layout = H5Pget_layout(dcpl);
  if (layout == H5D_CONTIGUOUS) {
    haddr_t addr = H5Dget_offset(dataset);
    if (v.size_ > SIZE_MAX / v.width_ || !usable(addr, v.size_ * v.width_)) return std::nullopt;
    v.piece_elems_ = v.size_;
    v.pieces_.push_back(map->data() + addr);
    return v;
  }
  if (layout != H5D_CHUNKED) return std::nullopt;
  hsize_t chunk = 0;
  if (H5Pget_chunk(dcpl, 1, &chunk) != 1 || chunk == 0) return std::nullopt;
  v.piece_elems_ = static_cast<size_t>(chunk);
  const size_t n_chunks = (v.size_ + v.piece_elems_ - 1) / v.piece_elems_;
  if (v.piece_elems_ > SIZE_MAX / v.width_) return std::nullopt;
  v.pieces_.reserve(n_chunks);
  // By coordinate rather than by index: the index form walks the chunk list from the
  // start for every chunk.
  for (size_t c = 0; c < n_chunks; ++c) {
    hsize_t offset = static_cast<hsize_t>(c) * chunk;
    unsigned mask = 0;
    haddr_t addr = HADDR_UNDEF;
    hsize_t bytes = 0;
    if (H5Dget_chunk_info_by_coord(dataset, &offset, &mask, &addr, &bytes) < 0) return std::nullopt;
    // Unallocated chunks (fill values) are not in the file at all.
    if (mask != 0 || bytes != v.piece_elems_ * v.width_ || !usable(addr, bytes))
      return std::nullopt;
    v.pieces_.push_back(map->data() + addr);
  }
  return v;
}

}  // namespace norvex::detail
