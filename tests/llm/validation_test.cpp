#include <gtest/gtest.h>

#include <random>

#include "norvex/common/python_text.hpp"
#include "norvex/llm/validation.hpp"
#include "norvex/prompts/constants.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

std::string failure(const json& instance, const json& schema) {
  try {
    jsonschema_validate(instance, schema);
  } catch (const ValidationError& e) {
    return e.what();
  }
  return "valid";
}

std::string first_line(const std::string& s) {
  return s.substr(0, s.find('\n'));
}

TEST(ValidationTest, MessagesNameThePropertyAndTheRule) {
  const json schema = {{"type", "object"},
                       {"properties",
                        {{"kind", {{"type", "string"}, {"enum", {"plan"}}}},
                         {"confidence", {{"type", "integer"}, {"minimum", 0}, {"maximum", 10}}},
                         {"flags",
                          {{"type", "object"},
                           {"properties", {{"plot", {{"type", "boolean"}}}}},
                           {"required", {"plot"}},
                           {"additionalProperties", false}}}}},
                       {"required", {"kind", "flags"}}};
  EXPECT_EQ(failure({{"kind", 5}, {"flags", {{"plot", true}}}}, schema),
            "5 is not of type 'string'\n\nFailed validating 'type' in "
            "schema['properties']['kind']:\n    {'type': 'string', 'enum': ['plan']}\n\nOn "
            "instance['kind']:\n    5");
  EXPECT_EQ(first_line(failure({{"kind", "plan"}}, schema)), "'flags' is a required property");
  EXPECT_EQ(first_line(failure({{"kind", "other"}, {"flags", {{"plot", true}}}}, schema)),
            "'other' is not one of ['plan']");
  EXPECT_EQ(first_line(failure({{"kind", "plan"}, {"confidence", 11}, {"flags", {{"plot", true}}}},
                               schema)),
            "11 is greater than the maximum of 10");
  EXPECT_EQ(first_line(failure({{"kind", "plan"}, {"flags", {{"plot", true}, {"x", 1}, {"y", 2}}}},
                               schema)),
            "Additional properties are not allowed ('x', 'y' were unexpected)");
  const std::string nested = failure({{"kind", "plan"}, {"flags", {{"plot", "yes"}}}}, schema);
  EXPECT_EQ(first_line(nested), "'yes' is not of type 'boolean'");
  EXPECT_NE(nested.find("schema['properties']['flags']['properties']['plot']"), std::string::npos);
  EXPECT_NE(nested.find("On instance['flags']['plot']"), std::string::npos);
  // Whole floats are integers under draft 7.
  EXPECT_EQ(failure({{"kind", "plan"}, {"confidence", 7.0}, {"flags", {{"plot", true}}}}, schema),
            "valid");
  EXPECT_THROW(jsonschema_validate(json::object(), json{{"type", 5}}), SchemaError);
}

// Our verdicts against Python's jsonschema on random variations of valid answers.
TEST(ValidationTest, AgreesWithPythonJsonschemaOnTheProductSchemas) {
  if (!testing::oracle_python_available())
    GTEST_SKIP() << "Debian's /usr/bin/python3 is not available";
  std::mt19937 rng(7);
  const std::vector<json> odd = {nullptr,
                                 1,
                                 -1,
                                 2.5,
                                 11,
                                 "",
                                 "none",
                                 "plot_umap",
                                 true,
                                 json::array(),
                                 json::object(),
                                 json::array({"x"})};
  json cases = json::array();
  std::vector<bool> ours;
  const std::vector<std::pair<json, json>> bases = {
      {prompts::router_schema(),
       {{"kind", "plan"},
        {"flags",
         {{"info", false},
          {"plot", true},
          {"table_summary", false},
          {"explain_data", false},
          {"explain_general", false},
          {"specific_pathway", false},
          {"reportgen", false},
          {"recurrent_query", false}}},
        {"selected_tool", "plot_umap"},
        {"confidence", 8},
        {"target_analysis", "umap"},
        {"target_celltype", "none"},
        {"query_item", "none"},
        {"plot_type", "umap"},
        {"plot_type_to_draw", "umap"},
        {"reference_plot_type", "none"},
        {"questions", json::array()}}},
      {prompts::patch_schema(),
       {{"needs_rerun", true},
        {"gene_patch", {{"add", {"CD3E"}}, {"remove", json::array()}, {"replace_all", nullptr}}},
        {"pathway_request",
         {{"requested", false},
          {"pathway_phrase", nullptr},
          {"replace_existing_target_genes", false}}},
        {"param_patch", {{"set", {{"a", 1}}}, {"unset", json::array()}}},
        {"notes", ""}}},
      {prompts::prev_tx_selection_schema_dict(),
       {{"user_request",
         {{"rerun_with_changes", false},
          {"render_plot", true},
          {"render_table", false},
          {"render_code", false},
          {"render_args", false},
          {"explain", false},
          {"explain_more_detail", false},
          {"save", false}}},
        {"selected_tx_id", "0"},
        {"confidence", 0.5},
        {"need_new_compute", false}}},
      {prompts::pathway_resolver_schema_min(),
       {{"kind", "pathway_resolver"},
        {"query_raw", "x"},
        {"selected_pathway", "y"},
        {"confidence", 1},
        {"needs_clarification", false},
        {"clarifying_question", ""}}}};
  for (int i = 0; i < 400; ++i) {
    const auto& [schema, base] = bases[i % bases.size()];
    json inst = base;
    const int edits = i % 3;
    for (int e = 0; e < edits; ++e) {
      auto it = inst.begin();
      std::advance(it, rng() % inst.size());
      json& target =
          (it.value().is_object() && !it.value().empty() && rng() % 2)
              ? it.value()[std::next(it.value().begin(), rng() % it.value().size()).key()]
              : it.value();
      if (rng() % 5 == 0) {
        inst.erase(it.key());
        break;
      }
      target = odd[rng() % odd.size()];
    }
    if (i % 17 == 0) inst["extra_key"] = 1;
    bool ok = true;
    try {
      jsonschema_validate(inst, schema);
    } catch (const ValidationError&) {
      ok = false;
    }
    ours.push_back(ok);
    cases.push_back({schema, inst});
  }
  testing::TempDir dir;
  testing::write_file(dir / "cases.json", dump_json(cases));
  auto r = testing::run_oracle_python(
      "import json, sys, jsonschema\n"
      "for schema, inst in json.load(open(sys.argv[1])):\n"
      "    print(int(jsonschema.Draft7Validator(schema).is_valid(inst)))\n",
      testing::shell_quote((dir / "cases.json").string()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::istringstream lines(r.out);
  std::string line;
  size_t i = 0, valid = 0;
  while (std::getline(lines, line)) {
    ASSERT_LT(i, ours.size());
    EXPECT_EQ(line == "1", ours[i]) << dump_json(cases[i][1]);
    valid += ours[i];
    ++i;
  }
  EXPECT_EQ(i, ours.size());
  EXPECT_GT(valid, 50u);
  EXPECT_LT(valid, ours.size() - 50);
}

}  // namespace
}  // namespace norvex
