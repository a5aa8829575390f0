// Korean questions about marker genes routed to plot_markers_and_expression_dot through
// `norvex chat` against the stub model service: found markers, then named genes as a dot
// plot, each with figure, tables and their Excel link, code and explanation.
#include <gtest/gtest.h>

#include "support/fixtures.hpp"
#include "support/stub_model_server.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

using namespace norvex::testing;

TEST(MarkersChat, KoreanMarkerQuestionsGiveDotPlotsWithTablesCodeAndExplanation) {
  TempDir dir;
  CommandResult gen =
      run_command(shell_quote(norvex_binary().string()) + " demo-data --cells 800 " +
                  shell_quote((dir / "demo.h5ad").string()));
  ASSERT_EQ(gen.exit_code, 0) << gen.err;

  StubModelServer stub;
  const json route = router_record({{"plot", true},
                                    {"table_summary", true},
                                    {"explain_data", true},
                                    {"args", true},
                                    {"code", true}},
                                   {{"selected_tool", "plot_markers_and_expression_dot"}}, 9);
  const std::vector<std::string> plans = {
      R"({"find_cfg": {"celltype_col": "celltype_major", "n_top": 3}})",
      R"({"target_genes": ["CD3E", "MS4A1", "LYZ"], "find_cfg": {"celltype_col": "celltype_minor"}})"};
  for (size_t i = 0; i < plans.size(); ++i) {
    stub.enqueue_openai_text(dump_json(route), 10, 5, 15);
    stub.enqueue_openai_text(plans[i], 10, 5, 15);
    stub.enqueue_openai_text(
        "## 마커 해석 " + std::to_string(i + 1) + "\nT 세포는 CD3E로 구분됩니다.", 10, 5, 15);
  }
  const std::string cmd = shell_quote(norvex_binary().string()) + " chat --data " +
                          shell_quote((dir / "demo.h5ad").string()) + " --base-url " +
                          shell_quote(stub.base_url()) + " --api-key sk-x --out " +
                          shell_quote((dir / "s").string());
  CommandResult r = run_command(cmd,
                                "각 세포 유형을 구분하는 마커 유전자를 찾아서 보여줘\n"
                                "CD3E, MS4A1, LYZ 발현을 세포 유형별 도트 플롯으로 그려줘\n",
                                180);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(count_occurrences(r.out, "🛠️ Generating plots .. done ("), 2u) << r.out;
  EXPECT_EQ(stub.request_count(), 6u);

  const std::string t = read_file(dir / "s" / "transcript.html");
  EXPECT_NE(t.find("마커 해석 1"), std::string::npos);
  EXPECT_NE(t.find("마커 해석 2"), std::string::npos);
  EXPECT_EQ(count_occurrences(t, "norvex.functions_and_maps.plot_markers_and_expression_dot("), 2u);
  EXPECT_GE(count_occurrences(t, "data:image/png;base64,"), 2u);
  // Both tables of each answer are shown: the markers with their statistics, the dots.
  EXPECT_GE(count_occurrences(t, "pvals_adj"), 2u);
  EXPECT_GE(count_occurrences(t, "fraction_expressing"), 2u);
  EXPECT_GE(count_occurrences(t, ".xlsx"), 2u);
  EXPECT_GE(count_occurrences(t, ".docx"), 2u);
  EXPECT_EQ(t.find("Traceback"), std::string::npos);
  EXPECT_EQ(t.find("not available yet"), std::string::npos);
}

}  // namespace
}  // namespace norvex
