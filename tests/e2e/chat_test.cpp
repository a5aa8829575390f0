// `norvex chat` as a user runs it: questions on standard input, answers on the terminal
// and in DIR/transcript.html, a failing question reported without ending the session.
#include <gtest/gtest.h>

#include "norvex/dataset/anndata.hpp"
#include "support/fixtures.hpp"
#include "support/stub_model_server.hpp"
#include "support/test_support.hpp"
#include "support/tiny_dataset.hpp"

namespace norvex {
namespace {

using namespace norvex::testing;

TEST(ChatProgram, AnswersEachLineAndSurvivesAFailingQuestion) {
  TempDir dir;
  tiny_dataset()->write_h5ad(dir / "tiny.h5ad");
  StubModelServer stub;
  const std::string key = "sk-secret-chat-key-12345";

  // 1: the dataset tree. 2: a router that never answers in JSON (both attempts).
  // 3: an information answer, in Korean.
  stub.enqueue_openai_text(dump_json(router_record({{"tree", true}}, json::object())), 10, 5, 15);
  stub.enqueue_openai_text("Sorry, I cannot help.");
  stub.enqueue_openai_text("Still no JSON, key " + key);
  stub.enqueue_openai_text(
      dump_json(router_record(
          {{"info", true}},
          {{"info_answer", "## Dataset Summary\n네 개의 세포, <script>x()</script>"}})),
      20, 10, 30);

  const std::string cmd = shell_quote(norvex_binary().string()) + " chat --data " +
                          shell_quote((dir / "tiny.h5ad").string()) + " --base-url " +
                          shell_quote(stub.base_url()) + " --api-key " + shell_quote(key) +
                          " --out " + shell_quote((dir / "session").string());
  CommandResult r =
      run_command(cmd, "show the data structure\n\nwhat now?\n이 데이터는 뭐야?\n", 120);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;

  EXPECT_EQ(count_occurrences(r.out, "✅ Analyzing query .. done ("), 2u) << r.out;
  EXPECT_NE(r.out.find("✅ Analyzing query .. done ("), std::string::npos);
  EXPECT_NE(r.out.find("\nAnnData object with n_obs × n_vars = 4 × 3\n"), std::string::npos);
  // The failed question: its open status line is closed, then the error on its own line.
  EXPECT_NE(r.out.find("✅ Analyzing query .. \n❌ ERROR: RuntimeError: Failed to produce "
                       "schema-valid JSON after retries."),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("데이터셋 정보"), std::string::npos);  // the info answer as text
  EXPECT_EQ(stub.request_count(), 4u);                        // the blank line asked nothing

  const std::string transcript = read_file(dir / "session" / "transcript.html");
  EXPECT_NE(transcript.find("<h2 class=\"q\">show the data structure</h2>"), std::string::npos);
  EXPECT_NE(transcript.find("<h2 class=\"q\">이 데이터는 뭐야?</h2>"), std::string::npos);
  EXPECT_NE(transcript.find("AnnData object with n_obs × n_vars = 4 × 3"), std::string::npos);
  EXPECT_NE(transcript.find("❌ ERROR: RuntimeError"), std::string::npos);
  EXPECT_NE(transcript.find("<h2>Dataset Summary</h2>"), std::string::npos);
  EXPECT_EQ(transcript.find("<script>x()"), std::string::npos);
  // In order: first question, tree, second question, error, third question, answer.
  size_t q1 = transcript.find("show the data structure"), tree = transcript.find("AnnData object"),
         q2 = transcript.find("what now?"), err = transcript.find("❌ ERROR"),
         q3 = transcript.find("이 데이터는 뭐야?"), info = transcript.find("Dataset Summary");
  EXPECT_LT(q1, tree);
  EXPECT_LT(tree, q2);
  EXPECT_LT(q2, err);
  EXPECT_LT(err, q3);
  EXPECT_LT(q3, info);

  // The key went to the service, and nowhere else.
  EXPECT_NE(stub.requests()[0].header("authorization").find(key), std::string::npos);
  EXPECT_EQ(transcript.find(key), std::string::npos);
  EXPECT_EQ(r.out.find(key), std::string::npos);
  EXPECT_EQ(r.err.find(key), std::string::npos);
}

TEST(ChatProgram, MissingDatasetIsAClearError) {
  TempDir dir;
  CommandResult r =
      run_command(shell_quote(norvex_binary().string()) + " chat --data " +
                      shell_quote((dir / "missing.h5ad").string()) + " --api-key sk-test --out " +
                      shell_quote((dir / "out").string()),
                  "", 60);
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("missing.h5ad"), std::string::npos) << r.err;
}

TEST(ChatProgram, EndOfInputAtOnceEndsCleanly) {
  TempDir dir;
  tiny_dataset()->write_h5ad(dir / "tiny.h5ad");
  CommandResult r =
      run_command(shell_quote(norvex_binary().string()) + " chat --data " +
                      shell_quote((dir / "tiny.h5ad").string()) + " --api-key sk-test --out " +
                      shell_quote((dir / "out").string()),
                  "", 60);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(dir / "out" / "transcript.html"));
}

}  // namespace
}  // namespace norvex
