// `norvex chat` commands around a conversation: the saved queries, the report, the history,
// writing the dataset with its saved store, and another session over the written file
// that sees the same saved queries and report.
#include <gtest/gtest.h>

#include "support/document_oracle.hpp"
#include "support/fixtures.hpp"
#include "support/stub_model_server.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

using namespace norvex::testing;

std::string chat_cmd(const std::filesystem::path& data, const StubModelServer& stub,
                     const std::filesystem::path& out, const std::string& extra = "") {
  return shell_quote(norvex_binary().string()) + " chat --data " + shell_quote(data.string()) +
         " --base-url " + shell_quote(stub.base_url()) + " --api-key sk-x --out " +
         shell_quote(out.string()) + extra;
}

// The lines of `text` from the last one starting with `from` up to the next line that does not
// start with three blanks (a listing).
std::string listing(const std::string& text, const std::string& from) {
  size_t at = text.rfind(from);
  if (at == std::string::npos) return "";
  size_t end = text.find('\n', at);
  while (end != std::string::npos && text.compare(end + 1, 3, "   ") == 0)
    end = text.find('\n', end + 1);
  return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The report's section titles and texts as python-docx reads them.
json report_text(const std::filesystem::path& docx) {
  const char* script = R"PY(
import sys, json, docx
d = docx.Document(sys.argv[1])
print(json.dumps([p.text for p in d.paragraphs if p.text.strip()], ensure_ascii=False))
)PY";
  return oracle_json(script, read_file(docx), ".docx");
}

TEST(ChatCommands, SaveWriteReopenAndReport) {
  TempDir dir;
  CommandResult gen =
      run_command(shell_quote(norvex_binary().string()) + " demo-data --cells 500 " +
                  shell_quote((dir / "demo.h5ad").string()));
  ASSERT_EQ(gen.exit_code, 0) << gen.err;

  StubModelServer stub;
  const std::vector<std::tuple<std::string, std::string, std::string>> turns = {
      {"plot_umap", R"({"plot_cfg": {"color_by": "celltype_minor"}})",
       "UMAP 설명: 세포가 잘 나뉩니다."},
      {"plot_celltype_population", R"({"compute_cfg": {"group_by": "condition"}})",
       "Proportions differ by condition."}};
  for (auto& [tool, plan, explanation] : turns) {
    stub.enqueue_openai_text(dump_json(router_record(
        {{"plot", true}, {"explain_data", true}, {"save", true}}, {{"selected_tool", tool}})));
    stub.enqueue_openai_text(plan);
    stub.enqueue_openai_text(explanation);
  }
  const auto written = dir / "written.h5ad";
  const auto on_exit = dir / "on_exit.h5ad";
  CommandResult r =
      run_command(chat_cmd(dir / "demo.h5ad", stub, dir / "s1",
                           " --save-on-exit " + shell_quote(on_exit.string())),
                  "UMAP을 그리고 저장해줘\nCell-type proportions by condition, save it\n"
                  ":history\n:saved\n:write " +
                      written.string() + "\n:write " + (dir / "demo.h5ad").string() +
                      "\n:bogus\n:help\n:report\n:quit\nnever asked\n",
                  240);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(stub.request_count(), 6u) << r.out;  // nothing after :quit is asked

  EXPECT_NE(r.out.find("ℹ️ INFO: transactions in memory, newest first\n"
                       "   0: plot_celltype_population, Cell-type proportions by condition, save "
                       "it .. (explained)\n"
                       "   1: plot_umap, UMAP을 그리고 저장해줘 .. (explained)\n"),
            std::string::npos)
      << r.out;
  const std::string saved = listing(r.out, "ℹ️ INFO: saved queries");
  EXPECT_EQ(saved,
            "ℹ️ INFO: saved queries\n"
            "   1: plot_umap, UMAP을 그리고 저장해줘 .. \n"
            "   2: plot_celltype_population, Cell-type proportions by condition, save it .. ");
  EXPECT_NE(r.out.find("ℹ️ INFO: Wrote " + written.string() + " (2 saved queries)."),
            std::string::npos);
  EXPECT_NE(r.out.find("❌ ERROR: " + (dir / "demo.h5ad").string() +
                       " is the dataset this session was opened from; add --force to overwrite "
                       "it."),
            std::string::npos);
  EXPECT_NE(r.out.find("❌ ERROR: Unknown command :bogus. Commands: :saved, :report, :write "
                       "FILE.h5ad [--force], :history, :index, :help, :quit"),
            std::string::npos);
  EXPECT_NE(r.out.find("   :write FILE.h5ad [--force]"), std::string::npos);
  EXPECT_NE(r.out.find("ℹ️ INFO: Wrote " + on_exit.string() + " (2 saved queries)."),
            std::string::npos);
  ASSERT_TRUE(std::filesystem::exists(dir / "s1" / "norvex_report.docx"));
  for (auto& e : std::filesystem::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename().string().rfind(".norvex-write-", 0), std::string::npos);

  // Another session over the written file: the same saved queries and the same report.
  CommandResult r2 = run_command(chat_cmd(written, stub, dir / "s2"), ":saved\n:report\n", 120);
  ASSERT_EQ(r2.exit_code, 0) << r2.out << r2.err;
  EXPECT_EQ(listing(r2.out, "ℹ️ INFO: saved queries"), saved);
  REQUIRE_ORACLE();
  json first = report_text(dir / "s1" / "norvex_report.docx");
  EXPECT_EQ(report_text(dir / "s2" / "norvex_report.docx"), first);
  EXPECT_NE(dump_json(first).find("UMAP 설명: 세포가 잘 나뉩니다."), std::string::npos) << first;
  EXPECT_NE(dump_json(first).find("Section 2"), std::string::npos) << first;

  // anndata reads the saved store of both files.
  const char* script = R"PY(
import sys, anndata
for f in sys.argv[1:]:
    tx = anndata.read_h5ad(f).uns["norvex_tx"]
    print(list(tx.keys()), [t["plot_func"] for t in tx.values()], tx["UMAP을 그리고 저장해줘"]["explanation"])
)PY";
  CommandResult py = run_oracle_python(
      script, shell_quote(written.string()) + " " + shell_quote(on_exit.string()));
  ASSERT_EQ(py.exit_code, 0) << py.err;
  const std::string line =
      "['UMAP을 그리고 저장해줘', 'Cell-type proportions by condition, save it'] "
      "['plot_umap', 'plot_celltype_population'] UMAP 설명: 세포가 잘 나뉩니다.\n";
  EXPECT_EQ(py.out, line + line);
}

TEST(ChatCommands, SaveOnExitRefusesTheSourceFile) {
  TempDir dir;
  CommandResult gen =
      run_command(shell_quote(norvex_binary().string()) + " demo-data --cells 500 " +
                  shell_quote((dir / "d.h5ad").string()));
  ASSERT_EQ(gen.exit_code, 0) << gen.err;
  StubModelServer stub;
  CommandResult r =
      run_command(chat_cmd(dir / "d.h5ad", stub, dir / "s",
                           " --save-on-exit " + shell_quote((dir / "d.h5ad").string())),
                  ":saved\n", 60);
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("is the dataset this session reads"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace norvex
