#include "norvex/serve/deadline_server.hpp"

#include <httplib.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace norvex {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Waits up to timeout for the socket to be ready (or closed, which a read then reports).
bool ready(int sock, short events, Clock::duration timeout) {
  pollfd polled{sock, events, 0};
  const auto ms = std::max<long long>(0, std::chrono::ceil<milliseconds>(timeout).count());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int n = ::poll(&polled, 1, static_cast<int>(std::min<long long>(ms, 1 << 30)));
    if (n >= 0) return n > 0;
    if (errno != EINTR) return false;
  }
  return false;
}

void address_of(int sock, bool peer, std::string& ip, int& port) {
  sockaddr_storage addr{};
  socklen_t size = sizeof(addr);
  auto* raw = reinterpret_cast<sockaddr*>(&addr);
  if ((peer ? ::getpeername(sock, raw, &size) : ::getsockname(sock, raw, &size)) != 0) return;
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (::getnameinfo(raw, size, host, sizeof(host), service, sizeof(service),
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return;
  ip = host;
  port = std::atoi(service);
}

// One connection's socket, read through a buffer (the library reads headers a byte at a
// time). Reads fail once the current request's deadline has passed.
class DeadlineStream : public httplib::Stream {
 public:
  DeadlineStream(int sock, Clock::duration read_timeout, Clock::duration write_timeout,
                 Clock::duration request_deadline)
      : sock_(sock),
        read_timeout_(read_timeout),
        write_timeout_(write_timeout),
        request_deadline_(request_deadline) {}

  void start_request() { deadline_ = Clock::now() + request_deadline_; }
  bool has_buffered() const { return taken_ < buffered_; }

  bool is_readable() const override {
    const auto left = deadline_ - Clock::now();
    return left > Clock::duration::zero() && ready(sock_, POLLIN, std::min(read_timeout_, left));
  }
  bool is_writable() const override { return ready(sock_, POLLOUT, write_timeout_); }

  ssize_t read(char* ptr, size_t size) override {
    if (!has_buffered()) {
      if (!is_readable()) return -1;
      ssize_t n = -1;
      for (int attempt = 0; attempt < 100 && n < 0; ++attempt) {
        n = ::recv(sock_, buffer_, sizeof(buffer_), 0);
        if (n < 0 && errno != EINTR) return -1;
      }
      if (n <= 0) return n;
      buffered_ = static_cast<size_t>(n);
      taken_ = 0;
    }
    const size_t n = std::min(size, buffered_ - taken_);
    std::memcpy(ptr, buffer_ + taken_, n);
    taken_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
      const ssize_t n = ::send(sock_, ptr, size, MSG_NOSIGNAL);
      if (n >= 0 || errno != EINTR) return n;
    }
    return -1;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    address_of(sock_, true, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    address_of(sock_, false, ip, port);
  }
  socket_t socket() const override { return sock_; }

 private:
  int sock_;
  Clock::duration read_timeout_;
  Clock::duration write_timeout_;
  Clock::duration request_deadline_;
  Clock::time_point deadline_ = Clock::now();
  char buffer_[4096];
  size_t buffered_ = 0;
  size_t taken_ = 0;
};

// Serves each connection like the library does (requests in turn while the client keeps it
// alive), through a stream that holds each request to the deadline.
class DeadlineServer : public httplib::Server {
 public:
  explicit DeadlineServer(Clock::duration request_deadline) : request_deadline_(request_deadline) {}

 private:
  bool process_and_close_socket(socket_t sock) override {
    DeadlineStream stream(sock, timeout(read_timeout_sec_, read_timeout_usec_),
                          timeout(write_timeout_sec_, write_timeout_usec_), request_deadline_);
    bool ok = false;
    for (size_t left = keep_alive_max_count_; left > 0 && next_request_arrives(stream); --left) {
      stream.start_request();
      bool connection_closed = false;
      const bool close_connection = left == 1 || svr_sock_ == INVALID_SOCKET;
      ok = process_request(stream, close_connection, connection_closed, nullptr);
      if (!ok || connection_closed) break;
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
  }

  static Clock::duration timeout(time_t sec, time_t usec) {
    return std::chrono::seconds(sec) + std::chrono::microseconds(usec);
  }

  // Waits for the connection's next request, looking often enough to notice a server
  // that is stopping.
  bool next_request_arrives(const DeadlineStream& stream) const {
    const auto until = Clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
    while (svr_sock_ != INVALID_SOCKET) {
      if (stream.has_buffered() || ready(stream.socket(), POLLIN, milliseconds(10))) return true;
      if (Clock::now() >= until) return false;
    }
    return false;
  }

  Clock::duration request_deadline_;
};

}  // namespace

std::unique_ptr<httplib::Server> make_deadline_server(milliseconds request_deadline) {
  return std::make_unique<DeadlineServer>(request_deadline);
}

}  // namespace norvex
