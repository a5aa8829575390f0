// A Korean question that routes to the violin tool, through `norvex chat` against the stub
// model service: the figure, the comparison table with its Excel link, the reproduction
// code and the explanation.
#include <gtest/gtest.h>

#include "support/fixtures.hpp"
#include "support/stub_model_server.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

using namespace norvex::testing;

TEST(ComparisonChat, KoreanViolinQuestionGivesFigureTableCodeAndExplanation) {
  TempDir dir;
  CommandResult gen =
      run_command(shell_quote(norvex_binary().string()) + " demo-data --cells 800 " +
                  shell_quote((dir / "demo.h5ad").string()));
  ASSERT_EQ(gen.exit_code, 0) << gen.err;

  const std::string tool = "plot_violin_for_gene_expression_with_signif_difference";
  StubModelServer stub;
  stub.enqueue_openai_text(
      dump_json(router_record({{"plot", true},
                               {"table_summary", true},
                               {"explain_data", true},
                               {"args", true},
                               {"code", true}},
                              {{"selected_tool", tool}, {"target_celltype", "T cell"}}, 9)),
      10, 5, 15);
  stub.enqueue_openai_text(
      R"({"target_genes": ["CD274"], "obs_filter": {"celltypes": ["T cell"]},
          "test_cfg": {"group_by": "condition"}})",
      10, 5, 15);
  stub.enqueue_openai_text("## 결과\nCD274 발현은 종양에서 더 높습니다.", 10, 5, 15);
  const std::string cmd = shell_quote(norvex_binary().string()) + " chat --data " +
                          shell_quote((dir / "demo.h5ad").string()) + " --base-url " +
                          shell_quote(stub.base_url()) + " --api-key sk-x --out " +
                          shell_quote((dir / "s").string());
  CommandResult r = run_command(
      cmd, "T 세포에서 CD274 발현이 정상보다 종양에서 높은지 바이올린 플롯으로 보여줘\n", 180);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(count_occurrences(r.out, "🛠️ Generating plots .. done ("), 1u) << r.out;
  EXPECT_EQ(stub.request_count(), 3u);

  const std::string t = read_file(dir / "s" / "transcript.html");
  EXPECT_NE(t.find("CD274 발현은 종양에서 더 높습니다"), std::string::npos);
  EXPECT_NE(t.find("norvex.functions_and_maps." + tool + "("), std::string::npos);
  EXPECT_GE(count_occurrences(t, "data:image/png;base64,"), 1u);
  EXPECT_GE(count_occurrences(t, ".xlsx"), 1u);
  EXPECT_GE(count_occurrences(t, ".docx"), 1u);
  // The comparison table itself reaches the transcript, p-values and all.
  for (const char* col : {"group1", "group2", "pval_adj", "mannwhitneyu"})
    EXPECT_NE(t.find(col), std::string::npos) << col;
  EXPECT_EQ(t.find("Traceback"), std::string::npos);
  EXPECT_EQ(t.find("not available yet"), std::string::npos);
}

}  // namespace
}  // namespace norvex
