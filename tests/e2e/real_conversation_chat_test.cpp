// A ten-turn conversation in Korean and English over a file shaped like real upstream data
// (PBMC cell types whose names hold "/", raw beside a scaled X, a gene the data lacks): each
// follow-up does what the researcher meant, and saving names the result asked for.
#include <gtest/gtest.h>

#include "support/fixtures.hpp"
#include "support/real_shaped_dataset.hpp"
#include "support/stub_model_server.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

using namespace norvex::testing;

const char* kViolin = "plot_violin_for_gene_expression_with_signif_difference";

json user_request(const json& over) {
  json r = {{"rerun_with_changes", false},  {"render_plot", false}, {"render_table", false},
            {"render_code", false},         {"render_args", false}, {"explain", false},
            {"explain_more_detail", false}, {"save", false}};
  for (auto it = over.begin(); it != over.end(); ++it) r[it.key()] = it.value();
  return r;
}

json selection(const json& id, const json& request, bool compute = false) {
  return {{"user_request", user_request(request)},
          {"selected_tx_id", id},
          {"confidence", 0.8},
          {"need_new_compute", compute},
          {"user_warning", ""}};
}

json patch(const json& add, const json& set = json::object()) {
  return {{"needs_rerun", true},
          {"gene_patch", {{"add", add}, {"remove", json::array()}, {"replace_all", nullptr}}},
          {"pathway_request",
           {{"requested", false},
            {"pathway_phrase", nullptr},
            {"replace_existing_target_genes", false}}},
          {"param_patch", {{"set", set}, {"unset", json::array()}}},
          {"notes", ""}};
}

// The text of every request the stub received whose input mentions `marker`.
std::vector<std::string> requests_with(const StubModelServer& stub, const std::string& marker) {
  std::vector<std::string> out;
  for (const auto& r : stub.requests())
    if (r.body.find(marker) != std::string::npos) out.push_back(r.body);
  return out;
}

TEST(RealShapedConversation, TenTurnsDoWhatTheResearcherMeant) {
  std::string why;
  const auto data = real_shaped_dataset(&why);
  if (data.empty()) GTEST_SKIP() << why;
  TempDir dir;
  StubModelServer stub;
  auto say = [&](const json& v) { stub.enqueue_openai_text(dump_json(v), 100, 20, 120); };
  auto text = [&](const std::string& t) { stub.enqueue_openai_text(t, 100, 20, 120); };
  const json violin_again = {{"reference_plot_type", "violin"}};
  const json two_types = {"CD8+ Cytotoxic T", "CD14+ Monocyte"};
  const json t_cells = {"CD8+ Cytotoxic T", "CD4+/CD45RA+/CD25- Naive T"};

  // 1. A fresh UMAP, in English.
  say(router_record({{"plot", true}}, {{"selected_tool", "plot_umap"},
                                       {"target_analysis", "umap"},
                                       {"plot_type_to_draw", "umap"}}));
  say(json{{"plot_cfg", {{"color_by", "celltype_major"}}}});
  // 2. A violin plot in Korean, with its table.
  say(router_record({{"plot", true}, {"table_summary", true}},
                    {{"selected_tool", kViolin}, {"plot_type_to_draw", "violin"}}));
  say(json{{"target_genes", {"CD3E", "LYZ"}}, {"obs_filter", {{"celltypes", two_types}}}});
  // 3. "Show that again": the violin, not recomputed.
  say(router_record({{"recurrent_query", true}, {"plot", true}}, violin_again));
  say(selection("0", {{"render_plot", true}}));
  // 4. Add a gene the data lacks: the earlier genes stay, the missing one is named.
  say(router_record({{"recurrent_query", true}, {"plot", true}}, violin_again));
  say(selection("0", {{"render_plot", true}, {"rerun_with_changes", true}}, true));
  say(patch({"CD274"}));
  say(json::object());
  // 5. The same for T cells instead: the rerun's figure is shown.
  say(router_record({{"recurrent_query", true}, {"plot", true}}, violin_again));
  say(selection("0", {{"render_plot", true}, {"render_table", true}, {"rerun_with_changes", true}},
                true));
  say(patch(json::array(), {{"obs_filter", {{"celltypes", t_cells}}}}));
  say(json::object());
  // 6. Explain that, in Korean.
  say(router_record({{"recurrent_query", true}, {"explain_data", true}}, violin_again));
  say(selection("0", {{"explain", true}}));
  text("## 요약\nT 세포에서 **CD3E**가 높고 LYZ는 낮습니다.");
  // 7. Save the UMAP one: the selector finds it although the violin is newer.
  say(router_record({{"recurrent_query", true}, {"save", true}},
                    {{"reference_plot_type", "umap"}}));
  say(selection("1", {{"save", true}}));
  text("The UMAP separates the PBMC cell types.");

  const std::string input =
      "Show the UMAP coloured by cell type\n"
      "CD8+ Cytotoxic T와 CD14+ Monocyte에서 CD3E와 LYZ 발현을 violin plot으로 비교해줘\n"
      "show that again\n"
      "CD274도 추가해줘\n"
      "for T cells instead\n"
      "그 결과를 설명해줘\n"
      "save the UMAP one\n"
      ":saved\n:history\n:report\n";
  CommandResult r =
      run_command(shell_quote(norvex_binary().string()) + " chat --data " +
                      shell_quote(data.string()) + " --base-url " + shell_quote(stub.base_url()) +
                      " --api-key sk-x --out " + shell_quote((dir / "s").string()),
                  input, 300);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(stub.pending(StubProvider::OpenAI), 0u) << r.out;
  const std::string& out = r.out;
  EXPECT_EQ(out.find("❌"), std::string::npos) << out;
  EXPECT_EQ(count_occurrences(out, "🖼️ image "), 5u) << out;
  EXPECT_EQ(count_occurrences(out, "🔁 RERUN: " + std::string(kViolin) + "\n"), 2u);
  // "Show that again" showed the stored figure: nothing was planned for it.
  const size_t second = out.find("🖼️ image 2 ");
  const std::string third = out.substr(second, out.find("🖼️ image 3 ") - second);
  EXPECT_EQ(third.find("Constructing parameters"), std::string::npos) << third;

  // Both reruns started from the violin's own question and arguments.
  const auto reruns = requests_with(stub, "BASE_ARGUMENTS");
  ASSERT_EQ(reruns.size(), 2u);
  for (const auto& body : reruns) {
    EXPECT_NE(body.find("발현을 violin plot으로 비교해줘"), std::string::npos);
    EXPECT_NE(body.find("LYZ"), std::string::npos);
  }
  EXPECT_NE(reruns[1].find("CD274"), std::string::npos);

  // The added gene the data lacks is named with close matches; the earlier genes stay, and
  // the T-cell rerun is shown with its table (no "no previous" warning).
  EXPECT_EQ(count_occurrences(out, "left out: 'CD274' (close: CD2, CD27, CD74)"), 2u);
  EXPECT_EQ(out.find("No previous tx exists"), std::string::npos) << out;
  const size_t fifth = out.find("🔁 RERUN", out.find("🔁 RERUN") + 1);
  const std::string t_table = out.substr(fifth, out.find("🖼️ image 5 ") - fifth);
  EXPECT_NE(t_table.find("| CD3E | CD4+/CD45RA+/CD25- Naive T |"), std::string::npos) << t_table;
  EXPECT_NE(t_table.find("| LYZ | CD8+ Cytotoxic T |"), std::string::npos);
  EXPECT_EQ(t_table.find("CD14+ Monocyte"), std::string::npos);

  // "Save the UMAP one" saved the UMAP although the violin is newer.
  EXPECT_EQ(
      count_occurrences(
          out,
          "ℹ️ INFO: saved queries\n   1: plot_umap, Show the UMAP coloured by cell type .. \n"),
      2u)
      << out;
  EXPECT_NE(out.find("   2: plot_umap, Show the UMAP coloured by cell type .. (explained)\n"),
            std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir / "s" / "norvex_report.docx"));
}

}  // namespace
}  // namespace norvex
