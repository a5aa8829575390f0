#pragma once
// 1-d numeric datasets read straight from the file's pages. Uncompressed datasets (one
// contiguous block, or chunks anywhere in the file) need no HDF5 copy: the scan of a
// CSR matrix's column indices, the hot path of reading a gene, then runs at memory speed
// and on every core. Anything else (filters, unallocated chunks, foreign byte order, a
// driver other than the plain POSIX one) is not mapped and keeps the HDF5 path.
#include <hdf5.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

namespace norvex::detail {

// A read-only map of a whole open HDF5 file (shared by the datasets mapped from it).
class FileMap {
 public:
  // nullopt when the file is not on the POSIX driver or cannot be mapped.
  static std::shared_ptr<const FileMap> of(hid_t file);
  ~FileMap();
  FileMap(const FileMap&) = delete;
  FileMap& operator=(const FileMap&) = delete;
  const std::byte* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  FileMap(const std::byte* data, size_t size) : data_(data), size_(size) {}
  const std::byte* data_;
  size_t size_;
};

class MappedVector {
 public:
  enum class Type { Int32, Int64, Float32, Float64 };

  // The dataset as mapped pieces, or nullopt when it cannot be read that way. Every piece
  // is checked to lie inside the file and to be aligned for its type, so a damaged file
  // is refused here rather than read out of bounds.
  static std::optional<MappedVector> open(const std::shared_ptr<const FileMap>& map, hid_t dataset);

  Type type() const { return type_; }
  size_t size() const { return size_; }

  // Calls fn(const T* values, size_t first, size_t count) for consecutive pieces covering
  // [start, start + count); T must be the stored type.
  template <class T, class Fn>
  void for_each_piece(size_t start, size_t count, Fn&& fn) const {
    while (count > 0) {
      const size_t piece = start / piece_elems_;
      const size_t within = start - piece * piece_elems_;
      const size_t n = std::min(count, piece_elems_ - within);
      fn(reinterpret_cast<const T*>(pieces_[piece]) + within, start, n);
      start += n;
      count -= n;
    }
  }
  // Drops the pages holding [start, start + count) from this process's memory once read:
  // they stay in the page cache, so a later read costs a page fault and no disk access,
  // and a scan of gigabytes does not count as gigabytes of the process's memory.
  void release(size_t start, size_t count) const;
  // Element i converted to Out.
  template <class Out>
  Out at(size_t i) const {
    const std::byte* p = pieces_[i / piece_elems_] + (i % piece_elems_) * width_;
    switch (type_) {
      case Type::Int32:
        return static_cast<Out>(load<int32_t>(p));
      case Type::Int64:
        return static_cast<Out>(load<int64_t>(p));
      case Type::Float32:
        return static_cast<Out>(load<float>(p));
      case Type::Float64:
        break;
    }
    return static_cast<Out>(load<double>(p));
  }
  // Elements [start, start + count) converted into `out`.
  template <class Out>
  void read(size_t start, size_t count, Out* out) const {
    auto copy = [&](auto tag) {
      using T = decltype(tag);
      for_each_piece<T>(start, count, [&](const T* v, size_t first, size_t n) {
        Out* o = out + (first - start);
        if constexpr (std::is_same_v<T, Out>) {
          std::memcpy(o, v, n * sizeof(T));
        } else {
          for (size_t k = 0; k < n; ++k) o[k] = static_cast<Out>(v[k]);
        }
      });
      release(start, count);
    };
    switch (type_) {
      case Type::Int32:
        return copy(int32_t{});
      case Type::Int64:
        return copy(int64_t{});
      case Type::Float32:
        return copy(float{});
      case Type::Float64:
        return copy(double{});
    }
  }

 private:
  template <class T>
  static T load(const std::byte* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
  }

  std::shared_ptr<const FileMap> map_;  // keeps the pages mapped
  Type type_ = Type::Float32;
  size_t width_ = 4;
  size_t size_ = 0;
  size_t piece_elems_ = 1;  // elements per chunk (the whole size when contiguous)
  std::vector<const std::byte*> pieces_;
};

}  // namespace norvex::detail
