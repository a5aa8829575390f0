// The server in this process, with a runner the test controls: the waiting queue is
// capped, a waiting or running question can be cancelled, event streams are capped and
// give their thread back when their client leaves, idle connections and slow senders do
// not starve the page, and a taken port is refused instead of shared.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "norvex/common/errors.hpp"
#include "norvex/host/interrupt.hpp"
#include "norvex/serve/web_server.hpp"

namespace norvex {
namespace {

using namespace std::chrono_literals;

// A runner whose jobs wait until released (or cancelled, checking like the flows do).
struct HeldRunner {
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  std::atomic<int> started{0};
  std::atomic<int> finished{0};

  JobRunner runner() {
    return [this](const ServeJob&) {
      ++started;
      for (int i = 0; i < 400; ++i) {  // bounded: 20 s
        {
          std::unique_lock lock(mutex);
          if (changed.wait_for(lock, 50ms, [&] { return released; })) break;
        }
        check_interrupt();
      }
      ++finished;
    };
  }
  void release() {
    {
      std::lock_guard lock(mutex);
      released = true;
    }
    changed.notify_all();
  }
  bool wait_started(int n) {
    for (int i = 0; i < 200 && started < n; ++i) std::this_thread::sleep_for(25ms);
    return started >= n;
  }
};

httplib::Result post(int port, const std::string& path, const json& body) {
  httplib::Client cli("127.0.0.1", port);
  cli.set_read_timeout(10, 0);
  return cli.Post(path, {{"X-Norvex", "1"}}, body.dump(), "application/json");
}

std::vector<json> all_events(WebServer& server) {
  std::vector<json> out;
  for (const auto& e : server.events().after(0, 0ms)) out.push_back(json::parse(e));
  return out;
}

json end_of(WebServer& server, long long cell) {
  for (int i = 0; i < 200; ++i) {
    for (const auto& e : all_events(server))
      if (e["type"] == "end" && e["cell"] == cell) return e;
    std::this_thread::sleep_for(25ms);
  }
  return nullptr;
}

TEST(WebServer, TheWaitingQueueIsCappedWithAClearRefusal) {
  HeldRunner held;
  WebServer server({}, held.runner());
  server.start();
  auto first = post(server.port(), "/api/ask", {{"question", "q0"}});
  ASSERT_TRUE(first);
  ASSERT_EQ(first->status, 200);
  ASSERT_TRUE(held.wait_started(1));
  for (size_t i = 1; i <= WebServer::kMaxWaiting; ++i) {
    auto r = post(server.port(), "/api/ask", {{"question", "q" + std::to_string(i)}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << i;
  }
  auto refused = post(server.port(), "/api/ask", {{"question", "one too many"}});
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 429);
  EXPECT_EQ(json::parse(refused->body)["error"],
            "20 questions are already waiting; ask again once one of them has been answered");
  // The refused question was not announced.
  for (const auto& e : all_events(server)) EXPECT_NE(e.value("question", ""), "one too many");
  // Once one has run, there is room again.
  held.release();
  for (int i = 0; i < 200 && held.finished < 2; ++i) std::this_thread::sleep_for(25ms);
  EXPECT_EQ(post(server.port(), "/api/ask", {{"question", "now"}})->status, 200);
  server.stop();
}

TEST(WebServer, CancelDropsAWaitingQuestionAndStopsTheRunningOne) {
  HeldRunner held;
  WebServer server({}, held.runner());
  server.start();
  const long long running = server.enqueue("runs");
  const long long waiting = server.enqueue("waits");
  const long long after = server.enqueue("after");
  ASSERT_TRUE(held.wait_started(1));

  auto w = post(server.port(), "/api/cancel", {{"cell", waiting}});
  ASSERT_TRUE(w);
  EXPECT_EQ(w->status, 200);
  EXPECT_EQ(end_of(server, waiting), json({{"type", "end"},
                                           {"cell", waiting},
                                           {"ok", false},
                                           {"cancelled", true},
                                           {"seq", end_of(server, waiting)["seq"]}}));
  EXPECT_EQ(post(server.port(), "/api/cancel", {{"cell", running}})->status, 200);
  const json stopped = end_of(server, running);
  ASSERT_TRUE(stopped.is_object());
  EXPECT_EQ(stopped["cancelled"], true);
  EXPECT_EQ(stopped["ok"], false);
  std::string said;
  for (const auto& e : all_events(server))
    if (e["cell"] == running && e["type"] == "text") said += e["text"].get<std::string>();
  EXPECT_NE(said.find("Cancelled"), std::string::npos) << said;
  // The cancelled waiting question never ran; the next one did, and was not cancelled.
  ASSERT_TRUE(held.wait_started(2));
  EXPECT_EQ(held.started, 2);
  held.release();
  const json next = end_of(server, after);
  ASSERT_TRUE(next.is_object());
  EXPECT_EQ(next["ok"], true);
  // Neither running nor waiting: refused; malformed: refused.
  EXPECT_EQ(post(server.port(), "/api/cancel", {{"cell", running}})->status, 409);
  EXPECT_EQ(post(server.port(), "/api/cancel", {{"cell", "x"}})->status, 400);
  httplib::Client cli("127.0.0.1", server.port());
  EXPECT_EQ(cli.Post("/api/cancel", json({{"cell", after}}).dump(), "application/json")->status,
            403);
  server.stop();
}

// Holds an event stream open until told to stop; its HTTP status once known.
struct Stream {
  std::atomic<bool> keep{true};
  std::atomic<int> status{0};
  std::atomic<bool> hello{false};
  std::thread thread;
  explicit Stream(int port) {
    thread = std::thread([this, port] {
      httplib::Client cli("127.0.0.1", port);
      cli.set_read_timeout(5, 0);
      auto r = cli.Get(
          "/api/events",
          [&](const httplib::Response& res) {
            status = res.status;
            return true;
          },
          [&](const char* data, size_t len) {
            if (std::string(data, len).find("event: hello") != std::string::npos) hello = true;
            return keep.load();
          });
      if (status == 0 && r) status = r->status;
      if (status == 0) status = -1;
    });
  }
  void close() {
    keep = false;
    if (thread.joinable()) thread.join();
  }
  ~Stream() { close(); }
};

// As many streams as one client may open, once each has been greeted (or after 5 s).
std::vector<std::unique_ptr<Stream>> streams_up_to_the_cap(int port) {
  std::vector<std::unique_ptr<Stream>> streams;
  for (int i = 0; i < WebServer::kStreamsPerClient; ++i)
    streams.push_back(std::make_unique<Stream>(port));
  for (int i = 0; i < 200; ++i) {
    bool all = true;
    for (auto& s : streams) all = all && s->hello;
    if (all) break;
    std::this_thread::sleep_for(25ms);
  }
  return streams;
}

TEST(WebServer, EventStreamsAreCappedAndThePageStillAnswers) {
  WebServer server({}, [](const ServeJob&) {});
  server.start();
  std::vector<std::unique_ptr<Stream>> streams = streams_up_to_the_cap(server.port());
  for (auto& s : streams) EXPECT_TRUE(s->hello);
  // One more from the same client is refused at once.
  Stream extra(server.port());
  for (int i = 0; i < 200 && extra.status == 0; ++i) std::this_thread::sleep_for(25ms);
  EXPECT_EQ(extra.status, 503);
  // The page and questions still have threads.
  httplib::Client cli("127.0.0.1", server.port());
  cli.set_connection_timeout(3, 0);
  cli.set_read_timeout(3, 0);
  auto page = cli.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  // A client that leaves gives its slot back within a few seconds.
  streams.back()->close();
  streams.pop_back();
  int status = 0;
  for (int attempt = 0; attempt < 40 && status != 200; ++attempt) {
    std::this_thread::sleep_for(250ms);
    Stream again(server.port());
    for (int i = 0; i < 200 && again.status == 0; ++i) std::this_thread::sleep_for(25ms);
    status = again.status;
  }
  EXPECT_EQ(status, 200);
  server.stop();
}

// The status of an event stream opened from `source` (another address on the loopback
// network), 0 when no answer came within two seconds.
int stream_status_from(const char* source, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int status = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof(from)) == 0 &&
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0) {
    const std::string request =
        "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string got;
    char buffer[1024];
    for (int i = 0; i < 40 && got.find("\r\n") == std::string::npos; ++i) {
      pollfd polled{fd, POLLIN, 0};
      if (::poll(&polled, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    if (got.rfind("HTTP/1.1 ", 0) == 0) status = std::atoi(got.c_str() + 9);
  }
  ::close(fd);
  return status;
}

TEST(WebServer, EachClientAddressHasItsOwnStreamCap) {
  WebServer server({}, [](const ServeJob&) {});
  server.start();
  std::vector<std::unique_ptr<Stream>> streams = streams_up_to_the_cap(server.port());
  for (auto& s : streams) ASSERT_TRUE(s->hello);
  EXPECT_EQ(stream_status_from("127.0.0.1", server.port()), 503);
  EXPECT_EQ(stream_status_from("127.0.0.2", server.port()), 200);  // another client
  server.stop();
}

TEST(WebServer, IdleConnectionsDoNotStarveThePage) {
  WebServer server({}, [](const ServeJob&) {});
  server.start();
  // Connections that send nothing (or half a request) and wait.
  std::vector<int> idle;
  for (int i = 0; i < 20; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(server.port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    if (i % 2) {
      ASSERT_GT(::send(fd, "GET / HTTP/1.1\r\n", 16, 0), 0);
    }
    idle.push_back(fd);
  }
  std::this_thread::sleep_for(200ms);
  httplib::Client cli("127.0.0.1", server.port());
  cli.set_connection_timeout(3, 0);
  cli.set_read_timeout(3, 0);
  auto page = cli.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  for (int fd : idle) ::close(fd);
  server.stop();
}

int connect_to(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// True once the server has closed the connection (after whatever answer it gave), false
// if it is still open at `until`.
bool closed_by_server(int fd, std::chrono::steady_clock::time_point until) {
  char buffer[4096];
  while (std::chrono::steady_clock::now() < until) {
    pollfd polled{fd, POLLIN, 0};
    if (::poll(&polled, 1, 50) <= 0) continue;
    if (::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT) <= 0) return true;
  }
  return false;
}

TEST(WebServer, SlowSendersAreCutOffAtTheRequestDeadlineAndThePageStillAnswers) {
  ServeOptions options;
  options.request_deadline = 1500ms;
  WebServer server(options, [](const ServeJob&) {});
  server.start();
  // As many connections as the server has threads, each sending a byte every half second
  // (well inside the read timeout): half of them their headers, half a question's body.
  // The server accepts a burst of connections only a few at a time, so the sending starts
  // with the first one.
  struct Slow {
    int fd = -1;
    std::string pending;
    size_t sent = 0;
  };
  std::mutex mutex;
  std::vector<Slow> slow;
  std::atomic<bool> done{false};
  std::thread sender([&] {
    for (int round = 0; round < 40 && !done; ++round) {
      {
        std::lock_guard lock(mutex);
        for (auto& s : slow)
          if (s.sent < s.pending.size()) ::send(s.fd, &s.pending[s.sent++], 1, MSG_NOSIGNAL);
      }
      for (int i = 0; i < 10 && !done; ++i) std::this_thread::sleep_for(50ms);
    }
  });
  for (int i = 0; i < WebServer::kThreads; ++i) {
    Slow s{connect_to(server.port()), "", 0};
    if (i % 2) {
      const std::string headers =
          "POST /api/ask HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Norvex: 1\r\n"
          "Content-Type: application/json\r\nContent-Length: 100\r\n\r\n";
      ::send(s.fd, headers.data(), headers.size(), MSG_NOSIGNAL);
      s.pending = "{\"question\": \"" + std::string(80, 'a');
    } else {
      s.pending = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(80, 'a');
    }
    // Its first byte now, so the connection is inside a request from the start.
    ::send(s.fd, &s.pending[s.sent++], 1, MSG_NOSIGNAL);
    std::lock_guard lock(mutex);
    slow.push_back(s);
  }
  for (const auto& s : slow) EXPECT_GE(s.fd, 0);

  const auto asked = std::chrono::steady_clock::now();
  httplib::Client cli("127.0.0.1", server.port());
  cli.set_connection_timeout(3, 0);
  cli.set_read_timeout(4, 0);
  auto page = cli.Get("/");
  EXPECT_TRUE(page) << "the page did not answer while slow senders were connected";
  if (page) {
    EXPECT_EQ(page->status, 200);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 3500ms);

  // The server closed every slow connection, though each was still sending.
  const auto until = std::chrono::steady_clock::now() + 5s;
  int closed = 0;
  for (const auto& s : slow) closed += closed_by_server(s.fd, until) ? 1 : 0;
  EXPECT_EQ(closed, WebServer::kThreads);
  done = true;
  sender.join();
  for (const auto& s : slow) ::close(s.fd);
  server.stop();
}

TEST(WebServer, AHalfRequestThatGoesSilentIsClosedAtTheDeadline) {
  ServeOptions options;
  options.request_deadline = 1000ms;
  WebServer server(options, [](const ServeJob&) {});
  server.start();
  const int fd = connect_to(server.port());
  ASSERT_GE(fd, 0);
  ASSERT_GT(::send(fd, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL), 0);
  // Nothing more is sent: the server must not wait for it past the deadline.
  EXPECT_TRUE(closed_by_server(fd, std::chrono::steady_clock::now() + 4s));
  ::close(fd);
  server.stop();
}

TEST(WebServer, EachRequestOnAKeptAliveConnectionHasItsOwnDeadline) {
  ServeOptions options;
  options.request_deadline = 1000ms;
  WebServer server(options, [](const ServeJob&) {});
  server.start();
  httplib::Client cli("127.0.0.1", server.port());
  cli.set_keep_alive(true);
  cli.set_read_timeout(3, 0);
  // Well past one deadline in all, each request sent at once.
  for (int i = 0; i < 3; ++i) {
    auto usage = cli.Get("/api/usage");
    ASSERT_TRUE(usage) << "request " << i;
    EXPECT_EQ(usage->status, 200);
    // The server keeps the connection for the next request.
    EXPECT_NE(usage->get_header_value("Connection"), "close");
    std::this_thread::sleep_for(600ms);
  }
  server.stop();
}

TEST(WebServer, ARequestDeadlineMustBeLongerThanZero) {
  ServeOptions options;
  options.request_deadline = 0ms;
  EXPECT_THROW(WebServer(options, [](const ServeJob&) {}), ValueError);
}

TEST(WebServer, ATakenPortIsRefusedNotShared) {
  WebServer first({}, [](const ServeJob&) {});
  first.start();
  ServeOptions same;
  same.port = first.port();
  WebServer second(same, [](const ServeJob&) {});
  try {
    second.start();
    ADD_FAILURE() << "a second server started on port " << first.port();
  } catch (const RuntimeError& e) {
    EXPECT_NE(std::string(e.what()).find("is another program using that port?"), std::string::npos)
        << e.what();
  }
  first.stop();
  // Once free, the port can be taken again at once.
  WebServer third(same, [](const ServeJob&) {});
  EXPECT_NO_THROW(third.start());
  third.stop();
}

}  // namespace
}  // namespace norvex
