#pragma once
// A dataset in the shapes real upstream files take, made from the real PBMC file in
// ../shared/data by anndata itself (Debian's Python) at test time: cell types whose names
// hold "/" (so per-cell-type results nest as HDF5 groups), DEG tables with unsigned scores
// and separate up and down tables, a scaled X with raw counts beside it, optional metadata
// missing, a direction column spelled differently. Our demo data has none of these.
#include <filesystem>

namespace norvex::testing {

// The fixture's path, written once per test program; empty (with the reason in `why`)
// when the shared data folder or the oracle Python is missing.
std::filesystem::path real_shaped_dataset(std::string* why = nullptr);

// The cell type with "/" in its name that the fixture's results are keyed by.
inline constexpr const char* kSlashCelltype = "CD4+/CD25 T Reg";

}  // namespace norvex::testing
