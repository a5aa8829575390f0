// The libcurl side of the HTTP seam; no other file includes curl.
#include <curl/curl.h>

#include <chrono>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <mutex>

#include "norvex/common/text.hpp"
#include "norvex/llm/http.hpp"

namespace norvex::http {
namespace {

void global_init_once() {
  static std::once_flag flag;
  std::call_once(flag, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

struct Sink {
  Response* response;
  size_t limit;
  bool too_large = false;
  // Stall detection: only once the answer has begun, so a model that thinks for minutes
  // before its first byte is bounded by the total timeout alone.
  double stall_seconds = 0;
  bool answer_begun = false;
  std::chrono::steady_clock::time_point last_byte{};
  bool stalled = false;
  const std::function<bool()>* cancelled = nullptr;
  // The check may be costly (a notebook takes its interpreter's lock), so at most every
  // 100 ms however often curl reports progress.
  std::chrono::steady_clock::time_point last_check{};
  bool was_cancelled = false;
  void received() {
    answer_begun = true;
    last_byte = std::chrono::steady_clock::now();
  }
};

int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* sink = static_cast<Sink*>(user);
  if (sink->cancelled && *sink->cancelled) {
    const auto now = std::chrono::steady_clock::now();
    if (now - sink->last_check >= std::chrono::milliseconds(100)) {
      sink->last_check = now;
      if ((*sink->cancelled)()) {
        sink->was_cancelled = true;
        return 1;  // aborts the transfer
      }
    }
  }
  if (sink->stall_seconds <= 0 || !sink->answer_begun) return 0;
  const std::chrono::duration<double> quiet = std::chrono::steady_clock::now() - sink->last_byte;
  if (quiet.count() < sink->stall_seconds) return 0;
  sink->stalled = true;
  return 1;  // aborts the transfer
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t n = size * count;
  if (sink->response->body.size() + n > sink->limit) {
    sink->too_large = true;
    return 0;  // aborts the transfer
  }
  sink->response->body.append(data, n);
  sink->received();
  return n;
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t n = size * count;
  sink->received();
  std::string_view line(data, n);
  if (line.rfind("HTTP/", 0) == 0) {
    sink->response->headers.clear();  // a new status line (e.g. after 100 Continue)
    return n;
  }
  const size_t colon = line.find(':');
  if (colon != std::string_view::npos) {
    sink->response->headers.emplace_back(ascii_lower(trim(line.substr(0, colon))),
                                         trim(line.substr(colon + 1)));
  }
  return n;
}

struct EasyHandle {
  CURL* h = curl_easy_init();
  curl_slist* headers = nullptr;
  ~EasyHandle() {
    if (headers) curl_slist_free_all(headers);
    if (h) curl_easy_cleanup(h);
  }
};

long to_ms(double seconds) {
  return seconds <= 0 ? 0 : std::max(1L, static_cast<long>(seconds * 1000.0));
}

}  // namespace

std::optional<std::string> Response::header(std::string_view name) const {
  const std::string wanted = ascii_lower(std::string(name));
  for (const auto& [k, v] : headers)
    if (k == wanted) return v;
  return std::nullopt;
}

Response send(const Request& request) {
  global_init_once();
  EasyHandle easy;
  if (!easy.h) throw TransportError(TransportError::Kind::Other, "could not create an HTTP handle");
  Response response;
  Sink sink{&response, request.max_response_bytes};
  char error_buffer[CURL_ERROR_SIZE] = {0};

  for (const auto& [name, value] : request.headers) {
    const std::string line = name + ": " + value;
    easy.headers = curl_slist_append(easy.headers, line.c_str());
  }
  // No "Expect: 100-continue" round trip for large bodies.
  easy.headers = curl_slist_append(easy.headers, "Expect:");

  CURL* h = easy.h;
  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, easy.headers);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, to_ms(request.connect_timeout_seconds));
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, to_ms(request.total_timeout_seconds));
  sink.stall_seconds = request.stall_timeout_seconds;
  sink.cancelled = &request.cancelled;
  if (sink.stall_seconds > 0 || request.cancelled) {
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &sink);
  }
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &sink);
  if (request.method == "POST") {
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
  } else if (request.method != "GET") {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }

  const CURLcode rc = curl_easy_perform(h);
  if (rc != CURLE_OK) {
    std::string message = error_buffer[0] ? error_buffer : curl_easy_strerror(rc);
    if (sink.was_cancelled) {
      throw TransportError(TransportError::Kind::Cancelled, "the request was stopped");
    }
    if (sink.stalled) {
      throw TransportError(TransportError::Kind::ReadTimeout,
                           "no data from the server for " +
                               std::to_string(std::lround(sink.stall_seconds)) +
                               " s after its answer had begun");
    }
    if (sink.too_large) {
      throw TransportError(
          TransportError::Kind::TooLarge,
          "response body larger than " + std::to_string(request.max_response_bytes) + " bytes");
    }
    switch (rc) {
      case CURLE_COULDNT_CONNECT:
      case CURLE_COULDNT_RESOLVE_HOST:
      case CURLE_COULDNT_RESOLVE_PROXY:
        throw TransportError(TransportError::Kind::Connect, message);
      case CURLE_OPERATION_TIMEDOUT: {
        curl_off_t connected_us = 0;
        curl_easy_getinfo(h, CURLINFO_CONNECT_TIME_T, &connected_us);
        throw TransportError(connected_us > 0 ? TransportError::Kind::ReadTimeout
                                              : TransportError::Kind::ConnectTimeout,
                             message);
      }
      default:
        throw TransportError(TransportError::Kind::Other, message);
    }
  }
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
  return response;
}

std::optional<std::time_t> parse_http_date(const std::string& text) {
  const time_t t = curl_getdate(text.c_str(), nullptr);
  if (t == -1) return std::nullopt;
  return t;
}

}  // namespace norvex::http
