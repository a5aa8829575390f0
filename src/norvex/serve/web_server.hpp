#pragma once
// The local web notebook: one page, a question queue run by one worker thread (the engine
// answers one question at a time), and the conversation's events streamed to the page as
// server-sent events. The server knows nothing of analysis: each job is handed to the
// runner given at construction, which talks to the page through the web host.
//
// Access: bound to loopback by default, where requests must name a loopback Host (so a
// web site cannot reach it by rebinding a name to 127.0.0.1). With a token (required when
// listening beyond loopback) every request must carry it, in the URL's ?token= or in the
// cookie set when the page was opened with it. Requests that start work must come from
// the page's own script (a custom header, which other sites cannot send without asking).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "norvex/serve/event_log.hpp"
#include "norvex/serve/web_host.hpp"

namespace httplib {
class Server;
}

namespace norvex {

struct ServeJob {
  long long cell = 0;
  std::string text;   // the question, or a command line
  std::string panel;  // empty for a question cell; else the side-panel section it fills
};

// Runs one job, showing everything on the current host (the web host). An exception
// marks the job's cell as failed, with its message shown there; the server goes on.
using JobRunner = std::function<void(const ServeJob& job)>;

struct ServeOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  // Required from every request when set.
  std::optional<std::string> token;
  // What the page's header shows (dataset, size, model), as key/value pairs.
  json page_info = json::object();
  // Side-panel sections the page may ask to be filled (each is run as a job).
  std::vector<std::string> panels;
  // GET /api/usage answers with this (the session's tokens and estimated cost); called on
  // a server thread while a question may run, so it must be safe to call then.
  std::function<json()> usage;
  // A request, headers and body, must arrive within this of its first byte, or its
  // connection is closed: otherwise a client sending a byte now and then keeps a thread.
  std::chrono::milliseconds request_deadline = std::chrono::seconds(10);
};

class WebServer {
 public:
  WebServer(ServeOptions options, JobRunner runner);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // The host the runner's output goes through (add secrets, the file filter, a mirror
  // before starting).
  WebHost& host() { return host_; }
  EventLog& events() { return events_; }

  // Binds and serves in the background; RuntimeError naming the address when it cannot.
  void start();
  // Stops serving, ends the event streams, lets the running job finish, drops the rest.
  void stop();
  // Blocks until stop() (from another thread or a signal handler's thread).
  void wait();
  int port() const { return port_; }
  // The address to open, with the token when there is one.
  std::string url() const;

  // Queues a job and announces its cell; returns the cell number, or 0 when kMaxWaiting
  // jobs are already waiting (nothing is announced then).
  long long enqueue(std::string text, std::string panel = "");
  // Cancels a waiting job (dropped at once) or the running one (stopped at its next stop
  // point, leaving the history as it was). False when the cell is neither.
  bool cancel(long long cell);

  // The most jobs waiting behind the running one.
  static constexpr size_t kMaxWaiting = 20;
  // Open event streams: each holds one of the server's threads, so they are capped per
  // client address and in all, leaving the rest of the threads for pages and questions.
  static constexpr int kStreamsPerClient = 6;
  static constexpr int kStreamsTotal = 16;
  static constexpr int kThreads = 32;

 private:
  // The steps of start(): how connections are handled, the checks every request passes,
  // one route (or related routes) each, then binding and the threads.
  void configure_connections();
  void guard_every_request();
  void add_page_route();
  void add_ask_route();
  void add_cancel_route();
  void add_usage_route();
  void add_events_route();
  void add_files_route();
  void bind_and_listen();

  void work();
  bool allowed(const void* request) const;
  // Takes a stream slot for the client; false when it has its share or all are taken.
  bool open_stream(const std::string& client);
  void close_stream(const std::string& client);

  ServeOptions options_;
  JobRunner runner_;
  EventLog events_;
  FileStore files_;
  WebHost host_;
  std::unique_ptr<httplib::Server> server_;
  std::thread listener_;
  std::thread worker_;
  int port_ = 0;

  std::mutex mutex_;
  std::condition_variable queue_changed_;
  std::deque<ServeJob> queue_;
  long long next_cell_ = 1;
  bool busy_ = false;
  long long running_cell_ = 0;
  std::atomic<bool> cancel_running_{false};
  // Tells a restarted server from the one a page was loaded from.
  std::string instance_;
  std::map<std::string, int> streams_;
  int streams_total_ = 0;
  bool stopping_ = false;
  std::atomic<bool> stopped_{false};
  std::mutex stopped_mutex_;
  std::condition_variable stopped_changed_;
};

// A random token for --host (hex, from the system's random source).
std::string make_access_token();

// The page itself (HTML with its styles and script inline).
std::string page_html(const json& page_info, const std::string& nonce);

}  // namespace norvex
