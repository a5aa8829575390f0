// Ctrl+C and termination in `norvex chat`: a Ctrl+C while a question runs cancels it and
// leaves the history as it was; Ctrl+C or SIGTERM at the prompt, and SIGTERM during a
// question, end the session as :quit does, so --save-on-exit still writes the dataset.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "norvex/dataset/anndata.hpp"
#include "support/fixtures.hpp"
#include "support/stub_model_server.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

namespace fs = std::filesystem;
using namespace norvex::testing;
using namespace std::chrono_literals;

// `norvex chat` as a child process: its input a pipe the test writes, its output a file
// the test reads while it runs. Killed at the end if still running.
class ChatProcess {
 public:
  ChatProcess(const std::vector<std::string>& args, const fs::path& dir)
      : out_(dir / "chat.out"), err_(dir / "chat.err") {
    // Emptied before the fork: a wait must never match an earlier process's output.
    std::ofstream(out_, std::ios::trunc);
    std::ofstream(err_, std::ios::trunc);
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[0], 0);
      close(fds[0]);
      close(fds[1]);
      const int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(err, 2);
      std::vector<char*> argv;
      std::string program = norvex_binary().string();
      argv.push_back(program.data());
      std::vector<std::string> copy = args;
      for (auto& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(fds[0]);
    in_ = fds[1];
  }
  ~ChatProcess() {
    if (in_ >= 0) close(in_);
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  void send(const std::string& line) {
    ASSERT_EQ(write(in_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }
  void signal(int sig) { kill(pid_, sig); }
  std::string out() const { return read_file(out_); }
  std::string err() const { return read_file(err_); }

  // Waits (bounded) until the output holds `text` `times` times.
  bool wait_for(const std::string& text, size_t times = 1, int seconds = 120) {
    for (int i = 0; i < seconds * 20; ++i) {
      if (count_occurrences(out(), text) >= times) return true;
      if (exited()) return count_occurrences(out(), text) >= times;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  // The exit status once the process ended (bounded wait); -1 when it did not.
  int wait_exit(int seconds = 120) {
    for (int i = 0; i < seconds * 20 && !exited(); ++i) std::this_thread::sleep_for(50ms);
    return exited_ ? status_ : -1;
  }

 private:
  bool exited() {
    if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return exited_;
  }

  fs::path out_, err_;
  pid_t pid_ = -1;
  int in_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

class ChatSignals : public ::testing::Test {
 protected:
  void SetUp() override {
    CommandResult gen = run_command(shell_quote(norvex_binary().string()) +
                                    " demo-data --cells 500 " + shell_quote(data().string()));
    ASSERT_EQ(gen.exit_code, 0) << gen.err;
  }
  fs::path data() const { return dir_ / "demo.h5ad"; }
  fs::path on_exit() const { return dir_ / "on_exit.h5ad"; }
  std::vector<std::string> args() const {
    return {"chat",
            "--data",
            data().string(),
            "--base-url",
            stub_.base_url(),
            "--api-key",
            "sk-test-signal-key",
            "--out",
            (dir_ / "s").string(),
            "--save-on-exit",
            on_exit().string()};
  }
  // One question answered and saved, then a second whose routing answer takes a while
  // (the plan and explanation queued too, so a cancellation that fails shows).
  void script_two_questions() {
    stub_.enqueue_openai_text(
        dump_json(router_record({{"plot", true}, {"explain_data", true}, {"save", true}},
                                {{"selected_tool", "plot_umap"}})));
    stub_.enqueue_openai_text(R"({"plot_cfg": {"color_by": "celltype_minor"}})");
    stub_.enqueue_openai_text("UMAP explained.");
    stub_.enqueue(
        StubProvider::OpenAI,
        StubResponse::of_json(StubModelServer::openai_response(dump_json(router_record(
                                  {{"plot", true}, {"explain_data", true}, {"save", true}},
                                  {{"selected_tool", "plot_celltype_population"}}))))
            .with_delay(1500ms));
    stub_.enqueue_openai_text(R"({"compute_cfg": {"group_by": "condition"}})");
    stub_.enqueue_openai_text("Proportions explained.");
  }
  // Sends the second question and waits until its routing call is under way.
  void ask_slow_question(ChatProcess& chat) {
    chat.send("proportions by condition, save it\n");
    for (int i = 0; i < 2400 && stub_.request_count() < 4; ++i) std::this_thread::sleep_for(50ms);
    ASSERT_EQ(stub_.request_count(), 4u) << chat.out() << chat.err();
  }
  // The questions saved in the written dataset.
  std::vector<std::string> saved_in(const fs::path& file) const {
    auto adata = AnnData::read_h5ad(file);
    if (!adata->uns.contains("norvex_tx")) return {};
    return adata->uns.at("norvex_tx").dict().keys();
  }

  TempDir dir_;
  StubModelServer stub_;
};

TEST_F(ChatSignals, CtrlCCancelsTheRunningQuestionAndAtThePromptEndsAsQuitDoes) {
  script_two_questions();
  ChatProcess chat(args(), dir_.path());
  chat.send("UMAP, save it\n");
  ASSERT_TRUE(chat.wait_for("   1: plot_umap, UMAP, save it .. ")) << chat.out() << chat.err();
  ask_slow_question(chat);
  chat.signal(SIGINT);
  ASSERT_TRUE(chat.wait_for("ℹ️ INFO: Question cancelled; the history is as it was."))
      << chat.out() << chat.err();

  // The session goes on, with the history as it was before the question.
  chat.send(":history\n");
  ASSERT_TRUE(
      chat.wait_for("ℹ️ INFO: transactions in memory, newest first\n"
                    "   1: plot_umap, UMAP, save it .. (explained)\n"))
      << chat.out();
  EXPECT_EQ(count_occurrences(chat.out(), "proportions by condition"), 0u) << chat.out();
  EXPECT_EQ(stub_.request_count(), 4u);  // nothing asked after the stop

  // Ctrl+C at the prompt: the end of the session, with its file written.
  chat.signal(SIGINT);
  const int status = chat.wait_exit();
  ASSERT_TRUE(WIFEXITED(status)) << status << chat.out() << chat.err();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(chat.out().find("ℹ️ INFO: Wrote " + on_exit().string() + " (1 saved query)."),
            std::string::npos)
      << chat.out();
  EXPECT_EQ(saved_in(on_exit()), std::vector<std::string>{"UMAP, save it"});
}

TEST_F(ChatSignals, TerminationDuringAQuestionOrAtThePromptStillWritesTheSessionFile) {
  {
    script_two_questions();
    ChatProcess chat(args(), dir_.path());
    chat.send("UMAP, save it\n");
    ASSERT_TRUE(chat.wait_for("   1: plot_umap, UMAP, save it .. ")) << chat.out();
    ask_slow_question(chat);
    chat.signal(SIGTERM);
    const int status = chat.wait_exit();
    ASSERT_TRUE(WIFEXITED(status)) << status << chat.out() << chat.err();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(chat.out().find("ℹ️ INFO: Question cancelled; the history is as it was."),
              std::string::npos);
    EXPECT_NE(chat.out().find("ℹ️ INFO: Wrote " + on_exit().string() + " (1 saved query)."),
              std::string::npos)
        << chat.out();
    EXPECT_EQ(stub_.request_count(), 4u);
    EXPECT_EQ(saved_in(on_exit()), std::vector<std::string>{"UMAP, save it"});
  }

  // At the prompt, over the file just written (its saved query travels along).
  fs::remove(data());
  fs::rename(on_exit(), data());
  stub_.clear();
  ChatProcess chat(args(), dir_.path());
  ASSERT_TRUE(chat.wait_for("norvex · demo.h5ad")) << chat.out() << chat.err();
  chat.send(":saved\n");
  ASSERT_TRUE(chat.wait_for("   1: plot_umap, UMAP, save it .. ")) << chat.out();
  chat.signal(SIGTERM);
  const int status = chat.wait_exit();
  ASSERT_TRUE(WIFEXITED(status)) << status << chat.out() << chat.err();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(saved_in(on_exit()), std::vector<std::string>{"UMAP, save it"});
  for (const auto& e : fs::directory_iterator(dir_.path()))
    EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
}

}  // namespace
}  // namespace norvex
