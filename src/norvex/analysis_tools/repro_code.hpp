#pragma once
// Python code that reproduces a tool call through the package's Python API, placed in the
// notebook's next input cell after a request.
#include <string>
#include <vector>

#include "norvex/common/json.hpp"

namespace norvex {

struct ReproOptions {
  std::string adata_var_name = "adata";    // variable holding the dataset
  std::string result_var_name = "result";  // variable receiving the tool's result
  bool assume_imported = false;            // true: no `from ... import` line for the names
  std::string norvex_pkg_name = "norvex";
  // Record classes the snippet builds by name; records of other classes are written as
  // plain dicts of their fields.
  std::vector<std::string> data_class_names;
};

// `tool_name(adata, key=value, ...)` with records written as `ClassName(field=value, ...)`.
// Every text value is a quoted Python literal, so nothing from a model's answer can run as
// code. ValueError when the tool name or a variable name is not a Python identifier,
// TypeError when `exec_args` is not a mapping.
std::string build_repro_code_snippet_clean(const std::string& tool_name, const json& exec_args,
                                           const ReproOptions& options = {});

}  // namespace norvex
