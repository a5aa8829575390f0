#pragma once
// How stored matrices are scanned. The defaults are what the engine uses; tests and
// benchmarks change them to compare the paths (never while a read is running).
#include <cstddef>

namespace norvex::detail {

// Whether plainly stored sparse parts are read directly from the file rather than by
// HDF5.
extern bool use_direct_reads;
// Threads scanning a CSR matrix's column indices for genes; 0 means one per core (fewer
// for small matrices, where starting threads costs more than it saves).
extern size_t scan_threads;

}  // namespace norvex::detail
