#pragma once
// One HTTP exchange as plain values. The only implementation (http_curl.cpp) is the one file
// that sees libcurl; the clients above it know nothing of curl.
#include <cstddef>
#include <ctime>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norvex::http {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Request {
  std::string method = "POST";
  std::string url;
  Headers headers;
  std::string body;
  double connect_timeout_seconds = 5.0;
  double total_timeout_seconds = 600.0;  // 0: no limit
  // A server whose answer has begun and then sends nothing for this long is given up on
  // (0: no limit), so a trickle cannot hold a request for the whole total timeout. The wait
  // before the first byte is left to the total timeout: a model may think for minutes.
  double stall_timeout_seconds = 60.0;
  // A misbehaving server must not exhaust memory.
  size_t max_response_bytes = size_t(64) << 20;
  // Asked about once a second (and more often while data flows); true abandons the
  // exchange, so a stop button ends a call to a server that never answers.
  std::function<bool()> cancelled;
};

struct Response {
  long status = 0;
  Headers headers;  // names in lower case, in arrival order (final response only)
  std::string body;
  // First value of the named header (case-insensitive), if present.
  std::optional<std::string> header(std::string_view name) const;
};

// A request that produced no HTTP response.
class TransportError : public std::runtime_error {
 public:
  enum class Kind { Connect, ConnectTimeout, ReadTimeout, TooLarge, Cancelled, Other };
  TransportError(Kind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

// Performs the request; redirects are not followed, so credentials never reach another host.
Response send(const Request& request);

// Seconds since the epoch of an HTTP date (Retry-After), if it parses.
std::optional<std::time_t> parse_http_date(const std::string& text);

}  // namespace norvex::http
