#pragma once
// Conversions between Python values and the engine's JSON and dataset values. Tables and
// records cross as the engine's tagged forms; pandas frames are built by the package's
// Python helpers (norvex._convert), so the binding never imports pandas itself.
#include <pybind11/pybind11.h>

#include "norvex/common/json.hpp"
#include "norvex/dataset/anndata.hpp"

namespace norvex::python {

namespace py = pybind11;

json to_json(py::handle value);
py::object from_json(const json& value);

// obs/var frames and uns trees of a live AnnData, from the parts norvex._convert extracts.
DataFrame frame_from_parts(py::handle parts);
// The same from (pandas index, [(name, parts)]): the names are converted on first use.
DataFrame frame_with_names_on_demand(py::handle parts);
UnsNode uns_from_py(py::handle value);
py::object uns_to_py(const UnsNode& node);

}  // namespace norvex::python
