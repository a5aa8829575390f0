#include "chat_signals.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>

#include "norvex/dataset/temp_files.hpp"
#include "norvex/host/interrupt.hpp"

namespace norvex::app {
namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_ending{false};
// Written by the handler so that the wait for input wakes up, on whatever thread the
// signal landed.
int g_wake[2] = {-1, -1};

extern "C" void on_chat_signal(int sig) {
  const int saved_errno = errno;
  if (sig == SIGINT)
    g_interrupted.store(true);
  else
    g_ending.store(true);
  if (g_wake[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_wake[1], &byte, 1);
  }
  // The next signal, while this one is still pending, gets the program's plain handler
  // (temporaries removed, then the default action): a way out of a stuck model call.
  remove_temporaries_on_signals();  // only sigaction: async-signal-safe
  errno = saved_errno;
}

void install() {
  struct sigaction sa {};
  sa.sa_handler = on_chat_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a wait on the main thread returns at once
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

void drain_wake() {
  char buf[64];
  while (read(g_wake[0], buf, sizeof buf) > 0) {
  }
}

}  // namespace

ChatSignals::ChatSignals() {
  g_interrupted.store(false);
  g_ending.store(false);
  if (pipe(g_wake) == 0) {
    for (int fd : g_wake) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }
  install();
  set_interrupt_check([] {
    if (g_interrupted.load() || g_ending.load()) throw Interrupted{};
  });
}

ChatSignals::~ChatSignals() {
  set_interrupt_check({});
  remove_temporaries_on_signals();
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGHUP, &sa, nullptr);
  for (int& fd : g_wake) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

bool ChatSignals::read_line(std::string& line) {
  while (true) {
    if (g_interrupted.load() || g_ending.load()) return false;
    const size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return true;
    }
    if (input_ended_) {
      if (pending_.empty()) return false;
      line = std::move(pending_);  // a last line without its line end
      pending_.clear();
      return true;
    }
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_wake[0], POLLIN, 0}};
    const int ready = poll(fds, g_wake[0] >= 0 ? 2 : 1, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      input_ended_ = true;
      continue;
    }
    if (fds[0].revents == 0) continue;  // woken by a signal: checked above
    char buf[4096];
    const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0)
      input_ended_ = true;
    else
      pending_.append(buf, static_cast<size_t>(n));
  }
}

bool ChatSignals::interrupted() const {
  return g_interrupted.load();
}

bool ChatSignals::ending() const {
  return g_ending.load();
}

void ChatSignals::rearm() {
  g_interrupted.store(false);
  if (g_wake[0] >= 0) drain_wake();
  if (!g_ending.load()) install();
}

}  // namespace norvex::app
