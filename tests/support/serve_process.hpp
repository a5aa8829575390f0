#pragma once
// `norvex serve` run in the background for a test: its output in files, its address read
// from what it prints, stopped (TERM, then KILL) at scope exit, every wait bounded.
#include <sys/types.h>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace norvex::testing {

class ServeProcess {
 public:
  // Starts `norvex serve` with `args`; output goes into `dir`.
  ServeProcess(const std::vector<std::string>& args, const std::filesystem::path& dir);
  ~ServeProcess();
  ServeProcess(const ServeProcess&) = delete;
  ServeProcess& operator=(const ServeProcess&) = delete;

  // The address printed at start ("" when none came within the time).
  std::string wait_for_url(std::chrono::seconds limit = std::chrono::seconds(60));
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // Stops it; its exit code (-1 when it had to be killed).
  int stop();
  // Sends it a signal (nothing when it has ended).
  void signal(int number);
  // Waits up to `limit` for it to end by itself: its exit code (128 + N for signal N), or
  // nullopt when it is still running.
  std::optional<int> wait_exit(std::chrono::milliseconds limit);
  std::string out() const;
  std::string err() const;

 private:
  pid_t pid_ = -1;
  std::filesystem::path out_, err_;
  int port_ = 0;
  int exit_code_ = -1;
};

}  // namespace norvex::testing
