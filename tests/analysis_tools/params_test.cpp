// The parameter tables: what the registry derives from them, and reading typed arguments.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/registry.hpp"
#include "norvex/common/errors.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

using detail::Enforce;
using detail::param;
using detail::RecordParams;
using detail::TextList;
using detail::ToolParams;

// ---- what every registered tool derives from its table ----

// The schemas, record classes and defaults as they are sent to the model and planned from.
// They must not change by accident: the snapshot is the reviewed form. After an intended
// change run the test with NORVEX_UPDATE_SNAPSHOT=1 and review the file's diff.
TEST(ParamTables, RegistryMatchesTheReviewedSnapshot) {
  json snap = json::object();
  for (const auto& t : tool_names()) {
    const ToolFunction& fn = builtin_tool_funcs().at(t);
    const ToolConfigEntry& cfg = builtin_tool_config_map().at(t);
    json classes = json::object();
    for (const auto& [arg, cls] : cfg.classes) classes[arg] = cls->name;
    snap["tools"][t] = {{"param_names", fn.param_names},
                        {"param_defaults", fn.param_defaults},
                        {"allowed_kwargs", *cfg.allowed_kwargs},
                        {"classes", classes},
                        {"definition", function_def_registry().at(t)},
                        {"schema", func_args_schema_registry().at(t)}};
  }
  for (const auto& [name, cls] : record_classes())
    for (const auto& f : cls->fields)
      snap["record_classes"][name].push_back(json{f.name, f.type, f.default_value});
  snap["defaults"] = build_tool_defaults_v3(builtin_tool_funcs(), builtin_tool_config_map());
  const std::string text = dump_json(snap, 2) + "\n";
  const auto path = testing::source_dir() / "tests/analysis_tools/registry_snapshot.json";
  if (std::getenv("NORVEX_UPDATE_SNAPSHOT")) testing::write_file(path, text);
  // Re-dumped, so a reformatted file still compares; key order and 3.0 versus 3 still count.
  EXPECT_TRUE(text == dump_json(json::parse(testing::read_file(path)), 2) + "\n")
      << "The registry differs from " << path << "; if intended, rerun with "
      << "NORVEX_UPDATE_SNAPSHOT=1 and review the diff.";
}

const char* schema_type_of(std::string annotation) {
  if (annotation.rfind("Optional[", 0) == 0)
    annotation = annotation.substr(9, annotation.size() - 10);
  if (annotation == "str") return "string";
  if (annotation == "int") return "integer";
  if (annotation == "float") return "number";
  if (annotation == "bool") return "boolean";
  if (annotation == "list[str]") return "array";
  return "?";
}

// Schema and record class come from one table; they must agree field by field, and a
// declared default must lie within what the schema offers the planner.
TEST(ParamTables, SchemaRecordClassAndDefaultsAgreeForEveryTool) {
  const json defaults = build_tool_defaults_v3(builtin_tool_funcs(), builtin_tool_config_map());
  for (const auto& t : tool_names()) {
    SCOPED_TRACE(t);
    const ToolFunction& fn = builtin_tool_funcs().at(t);
    const json& props = func_args_schema_registry().at(t)["properties"];
    std::vector<std::string> args;
    for (auto& [k, v] : props.items()) args.push_back(k);
    args.push_back("show");
    EXPECT_EQ(args, fn.param_names);
    for (const auto& [arg, cls] : builtin_tool_config_map().at(t).classes) {
      SCOPED_TRACE(arg);
      const json& fields = props.at(arg)["properties"];
      ASSERT_EQ(fields.size(), cls->fields.size());
      size_t i = 0;
      for (auto& [name, s] : fields.items()) {
        const RecordClass::Field& f = cls->fields[i++];
        EXPECT_EQ(name, f.name);
        EXPECT_EQ(s["type"], schema_type_of(f.type)) << f.name << ": " << f.type;
        const json& d = f.default_value;
        if (s.contains("enum") && !d.is_null()) {
          EXPECT_NE(std::find(s["enum"].begin(), s["enum"].end(), d), s["enum"].end()) << f.name;
        }
        if (!d.is_null() && s.contains("minimum")) {
          EXPECT_GE(d.get<double>(), s["minimum"].get<double>()) << f.name;
        }
        if (!d.is_null() && s.contains("maximum")) {
          EXPECT_LE(d.get<double>(), s["maximum"].get<double>()) << f.name;
        }
        EXPECT_EQ(defaults[t][arg][f.name], d) << f.name;
      }
    }
  }
}

// ---- reading typed arguments, on a small tool of the same shape as the real ones ----

struct Style {
  std::string kind;
  std::optional<std::string> title;
  double width;
  long long n_top;
  std::optional<double> point_size;
  std::string legend;
  bool labels;
};
struct Args {
  std::optional<TextList> target_genes;
  Style style;
};

RecordParams<Style> style_params() {
  return {
      "TestStyle",
      "Appearance",
      {
          param(&Style::kind, "kind", "bars", "Plot kind.").one_of({"bars", "dots"}),
          param(&Style::title, "title", nullptr, "Title."),
          param(&Style::width, "width", 8, "Width.").range(3, 30),
          param(&Style::n_top, "n_top", 10, "Count.").range(1, 100, Enforce::clamp),
          param(&Style::point_size, "point_size", nullptr, "Size.").range(0.5, 4, Enforce::clamp),
          param(&Style::legend, "legend", "right", "Where.")
              .one_of({"right", "on data"}, Enforce::schema_only),
          param(&Style::labels, "labels", true, "Labels."),
      }};
}

const ToolParams<Args>& tool() {
  static const ToolParams<Args> t({
      detail::target_genes_param(&Args::target_genes, "Genes."),
      detail::record(&Args::style, "plot_cfg", style_params()),
  });
  return t;
}

TEST(ParamTables, TypedArgumentsTakeDefaultsAndGivenValues) {
  const Args d = tool().read(json::object());
  EXPECT_FALSE(d.target_genes);
  EXPECT_EQ(d.style.kind, "bars");
  EXPECT_FALSE(d.style.title);
  EXPECT_EQ(d.style.width, 8.0);
  EXPECT_EQ(d.style.n_top, 10);
  EXPECT_FALSE(d.style.point_size);
  EXPECT_EQ(d.style.legend, "right");
  EXPECT_TRUE(d.style.labels);

  const Args a = tool().read({{"target_genes", "CD3E"},
                              {"plot_cfg",
                               {{"kind", "dots"},
                                {"title", ""},  // empty: the default
                                {"width", 4},
                                {"n_top", 500.0},
                                {"point_size", 0.1},
                                {"legend", "anywhere"},
                                {"labels", false}}},
                              {"show", true}});
  EXPECT_EQ(*a.target_genes, TextList{"CD3E"});
  EXPECT_EQ(a.style.kind, "dots");
  EXPECT_FALSE(a.style.title);
  EXPECT_EQ(a.style.width, 4.0);
  EXPECT_EQ(a.style.n_top, 100);          // clamped
  EXPECT_EQ(*a.style.point_size, 0.5);    // clamped
  EXPECT_EQ(a.style.legend, "anywhere");  // offered to the planner only
  EXPECT_FALSE(a.style.labels);

  // A record of the class, as the assistant passes it, and null arguments (defaults).
  const json rec = style_params().record_class()->make({{"width", 5.5}});
  EXPECT_EQ(tool().read({{"plot_cfg", rec}}).style.width, 5.5);
  EXPECT_EQ(tool().read({{"plot_cfg", nullptr}, {"target_genes", nullptr}}).style.width, 8.0);
}

template <class E>
std::string error_of(const json& kwargs) {
  try {
    tool().read(kwargs);
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("other error: ") + e.what();
  }
  return "no error";
}

TEST(ParamTables, RangeAndValueErrorsNameThePathTheValueAndWhatIsAllowed) {
  EXPECT_EQ(error_of<ValueError>({{"plot_cfg", {{"width", 50}}}}),
            "plot_cfg.width must be between 3 and 30, got 50");
  EXPECT_EQ(error_of<ValueError>({{"plot_cfg", {{"width", 2.5}}}}),
            "plot_cfg.width must be between 3 and 30, got 2.5");
  EXPECT_EQ(error_of<ValueError>({{"plot_cfg", {{"kind", "pie"}}}}),
            "plot_cfg.kind must be one of 'bars', 'dots', got 'pie'");
}

TEST(ParamTables, WrongTypesAndUnknownFieldsAreTypeErrorsNamingThePath) {
  EXPECT_EQ(error_of<TypeError>({{"plot_cfg", {{"width", "wide"}}}}),
            "plot_cfg.width must be float, got 'wide'");
  EXPECT_EQ(error_of<TypeError>({{"plot_cfg", {{"n_top", 2.5}}}}),
            "plot_cfg.n_top must be int, got 2.5");
  EXPECT_EQ(error_of<TypeError>({{"plot_cfg", {{"labels", nullptr}}}}),
            "plot_cfg.labels must be bool, got None");
  EXPECT_EQ(error_of<TypeError>({{"target_genes", {"A", 1}}}),
            "target_genes must be Optional[list[str]], got ['A', 1]");
  EXPECT_EQ(error_of<TypeError>({{"plot_cfg", {{"colour", "red"}}}}),
            "plot_cfg has no field 'colour'; TestStyle fields: kind, title, width, n_top, "
            "point_size, legend, labels");
  EXPECT_EQ(error_of<TypeError>({{"plot_cfg", "big"}}),
            "plot_cfg must be a TestStyle or a mapping of its fields, got 'big'");
  const json other = record_classes().at("ObsFilter")->make();
  EXPECT_EQ(error_of<TypeError>({{"plot_cfg", other}}),
            "plot_cfg must be a TestStyle or a mapping of its fields, got a record of class "
            "ObsFilter");
}

// The assistant builds records with RecordClass::make before the tool reads them: both
// must accept and refuse the same values, or a planned argument fails only in the tool.
TEST(ParamTables, RecordClassAndTypedReadingAcceptTheSameValues) {
  struct All {
    std::string s;
    std::optional<std::string> os;
    long long i;
    double f;
    std::optional<double> of;
    bool b;
    std::optional<TextList> l;
  };
  const RecordParams<All> all{
      "All",
      "",
      {param(&All::s, "s", "x"), param(&All::os, "os", nullptr), param(&All::i, "i", 1),
       param(&All::f, "f", 1.0), param(&All::of, "of", nullptr), param(&All::b, "b", false),
       param(&All::l, "l", nullptr)}};
  const auto cls = all.record_class();
  const json values =
      json::parse(R"([null, 0, 3, 3.0, 2.5, -1, "", "t", true, [], ["a"], [1], {}])");
  for (const auto& f : cls->fields) {
    for (const auto& v : values) {
      bool make_ok = true, read_ok = true;
      try {
        cls->make({{f.name, v}});
      } catch (const TypeError&) {
        make_ok = false;
      }
      try {
        const json given = {{f.name, v}};
        all.read(&given, "cfg");
      } catch (const TypeError&) {
        read_ok = false;
      }
      EXPECT_EQ(make_ok, read_ok) << f.name << " = " << v.dump();
    }
  }
}

// ---- faults in a table show when it is built, not when a user hits them ----

TEST(ParamTables, DeclarationFaultsAreCaughtWhenTheTableIsBuilt) {
  struct S {
    double w;
    double h;
    std::string kind;
    std::optional<std::string> title;
  };
  auto build = [](std::vector<detail::Param<S>> params) {
    [[maybe_unused]] RecordParams<S> t{"S", "", std::move(params)};
  };
  EXPECT_NO_THROW(build({param(&S::w, "w", 8), param(&S::h, "h", 6.0)}));
  EXPECT_THROW(build({param(&S::w, "w", "8")}), std::logic_error);  // wrong type
  EXPECT_THROW(build({param(&S::w, "w", 40.0).range(3, 30)}), std::logic_error);
  EXPECT_THROW(build({param(&S::kind, "kind", "pie").one_of({"bar"})}), std::logic_error);
  EXPECT_THROW(build({param(&S::kind, "kind", nullptr)}), std::logic_error);  // not optional
  EXPECT_THROW(build({param(&S::w, "w", 8.0), param(&S::w, "h", 6.0)}), std::logic_error);
  EXPECT_THROW(build({param(&S::w, "w", 8.0), param(&S::h, "w", 6.0)}), std::logic_error);
  EXPECT_THROW(build({param(&S::title, "title", nullptr).range(0, 1)}), std::logic_error);
}

TEST(ParamTables, ARecordClassNameCannotBeReusedWithOtherFields) {
  ASSERT_TRUE(builtin_tool_funcs().count("plot_sankey"));  // the built-in tools are in
  auto clash = std::make_shared<RecordClass>();
  clash->name = "ObsFilter";
  clash->fields = {{"celltypes", "Optional[list[str]]", nullptr}};
  ToolRegistration r;
  r.name = "test_clashing_tool";
  r.config.classes["obs_filter"] = clash;
  EXPECT_THROW(register_tool(r), ValueError);
  EXPECT_FALSE(builtin_tool_funcs().count("test_clashing_tool"));
  EXPECT_EQ(record_classes().at("ObsFilter")->fields.size(), 4u);
}

}  // namespace
}  // namespace norvex
