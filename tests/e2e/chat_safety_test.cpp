// `norvex chat` as a new user meets it: it refuses to start without a key and says how to
// give one, names the dataset, model and transcript at start, keeps every key (from any
// source) out of the terminal, the transcript, file names and documents, shows model
// and dataset text on the terminal without its escape sequences, and never loses the
// files of an earlier conversation in the same folder.
#include <gtest/gtest.h>

#include "norvex/dataset/anndata.hpp"
#include "norvex/documents/ooxml.hpp"
#include "support/fixtures.hpp"
#include "support/stub_model_server.hpp"
#include "support/test_support.hpp"
#include "support/tiny_dataset.hpp"

namespace norvex {
namespace {

using namespace norvex::testing;
namespace fs = std::filesystem;

// The program with no key in its environment, whatever the test's own environment holds.
std::string chat_command(const fs::path& data, const fs::path& out, const std::string& extra,
                         const std::string& env = "") {
  return "env -u OPENAI_API_KEY -u GEMINI_API_KEY -u GOOGLE_API_KEY " + env + " " +
         shell_quote(norvex_binary().string()) + " chat --data " + shell_quote(data.string()) +
         " --out " + shell_quote(out.string()) + " " + extra;
}

std::vector<std::string> file_names(const fs::path& dir) {
  std::vector<std::string> names;
  for (auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A question the router sends to a general explanation (no tool runs), which comes with a
// Word download named after the question.
const json kGeneralRoute = {{"selected_tool", "plot_celltype_population"},
                            {"target_celltype", "T cells"}};

// The text of every part of an Office document.
std::string document_text(const fs::path& path) {
  std::string all;
  for (auto& entry : ooxml::zip_read(read_file(path))) all += entry.data;
  return all;
}

TEST(ChatStart, WithoutAKeyItStopsBeforeAnyQuestionAndSaysHowToGiveOne) {
  TempDir dir;
  tiny_dataset()->write_h5ad(dir / "tiny.h5ad");
  for (const std::string model : {"gpt-5", "gemini-2.5-flash"}) {
    CommandResult r = run_command(chat_command(dir / "tiny.h5ad", dir / "out", "--model " + model),
                                  "what is in this dataset?\n", 60);
    EXPECT_NE(r.exit_code, 0) << model;
    for (const char* hint :
         {"No API key found", "--api-key", "OPENAI_API_KEY", "GEMINI_API_KEY", "--base-url"}) {
      EXPECT_NE(r.err.find(hint), std::string::npos) << model << ": " << hint << "\n" << r.err;
    }
    EXPECT_EQ(r.out, "") << model;          // no question was taken
    EXPECT_FALSE(fs::exists(dir / "out"));  // and nothing written
  }

  // A local OpenAI-compatible server needs no key; the start line names what was opened.
  StubModelServer stub;
  stub.enqueue_openai_text(dump_json(router_record({{"tree", true}}, json::object())), 10, 5, 15);
  CommandResult r = run_command(
      chat_command(dir / "tiny.h5ad", dir / "out", "--base-url " + shell_quote(stub.base_url())),
      "show the data structure\n", 60);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out.rfind("norvex · tiny.h5ad (4 cells × 3 genes) · model gpt-5 · transcript " +
                            (dir / "out" / "transcript.html").string() + "\n",
                        0),
            0u)
      << r.out;
  EXPECT_NE(r.out.find("AnnData object with n_obs × n_vars = 4 × 3"), std::string::npos);
  EXPECT_EQ(stub.request_count(), 1u);
}

TEST(ChatSecrets, KeysFromTheEnvironmentNeverLeakIntoOutputFileNamesOrDocuments) {
  TempDir dir;
  tiny_dataset()->write_h5ad(dir / "tiny.h5ad");
  const std::string key = "sk-env-secret-7f3a9c";
  const std::string question = "explain " + key + " versus " + key;
  StubModelServer stub;
  // Router, then the general explanation (a Word download titled and named by the question).
  stub.enqueue_openai_text(dump_json(router_record({{"explain_general", true}}, kGeneralRoute)), 10,
                           5, 15);
  stub.enqueue_openai_text("The key " + key + " appears here, and " + key + " again.", 10, 5, 15);
  CommandResult r = run_command(
      chat_command(dir / "tiny.h5ad", dir / "out", "--base-url " + shell_quote(stub.base_url()),
                   "OPENAI_API_KEY=" + key),
      question + "\n", 120);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  ASSERT_EQ(stub.request_count(), 2u) << r.out << r.err;
  EXPECT_NE(stub.requests()[0].header("authorization").find(key), std::string::npos);

  const std::string transcript = read_file(dir / "out" / "transcript.html");
  for (const std::string& text : {r.out, r.err, transcript}) {
    EXPECT_EQ(text.find(key), std::string::npos) << text.substr(0, 4000);
  }
  EXPECT_NE(r.out.find("The key [redacted] appears here, and [redacted] again."), std::string::npos)
      << r.out;
  EXPECT_NE(transcript.find("explain [redacted] versus [redacted]"), std::string::npos);
  size_t documents = 0;
  for (const std::string& name : file_names(dir / "out")) {
    EXPECT_EQ(name.find(key), std::string::npos) << name;
    if (name.size() < 5 || name.substr(name.size() - 5) != ".docx") continue;
    ++documents;
    const std::string text = document_text(dir / "out" / name);
    EXPECT_EQ(text.find(key), std::string::npos) << name;
    EXPECT_NE(text.find("[redacted] appears here, and [redacted] again."), std::string::npos)
        << name;
    // Still a Word document Word (and python-docx) opens.
    if (oracle_python_available()) {
      CommandResult py = run_oracle_python(
          "import docx, sys\n"
          "d = docx.Document(sys.argv[1])\n"
          "print('\\n'.join(p.text for p in d.paragraphs))\n",
          shell_quote((dir / "out" / name).string()));
      EXPECT_EQ(py.exit_code, 0) << py.err;
      EXPECT_NE(py.out.find("[redacted] again."), std::string::npos) << py.out;
    }
  }
  EXPECT_EQ(documents, 1u);

  // A Gemini key from GEMINI_API_KEY, twice in a question.
  StubModelServer gemini;
  gemini.enqueue_gemini_text(dump_json(router_record({{"tree", true}}, json::object())));
  CommandResult g = run_command(
      chat_command(dir / "tiny.h5ad", dir / "g",
                   "--model gemini-2.5-flash --base-url " + shell_quote(gemini.base_url()),
                   "GEMINI_API_KEY=" + key),
      "tree of " + key + " and " + key + "\n", 60);
  ASSERT_EQ(g.exit_code, 0) << g.out << g.err;
  EXPECT_EQ(gemini.request_count(), 1u);
  const std::string gt = read_file(dir / "g" / "transcript.html");
  EXPECT_NE(gt.find("tree of [redacted] and [redacted]"), std::string::npos);
  for (const std::string& text : {g.out, g.err, gt}) EXPECT_EQ(text.find(key), std::string::npos);
}

TEST(ChatSecrets, AKeyInsideAResultTableIsTakenOutOfTheWorkbook) {
  TempDir dir;
  const std::string key = "sk-table-secret-5150";
  auto ad = tiny_dataset();
  ad->obs.set("celltype_major", Column::categorical({key, "B cells", key, "Myeloid"}));
  ad->write_h5ad(dir / "tiny.h5ad");
  StubModelServer stub;
  stub.enqueue_openai_text(dump_json(router_record(
      {{"plot", true}, {"table_summary", true}},
      {{"selected_tool", "plot_celltype_population"}, {"target_celltype", "B cells"}})));
  stub.enqueue_openai_text(R"({"compute_cfg": {"group_by": "condition"}})");
  CommandResult r =
      run_command(chat_command(dir / "tiny.h5ad", dir / "out",
                               "--api-key " + key + " --base-url " + shell_quote(stub.base_url())),
                  "cell-type proportions per condition\n", 120);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  ASSERT_TRUE(fs::exists(dir / "out" / "table.xlsx")) << r.out << r.err;
  const std::string text = document_text(dir / "out" / "table.xlsx");
  EXPECT_EQ(text.find(key), std::string::npos);
  EXPECT_GE(count_occurrences(text, "[redacted]"), 1u);
  EXPECT_EQ(r.out.find(key), std::string::npos);
  if (oracle_python_available()) {
    CommandResult py = run_oracle_python(
        "import openpyxl, sys\n"
        "wb = openpyxl.load_workbook(sys.argv[1])\n"
        "print([c.value for row in wb.active.iter_rows() for c in row])\n",
        shell_quote((dir / "out" / "table.xlsx").string()));
    EXPECT_EQ(py.exit_code, 0) << py.err;
    EXPECT_NE(py.out.find("[redacted]"), std::string::npos) << py.out;
  }
}

TEST(ChatTerminal, EscapeSequencesFromTheModelAndTheDatasetAreShownInert) {
  TempDir dir;
  auto ad = tiny_dataset();
  ad->obs.set("\x1b]0;owned\x07group", Column::categorical({"a\x1b[2Jb", "c", "c", "a\x1b[2Jb"}));
  ad->write_h5ad(dir / "esc.h5ad");
  StubModelServer stub;
  stub.enqueue_openai_text(dump_json(router_record({{"tree", true}}, json::object())));
  stub.enqueue_openai_text(dump_json(
      router_record({{"info", true}},
                    {{"info_answer",
                      "Title \x1b]0;pwned\x07 then \x1b[2J\x1b[H and \x1b]8;;http://x/\x1b\\y"}})));
  CommandResult r =
      run_command(chat_command(dir / "esc.h5ad", dir / "out",
                               "--api-key sk-test --base-url " + shell_quote(stub.base_url())),
                  "show the data structure\nwhat is this?\n", 60);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(stub.request_count(), 2u);
  for (const std::string& text : {r.out, r.err}) {
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
  }
  EXPECT_NE(r.out.find("^[]0;owned^Ggroup"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Title ^[]0;pwned^G then ^[[2J^[[H"), std::string::npos) << r.out;
}

TEST(ChatFiles, ALaterConversationInTheSameFolderLosesNothing) {
  TempDir dir;
  tiny_dataset()->write_h5ad(dir / "tiny.h5ad");
  const fs::path out = dir / "out";
  auto converse = [&](const std::string& answer) {
    StubModelServer stub;
    stub.enqueue_openai_text(dump_json(router_record({{"explain_general", true}}, kGeneralRoute)),
                             10, 5, 15);
    stub.enqueue_openai_text(answer, 10, 5, 15);
    return run_command(chat_command(dir / "tiny.h5ad", out,
                                    "--api-key sk-test --base-url " + shell_quote(stub.base_url())),
                       "what is apoptosis\n", 120);
  };
  CommandResult first = converse("First answer: programmed cell death.");
  ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
  const std::string after_first = read_file(out / "transcript.html");

  // A start that fails (the dataset is missing) leaves the folder as it was.
  CommandResult failed = run_command(chat_command(dir / "missing.h5ad", out, "--api-key sk-test"),
                                     "what is apoptosis\n", 60);
  EXPECT_NE(failed.exit_code, 0);
  EXPECT_EQ(read_file(out / "transcript.html"), after_first);

  CommandResult second = converse("Second answer: caspases.");
  ASSERT_EQ(second.exit_code, 0) << second.out << second.err;
  const std::string t = read_file(out / "transcript.html");
  EXPECT_EQ(t.rfind(after_first, 0), 0u);  // the first conversation is still there, whole
  EXPECT_EQ(count_occurrences(t, "<hr class=\"session\">"), 1u);
  EXPECT_EQ(count_occurrences(t, "<h2 class=\"q\">what is apoptosis</h2>"), 2u);
  // One Word file per answer, each linked from its own conversation.
  EXPECT_EQ(file_names(out),
            (std::vector<std::string>{"transcript.html", "what is apoptosis-2.docx",
                                      "what is apoptosis.docx"}));
  EXPECT_NE(document_text(out / "what is apoptosis.docx").find("First answer"), std::string::npos);
  EXPECT_NE(document_text(out / "what is apoptosis-2.docx").find("Second answer"),
            std::string::npos);
  EXPECT_LT(t.find("href=\"what%20is%20apoptosis.docx\""), t.find("<hr class=\"session\">"));
  EXPECT_GT(t.find("href=\"what%20is%20apoptosis-2.docx\""), t.find("<hr class=\"session\">"));
  EXPECT_NE(second.out.find(" · transcript " + (out / "transcript.html").string() +
                            " (continued after the earlier conversation)\n"),
            std::string::npos)
      << second.out;
  EXPECT_NE(second.out.find("📎 saved " + (out / "what is apoptosis-2.docx").string()),
            std::string::npos)
      << second.out;
}

}  // namespace
}  // namespace norvex
