#pragma once
// What the benchmarks share: their own peak memory, and running one side in a child
// process so that each side's peak (VmHWM) is its own.
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include "norvex/common/json.hpp"

namespace bench {

inline long vm_hwm_kb() {
  std::ifstream f("/proc/self/status");
  for (std::string line; std::getline(f, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

// Runs `fn` in a child process and returns the JSON it produced.
template <class Fn>
norvex::json in_child(Fn fn) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const std::string out = fn().dump();
    if (write(fds[1], out.data(), out.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[65536];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return norvex::json::parse(out);
}

}  // namespace bench
