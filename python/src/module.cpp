// norvex._engine: the engine as Python sees it. Conversion and forwarding only: every
// behaviour (flows, tools, display decisions, the saved store) is the engine's, the same
// for the terminal, the notebook and the tests.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <functional>
#include <type_traits>

#include "buffers.hpp"
#include "convert.hpp"
#include "norvex/analysis_tools/registry.hpp"
#include "norvex/analysis_tools/repro_code.hpp"
#include "norvex/assistant/arguments.hpp"
#include "norvex/assistant/norvex.hpp"
#include "norvex/assistant/rerun.hpp"
#include "norvex/assistant/router.hpp"
#include "norvex/assistant/tool_run.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/dataset/data_context.hpp"
#include "norvex/dataset/external_matrix.hpp"
#include "norvex/display/base64_display.hpp"
#include "norvex/display/report.hpp"
#include "norvex/display/result_display.hpp"
#include "norvex/documents/documents.hpp"
#include "norvex/documents/redaction.hpp"
#include "norvex/history/pick_keys.hpp"
#include "norvex/history/tx_summaries.hpp"
#include "norvex/history/tx_values.hpp"
#include "norvex/host/host.hpp"
#include "norvex/host/interrupt.hpp"
#include "norvex/host/redactor.hpp"
#include "norvex/llm/client.hpp"
#include "norvex/llm/json_helpers.hpp"
#include "norvex/prompts/constants.hpp"

namespace py = pybind11;
using norvex::json;

namespace norvex::python {
namespace {

// The Python object that shows things (norvex._host), set by the package on import.
py::object& host_object() {
  static py::object* host = new py::object();  // never destroyed: outlives the interpreter
  return *host;
}

// Forwards what the engine shows to the Python host, holding the GIL for each call. A
// failing display surfaces as the engine's RuntimeError, never as a Python error object
// crossing the engine's own error handling.
class PyHost : public NotebookHost {
 public:
  void print(std::string_view text, bool end_line) override {
    call("print", redactor_.text(text), end_line);
  }
  void display_html(const std::string& html) override {
    call("display_html", redactor_.text(html));
  }
  // A notebook has no files of its own: the link carries the bytes.
  void offer_download(const Download& file) override {
    display_html(creat_download_link(redact_document(file.bytes, redactor_),
                                     redactor_.text(file.name), file.label));
  }
  void display_image(const std::string& bytes, const std::string& mime) override {
    py::gil_scoped_acquire gil;
    forward("display_image", py::bytes(bytes), mime);
  }
  void display_json(const json& value) override {
    json shown = redactor_.value(value);
    py::gil_scoped_acquire gil;
    forward("display_json", from_json(shown));
  }
  void set_next_input(const std::string& code) override {
    call("set_next_input", redactor_.text(code));
  }
  void print_error(std::string_view text) override { call("print_error", redactor_.text(text)); }
  const Redactor* secrets() const override { return &redactor_; }
  // Every key any assistant of this process was given (model text may echo it).
  void add_secret(const std::optional<std::string>& key) {
    if (key) redactor_.add(*key);
  }

 private:
  template <typename... Args>
  void call(const char* method, Args&&... args) {
    py::gil_scoped_acquire gil;
    forward(method, std::forward<Args>(args)...);
  }
  template <typename... Args>
  void forward(const char* method, Args&&... args) {
    try {
      if (host_object().is_none() || !host_object()) return;
      host_object().attr(method)(std::forward<Args>(args)...);
    } catch (py::error_already_set& e) {
      if (e.matches(PyExc_KeyboardInterrupt)) throw Interrupted{};
      throw RuntimeError(std::string("display failed: ") + e.what());
    }
  }

  Redactor redactor_;
};

// The one Python host (it forwards each call to the installed host object).
PyHost& py_host() {
  static PyHost* host = new PyHost();  // never destroyed: outlives the interpreter
  return *host;
}

// Runs an engine call with the notebook host installed (and given to `f` when it takes
// one), the GIL released, and a stop check that lets Python's signal handlers run between
// model calls and tool steps.
template <typename F>
auto engine_call(F&& f) {
  NotebookHost& host = py_host();
  auto previous = set_interrupt_check([] {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) {
      PyErr_Clear();
      throw Interrupted{};
    }
  });
  struct Restore {
    std::function<void()> previous;
    ~Restore() { set_interrupt_check(std::move(previous)); }
  } restore{std::move(previous)};
  try {
    py::gil_scoped_release release;
    if constexpr (std::is_invocable_v<F&, NotebookHost&>)
      return f(host);
    else
      return f();
  } catch (const Interrupted&) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
  }
}

// ---- errors: each engine kind as the Python exception of the same name ----
py::object service_error_class(const std::string& kind) {
  static py::dict* classes = new py::dict();
  py::module_ m = py::module_::import("norvex._engine");
  if (!classes->contains(kind)) {
    (*classes)[py::str(kind)] = py::reinterpret_steal<py::object>(PyErr_NewException(
        ("norvex._engine." + kind).c_str(), m.attr("ServiceError").ptr(), nullptr));
  }
  return (*classes)[py::str(kind)];
}

void translate(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const ServiceError& e) {
    py::object cls = service_error_class(e.type_name());
    py::object err = cls(e.what());
    err.attr("status_code") = e.status();
    err.attr("body") = from_json(e.body());
    PyErr_SetObject(cls.ptr(), err.ptr());
  } catch (const KeyError& e) {
    PyErr_SetString(PyExc_KeyError, e.what());
  } catch (const IndexError& e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const LookupError& e) {
    PyErr_SetString(PyExc_LookupError, e.what());
  } catch (const TypeError& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const ValueError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const AttributeError& e) {
    PyErr_SetString(PyExc_AttributeError, e.what());
  } catch (const FileError& e) {
    PyErr_SetString(PyExc_OSError, e.what());
  } catch (const ValidationError& e) {
    py::module_ m = py::module_::import("norvex._engine");
    PyErr_SetString(m.attr("ValidationError").ptr(), e.what());
  } catch (const Error& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
}

// ---- datasets ----
std::shared_ptr<AnnData> adopt(py::handle obs, py::handle var, py::handle x, py::dict obsm,
                               py::handle uns, py::handle raw_x, py::handle raw_var,
                               py::dict layers) {
  auto ad = std::make_shared<AnnData>();
  ad->obs = frame_with_names_on_demand(obs);
  ad->var = frame_from_parts(var);
  if (!x.is_none()) set_external_X(*ad, buffer_matrix(x));
  if (!raw_x.is_none()) set_external_raw(*ad, buffer_matrix(raw_x), frame_from_parts(raw_var));
  for (auto item : layers) {
    set_external_layer(*ad, item.first.cast<std::string>(), buffer_matrix(item.second));
  }
  for (auto item : obsm) {
    set_external_obsm(*ad, item.first.cast<std::string>(), buffer_matrix(item.second));
  }
  UnsNode tree = uns_from_py(uns);
  if (tree.is_dict()) ad->uns = tree.dict();
  return ad;
}

// ---- arguments as the engine takes them ----
DatasetArg dataset_arg(py::handle adata) {
  if (py::isinstance<py::str>(adata)) return adata.cast<std::string>();
  if (py::isinstance<AnnData>(adata)) return adata.cast<std::shared_ptr<AnnData>>();
  return std::monostate{};
}

std::optional<ToolFuncs> tool_funcs_arg(py::handle names) {
  if (names.is_none()) return std::nullopt;
  ToolFuncs out;
  for (auto& name : names.cast<std::vector<std::string>>()) {
    auto it = builtin_tool_funcs().find(name);
    if (it == builtin_tool_funcs().end()) throw key_error(name);
    out[name] = it->second;
  }
  return out;
}

// {tool: {argument: class name, "__allowed_kwargs__": [names]}}
std::optional<ToolConfigMap> tool_config_map_arg(py::handle map) {
  if (map.is_none()) return std::nullopt;
  ToolConfigMap out;
  const json j = to_json(map);
  for (auto it = j.begin(); it != j.end(); ++it) {
    ToolConfigEntry entry;
    for (auto a = it->begin(); a != it->end(); ++a) {
      if (a.key() == "__allowed_kwargs__") {
        entry.allowed_kwargs = a->get<std::vector<std::string>>();
        continue;
      }
      auto cls = record_classes().find(a->get<std::string>());
      if (cls == record_classes().end()) throw key_error(a->get<std::string>());
      entry.classes[a.key()] = cls->second;
    }
    out[it.key()] = std::move(entry);
  }
  return out;
}

std::optional<ToolDefaults> tool_defaults_arg(py::handle d) {
  if (d.is_none()) return std::nullopt;
  return to_json(d);
}

std::optional<std::string> optional_text(py::handle v) {
  if (v.is_none()) return std::nullopt;
  return v.cast<std::string>();
}

py::dict constants() {
  py::dict out;
  for (const auto& c : prompts::module_constants()) out[py::str(c.name)] = from_json(c.value);
  return out;
}

py::dict record_class_table() {
  py::dict out;
  for (const auto& [name, cls] : record_classes()) {
    py::list fields;
    for (const auto& f : cls->fields) {
      fields.append(py::make_tuple(f.name, f.type, from_json(f.default_value)));
    }
    out[py::str(name)] = fields;
  }
  return out;
}

py::dict tool_table() {
  py::dict out;
  for (const auto& name : tool_names()) {
    const ToolFunction& fn = builtin_tool_funcs().at(name);
    py::dict classes;
    auto entry = builtin_tool_config_map().find(name);
    py::object allowed = py::none();
    if (entry != builtin_tool_config_map().end()) {
      for (auto& [arg, cls] : entry->second.classes) classes[py::str(arg)] = cls->name;
      if (entry->second.allowed_kwargs) allowed = py::cast(*entry->second.allowed_kwargs);
    }
    auto def = function_def_registry().find(name);
    auto schema = func_args_schema_registry().find(name);
    out[py::str(name)] = py::dict(py::arg("param_names") = fn.param_names,
                                  py::arg("param_defaults") = from_json(fn.param_defaults),
                                  py::arg("classes") = classes, py::arg("allowed_kwargs") = allowed,
                                  py::arg("definition") = def == function_def_registry().end()
                                                              ? py::object(py::none())
                                                              : py::object(py::str(def->second)),
                                  py::arg("schema") = schema == func_args_schema_registry().end()
                                                          ? py::object(py::none())
                                                          : from_json(schema->second));
  }
  return out;
}

// A tool called from Python. Tools compute and return; as a notebook call it then prints
// the run's warnings (taken out of the returned mapping) and, asked with show=True, shows
// its figures (the img_base64 PNGs), as the tools once did themselves.
// A tool called by the user (a reproduction snippet): called as given, its warnings shown
// and, with show=True, its figures.
// Besides the tool's own arguments, svg=True adds "img_svg" (each figure's SVG document,
// in the shape of "img_base64") and dpi=N draws the figures at N dots per inch.
plotting::RenderOptions render_options(json& kwargs) {
  plotting::RenderOptions options;
  if (!kwargs.is_object()) return options;
  if (auto it = kwargs.find("svg"); it != kwargs.end()) {
    if (!it->is_boolean())
      throw TypeError(std::string("svg must be a bool, not ") + py_type_name(*it));
    options.svg = it->get<bool>();
    kwargs.erase(it);
  }
  if (auto it = kwargs.find("dpi"); it != kwargs.end()) {
    if (!it->is_number_integer())
      throw TypeError(std::string("dpi must be an int, not ") + py_type_name(*it));
    const long long dpi = it->get<long long>();
    if (dpi < 36 || dpi > 1200)
      throw ValueError("dpi must be between 36 and 1200, got " + std::to_string(dpi));
    options.dpi = static_cast<int>(dpi);
    kwargs.erase(it);
  }
  return options;
}

json svgs_in_shape_of(const json& imgs, const plotting::RenderScope& scope) {
  auto svg_of = [&](const json& b64) -> json {
    if (!b64.is_string()) return nullptr;
    const auto* f = scope.find(base64_decode(b64.get<std::string>()));
    return f && !f->svg.empty() ? json(f->svg) : json(nullptr);
  };
  if (imgs.is_string()) return svg_of(imgs);
  json out = imgs.is_array() ? json::array() : json::object();
  for (auto& [key, b64] : imgs.items()) {
    if (imgs.is_array()) {
      out.push_back(svg_of(b64));
    } else {
      out[key] = svg_of(b64);
    }
  }
  return out;
}

json run_tool(NotebookHost& host, const std::string& name, AnnData& adata, json kwargs) {
  const plotting::RenderOptions options = render_options(kwargs);
  plotting::RenderScope scope(options);
  json result = runnable_tool(builtin_tool_funcs(), name)(adata, kwargs);
  if (!result.is_object()) return result;
  if (options.svg && result.contains("img_base64"))
    result["img_svg"] = svgs_in_shape_of(result["img_base64"], scope);
  show_warnings(host, result_warnings(result));
  result.erase("warnings");
  const bool show = kwargs.is_object() && kwargs.contains("show") && kwargs["show"].is_boolean() &&
                    kwargs["show"].get<bool>();
  if (show && result.contains("img_base64")) {
    auto display = [&](const json& b64) {
      if (b64.is_string()) host.display_image(base64_decode(b64.get<std::string>()), "image/png");
    };
    const json& img = result["img_base64"];
    if (img.is_string()) {
      display(img);
    } else if (img.is_array() || img.is_object()) {
      for (const json& b64 : img) display(b64);
    }
  }
  return result;
}

}  // namespace
}  // namespace norvex::python

PYBIND11_MODULE(_engine, m) {
  using namespace norvex;
  using namespace norvex::python;
  m.doc() = "The Assistant engine (use norvex.norvex_main).";

  py::register_exception<std::runtime_error>(m, "EngineError", PyExc_RuntimeError);
  m.attr("ServiceError") = py::reinterpret_steal<py::object>(
      PyErr_NewException("norvex._engine.ServiceError", PyExc_Exception, nullptr));
  m.attr("ValidationError") = py::reinterpret_steal<py::object>(
      PyErr_NewException("norvex._engine.ValidationError", PyExc_Exception, nullptr));
  py::register_exception_translator(&translate);

  m.def("set_host", [](py::object host) { host_object() = std::move(host); });

  py::class_<AnnData, std::shared_ptr<AnnData>>(m, "Dataset")
      .def_static("read",
                  [](const std::string& path) {
                    return engine_call([&] { return AnnData::read_h5ad(path); });
                  })
      .def_static("adopt", &adopt, py::arg("obs"), py::arg("var"), py::arg("x"), py::arg("obsm"),
                  py::arg("uns"), py::arg("raw_x") = py::none(), py::arg("raw_var") = py::none(),
                  py::arg("layers") = py::dict())
      .def_property_readonly("n_obs", &AnnData::n_obs)
      .def_property_readonly("n_vars", &AnnData::n_vars)
      .def("obs_names", [](const AnnData& a) { return a.obs.index(); })
      .def("var_names", [](const AnnData& a) { return a.var.index(); })
      .def("uns_keys", [](const AnnData& a) { return a.uns.keys(); })
      .def("uns_item",
           [](const AnnData& a, const std::string& key) { return uns_to_py(a.uns.at(key)); })
      .def("gene_expression",
           [](const AnnData& a, const std::vector<std::string>& genes) {
             return engine_call([&] { return a.gene_expression(genes); });
           })
      .def("write_h5ad", [](const AnnData& a, const std::string& path) {
        engine_call([&] { a.write_h5ad(path); });
      });

  py::class_<norvex::Assistant>(m, "Assistant")
      .def(py::init([](py::object api_key, std::string model, py::object adata,
                       py::object tool_funcs, py::object tool_defaults, py::object tool_config_map,
                       py::object max_retries, bool rem_router, py::object base_url,
                       std::string wire) {
             AssistantOptions o;
             o.api_key = optional_text(api_key);
             py_host().add_secret(o.api_key);
             o.model_to_use = std::move(model);
             o.adata = dataset_arg(adata);
             o.tool_funcs = tool_funcs_arg(tool_funcs);
             o.tool_defaults = tool_defaults_arg(tool_defaults);
             o.tool_config_map = tool_config_map_arg(tool_config_map);
             o.max_retries = to_json(max_retries);
             o.rem_router = rem_router;
             o.base_url = optional_text(base_url);
             o.wire = parse_wire_choice(wire);
             o.host = &py_host();
             return engine_call([&] { return std::make_unique<norvex::Assistant>(o); });
           }),
           py::arg("api_key"), py::arg("model_to_use"), py::arg("adata"), py::arg("tool_funcs"),
           py::arg("tool_defaults"), py::arg("tool_config_map"), py::arg("max_retries"),
           py::arg("rem_router"), py::arg("base_url"), py::arg("wire") = "auto")
      .def(
          "set_api_key",
          [](norvex::Assistant& self, py::object api_key, std::string model, py::object adata,
             py::object tool_funcs, py::object tool_defaults, py::object tool_config_map,
             py::object max_retries, bool rem_router, py::object base_url, std::string wire) {
            auto key = optional_text(api_key);
            py_host().add_secret(key);
            auto data = dataset_arg(adata);
            auto funcs = tool_funcs_arg(tool_funcs);
            auto defaults = tool_defaults_arg(tool_defaults);
            auto config_map = tool_config_map_arg(tool_config_map);
            json retries = to_json(max_retries);
            auto url = optional_text(base_url);
            const WireChoice wire_choice = parse_wire_choice(wire);
            engine_call([&] {
              self.set_api_key(key, model, data, funcs, defaults, config_map, retries, rem_router,
                               url, wire_choice);
            });
          },
          py::arg("api_key"), py::arg("model_to_use"), py::arg("adata"), py::arg("tool_funcs"),
          py::arg("tool_defaults"), py::arg("tool_config_map"), py::arg("max_retries"),
          py::arg("rem_router"), py::arg("base_url"), py::arg("wire") = "auto")
      .def("usage",
           [](const norvex::Assistant& self) { return from_json(self.usage_ledger->report()); })
      .def("ask",
           [](norvex::Assistant& self, py::object query, bool auto_render, bool verbose) {
             json q = to_json(query);
             json out = engine_call([&] { return self.ask(q, auto_render, verbose); });
             return from_json(out);
           })
      .def("write_h5ad",
           [](const norvex::Assistant& self, const std::string& file) {
             engine_call([&] { self.write_h5ad(file); });
           })
      .def("check_saved_queries",
           [](norvex::Assistant& self) { engine_call([&] { self.check_saved_queries(); }); })
      .def("check_saved", [](norvex::Assistant& self) { engine_call([&] { self.check_saved(); }); })
      .def("save_transaction",
           [](norvex::Assistant& self, py::object spec, py::object res, bool verbose,
              py::object selected) {
             json s = to_json(spec), r = to_json(res), id = to_json(selected);
             engine_call([&] { self.save_transaction(s, r, verbose, id); });
             return from_json(r);
           })
      .def("display_table_summaries",
           [](norvex::Assistant& self, py::object result, const std::string& name) {
             json r = to_json(result);
             engine_call([&] { self.display_table_summaries(r, name); });
           })
      .def("display_plot_img_base64",
           [](norvex::Assistant& self, py::object result) {
             json r = to_json(result);
             engine_call([&] { self.display_plot_img_base64(r); });
           })
      .def("display_explanation",
           [](norvex::Assistant& self, py::object text, py::object img, py::object title) {
             json t = to_json(text), i = to_json(img);
             auto ti = optional_text(title);
             engine_call([&] { self.display_explanation(t, i, ti); });
           })
      .def("show_tree_partial",
           [](norvex::Assistant& self, py::object spec) {
             json s = to_json(spec);
             engine_call([&] { self.show_tree_partial(s); });
           })
      .def("check_router_res_validity",
           [](norvex::Assistant& self, py::object r) {
             json j = to_json(r);
             return engine_call([&] { return self.check_router_res_validity(j); });
           })
      .def("check_router_res_flags",
           [](norvex::Assistant& self, py::object r) {
             json j = to_json(r);
             return engine_call([&] { return self.check_router_res_flags(j); });
           })
      .def_readonly("model_name", &Assistant::model_name)
      .def_readonly("file_h5ad", &Assistant::file_h5ad)
      .def_property_readonly("configured",
                             [](const norvex::Assistant& s) { return s.config.has_value(); })
      .def_property_readonly("adata",
                             [](const norvex::Assistant& s) { return s.configured("adata").adata; })
      .def_property_readonly(
          "data_context",
          [](const norvex::Assistant& s) { return s.configured("data_context").data_context; })
      .def_property_readonly(
          "max_retries",
          [](const norvex::Assistant& s) { return s.configured("max_retries").max_retries; })
      .def_property_readonly(
          "rem_router",
          [](const norvex::Assistant& s) { return s.configured("rem_router").rem_router; })
      .def_property_readonly("Tool_defaults",
                             [](const norvex::Assistant& s) {
                               return from_json(s.configured("Tool_defaults").tools.defaults);
                             })
      .def_property_readonly("Tool_funcs",
                             [](const norvex::Assistant& s) {
                               std::vector<std::string> names;
                               for (auto& [n, f] : s.configured("Tool_funcs").tools.funcs)
                                 names.push_back(n);
                               return names;
                             })
      .def_property_readonly("last_tx",
                             [](const norvex::Assistant& s) { return from_json(s.last_tx); })
      .def_property_readonly("history",
                             [](const norvex::Assistant& s) {
                               py::list out;
                               for (auto& tx : s.t_hist.buf) out.append(from_json(tx));
                               return out;
                             })
      .def_property_readonly("max_buf_len",
                             [](const norvex::Assistant& s) { return s.t_hist.max_buf_len(); });

  // ---- registry and module functions ----
  m.def("constants", &constants);
  m.def("record_classes", &record_class_table);
  m.def("tools", &tool_table);
  m.def("run_tool", [](const std::string& name, AnnData& adata, py::object kwargs) {
    json k = to_json(kwargs);
    return from_json(
        engine_call([&](NotebookHost& host) { return run_tool(host, name, adata, k); }));
  });
  m.def("make_record", [](const std::string& cls, py::object kwargs) {
    auto it = record_classes().find(cls);
    if (it == record_classes().end()) throw key_error(cls);
    return from_json(it->second->make(to_json(kwargs)));
  });
  m.def("build_tool_defaults_v3", [](py::object funcs, py::object config_map) {
    auto f = tool_funcs_arg(funcs);
    auto c = tool_config_map_arg(config_map);
    return from_json(
        build_tool_defaults_v3(f ? *f : builtin_tool_funcs(), c ? *c : builtin_tool_config_map()));
  });

  m.def("coerce_tool_configs", [](py::object tool, py::object args, py::object config_map) {
    auto c = tool_config_map_arg(config_map);
    return from_json(coerce_tool_configs(to_json(tool), to_json(args), c ? *c : ToolConfigMap{}));
  });
  m.def("materialize_tool_args",
        [](py::object tool, py::object ai_args, py::object defaults, py::object config_map) {
          auto c = tool_config_map_arg(config_map);
          MaterializedArgs r = materialize_tool_args(to_json(tool), to_json(ai_args),
                                                     to_json(defaults), c ? *c : ToolConfigMap{});
          return py::make_tuple(from_json(r.full_args_dict), from_json(r.exec_args));
        });
  m.def("filter_kwargs_for_fn", [](const std::string& fn_name, py::object kwargs,
                                   py::object tool_name, py::object config_map) {
    auto fn = builtin_tool_funcs().find(fn_name);
    if (fn == builtin_tool_funcs().end()) throw key_error(fn_name);
    auto c = tool_config_map_arg(config_map);
    return from_json(filter_kwargs_for_fn(fn->second, to_json(kwargs), optional_text(tool_name),
                                          c ? &*c : nullptr));
  });

  auto j1 = [&m](const char* name, json (*fn)(const json&)) {
    m.def(name, [fn](py::object x) { return from_json(fn(to_json(x))); });
  };
  j1("asdict_safe", &asdict_safe);
  j1("drop_nones", &drop_nones);
  j1("to_h5_safe", &to_h5_safe);
  j1("to_iso", &to_iso);
  j1("normalize_user_request", &normalize_user_request);
  j1("default_user_request_for_reuse", &default_user_request_for_reuse);
  m.def("deep_merge",
        [](py::object a, py::object b) { return from_json(deep_merge(to_json(a), to_json(b))); });
  m.def("detect_output_language", [](py::object q) { return detect_output_language(to_json(q)); });
  m.def("extract_json_object", [](py::object t) { return extract_json_object(to_json(t)); });
  m.def("ensure_required_defaults", [](py::object d, py::object s) {
    json data = to_json(d);
    return from_json(ensure_required_defaults(data, to_json(s)));
  });
  m.def("drop_nones_keep_required", [](py::object d, py::object s) {
    return from_json(drop_nones_keep_required(to_json(d), to_json(s)));
  });
  m.def("schema_dict_to_prompt_text", [](py::object s, long long max_len) {
    return schema_dict_to_prompt_text(to_json(s), max_len);
  });
  m.def("detect_base64_type", [](py::object b) { return detect_base64_type(to_json(b)); });
  m.def("display_base64_auto", [](py::object imgs, bool use_html_img, py::object size) {
    json i = to_json(imgs), s = to_json(size);
    engine_call([&](NotebookHost& host) { display_base64_auto(host, i, use_html_img, s); });
  });
  m.def("show_code_snippet", [](py::object spec, const std::string& key) {
    json s = to_json(spec);
    engine_call([&](NotebookHost& host) { show_code_snippet(host, s, key); });
  });
  m.def("display_plot_img_base64", [](py::object result) {
    json r = to_json(result);
    engine_call([&](NotebookHost& host) { display_plot_img_base64(host, r); });
  });
  m.def("check_any_valid", [](py::object d, std::vector<std::string> keys, py::object dflt) {
    return from_json(check_any_valid(to_json(d), keys, to_json(dflt)));
  });
  m.def("get_any", [](py::object d, std::vector<std::string> keys, py::object dflt) {
    return from_json(get_any(to_json(d), keys, to_json(dflt)));
  });
  m.def("shorten", [](py::object t, long long n) { return from_json(shorten(to_json(t), n)); });
  m.def("safe_int", [](py::object x) { return safe_int(to_json(x)); });
  m.def("summarize_transactions", [](py::object txs, py::object max_items, py::object max_q) {
    std::vector<json> list;
    for (auto& t : to_json(txs)) list.push_back(t);
    return from_json(summarize_transactions(list, to_json(max_items), to_json(max_q)));
  });
  m.def("format_tx_summaries_for_llm",
        [](py::object router, py::object summaries, py::object schema, py::object max_c) {
          return format_tx_summaries_for_llm(to_json(router), to_json(summaries), to_json(schema),
                                             to_json(max_c));
        });
  m.def("get_tx_by_id", [](py::object txs, py::object id) {
    std::vector<json> list;
    for (auto& t : to_json(txs)) list.push_back(t);
    const json* tx = get_tx_by_id(static_cast<const std::vector<json>&>(list), to_json(id));
    return tx ? from_json(*tx) : py::object(py::none());
  });
  m.def("build_patch_payload", [](py::object base_router, py::object base_q, py::object new_q,
                                  py::object tool, py::object params) {
    return build_patch_payload(to_json(base_router), to_json(base_q), to_json(new_q), to_json(tool),
                               to_json(params));
  });
  m.def("pick_keys", [](py::object src, std::vector<std::string> keys) {
    return from_json(pick_keys(to_json(src), keys));
  });
  m.def("find_tumor_origin_celltype",
        [](const AnnData& a) { return find_tumor_origin_celltype(a); });
  m.def("get_data_description_str",
        [](const AnnData& a) { return engine_call([&] { return get_data_description_str(a); }); });
  m.def("get_data_context",
        [](const AnnData& a) { return engine_call([&] { return get_data_context(a); }); });
  m.def("generate_norvex_report", [](const AnnData& a) {
    engine_call([&](NotebookHost& host) { generate_norvex_report(host, a); });
  });
}
