// A ten-turn conversation in Korean and English over the demonstration dataset, as a
// researcher holds it: a question, follow-ups that reuse, explain and change the result,
// a pathway's genes, misses the assistant must say so about, saving and the report.
#include <gtest/gtest.h>

#include "support/fixtures.hpp"
#include "support/stub_model_server.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

using namespace norvex::testing;

json user_request(const json& over) {
  json r = {{"rerun_with_changes", false},  {"render_plot", false}, {"render_table", false},
            {"render_code", false},         {"render_args", false}, {"explain", false},
            {"explain_more_detail", false}, {"save", false}};
  for (auto it = over.begin(); it != over.end(); ++it) r[it.key()] = it.value();
  return r;
}

json selection(const json& id, const json& request, bool compute = false,
               const std::string& warning = "") {
  return {{"user_request", user_request(request)},
          {"selected_tx_id", id},
          {"confidence", 0.8},
          {"need_new_compute", compute},
          {"user_warning", warning}};
}

json patch(const json& add, const json& pathway = nullptr, bool replace = false) {
  return {{"needs_rerun", true},
          {"gene_patch", {{"add", add}, {"remove", json::array()}, {"replace_all", nullptr}}},
          {"pathway_request",
           {{"requested", !pathway.is_null()},
            {"pathway_phrase", pathway},
            {"replace_existing_target_genes", replace}}},
          {"param_patch", {{"set", json::object()}, {"unset", json::array()}}},
          {"notes", ""}};
}

TEST(ConversationChat, TenTurnsInKoreanAndEnglish) {
  TempDir dir;
  CommandResult gen =
      run_command(shell_quote(norvex_binary().string()) + " demo-data --cells 500 " +
                  shell_quote((dir / "demo.h5ad").string()));
  ASSERT_EQ(gen.exit_code, 0) << gen.err;
  StubModelServer stub;
  auto say = [&](const json& v) { stub.enqueue_openai_text(dump_json(v), 100, 20, 120); };
  auto text = [&](const std::string& t) { stub.enqueue_openai_text(t, 100, 20, 120); };
  const json deg = {{"selected_tool", "plot_degs_gene_ranking"},
                    {"target_analysis", "deg"},
                    {"target_celltype", "CD8 T cell"},
                    {"plot_type_to_draw", "degs_gene_ranking"}};
  const json again = {{"reference_plot_type", "degs_gene_ranking"},
                      {"target_celltype", "CD8 T cell"}};

  // 1. A fresh question in Korean: ranking, table and explanation.
  say(router_record({{"plot", true}, {"table_summary", true}, {"explain_data", true}}, deg));
  say(json{{"compute_cfg", {{"celltype", "CD8 T cell"}, {"comparison", "Primary"}}}});
  text("## 요약\nPrimary 조건의 CD8 T 세포에서 **GZMB**가 높습니다.");
  // 2. The same plot again, in English, with its code.
  say(router_record({{"recurrent_query", true}, {"plot", true}, {"code", true}}, again));
  say(selection("0", {{"render_plot", true}, {"render_code", true}}));
  // 3. A more detailed explanation of the table, in Korean.
  say(router_record({{"recurrent_query", true}, {"explain_data", true}, {"table_summary", true}},
                    again));
  say(selection("0", {{"render_table", true}, {"explain_more_detail", true}}));
  text("### 자세한 설명\n표의 상위 유전자는 세포독성 기능과 관련됩니다.");
  // 4. Add two genes to that plot.
  say(router_record({{"recurrent_query", true}, {"plot", true}}, again));
  say(selection("0", {{"render_plot", true}, {"rerun_with_changes", true}}, true));
  say(patch({"STAT1", "IFI6"}));
  say(json::object());
  // 5. The immune-checkpoint genes instead, in Korean.
  say(router_record({{"recurrent_query", true}, {"plot", true}}, again));
  say(selection("0", {{"render_plot", true}, {"rerun_with_changes", true}}, true));
  say(patch(json::array(), "immune checkpoint", true));
  say(json{{"kind", "pathway_resolver"},
           {"query_raw", "immune checkpoint"},
           {"selected_pathway", "Immune checkpoint"},
           {"confidence", 0.9},
           {"needs_clarification", false},
           {"clarifying_question", ""}});
  say(json::object());
  // 6. A new question: the UMAP.
  say(router_record({{"plot", true}}, {{"selected_tool", "plot_umap"},
                                       {"target_analysis", "umap"},
                                       {"plot_type_to_draw", "umap"}}));
  say(json{{"plot_cfg", {{"color_by", "celltype_minor"}}}});
  // 7. A box plot that was never drawn.
  say(router_record({{"recurrent_query", true}, {"plot", true}}, {{"reference_plot_type", "box"}}));
  say(selection(nullptr, {{"render_plot", true}}, true,
                "이전 결과 중 요청하신 box plot에 해당하는 항목을 찾지 못했습니다. 어떤 plot인지 "
                "더 구체적으로 알려주세요."));
  // 8. The ranking for B cells, which was never made.
  say(router_record({{"recurrent_query", true}, {"plot", true}},
                    {{"reference_plot_type", "degs_gene_ranking"}, {"target_celltype", "B cell"}}));
  say(selection("1", {{"render_plot", true}}));
  // 9. Save the ranking (the router saves the most recent: the UMAP is answered first).
  say(router_record({{"recurrent_query", true}, {"plot", true}, {"save", true}}, again));
  say(selection("1", {{"render_plot", true}, {"render_args", true}}));
  text("The ranking shows immune-checkpoint genes.");
  // 10. The report.
  say(router_record({{"reportgen", true}}));

  const std::string input =
      "CD8 T cell에서 Primary 조건의 DEG 순위를 보여주고 설명해줘\n"
      "show the same plot again with the code\n"
      "그 표를 더 자세히 설명해줘\n"
      "add STAT1 and IFI6 to that plot\n"
      "면역관문 유전자로 바꿔서 다시 그려줘\n"
      "UMAP by cell type\n"
      "아까 그 box plot 다시 보여줘\n"
      "the same ranking for B cells\n"
      "save the ranking plot\n"
      "make a report\n"
      ":history\n:saved\n";
  CommandResult r = run_command(shell_quote(norvex_binary().string()) + " chat --data " +
                                    shell_quote((dir / "demo.h5ad").string()) + " --base-url " +
                                    shell_quote(stub.base_url()) + " --api-key sk-x --out " +
                                    shell_quote((dir / "s").string()),
                                input, 300);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(stub.pending(StubProvider::OpenAI), 0u);
  EXPECT_EQ(r.err, "");
  const std::string& out = r.out;
  // Six figures: the ranking, it again, two reruns, the UMAP, the saved ranking again.
  EXPECT_EQ(count_occurrences(out, "🖼️ image "), 6u) << out;
  EXPECT_EQ(count_occurrences(
                out, "🔁 RERUN: plot_degs_gene_ranking\n🛠️ Generating plots .. done ("),
            2u);
  EXPECT_EQ(count_occurrences(out, "✅ Looking up previous requests .. done ("), 7u);
  EXPECT_NE(out.find("🛠️ Selected PW: Immune checkpoint\n"), std::string::npos);
  EXPECT_NE(out.find("이전 결과 중 요청하신 box plot에 해당하는 항목을 찾지 못했습니다."),
            std::string::npos);
  EXPECT_NE(out.find("⚠️ WARNING: No previous tx exists for the celltypes, B cell\n"),
            std::string::npos);
  EXPECT_EQ(out.find("❌"), std::string::npos) << out;
  // The reruns replaced the ranking in the history; its question says what was computed:
  // the first question and the changes made to it.
  EXPECT_NE(
      out.find("ℹ️ INFO: transactions in memory, newest first\n"
               "   1: plot_degs_gene_ranking, CD8 T cell에서 Primary 조건의 DEG 순위를 보여주고 "
               "설명해줘 → add S .. (explained)\n"
               "   2: plot_umap, UMAP by cell type .. \n"),
      std::string::npos)
      << out;
  EXPECT_EQ(count_occurrences(out,
                              "ℹ️ INFO: saved queries\n   1: plot_degs_gene_ranking, CD8 T "
                              "cell에서 Primary 조건의 DEG 순위를 보여주고 설명해줘 → add S .. \n"),
            2u);
  EXPECT_TRUE(std::filesystem::exists(dir / "s" / "norvex_report.docx"));
  // The second rerun drew the pathway's genes in place of the earlier ones.
  const std::string transcript = read_file(dir / "s" / "transcript.html");
  EXPECT_NE(transcript.find("면역관문 유전자로 바꿔서 다시 그려줘"), std::string::npos);
  // The saved turn shows the arguments: the pathway genes, not the first ranking's.
  const size_t sixth = out.find("🖼️ image 6 ");
  ASSERT_NE(sixth, std::string::npos) << out;
  const std::string saved_turn = out.substr(sixth);
  EXPECT_NE(saved_turn.find("SIRPA"), std::string::npos) << saved_turn;
  EXPECT_EQ(saved_turn.find("GZMB"), std::string::npos);
}

}  // namespace
}  // namespace norvex
