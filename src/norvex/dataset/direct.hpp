#pragma once
// 1-d numeric datasets read straight from the file. Uncompressed datasets (one contiguous
// block, or chunks anywhere in the file) need no HDF5 copy: their places are found once,
// and each read is a plain read of the file into the caller's buffer, safe on any number
// of threads at once. That is the hot path of reading a gene: a scan of every stored
// column index of a CSR matrix. Anything else (filters, unallocated chunks, foreign byte
// order, a driver other than the plain POSIX one) keeps the HDF5 path.
//
// Reads rather than a map of the file: touching mapped pages costs a fault per few pages,
// and giving them back (so that a scan of gigabytes does not count as gigabytes of the
// process) interrupts every other thread to flush its address cache, together more than
// the copy costs. And a file cut short while mapped kills the process, where a read just
// comes back short.
#include <hdf5.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "norvex/dataset/chunk_index.hpp"

namespace norvex::detail {

// An open HDF5 file read directly: our own descriptor of it, and its size when opened.
class DirectFile final : public FileBytes {
 public:
  // Null when the file is not on the POSIX driver.
  static std::shared_ptr<const DirectFile> of(hid_t file);
  ~DirectFile();
  DirectFile(const DirectFile&) = delete;
  DirectFile& operator=(const DirectFile&) = delete;
  size_t size() const override { return size_; }
  // `n` bytes at `offset` into `out`; false when the file ends before them.
  bool read(uint64_t offset, size_t n, void* out) const override;

 private:
  DirectFile(int fd, size_t size) : fd_(fd), size_(size) {}
  int fd_;  // a duplicate: HDF5 closes its own with the file, and the number could be reused
  size_t size_;
};

class DirectVector {
 public:
  enum class Type { Int32, Int64, Float32, Float64 };

  // The dataset as pieces of the file, or nullopt when it cannot be read that way. Every
  // piece is checked to lie inside the file, so a damaged file is refused here rather than
  // read past its end.
  static std::optional<DirectVector> open(const std::shared_ptr<const DirectFile>& file,
                                          hid_t dataset);

  Type type() const { return type_; }
  size_t size() const { return size_; }

  // Elements [start, start + count) as stored, into `out`. False when the file has become
  // shorter than the dataset.
  bool copy_stored(size_t start, size_t count, void* out) const;
  // Elements [start, start + count) converted into `out`; false as copy_stored.
  template <class Out>
  bool read(size_t start, size_t count, Out* out) const {
    auto convert = [&](auto tag) {
      using T = decltype(tag);
      if constexpr (std::is_same_v<T, Out>) {
        return copy_stored(start, count, out);
      } else {
        constexpr size_t kPart = size_t{1} << 16;
        std::vector<T> buffer(std::min(count, kPart));
        for (size_t done = 0; done < count; done += kPart) {
          const size_t n = std::min(kPart, count - done);
          if (!copy_stored(start + done, n, buffer.data())) return false;
          for (size_t k = 0; k < n; ++k) out[done + k] = static_cast<Out>(buffer[k]);
        }
        return true;
      }
    };
    return dispatch(convert);
  }
  // Elements at the ascending positions pos(0), ..., pos(n - 1), converted to Out and
  // handed to put(i, value), read in runs (positions less than a page apart share one
  // read) through `scratch`. False as copy_stored.
  template <class Out, class Pos, class Put>
  bool read_ascending(size_t n, Pos&& pos, Put&& put, std::vector<std::byte>& scratch) const {
    const size_t gap = std::max<size_t>(1, 4096 / width_), longest = size_t{1} << 18;
    auto gather = [&](auto tag) {
      using T = decltype(tag);
      for (size_t i = 0, j; i < n; i = j) {
        const size_t lo = pos(i);
        size_t hi = lo;
        for (j = i + 1; j < n && pos(j) - hi <= gap && pos(j) - lo < longest; ++j) hi = pos(j);
        scratch.resize((hi - lo + 1) * width_);
        if (!copy_stored(lo, hi - lo + 1, scratch.data())) return false;
        for (size_t k = i; k < j; ++k) {
          T v;
          std::memcpy(&v, scratch.data() + (pos(k) - lo) * width_, sizeof v);
          put(k, static_cast<Out>(v));
        }
      }
      return true;
    };
    return dispatch(gather);
  }

 private:
  // fn(T{}) for the stored type T.
  template <class Fn>
  bool dispatch(Fn&& fn) const {
    switch (type_) {
      case Type::Int32:
        return fn(int32_t{});
      case Type::Int64:
        return fn(int64_t{});
      case Type::Float32:
        return fn(float{});
      case Type::Float64:
        break;
    }
    return fn(double{});
  }

  std::shared_ptr<const DirectFile> file_;
  Type type_ = Type::Float32;
  size_t width_ = 4;
  size_t size_ = 0;
  size_t piece_elems_ = 1;        // elements per chunk (the whole size when contiguous)
  std::vector<uint64_t> pieces_;  // each piece's offset in the file
};

}  // namespace norvex::detail
