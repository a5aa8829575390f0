#include <gtest/gtest.h>

#include "norvex/prompts/constants.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

std::string run_constants(const std::string& name) {
  auto r = testing::run_command(testing::shell_quote(testing::norvex_binary().string()) +
                                " constants " + name);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return r.out;
}

TEST(ConstantsCliTest, ListsEveryNameInSourceOrder) {
  std::string expected;
  for (const auto& c : module_constants()) expected += c.name + "\n";
  EXPECT_EQ(run_constants(""), expected);
  EXPECT_EQ(module_constants().size(), 13u);
  auto r = testing::run_command(testing::shell_quote(testing::norvex_binary().string()) +
                                " constants NO_SUCH");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("NO_SUCH"), std::string::npos);
}

TEST(ConstantsCliTest, TextsKeepTheirEdgesAndTrailingBlanks) {
  struct Expect {
    const char* name;
    bool newline_edges;
    std::vector<std::string> lines;  // distinctive lines, exactly (trailing blanks included)
  };
  const std::vector<Expect> expectations = {
      {"ROUTER_PROMPT",
       true,
       {"You are the NORVEX Strategic Router.",
        "population → cell proportion, composition, 세포비율, 세포구성  ",
        "go → GO, go, gene ontology, GSA, gsa ",
        "  Dataset Summary / Available Functions / Capabilities / Example Questions"}},
      {"ROUTER_PROMPT_260211",
       true,
       {"Safety constraint:", "Visualization priority rule (STRICT):"}},
      {"FUNC_ARGS_FETCH_PROMPT",
       true,
       {"{function_definition}", "- No prefixes in `target_genes`"}},
      {"EXPLAIN_RESULT_PROMPT",
       true,
       {"## Analysis Overview ",
        "     PubMed search links or major review journals for methods or clinical implication ",
        "## Clinical Implications"}},
      {"EXPLAIN_GENERAL_PROMPT",
       true,
       {"4. References with Verified Links: ", "- User Query: {user_query}"}},
      {"PATHWAY_RESOLVER_PROMPT_MIN",
       false,
       {"You are a strict Pathway Name Resolver.", "{candidate_pathways_json}"}},
      {"EXTRA_CONTEXT_FOR_TARGET_GENES",
       true,
       {"[RESOLVED_PATHWAY_CONTEXT]", "  {selected_genes}"}},
      {"PREV_TX_SELECTION_PROMPT",
       true,
       {"You are a NORVEX transaction selector.", "JSON Schema:", "{schema_text}"}},
      {"PATCH_PROMPT",
       true,
       {"You are NORVEX Rerun Patch Extractor.",
        "Return ONLY valid JSON matching the schema. No markdown. No extra keys."}},
  };
  for (const auto& e : expectations) {
    SCOPED_TRACE(e.name);
    const std::string text = run_constants(e.name);
    ASSERT_FALSE(text.empty());
    if (e.newline_edges) {
      EXPECT_EQ(text.front(), '\n');
      EXPECT_NE(text[1], '\n');
      EXPECT_EQ(text.back(), '\n');
      EXPECT_NE(text[text.size() - 2], '\n');
    } else {
      EXPECT_FALSE(std::isspace(static_cast<unsigned char>(text.front())));
      EXPECT_FALSE(std::isspace(static_cast<unsigned char>(text.back())));
    }
    for (const auto& line : e.lines) {
      EXPECT_NE(("\n" + text + "\n").find("\n" + line + "\n"), std::string::npos) << line;
    }
  }
  // Only the lines meant to end in a blank do.
  size_t trailing = 0;
  const std::string router = run_constants("ROUTER_PROMPT");
  for (size_t p = router.find(" \n"); p != std::string::npos; p = router.find(" \n", p + 1))
    ++trailing;
  EXPECT_EQ(trailing, 6u);
}

TEST(ConstantsCliTest, SchemasAreValidDraft7AndPrintedIndented) {
  if (!testing::oracle_python_available())
    GTEST_SKIP() << "Debian's /usr/bin/python3 is not available";
  for (const char* name : {"ROUTER_SCHEMA", "PATHWAY_RESOLVER_SCHEMA_MIN",
                           "PREV_TX_SELECTION_SCHEMA_DICT", "PATCH_SCHEMA"}) {
    SCOPED_TRACE(name);
    const std::string out = run_constants(name);
    EXPECT_EQ(out.rfind("{\n  \"type\": \"object\",\n  \"properties\": {\n", 0), 0u);
    testing::TempDir dir;
    testing::write_file(dir / "s.json", out);
    auto r = testing::run_oracle_python(
        "import json, sys, jsonschema\n"
        "s = json.load(open(sys.argv[1]))\n"
        "jsonschema.Draft7Validator.check_schema(s)\n"
        "print(len(s['properties']), len(s['required']))\n",
        testing::shell_quote((dir / "s.json").string()));
    EXPECT_EQ(r.exit_code, 0) << r.err;
  }
  const std::string router = run_constants("ROUTER_SCHEMA");
  EXPECT_NE(router.find("분석하려는 세포 타입"), std::string::npos);  // not \u-escaped
  EXPECT_EQ(ROUTER_SCHEMA()["required"].size(), 11u);
  EXPECT_EQ(ROUTER_SCHEMA()["properties"]["flags"]["properties"].size(), 12u);
  EXPECT_EQ(ROUTER_SCHEMA()["properties"]["plot_type"]["enum"][13], "table");
  EXPECT_EQ(ROUTER_SCHEMA()["properties"]["plot_type_to_draw"]["enum"][13], "sankey");
}

}  // namespace
}  // namespace norvex
