#pragma once
// One table per tool of its parameters. Each entry binds a parameter's name, default,
// description and allowed range or values to one member of a C++ struct; everything else
// comes from the tables:
//   - the configuration record classes (fields, Python-style annotations, defaults),
//   - the JSON schema given to the planner,
//   - the declared defaults (ToolFunction::param_defaults),
//   - the typed arguments a tool's run function receives, read from the kwargs mapping and
//     checked here, in one place: TypeError for a wrong type or an unknown field, ValueError
//     for a value outside the declared range or allowed values, each naming the argument
//     path ("plot_cfg.width"), the value and what is allowed.
//
// A record (a configuration class) is a struct with its RecordParams; a tool's arguments are
// a struct of plain parameters and records with its ToolParams. A tool is one file: the
// structs, the run function, and its registration, which holds the table:
//
//   struct UMAPPlotConfig { std::optional<std::string> title; double width; };
//   struct UmapArgs { std::optional<TextList> target_genes; UMAPPlotConfig plot; };
//   json run_plot_umap(AnnData& adata, const UmapArgs& args, Warnings& warnings);
//
//   void register_plot_umap() {
//     const RecordParams<UMAPPlotConfig> plot{"UMAPPlotConfig", "Appearance", {
//         param(&UMAPPlotConfig::title, "title", nullptr, "Figure title."),
//         param(&UMAPPlotConfig::width, "width", 8.0, "Width in inches.").range(3, 30)}};
//     register_builtin_tool("plot_umap", kDefinition, ToolParams<UmapArgs>({
//         target_genes_param(&UmapArgs::target_genes, "Genes to colour by."),
//         record(&UmapArgs::plot, "plot_cfg", plot)}), run_plot_umap);
//   }
//
// plus its declaration and call in builtin_tools.cpp. Records several tools
// take are declared once (shared_records.hpp) and reached through an accessor, so the tools
// share one record class. Every tool also takes "show" (see register_builtin_tool), and
// ignores it: tools compute and return, the caller shows.
//
// Members take their values from the tables only; they carry no initialisers of their own.
// The annotation follows the member type: std::string "str", long long "int", double
// "float", bool "bool", TextList "list[str]", std::optional<T> "Optional[T]".
//
// Reading rules (the same for every tool):
//   - a record argument may be a record of its class, a mapping of some of its fields, or
//     absent / null (all defaults); missing fields take their defaults;
//   - a record field may be null only when its member is optional (then it is nullopt);
//   - a plain (top-level) parameter that is absent or null takes its default;
//   - an empty text or an empty list means "not given": the default applies;
//   - ints written as integral floats (10.0) are taken as ints, as record classes do.
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "norvex/analysis_tools/registry.hpp"
#include "norvex/common/json.hpp"

namespace norvex {
class AnnData;
}

namespace norvex::detail {

using TextList = std::vector<std::string>;

// What reading does with a value outside a declared range or allowed values.
enum class Enforce {
  reject,       // ValueError naming the path, the value and the allowed range or values
  clamp,        // brought into the range (ranges only)
  schema_only,  // advertised to the planner only; the run function takes any value
};

enum class ValueType { text, integer, number, boolean, text_list };

template <class T>
struct MemberType;
template <>
struct MemberType<std::string> {
  static constexpr ValueType type = ValueType::text;
  static constexpr bool optional = false;
};
template <>
struct MemberType<long long> {
  static constexpr ValueType type = ValueType::integer;
  static constexpr bool optional = false;
};
template <>
struct MemberType<double> {
  static constexpr ValueType type = ValueType::number;
  static constexpr bool optional = false;
};
template <>
struct MemberType<bool> {
  static constexpr ValueType type = ValueType::boolean;
  static constexpr bool optional = false;
};
template <>
struct MemberType<TextList> {
  static constexpr ValueType type = ValueType::text_list;
  static constexpr bool optional = false;
};
template <class T>
struct MemberType<std::optional<T>> {
  static constexpr ValueType type = MemberType<T>::type;
  static constexpr bool optional = true;
};

// A parameter without its member binding: what the record class, the schema and reading
// need.
struct ParamSpec {
  std::string name;
  ValueType type = ValueType::text;
  bool optional = false;
  json default_value;
  // The schema description; without one the schema says "Default: <value>." (or nothing
  // when the default is null).
  std::string description;
  json minimum, maximum;  // null: unbounded; integers for int parameters
  Enforce range_enforce = Enforce::reject;
  std::vector<std::string> allowed;  // empty: any text
  Enforce allowed_enforce = Enforce::reject;
  bool single_text_as_list = false;  // a text where a list is expected is a one-item list

  std::string annotation() const;  // "Optional[list[str]]"
  json schema() const;
  // The checked value at `path` (e.g. "plot_cfg.width"): `given`, or the default when
  // `given` is null (absent). The result fits the member type (null only when optional).
  json read(const json* given, const std::string& path) const;
  // std::logic_error naming `owner` (a record class, or empty for a tool argument) for a
  // declaration that cannot be right: a default of the wrong type or outside the declared
  // range or values, a clamp on values, ... Normalises the default (8 for a float
  // parameter becomes 8.0).
  void check_declaration(const std::string& owner);
};

// Converts a value ParamSpec::read produced into the member type.
template <class T>
T member_value(const json& v) {
  if constexpr (MemberType<T>::optional) {
    if (v.is_null()) return std::nullopt;
    return member_value<typename T::value_type>(v);
  } else {
    return v.get<T>();
  }
}

template <class S>
struct Param {
  ParamSpec spec;
  std::ptrdiff_t member_offset = 0;  // tells two bindings of one member apart
  std::function<void(S&, const json&)> store;

  // Allowed range; for ints the bounds are whole numbers.
  Param range(double lo, double hi, Enforce enforce = Enforce::reject) && {
    spec.minimum = bound(lo);
    spec.maximum = bound(hi);
    spec.range_enforce = enforce;
    return std::move(*this);
  }
  Param at_least(double lo, Enforce enforce = Enforce::reject) && {
    spec.minimum = bound(lo);
    spec.range_enforce = enforce;
    return std::move(*this);
  }
  Param one_of(std::vector<std::string> values, Enforce enforce = Enforce::reject) && {
    spec.allowed = std::move(values);
    spec.allowed_enforce = enforce;
    return std::move(*this);
  }
  Param single_text_as_list() && {
    spec.single_text_as_list = true;
    return std::move(*this);
  }

 private:
  // Whole bounds of int parameters are ints (check_declaration rejects the others).
  json bound(double v) const {
    if (spec.type == ValueType::integer && v == static_cast<double>(static_cast<long long>(v)))
      return json(static_cast<long long>(v));
    return json(v);
  }
};

// A parameter bound to `member`.
template <class S, class T>
Param<S> param(T S::*member, std::string name, json default_value, std::string description = {}) {
  Param<S> p;
  p.spec.name = std::move(name);
  p.spec.type = MemberType<T>::type;
  p.spec.optional = MemberType<T>::optional;
  p.spec.default_value = std::move(default_value);
  p.spec.description = std::move(description);
  static const S probe{};
  p.member_offset =
      reinterpret_cast<const char*>(&(probe.*member)) - reinterpret_cast<const char*>(&probe);
  p.store = [member](S& s, const json& v) { s.*member = member_value<T>(v); };
  return p;
}

// The gene list most tools take as a plain argument: null by default, and a single symbol
// is taken as a one-gene list.
template <class S>
Param<S> target_genes_param(std::optional<TextList> S::*member, std::string description) {
  return param(member, "target_genes", nullptr, std::move(description)).single_text_as_list();
}

// ---- non-template pieces of the tables (params.cpp) ----

// The record class of `specs` (declarations checked; std::logic_error when one is wrong or
// two parameters share a name or a member).
std::shared_ptr<const RecordClass> make_record_class(
    const std::string& class_name, std::vector<ParamSpec*> specs,
    const std::vector<std::ptrdiff_t>& member_offsets);
// {"type": "object", "description": "<purpose> (<class>)." or "<class>.", properties...}.
json record_schema(const RecordClass& cls, const std::string& purpose,
                   const std::vector<const ParamSpec*>& specs);
// The field mapping of a record argument: `given` a record of `cls` or a mapping of its
// fields, or null (absent) for {}. TypeError naming `path` otherwise or for a field `cls`
// does not have.
json record_argument_fields(const json* given, const std::string& path, const RecordClass& cls);

template <class S>
class RecordParams {
 public:
  // `purpose` introduces the record in the planner's schema ("Appearance"); empty for none.
  RecordParams(const std::string& class_name, std::string purpose, std::vector<Param<S>> params)
      : purpose_(std::move(purpose)), params_(std::move(params)) {
    std::vector<ParamSpec*> specs;
    std::vector<std::ptrdiff_t> offsets;
    for (auto& p : params_) {
      specs.push_back(&p.spec);
      offsets.push_back(p.member_offset);
    }
    cls_ = make_record_class(class_name, specs, offsets);
  }

  const std::shared_ptr<const RecordClass>& record_class() const { return cls_; }
  json schema() const { return record_schema(*cls_, purpose_, specs()); }
  // The record argument at `path` (see record_argument_fields), every field read and
  // checked.
  S read(const json* given, const std::string& path) const {
    const json fields = record_argument_fields(given, path, *cls_);
    S out{};
    for (const auto& p : params_) {
      const json* v = fields.contains(p.spec.name) ? &fields[p.spec.name] : nullptr;
      p.store(out, p.spec.read(v, path + "." + p.spec.name));
    }
    return out;
  }

 private:
  std::vector<const ParamSpec*> specs() const {
    std::vector<const ParamSpec*> out;
    for (const auto& p : params_) out.push_back(&p.spec);
    return out;
  }
  std::string purpose_;
  std::vector<Param<S>> params_;
  std::shared_ptr<const RecordClass> cls_;
};

// A top-level argument of a tool: a plain parameter or a record.
struct ToolArgInfo {
  std::string name;
  std::optional<ParamSpec> plain;
  std::shared_ptr<const RecordClass> record;
  json schema;
};

template <class A>
struct ToolArg : ToolArgInfo {
  std::function<void(A&, const json* given)> read;

  ToolArg() = default;
  ToolArg(Param<A> p) {  // NOLINT: a plain parameter converts implicitly, for the table
    p.spec.check_declaration("");
    name = p.spec.name;
    schema = p.spec.schema();
    plain = p.spec;
    read = [p = std::move(p)](A& out, const json* given) {
      p.store(out, p.spec.read(given, p.spec.name));
    };
  }
};

// Record argument `arg` of class `params`, bound to `member`.
template <class A, class S>
ToolArg<A> record(S A::*member, std::string arg, const RecordParams<S>& params) {
  ToolArg<A> a;
  a.name = std::move(arg);
  a.record = params.record_class();
  a.schema = params.schema();
  a.read = [member, table = std::make_shared<const RecordParams<S>>(params), path = a.name](
               A& out, const json* given) { out.*member = table->read(given, path); };
  return a;
}

// Registry entries from a tool's arguments: param_names (then "show"), param_defaults of
// the plain parameters, the record classes, allowed_kwargs (plain parameters and "show"),
// the schema. std::logic_error for two arguments of one name.
ToolRegistration tool_registration(const std::string& name, const std::string& definition,
                                   const std::vector<const ToolArgInfo*>& args);
// Registers `r` as a tool whose analysis is not built yet: its definition text says so, and
// calling it raises RuntimeError naming the tools that are built.
void register_not_built(const std::string& name, const std::string& spec, ToolRegistration r);

template <class A>
class ToolParams {
 public:
  explicit ToolParams(std::vector<ToolArg<A>> args) : args_(std::move(args)) {}

  // The typed arguments from a kwargs mapping (keys other than the declared arguments are
  // left alone; an absent or null argument takes its default).
  A read(const json& kwargs) const {
    A out{};
    for (const auto& a : args_) {
      const json* given = nullptr;
      if (kwargs.is_object() && kwargs.contains(a.name) && !kwargs[a.name].is_null())
        given = &kwargs[a.name];
      a.read(out, given);
    }
    return out;
  }

  ToolRegistration registration(const std::string& name, const std::string& definition) const {
    std::vector<const ToolArgInfo*> infos;
    for (const auto& a : args_) infos.push_back(&a);
    return tool_registration(name, definition, infos);
  }

 private:
  std::vector<ToolArg<A>> args_;
};

// Registers a built tool: its arguments are read and checked from kwargs, then `run` gets
// them with the list it adds its warnings to (tool_common.hpp: Warnings). The result mapping
// `run` returns gets them as "warnings" (a list of texts, empty when none). "show" is
// accepted and ignored: a tool never displays anything.
template <class A>
void register_builtin_tool(const std::string& name, const std::string& definition,
                           ToolParams<A> params,
                           json (*run)(AnnData&, const A&, std::vector<std::string>& warnings)) {
  ToolRegistration r = params.registration(name, definition);
  r.function.fn = [params = std::move(params), run](AnnData& adata, const json& kwargs) {
    const A args = params.read(kwargs);
    std::vector<std::string> warnings;
    json result = run(adata, args, warnings);
    result["warnings"] = warnings;
    return result;
  };
  norvex::register_tool(std::move(r));
}

// Registers a tool whose analysis is not built yet: planned like the others, calling it
// raises RuntimeError.
template <class A>
void register_pending_tool(const std::string& name, const std::string& spec,
                           const ToolParams<A>& params) {
  register_not_built(name, spec, params.registration(name, ""));
}

}  // namespace norvex::detail
