#pragma once
// Where a 1-d chunked dataset's chunks lie in the file, found in one walk of its chunk
// index. HDF5 1.10 answers "where is chunk k" by walking the index from its start, so
// asking for all n chunks costs n² steps: 0.1 s per part of a million-cell matrix, paid on
// every gene read. Files written with the earliest format (anndata's default, and ours)
// index chunks by a version-1 B-tree, read here straight from the file. Any other
// index, or anything unexpected in it, gives nullopt and the caller asks HDF5 chunk by chunk.
#include <hdf5.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace norvex::detail {

struct ChunkPlace {
  haddr_t addr = HADDR_UNDEF;  // from the file's base address (past any user block)
  hsize_t bytes = 0;           // as stored
  unsigned filter_mask = 0;
};

// Reads of the file's bytes for the walk. `base` is the offset the file's addresses count
// from (past any user block).
class FileBytes {
 public:
  virtual ~FileBytes() = default;
  virtual size_t size() const = 0;
  virtual bool read(uint64_t offset, size_t n, void* out) const = 0;
};

// The places of all `n_chunks` chunks of `chunk_elems` elements of `elem_size` bytes, in
// chunk order. Every chunk must appear exactly once; the caller checks sizes and bounds.
std::optional<std::vector<ChunkPlace>> walk_chunk_index(hid_t dataset, const FileBytes& file,
                                                        size_t base, size_t chunk_elems,
                                                        size_t n_chunks, size_t elem_size);

}  // namespace norvex::detail
