#include "norvex/host/host.hpp"

#include <iostream>

#include "norvex/host/console_host.hpp"

namespace norvex {
namespace {
thread_local NotebookHost* g_host = nullptr;

NotebookHost& default_host() {
  static ConsoleHost host(std::cout, std::cerr);
  return host;
}
}  // namespace

NotebookHost& current_host() {
  return g_host ? *g_host : default_host();
}
void set_current_host(NotebookHost* host) {
  g_host = host;
}

ScopedHost::ScopedHost(NotebookHost& host) : previous_(g_host) {
  g_host = &host;
}
ScopedHost::~ScopedHost() {
  g_host = previous_;
}

}  // namespace norvex
