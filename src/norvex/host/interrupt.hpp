#pragma once
// Stopping a running request (a notebook's stop button): the flows call check_interrupt()
// between model calls and tool steps, and a front end installs what it means to stop.
#include <functional>

namespace norvex {

// The user stopped the request. Deliberately not an exception of the error hierarchy: no
// error report on the way catches it, and the request ends before it changes the history.
struct Interrupted {};

// Runs the current thread's interruption check, which throws Interrupted when the user
// asked to stop. No check installed: nothing.
void check_interrupt();
// Installs the current thread's check (empty: none); returns the previous one.
std::function<void()> set_interrupt_check(std::function<void()> check);

}  // namespace norvex
