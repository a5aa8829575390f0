#include <gtest/gtest.h>

#include "norvex/analysis_tools/registry.hpp"
#include "norvex/analysis_tools/repro_code.hpp"
#include "norvex/assistant/arguments.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/history/pick_keys.hpp"

namespace norvex {
namespace {

TEST(Arguments, DeepMergeKeepsDefaultsOrderAndNestedFields) {
  const json defaults = {{"cfg", {{"a", 1}, {"b", 2}}}, {"flag", true}, {"genes", {"X", "Y"}}};
  const json copy = defaults;
  json out =
      deep_merge(defaults, {{"cfg", {{"b", 5}}}, {"flag", nullptr}, {"genes", {"Z"}}, {"new", 1}});
  EXPECT_EQ(dump_json(out), R"({"cfg":{"a":1,"b":5},"flag":true,"genes":["Z"],"new":1})");
  EXPECT_EQ(defaults, copy);
  EXPECT_EQ(deep_merge(nullptr, {{"a", 1}}), json({{"a", 1}}));
  EXPECT_THROW(deep_merge(json::object(), nullptr), TypeError);
}

TEST(Arguments, MaterialiseBuildsRecordsAndDropsNonMappingRecordArguments) {
  const json defaults = build_tool_defaults_v3(builtin_tool_funcs(), builtin_tool_config_map());
  auto m = materialize_tool_args("plot_celltype_population",
                                 {{"compute_cfg", {{"group_by", "sample"}}}, {"plot_cfg", "big"}},
                                 defaults, builtin_tool_config_map());
  EXPECT_EQ(m.full_args_dict["compute_cfg"]["group_by"], "sample");
  EXPECT_EQ(m.full_args_dict["compute_cfg"]["celltype_col"], "celltype_major");
  EXPECT_FALSE(is_record(m.full_args_dict["compute_cfg"]));
  EXPECT_EQ(record_class_name(m.exec_args["compute_cfg"]), "PopulationComputeConfig");
  EXPECT_FALSE(m.exec_args.contains("plot_cfg"));  // a text for a record: tool default applies
  EXPECT_EQ(m.full_args_dict["plot_cfg"], "big");
  EXPECT_THROW(materialize_tool_args("plot_umap", {{"plot_cfg", {{"colour", "x"}}}}, defaults,
                                     builtin_tool_config_map()),
               TypeError);
  EXPECT_THROW(materialize_tool_args("plot_umap", nullptr, nullptr, builtin_tool_config_map()),
               TypeError);
  // A tool without defaults or config entry passes through as a copy.
  auto plain =
      materialize_tool_args("other", {{"x", 1}}, json::object(), builtin_tool_config_map());
  EXPECT_EQ(plain.exec_args, json({{"x", 1}}));
}

TEST(Arguments, FilterUsesParameterNamesOrFallsBackToTheConfigMap) {
  ToolFunction named;
  named.param_names = {"a", "show"};
  json kw = {{"b", 1}, {"a", 2}, {"show", false}};
  EXPECT_EQ(dump_json(filter_kwargs_for_fn(named, kw)), R"({"a":2,"show":false})");

  ToolFunction opaque;  // reports no parameter names
  EXPECT_EQ(filter_kwargs_for_fn(opaque, kw), kw);
  ToolConfigMap map;
  map["t"].classes["a"] = record_classes().at("ObsFilter");
  map["t"].allowed_kwargs = std::vector<std::string>{"show"};
  EXPECT_EQ(dump_json(filter_kwargs_for_fn(opaque, kw, "t", &map)), R"({"a":2,"show":false})");
  EXPECT_EQ(filter_kwargs_for_fn(opaque, kw, "unknown", &map), kw);
}

TEST(Arguments, DropNonesAndAsdict) {
  EXPECT_EQ(dump_json(drop_nones(json::array({1, nullptr, {{"a", nullptr}}}))), "[1,null,{}]");
  json rec = record_classes().at("ObsFilter")->make({{"celltypes", {"T"}}});
  json d = asdict_safe(rec);
  EXPECT_FALSE(d.contains("__class__"));
  EXPECT_EQ(d["celltypes"], json({"T"}));
  EXPECT_EQ(asdict_safe(5), 5);
  EXPECT_EQ(to_h5_safe(json{{"r", rec}})["r"], d);
  EXPECT_EQ(dump_json(pick_keys({{"img_base64", "x"}, {"fig", 1}, {"data", "g"}},
                                {"data", "img_base64"})),
            R"({"data":"g","img_base64":"x"})");
}

TEST(ReproCode, CallsTheToolWithRecordsByClassNameAndQuotedValues) {
  json args = {{"target_genes", {"CD3E", "x\"); import os; os.system(\"rm"}},
               {"plot_cfg", record_classes().at("UMAPPlotConfig")->make({{"title", "제목"}})},
               {"show", true}};
  ReproOptions o;
  o.adata_var_name = "adata_t";
  o.assume_imported = true;
  o.data_class_names = {"UMAPEmbedConfig", "UMAPPlotConfig"};
  std::string code = build_repro_code_snippet_clean("plot_umap", args, o);
  EXPECT_NE(code.find("import norvex\n"), std::string::npos);
  EXPECT_NE(code.find("result = norvex.functions_and_maps.plot_umap(\n    adata_t,"),
            std::string::npos);
  EXPECT_NE(code.find("plot_cfg=norvex.functions_and_maps.UMAPPlotConfig("), std::string::npos);
  EXPECT_NE(code.find("title=\"제목\""), std::string::npos);
  EXPECT_NE(code.find("show=True"), std::string::npos);
  EXPECT_NE(code.find("\\\"); import os"), std::string::npos);  // stays inside the string
  EXPECT_THROW(build_repro_code_snippet_clean("plot_umap(); evil", args, o), ValueError);
}

}  // namespace
}  // namespace norvex
