#include "norvex/dataset/chunk_index.hpp"

#include "norvex/dataset/h5.hpp"

#include <bit>
#include <cstring>
#include <string_view>

namespace norvex::detail {

namespace {

// Bounds-checked reads of the file at its addresses; any read past the end fails the
// whole walk (a damaged file is then left to HDF5's own checks).
class Bytes {
 public:
  Bytes(const FileBytes& file, size_t base) : file_(file), base_(base) {}

  // `n` bytes at address `addr` into `buf`, if they lie inside the file.
  bool fetch(uint64_t addr, uint64_t n, std::vector<std::byte>& buf) const {
    const uint64_t size = file_.size();
    if (base_ > size || addr > size - base_ || n > size - base_ - addr) return false;
    buf.resize(static_cast<size_t>(n));
    return file_.read(base_ + addr, static_cast<size_t>(n), buf.data());
  }

 private:
  const FileBytes& file_;
  size_t base_;
};

uint64_t le(const std::vector<std::byte>& b, size_t off, size_t width) {
  uint64_t v = 0;
  for (size_t k = 0; k < width && off + k < b.size(); ++k)
    v |= static_cast<uint64_t>(std::to_integer<uint8_t>(b[off + k])) << (8 * k);
  return v;
}

bool tag(const std::vector<std::byte>& b, size_t off, std::string_view sig) {
  return off + sig.size() <= b.size() && std::memcmp(b.data() + off, sig.data(), sig.size()) == 0;
}

struct Block {
  uint64_t addr, length;
};

// Object header blocks hold messages of a few kilobytes; more is a damaged length.
constexpr uint64_t kLongestBlock = uint64_t{1} << 20;

// The body of the dataset's layout message, searched for through the object header and
// its continuation blocks (both header versions; addresses and lengths are 8 bytes).
std::optional<std::vector<std::byte>> layout_message(const Bytes& f, uint64_t header) {
  std::vector<std::byte> b;
  std::vector<Block> blocks;
  bool v2 = false, creation_order = false;
  if (!f.fetch(header, 16, b)) return std::nullopt;
  if (tag(b, 0, "OHDR")) {
    if (le(b, 4, 1) != 2) return std::nullopt;
    const uint64_t flags = le(b, 5, 1);
    v2 = true;
    creation_order = flags & 0x04;
    const size_t off = 6 + ((flags & 0x20) ? 16 : 0) + ((flags & 0x10) ? 4 : 0);
    const size_t width = size_t{1} << (flags & 0x03);
    if (!f.fetch(header, off + width, b)) return std::nullopt;
    blocks.push_back({header + off + width, le(b, off, width)});
  } else if (le(b, 0, 1) == 1) {
    blocks.push_back({header + 16, le(b, 8, 4)});
  } else {
    return std::nullopt;
  }
  const size_t head = v2 ? (creation_order ? 6 : 4) : 8;
  // Continuations may chain; a bound keeps a damaged (cyclic) chain from looping.
  for (size_t k = 0; k < blocks.size() && k < 64; ++k) {
    if (blocks[k].length > kLongestBlock || !f.fetch(blocks[k].addr, blocks[k].length, b))
      return std::nullopt;
    size_t at = 0, end = b.size();
    if (v2 && k > 0) {  // signature first, checksum last
      if (end < 8 || !tag(b, 0, "OCHK")) return std::nullopt;
      at = 4;
      end -= 4;
    }
    while (at + head <= end) {
      const uint64_t type = v2 ? le(b, at, 1) : le(b, at, 2);
      const uint64_t size = v2 ? le(b, at + 1, 2) : le(b, at + 2, 2);
      const size_t body = at + head;
      if (size > end - body) return std::nullopt;
      if (type == 0x0008)
        return std::vector<std::byte>(b.begin() + static_cast<ptrdiff_t>(body),
                                      b.begin() + static_cast<ptrdiff_t>(body + size));
      if (type == 0x0010) {
        if (size < 16) return std::nullopt;
        blocks.push_back({le(b, body, 8), le(b, body + 8, 8)});
      }
      at = body + static_cast<size_t>(size);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<ChunkPlace>> walk_chunk_index(hid_t dataset, const FileBytes& file,
                                                        size_t base, size_t chunk_elems,
                                                        size_t n_chunks, size_t elem_size) {
  if constexpr (std::endian::native != std::endian::little) return std::nullopt;
  if (chunk_elems == 0 || n_chunks == 0) return std::nullopt;
  H5O_info_t info;
  if (H5Oget_info2(dataset, &info, H5O_INFO_BASIC) < 0 || info.addr == HADDR_UNDEF)
    return std::nullopt;
  {
    const h5::Handle file_id(H5Iget_file_id(dataset));
    const h5::Handle fcpl(file_id.valid() ? H5Fget_create_plist(file_id) : -1);
    size_t addr_width = 0, length_width = 0;
    if (!fcpl.valid() || H5Pget_sizes(fcpl, &addr_width, &length_width) < 0 || addr_width != 8 ||
        length_width != 8)
      return std::nullopt;
  }
  const Bytes f(file, base);
  const auto layout = layout_message(f, info.addr);
  // Version 3, chunked, one dimension plus the element size: a version-1 B-tree index.
  if (!layout || layout->size() < 3 + 8 + 8) return std::nullopt;
  const std::vector<std::byte>& l = *layout;
  if (le(l, 0, 1) != 3 || le(l, 1, 1) != 2 || le(l, 2, 1) != 2) return std::nullopt;
  if (le(l, 11, 4) != chunk_elems || le(l, 15, 4) != elem_size) return std::nullopt;

  std::vector<ChunkPlace> places(n_chunks);
  size_t found = 0;
  constexpr size_t kKey = 4 + 4 + 2 * 8, kHeader = 4 + 1 + 1 + 2 + 8 + 8;
  struct Node {
    uint64_t addr;
    int level;  // expected; -1 for the root
  };
  std::vector<Node> stack = {{le(l, 3, 8), -1}};
  std::vector<std::byte> b;
  // Every node holds at least one entry, so a tree of n chunks has fewer than 2n nodes.
  for (size_t visited = 0; !stack.empty(); ++visited) {
    if (visited > 2 * n_chunks + 2 || stack.size() > 64 * 1024) return std::nullopt;
    const Node node = stack.back();
    stack.pop_back();
    if (!f.fetch(node.addr, kHeader, b) || !tag(b, 0, "TREE") || le(b, 4, 1) != 1)
      return std::nullopt;
    const int level = static_cast<int>(le(b, 5, 1));
    const size_t entries = static_cast<size_t>(le(b, 6, 2));
    if ((node.level >= 0 && level != node.level) || entries == 0) return std::nullopt;
    if (!f.fetch(node.addr, kHeader + entries * (kKey + 8) + kKey, b)) return std::nullopt;
    // Children pushed last to first, so chunks come off the stack in index order.
    for (size_t e = entries; e-- > 0;) {
      const size_t key = kHeader + e * (kKey + 8);
      const uint64_t child = le(b, key + kKey, 8);
      if (level > 0) {
        stack.push_back({child, level - 1});
        continue;
      }
      const uint64_t offset = le(b, key + 8, 8);
      if (le(b, key + 16, 8) != 0 || offset % chunk_elems != 0) return std::nullopt;
      const uint64_t c = offset / chunk_elems;
      if (c >= n_chunks || places[c].addr != HADDR_UNDEF) return std::nullopt;
      places[c] = {child, le(b, key, 4), static_cast<unsigned>(le(b, key + 4, 4))};
      ++found;
    }
  }
  if (found != n_chunks) return std::nullopt;
  return places;
}

}  // namespace norvex::detail
