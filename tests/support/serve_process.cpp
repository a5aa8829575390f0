#include "support/serve_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "support/test_support.hpp"

extern char** environ;

namespace norvex::testing {

ServeProcess::ServeProcess(const std::vector<std::string>& args, const std::filesystem::path& dir)
    : out_(dir / "serve.out"), err_(dir / "serve.err") {
  std::vector<std::string> argv_s = {norvex_binary().string(), "serve"};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

ServeProcess::~ServeProcess() {
  stop();
}

std::string ServeProcess::wait_for_url(std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  static const std::regex address(R"((http://[0-9.]+:([0-9]+)/\S*))");
  while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
    std::smatch m;
    const std::string text = out();
    if (std::regex_search(text, m, address)) {
      port_ = std::stoi(m[2].str());
      return m[1].str();
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      pid_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return "";
}

int ServeProcess::stop() {
  if (pid_ <= 0) return exit_code_;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 600; ++i) {  // at most a minute for the running question to finish
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      pid_ = -1;
      return exit_code_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ::kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  exit_code_ = -1;
  return exit_code_;
}

void ServeProcess::signal(int number) {
  if (pid_ > 0) ::kill(pid_, number);
}

std::optional<int> ServeProcess::wait_exit(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (pid_ > 0) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return exit_code_;
}

std::string ServeProcess::out() const {
  return std::filesystem::exists(out_) ? read_file(out_) : "";
}

std::string ServeProcess::err() const {
  return std::filesystem::exists(err_) ? read_file(err_) : "";
}

}  // namespace norvex::testing
