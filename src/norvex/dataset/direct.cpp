#include "norvex/dataset/direct.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "norvex/dataset/h5.hpp"

namespace norvex::detail {

namespace {

std::optional<DirectVector::Type> native_type(hid_t dataset) {
  h5::Handle t(H5Dget_type(dataset));
  if (!t.valid()) return std::nullopt;
  if (H5Tequal(t, H5T_NATIVE_INT32) > 0) return DirectVector::Type::Int32;
  if (H5Tequal(t, H5T_NATIVE_INT64) > 0) return DirectVector::Type::Int64;
  if (H5Tequal(t, H5T_NATIVE_FLOAT) > 0) return DirectVector::Type::Float32;
  if (H5Tequal(t, H5T_NATIVE_DOUBLE) > 0) return DirectVector::Type::Float64;
  return std::nullopt;
}

// Each chunk asked of HDF5 in turn: quadratic in the chunks, for indexes not walked here.
std::optional<std::vector<ChunkPlace>> chunk_places_from_hdf5(hid_t dataset, size_t n_chunks,
                                                              hsize_t chunk) {
  std::vector<ChunkPlace> places(n_chunks);
  // By coordinate rather than by index: the index form walks the chunk list from the
  // start for every chunk.
  for (size_t c = 0; c < n_chunks; ++c) {
    hsize_t offset = static_cast<hsize_t>(c) * chunk;
    ChunkPlace& p = places[c];
    if (H5Dget_chunk_info_by_coord(dataset, &offset, &p.filter_mask, &p.addr, &p.bytes) < 0)
      return std::nullopt;
  }
  return places;
}

// The walked index read against HDF5's own answer at its two ends: a walk that misread
// the index would disagree there.
bool agrees_with_hdf5(hid_t dataset, const std::vector<ChunkPlace>& places, hsize_t chunk) {
  for (size_t c : {size_t{0}, places.size() - 1}) {
    hsize_t offset = static_cast<hsize_t>(c) * chunk, bytes = 0;
    unsigned mask = 0;
    haddr_t addr = HADDR_UNDEF;
    if (H5Dget_chunk_info_by_coord(dataset, &offset, &mask, &addr, &bytes) < 0) return false;
    if (addr != places[c].addr || bytes != places[c].bytes || mask != places[c].filter_mask)
      return false;
  }
  return true;
}

}  // namespace

std::shared_ptr<const DirectFile> DirectFile::of(hid_t file) {
  auto l = h5::lock();
  h5::Handle fapl(H5Fget_access_plist(file));
  if (!fapl.valid() || H5Pget_driver(fapl) != H5FD_SEC2) return nullptr;
  void* handle = nullptr;
  if (H5Fget_vfd_handle(file, H5P_DEFAULT, &handle) < 0 || !handle) return nullptr;
  const int own = fcntl(*static_cast<int*>(handle), F_DUPFD_CLOEXEC, 0);
  if (own < 0) return nullptr;
  struct stat st {};
  if (fstat(own, &st) != 0 || st.st_size <= 0) {
    close(own);
    return nullptr;
  }
  return std::shared_ptr<const DirectFile>(new DirectFile(own, static_cast<size_t>(st.st_size)));
}

DirectFile::~DirectFile() {
  close(fd_);
}

bool DirectFile::read(uint64_t offset, size_t n, void* out) const {
  auto* to = static_cast<std::byte*>(out);
  while (n > 0) {
    const ssize_t got = pread(fd_, to, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    to += got;
    offset += static_cast<uint64_t>(got);
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool DirectVector::copy_stored(size_t start, size_t count, void* out) const {
  auto* o = static_cast<std::byte*>(out);
  while (count > 0) {
    const size_t piece = start / piece_elems_, within = start - piece * piece_elems_;
    const size_t n = std::min(count, piece_elems_ - within);
    if (!file_->read(pieces_[piece] + within * width_, n * width_, o)) return false;
    o += n * width_;
    start += n;
    count -= n;
  }
  return true;
}

std::optional<DirectVector> DirectVector::open(const std::shared_ptr<const DirectFile>& file,
                                               hid_t dataset) {
  if (!file) return std::nullopt;
  auto l = h5::lock();
  DirectVector v;
  v.file_ = file;
  auto type = native_type(dataset);
  if (!type) return std::nullopt;
  v.type_ = *type;
  v.width_ = v.type_ == Type::Int32 || v.type_ == Type::Float32 ? 4 : 8;
  h5::Handle space(H5Dget_space(dataset));
  if (!space.valid() || H5Sget_simple_extent_ndims(space) != 1) return std::nullopt;
  hsize_t n = 0;
  H5Sget_simple_extent_dims(space, &n, nullptr);
  v.size_ = static_cast<size_t>(n);
  if (v.size_ == 0) return v;

  h5::Handle dcpl(H5Dget_create_plist(dataset));
  if (!dcpl.valid() || H5Pget_nfilters(dcpl) != 0 || H5Pget_external_count(dcpl) != 0)
    return std::nullopt;
  // Addresses count from the end of the user block (usually empty), not the file's start.
  hsize_t user_block = 0;
  {
    h5::Handle f(H5Iget_file_id(dataset));
    h5::Handle fcpl(f.valid() ? H5Fget_create_plist(f) : -1);
    if (!fcpl.valid() || H5Pget_userblock(fcpl, &user_block) < 0) return std::nullopt;
  }
  // A piece is usable when it lies inside the file (else the file is damaged: leave it to
  // HDF5's checks). HDF5 does not align chunks to their type, and reads need not be.
  auto usable = [&](haddr_t addr, size_t bytes) -> std::optional<uint64_t> {
    if (addr == HADDR_UNDEF || addr > HADDR_UNDEF - user_block) return std::nullopt;
    addr += user_block;
    if (addr > file->size() || bytes > file->size() - addr) return std::nullopt;
    return addr;
  };
  const H5D_layout_t layout = H5Pget_layout(dcpl);
  if (layout == H5D_CONTIGUOUS) {
    if (v.size_ > SIZE_MAX / v.width_) return std::nullopt;
    auto at = usable(H5Dget_offset(dataset), v.size_ * v.width_);
    if (!at) return std::nullopt;
    v.piece_elems_ = v.size_;
    v.pieces_.push_back(*at);
    return v;
  }
  if (layout != H5D_CHUNKED) return std::nullopt;
  hsize_t chunk = 0;
  if (H5Pget_chunk(dcpl, 1, &chunk) != 1 || chunk == 0) return std::nullopt;
  v.piece_elems_ = static_cast<size_t>(chunk);
  const size_t n_chunks = (v.size_ + v.piece_elems_ - 1) / v.piece_elems_;
  if (v.piece_elems_ > SIZE_MAX / v.width_) return std::nullopt;
  auto places = walk_chunk_index(dataset, *file, static_cast<size_t>(user_block), v.piece_elems_,
                                 n_chunks, v.width_);
  if (places && !agrees_with_hdf5(dataset, *places, chunk)) places.reset();
  if (!places) places = chunk_places_from_hdf5(dataset, n_chunks, chunk);
  if (!places) return std::nullopt;
  v.pieces_.reserve(n_chunks);
  for (const ChunkPlace& c : *places) {
    // Unallocated chunks (fill values) are not in the file at all.
    if (c.filter_mask != 0 || c.bytes != v.piece_elems_ * v.width_) return std::nullopt;
    auto at = usable(c.addr, c.bytes);
    if (!at) return std::nullopt;
    v.pieces_.push_back(*at);
  }
  return v;
}

}  // namespace norvex::detail
