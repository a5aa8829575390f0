#pragma once
// `norvex serve` run in the background for a test: its output in files, its address read
// from what it prints, stopped (TERM, then KILL) at scope exit, every wait bounded.
#include <sys/types.h>
#include <chrono>
#include <filesystem>
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
  // Stops it; its exit code (-1 when it had to be killed).
  int stop();
  std::string out() const;
  std::string err() const;

 private:
  pid_t pid_ = -1;
  std::filesystem::path out_, err_;
  int port_ = 0;
  int exit_code_ = -1;
};

}  // namespace norvex::testing
