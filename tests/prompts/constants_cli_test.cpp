#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "norvex/prompts/constants.hpp"
#include "norvex/prompts/resources.hpp"
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
  for (const auto& c : prompts::module_constants()) expected += c.name + "\n";
  EXPECT_EQ(run_constants(""), expected);
  EXPECT_EQ(prompts::module_constants().size(), 13u);
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
  EXPECT_EQ(prompts::router_schema()["required"].size(), 11u);
  EXPECT_EQ(prompts::router_schema()["properties"]["flags"]["properties"].size(), 12u);
  EXPECT_EQ(prompts::router_schema()["properties"]["plot_type"]["enum"][13], "table");
  EXPECT_EQ(prompts::router_schema()["properties"]["plot_type_to_draw"]["enum"][13], "sankey");
}

// The exact bytes `norvex constants NAME` prints, as `norvex constants NAME | sha256sum`
// and `| wc -c` give them. A change here is a change to what the models are sent: update
// the digests only for an intended edit of a text or schema.
TEST(ConstantsCliTest, EveryConstantKeepsItsExactBytes) {
  struct Expect {
    const char* name;
    size_t bytes;
    const char* sha256;
  };
  const std::vector<Expect> expectations = {
      {"ROUTER_PROMPT_260211", 9335,
       "87daafffed37d954b87e23e122f02d6c40aeb6806fc07d4dad494e73c902e7d0"},
      {"ROUTER_PROMPT", 7539, "e6505ac8a9a6ac353c7d9ad26ce511c21b24a06c6a21f499fd9d6f67cc297a8e"},
      {"ROUTER_SCHEMA", 5309, "47cc3e981bae34f85d30b922789089da3eb25f6be532646033f14c2caaa8c35c"},
      {"FUNC_ARGS_FETCH_PROMPT", 1847,
       "96e71e3638da562c0145d1d7f7c1aa20e9403df7e7129282613d1f1aff4f5b75"},
      {"EXPLAIN_RESULT_PROMPT", 2292,
       "45b7aefb6b16af58d000edb4829ea9ef87e5d6a7acb80119d0790cb5a6bba18d"},
      {"EXPLAIN_GENERAL_PROMPT", 1719,
       "a12482b40866a0e75c6a1793267cc423fcb7d5391843c2d4386209f22458f877"},
      {"PATHWAY_RESOLVER_SCHEMA_MIN", 600,
       "c0a6fb2fb61b792053bb244e58527eff320c08647dfce554854eeb431dcf26d4"},
      {"PATHWAY_RESOLVER_PROMPT_MIN", 684,
       "d38442f10c4c0aba45e2933ad53b7717511a49d154fa109b9c7ac2b6c38adb4c"},
      {"EXTRA_CONTEXT_FOR_TARGET_GENES", 357,
       "9456abb48f89c2aa18a823c87c2e6f2c9166df7870ecd424d7c986fe10e5f355"},
      {"PREV_TX_SELECTION_SCHEMA_DICT", 1416,
       "bfe0047089635d3cf85873a5c7bac493d78e0f2822492e018a8f8856ce8363b2"},
      {"PREV_TX_SELECTION_PROMPT", 5452,
       "6a912009d8d49596b8b1db018ab447f76d19a9a9a322a35791c592ee74300736"},
      {"PATCH_SCHEMA", 1782, "92a579ca19fddcba7cbe9241bc606cb460ca36f0b8c6db54073d52fdecf71d05"},
      {"PATCH_PROMPT", 907, "2bfcd5bf71d93bbada1f634931fc1a5cfb6d07dd3e8c8d99d4c3df9891b31f59"},
  };
  ASSERT_EQ(expectations.size(), prompts::module_constants().size());
  const std::string norvex = testing::shell_quote(testing::norvex_binary().string());
  for (size_t i = 0; i < expectations.size(); ++i) {
    const Expect& e = expectations[i];
    SCOPED_TRACE(e.name);
    EXPECT_EQ(prompts::module_constants()[i].name, e.name);
    EXPECT_EQ(run_constants(e.name).size(), e.bytes);
    auto r = testing::run_command(norvex + " constants " + e.name + " | sha256sum");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 64), e.sha256);
  }
}

// The program carries the texts and schemas as they are in the source tree: every file,
// byte for byte (a stale build or an embedding step that mangles a byte shows here).
TEST(ConstantsCliTest, EmbeddedResourcesEqualTheirFiles) {
  namespace fs = std::filesystem;
  const fs::path dir = testing::source_dir() / "src" / "norvex" / "prompts";
  std::set<std::string> on_disk;
  for (const auto& [sub, ext] : {std::pair{"texts", ".txt"}, std::pair{"schemas", ".json"}}) {
    for (const auto& entry : fs::directory_iterator(dir / sub)) {
      if (entry.path().extension() == ext)
        on_disk.insert(std::string(sub) + "/" + entry.path().filename().string());
    }
  }
  std::set<std::string> embedded;
  for (const auto& r : prompts::embedded_resources()) {
    SCOPED_TRACE(std::string(r.path));
    embedded.insert(std::string(r.path));
    EXPECT_EQ(r.bytes, testing::read_file(dir / r.path));
  }
  EXPECT_EQ(embedded, on_disk);
  EXPECT_EQ(embedded.size(), prompts::module_constants().size());
}

}  // namespace
}  // namespace norvex
