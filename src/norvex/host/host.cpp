#include "norvex/host/host.hpp"

#include <iostream>

#include "norvex/host/console_host.hpp"
#include "norvex/host/interrupt.hpp"

namespace norvex {
namespace {
thread_local NotebookHost* g_host = nullptr;
thread_local std::function<void()> g_interrupt_check;

}  // namespace

NotebookHost& terminal_host() {
  static ConsoleHost host(std::cout, std::cerr);
  return host;
}

NotebookHost& current_host() {
  return g_host ? *g_host : terminal_host();
}
void set_current_host(NotebookHost* host) {
  g_host = host;
}

void check_interrupt() {
  if (g_interrupt_check) g_interrupt_check();
}
std::function<void()> set_interrupt_check(std::function<void()> check) {
  std::swap(check, g_interrupt_check);
  return check;
}

ScopedHost::ScopedHost(NotebookHost& host) : previous_(g_host) {
  g_host = &host;
}
ScopedHost::~ScopedHost() {
  g_host = previous_;
}

}  // namespace norvex
