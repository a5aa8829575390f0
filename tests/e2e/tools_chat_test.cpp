// A chat session over a demo dataset in which one question goes to each built-in tool:
// figure, table with its Excel link, reproduction code and explanation with its Word link.
#include <gtest/gtest.h>

#include "support/fixtures.hpp"
#include "support/stub_model_server.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

using namespace norvex::testing;

json route_to(const std::string& tool) {
  return router_record({{"plot", true},
                        {"table_summary", true},
                        {"explain_data", true},
                        {"args", true},
                        {"code", true}},
                       {{"selected_tool", tool}, {"target_celltype", "CD8 T cell"}}, 9);
}

TEST(ToolsChat, EachToolAnswersWithFigureTableCodeAndExplanation) {
  TempDir dir;
  CommandResult gen =
      run_command(shell_quote(norvex_binary().string()) + " demo-data --cells 800 " +
                  shell_quote((dir / "demo.h5ad").string()));
  ASSERT_EQ(gen.exit_code, 0) << gen.err;

  StubModelServer stub;
  const std::vector<std::pair<std::string, std::string>> plans = {
      {"plot_umap", R"({"plot_cfg": {"color_by": "celltype_minor"}})"},
      {"plot_celltype_population", R"({"compute_cfg": {"group_by": "condition"}})"},
      {"plot_degs_gene_ranking",
       R"({"compute_cfg": {"celltype": "CD8 T cell", "comparison": "Primary"}})"}};
  for (auto& [tool, plan] : plans) {
    stub.enqueue_openai_text(dump_json(route_to(tool)), 10, 5, 15);
    stub.enqueue_openai_text(plan, 10, 5, 15);
    stub.enqueue_openai_text("## Findings for " + tool + "\nClear clusters.", 10, 5, 15);
  }
  const std::string cmd = shell_quote(norvex_binary().string()) + " chat --data " +
                          shell_quote((dir / "demo.h5ad").string()) + " --base-url " +
                          shell_quote(stub.base_url()) + " --api-key sk-x --out " +
                          shell_quote((dir / "s").string());
  CommandResult r = run_command(cmd,
                                "UMAP by cell type\nCell-type proportions per condition\n"
                                "CD8 T cell DEGs in Primary\n",
                                180);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(count_occurrences(r.out, "🛠️ Generating plots .. done ("), 3u) << r.out;
  EXPECT_EQ(stub.request_count(), 9u);

  const std::string t = read_file(dir / "s" / "transcript.html");
  for (auto& [tool, plan] : plans) {
    EXPECT_NE(t.find("Findings for " + tool), std::string::npos) << tool;
    EXPECT_NE(t.find("norvex.functions_and_maps." + tool + "("), std::string::npos) << tool;
  }
  EXPECT_GE(count_occurrences(t, "data:image/png;base64,"), 3u);
  EXPECT_GE(count_occurrences(t, ".xlsx"), 3u);
  EXPECT_GE(count_occurrences(t, ".docx"), 3u);
  EXPECT_EQ(t.find("Traceback"), std::string::npos);
}

}  // namespace
}  // namespace norvex
