#pragma once
// X and obsm of a live AnnData, read in place through the NumPy/SciPy buffers: dense
// arrays (any strides), CSR and CSC matrices; float32/float64/int32/int64 values,
// int32/int64 indices. The arrays are referenced, never copied.
#include <pybind11/pybind11.h>

#include <memory>

#include "norvex/dataset/external_matrix.hpp"

namespace norvex::python {

// From ("dense", array) or ("csr" | "csc", data, indices, indptr, (rows, cols)), as
// norvex._convert describes a matrix. TypeError for an unsupported value or index type,
// ValueError for a malformed matrix.
std::shared_ptr<const ExternalMatrix> buffer_matrix(pybind11::handle parts);

}  // namespace norvex::python
