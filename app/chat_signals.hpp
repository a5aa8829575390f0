#pragma once
// Ctrl+C and termination in `norvex chat`. While a question runs, Ctrl+C cancels it at the
// next stop point (between model calls and tool steps, where the notebook's stop button
// acts) and the session goes on; at the prompt, Ctrl+C ends the session as :quit does.
// SIGTERM or SIGHUP ends the session at the next stop point or at the prompt. Either way
// the session's end (the --save-on-exit file) still happens. A second signal while one is
// still pending ends the process at once, removing any half-written temporary.
#include <string>

namespace norvex::app {

class ChatSignals {
 public:
  ChatSignals();  // installs the handlers and the current thread's stop check
  ~ChatSignals();
  ChatSignals(const ChatSignals&) = delete;
  ChatSignals& operator=(const ChatSignals&) = delete;

  // The next line of standard input (without its line end); false at the end of input or
  // when a signal arrives while waiting, whichever thread the signal was delivered to.
  bool read_line(std::string& line);
  // A Ctrl+C arrived since the last rearm().
  bool interrupted() const;
  // SIGTERM or SIGHUP arrived: the session is to end.
  bool ending() const;
  // Forgets a handled Ctrl+C and makes the next signal a gentle one again.
  void rearm();

 private:
  std::string pending_;  // read from standard input, not yet returned
  bool input_ended_ = false;
};

}  // namespace norvex::app
