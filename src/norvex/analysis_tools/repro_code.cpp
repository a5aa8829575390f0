#include "norvex/analysis_tools/repro_code.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "norvex/analysis_tools/registry.hpp"
#include "norvex/common/errors.hpp"

namespace norvex {

namespace {

bool is_identifier(const std::string& s) {
  if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
  for (char c : s)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  static const std::vector<std::string> keywords = {
      "False", "None",     "True",  "and",    "as",   "assert", "async",  "await",    "break",
      "class", "continue", "def",   "del",    "elif", "else",   "except", "finally",  "for",
      "from",  "global",   "if",    "import", "in",   "is",     "lambda", "nonlocal", "not",
      "or",    "pass",     "raise", "return", "try",  "while",  "with",   "yield"};
  return std::find(keywords.begin(), keywords.end(), s) == keywords.end();
}

bool is_dotted_identifier(const std::string& s) {
  size_t start = 0;
  while (true) {
    size_t dot = s.find('.', start);
    if (!is_identifier(s.substr(start, dot - start))) return false;
    if (dot == std::string::npos) return true;
    start = dot + 1;
  }
}

class Writer {
 public:
  Writer(const ReproOptions& o, std::string qualifier)
      : opts_(o), qualifier_(std::move(qualifier)) {}

  std::string value(const json& v, int indent) const {
    if (v.is_null()) return "None";
    if (v.is_boolean()) return v.get<bool>() ? "True" : "False";
    if (v.is_number_float()) {
      double d = v.get<double>();
      if (std::isnan(d)) return "float(\"nan\")";
      if (std::isinf(d)) return d > 0 ? "float(\"inf\")" : "-float(\"inf\")";
      return v.dump();
    }
    if (v.is_number()) return v.dump();
    // JSON string escapes are valid Python escapes; non-ASCII text stays readable.
    if (v.is_string()) return dump_json(v);
    if (v.is_array()) {
      std::string out = "[";
      for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + value(v[i], indent);
      return out + "]";
    }
    if (is_record(v)) {
      const std::string cls = record_class_name(v);
      const json fields = record_fields(v);
      bool known = std::find(opts_.data_class_names.begin(), opts_.data_class_names.end(), cls) !=
                   opts_.data_class_names.end();
      if (known && is_identifier(cls)) return call(qualifier_ + cls, fields, indent);
      return dict(fields, indent);
    }
    return dict(v, indent);
  }

  // name(\n    key=value,\n    ...\n) with keyword names checked.
  std::string call(const std::string& name, const json& kwargs, int indent,
                   const std::string& first_positional = "") const {
    const std::string pad(indent + 4, ' ');
    std::string out = name + "(";
    bool any = false;
    if (!first_positional.empty()) {
      out += "\n" + pad + first_positional + ",";
      any = true;
    }
    for (auto it = kwargs.begin(); it != kwargs.end(); ++it) {
      const std::string val = value(it.value(), indent + 4);
      if (is_identifier(it.key()))
        out += "\n" + pad + it.key() + "=" + val + ",";
      else
        out += "\n" + pad + "**{" + dump_json(json(it.key())) + ": " + val + "},";
      any = true;
    }
    if (any) out += "\n" + std::string(indent, ' ');
    return out + ")";
  }

  std::string dict(const json& m, int indent) const {
    std::string out = "{";
    size_t i = 0;
    for (auto it = m.begin(); it != m.end(); ++it, ++i)
      out += (i ? ", " : "") + dump_json(json(it.key())) + ": " + value(it.value(), indent);
    return out + "}";
  }

 private:
  const ReproOptions& opts_;
  std::string qualifier_;
};

}  // namespace

std::string build_repro_code_snippet_clean(const std::string& tool_name, const json& exec_args,
                                           const ReproOptions& options) {
  if (!is_identifier(tool_name))
    throw ValueError("tool name '" + tool_name + "' is not a Python identifier");
  for (const auto* v : {&options.adata_var_name, &options.result_var_name})
    if (!is_identifier(*v)) throw ValueError("'" + *v + "' is not a Python identifier");
  if (!is_dotted_identifier(options.norvex_pkg_name))
    throw ValueError("'" + options.norvex_pkg_name + "' is not a Python package name");
  if (!exec_args.is_object())
    throw TypeError(std::string("exec_args must be a mapping, not ") + exec_args.type_name());

  const std::string module = options.norvex_pkg_name + ".functions_and_maps";
  std::string code;
  std::string qualifier;
  if (options.assume_imported) {
    // Names reached through the package, so one import line is all the cell needs.
    code += "import " + options.norvex_pkg_name + "\n\n";
    qualifier = module + ".";
  } else {
    std::vector<std::string> names = {tool_name};
    for (auto& c : options.data_class_names)
      if (is_identifier(c)) names.push_back(c);
    code += "from " + module + " import ";
    for (size_t i = 0; i < names.size(); ++i) code += (i ? ", " : "") + names[i];
    code += "\n\n";
  }
  Writer w(options, qualifier);
  code += "# " + options.adata_var_name + ": the AnnData the assistant works on\n";
  code += options.result_var_name + " = " +
          w.call(qualifier + tool_name, exec_args, 0, options.adata_var_name) + "\n";
  return code;
}

}  // namespace norvex
