#include "norvex/dataset/temp_files.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace norvex {
namespace {

// A signal handler may only touch plain memory and call unlink(): the paths live in fixed
// buffers, claimed and released through atomic flags.
constexpr int kSlots = 16;
constexpr size_t kPathMax = 4096;
char g_paths[kSlots][kPathMax];
std::atomic<bool> g_used[kSlots];

extern "C" void on_terminating_signal(int sig) {
  for (int i = 0; i < kSlots; ++i)
    if (g_used[i].load()) unlink(g_paths[i]);
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

namespace detail {

int register_temporary(const std::filesystem::path& tmp) {
  const std::string p = tmp.string();
  if (p.size() >= kPathMax) return -1;
  for (int i = 0; i < kSlots; ++i) {
    bool expected = false;
    if (!g_used[i].load() && std::memcpy(g_paths[i], p.c_str(), p.size() + 1) &&
        g_used[i].compare_exchange_strong(expected, true))
      return i;
  }
  return -1;  // more writes at once than slots: only those go unprotected
}

void unregister_temporary(int slot) {
  if (slot >= 0 && slot < kSlots) g_used[slot].store(false);
}

}  // namespace detail

namespace {
std::function<std::uintmax_t(const std::filesystem::path&)>& free_space_probe() {
  static std::function<std::uintmax_t(const std::filesystem::path&)> probe;
  return probe;
}
}  // namespace

std::uintmax_t free_space(const std::filesystem::path& dir) {
  if (free_space_probe()) return free_space_probe()(dir);
  std::error_code ec;
  const std::filesystem::space_info info = std::filesystem::space(dir, ec);
  return ec ? UINTMAX_MAX : info.available;
}

void detail::set_free_space_probe(
    std::function<std::uintmax_t(const std::filesystem::path&)> probe) {
  free_space_probe() = std::move(probe);
}

void remove_temporaries_on_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_terminating_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

void sweep_stale_temporaries(const std::filesystem::path& target) {
  namespace fs = std::filesystem;
  const fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  const std::string prefix = "." + target.filename().string() + ".tmp-";
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    // ".NAME.tmp-PID-N": the writer's process id follows the prefix.
    const std::string rest = name.substr(prefix.size());
    const size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string::npos) continue;
    pid_t pid = 0;
    try {
      pid = static_cast<pid_t>(std::stol(rest.substr(0, dash)));
    } catch (const std::exception&) {
      continue;
    }
    if (pid <= 0 || pid == getpid()) continue;
    if (kill(pid, 0) == -1 && errno == ESRCH) {
      std::error_code rm;
      fs::remove(it->path(), rm);
    }
  }
}

}  // namespace norvex
