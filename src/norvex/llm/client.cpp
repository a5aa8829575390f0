// Model-service clients: endpoints, keys, retries and error translation. The HTTP exchange
// itself is behind http::send.
#include "norvex/llm/client.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <thread>
#include <utility>

#include "norvex/host/interrupt.hpp"

namespace norvex {
namespace {

// Deeply nested bodies would exhaust the stack of every recursive consumer later on.
constexpr int kMaxResponseDepth = 512;
constexpr size_t kMaxMessageBody = 1000;

std::optional<std::string> env(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

std::string strip_trailing_slashes(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

// Cuts at a character boundary so that a truncated message stays valid UTF-8.
std::string truncate_utf8(const std::string& text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  size_t cut = max_bytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + "...";
}

json parse_body(const std::string& text) {
  return json::parse(text, [](int depth, json::parse_event_t, json&) {
    if (depth > kMaxResponseDepth) throw std::runtime_error("response nested too deeply");
    return true;
  });
}

std::optional<json> try_parse_body(const std::string& text) {
  try {
    return parse_body(text);
  } catch (...) {
    return std::nullopt;
  }
}

const char* reason_phrase(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 413:
      return "Payload Too Large";
    case 422:
      return "Unprocessable Entity";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "Unknown Status";
  }
}

// Field of the service's error object ({"error": {...}} or the object itself).
std::optional<std::string> error_field(const json& body, const char* name) {
  if (!body.is_object()) return std::nullopt;
  const json* obj = &body;
  if (body.contains("error") && body["error"].is_object()) obj = &body["error"];
  if (obj->contains(name)) {
    const json& v = (*obj)[name];
    if (v.is_string()) return v.get<std::string>();
    if (!v.is_null()) return dump_json(v);
  }
  return std::nullopt;
}

double uniform01() {
  thread_local std::mt19937_64 gen{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.0, 1.0)(gen);
}

// Retry-After as the OpenAI client reads it: milliseconds header first, then seconds
// (a float is accepted), then an HTTP date.
std::optional<double> retry_after_seconds(const http::Response& r) {
  if (auto ms = r.header("retry-after-ms")) {
    try {
      return std::stod(*ms) / 1000.0;
    } catch (...) {
    }
  }
  if (auto s = r.header("retry-after")) {
    try {
      size_t used = 0;
      double v = std::stod(*s, &used);
      if (used == s->size()) return v;
    } catch (...) {
    }
    if (auto when = http::parse_http_date(*s)) {
      return std::difftime(*when, std::time(nullptr));
    }
  }
  return std::nullopt;
}

bool header_safe(const std::string& value) {
  return value.find_first_of("\r\n") == std::string::npos;
}

// A path segment, percent-encoded (a '/' or "." of a model name stays inside the segment).
std::string escape_segment(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || (c == '.' && text != "." && text != "..")) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

bool name_chars(const std::string& name, bool allow_colon) {
  if (name.empty() || name.size() > 256 || !std::isalnum(static_cast<unsigned char>(name[0])))
    return false;
  return std::all_of(name.begin(), name.end(), [allow_colon](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c < 0x80 &&
           (std::isalnum(c) || c == '-' || c == '.' || c == '_' || (allow_colon && c == ':'));
  });
}

// A rejected name as the message shows it: quoted, cut when long.
std::string quoted_name(const std::string& name) {
  return "'" + truncate_utf8(name, 100) + "'";
}

const char* const kGeminiPrefixes[] = {"models/", "tunedModels/"};

thread_local WaitNotice current_wait_notice;

// Short slices, so that the stop button is heard within a fraction of a second.
void interruptible_sleep(double seconds) {
  using clock = std::chrono::steady_clock;
  const auto until = clock::now() + std::chrono::duration_cast<clock::duration>(
                                        std::chrono::duration<double>(std::max(0.0, seconds)));
  while (true) {
    check_interrupt();
    const auto now = clock::now();
    if (now >= until) return;
    std::this_thread::sleep_for(
        std::min<clock::duration>(until - now, std::chrono::milliseconds(100)));
  }
}

bool interrupt_requested() {
  try {
    check_interrupt();
    return false;
  } catch (const Interrupted&) {
    return true;
  }
}

std::string whole_seconds(double seconds) {
  return std::to_string(std::max(1L, std::lround(std::ceil(seconds))));
}

// The host part of a URL ("http://[::1]:8080/v1" -> "::1"), lower case.
std::string url_host(const std::string& url) {
  size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  size_t end = url.find_first_of("/?#", start);
  std::string authority =
      url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
  std::string host;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    host = authority.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  } else {
    host = authority.substr(0, authority.find(':'));
  }
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return host;
}

}  // namespace

ScopedWaitNotice::ScopedWaitNotice(WaitNotice notice)
    : previous_(std::exchange(current_wait_notice, std::move(notice))) {}

ScopedWaitNotice::~ScopedWaitNotice() {
  current_wait_notice = std::move(previous_);
}

bool is_loopback_url(const std::string& url) {
  const std::string host = url_host(url);
  if (host == "localhost" || host == "::1" || host == "0:0:0:0:0:0:0:1") return true;
  // 127.0.0.0/8, written as four decimal parts.
  if (host.rfind("127.", 0) != 0) return false;
  int parts = 1;
  for (char c : host) {
    if (c == '.') {
      ++parts;
    } else if (!std::isdigit(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return parts == 4;
}

bool is_openai_host_url(const std::string& url) {
  return url_host(url) == "api.openai.com";
}

WireChoice parse_wire_choice(const std::string& text) {
  if (text == "auto") return WireChoice::Auto;
  if (text == "responses") return WireChoice::Responses;
  if (text == "chat") return WireChoice::ChatCompletions;
  throw ValueError("wire must be 'auto', 'responses' or 'chat', not " + quoted_name(text));
}

// ---------------------------------------------------------------- retry policy

RetryPolicy RetryPolicy::openai_default() {
  RetryPolicy p;
  p.max_retries = 2;
  p.retry_statuses = {408, 409, 429};
  p.retry_any_5xx = true;
  p.retry_transport_errors = true;
  p.honor_retry_after = true;
  p.honor_should_retry_header = true;
  p.initial_delay_seconds = 0.5;
  p.max_delay_seconds = 8.0;
  p.exp_base = 2.0;
  p.jitter = Jitter::ScaleDown;
  p.jitter_amount = 0.25;
  return p;
}

RetryPolicy RetryPolicy::gemini_default() {
  RetryPolicy p = gemini_enabled();
  p.max_retries = 0;
  return p;
}

RetryPolicy RetryPolicy::gemini_enabled() {
  RetryPolicy p;
  p.max_retries = 4;
  p.retry_statuses = {408, 429, 500, 502, 503, 504};
  p.retry_any_5xx = false;
  p.retry_transport_errors = false;
  p.honor_retry_after = false;
  p.honor_should_retry_header = false;
  p.initial_delay_seconds = 1.0;
  p.max_delay_seconds = 60.0;
  p.exp_base = 2.0;
  p.jitter = Jitter::AddUniform;
  p.jitter_amount = 1.0;
  return p;
}

bool RetryPolicy::should_retry_status(int status) const {
  if (retry_any_5xx && status >= 500) return true;
  return std::find(retry_statuses.begin(), retry_statuses.end(), status) != retry_statuses.end();
}

double RetryPolicy::backoff_seconds(int retry_index) const {
  const double exponent = std::min(retry_index, 1000);
  const double base = initial_delay_seconds * std::pow(exp_base, exponent);
  double delay;
  if (jitter == Jitter::ScaleDown) {
    delay = std::min(base, max_delay_seconds) * (1.0 - jitter_amount * uniform01());
  } else {
    delay = std::min(base + jitter_amount * uniform01(), max_delay_seconds);
  }
  return std::max(0.0, delay);
}

// ---------------------------------------------------------------- common client

json ServiceClient::redact_value(const json& value) const {
  if (value.is_string()) return redact(value.get<std::string>());
  if (value.is_array()) {
    json out = json::array();
    for (const auto& item : value) out.push_back(redact_value(item));
    return out;
  }
  if (value.is_object()) {
    json out = json::object();
    for (auto it = value.begin(); it != value.end(); ++it)
      out[redact(it.key())] = redact_value(it.value());
    return out;
  }
  return value;
}

std::string ServiceClient::redact(std::string text) const {
  // A key of a few characters cannot be told apart from ordinary words; real keys are long.
  if (!effective_key_ || effective_key_->size() < 8) return text;
  const std::string& key = *effective_key_;
  for (size_t pos = text.find(key); pos != std::string::npos; pos = text.find(key, pos)) {
    text.replace(pos, key.size(), "[redacted]");
    pos += 10;
  }
  // Services echo a masked key ("sk-ab***...wxyz"); its visible ends still identify it.
  size_t i = 0;
  while (i < text.size()) {
    size_t start = text.find_first_not_of(" \t\r\n\"'", i);
    if (start == std::string::npos) break;
    size_t end = text.find_first_of(" \t\r\n\"'", start);
    if (end == std::string::npos) end = text.size();
    std::string token = text.substr(start, end - start);
    while (!token.empty() && (token.back() == '.' || token.back() == ',')) token.pop_back();
    bool masked = token.find("***") != std::string::npos;
    bool shares_end = token.size() >= 4 && key.size() >= 4 &&
                      (token.compare(0, 3, key, 0, 3) == 0 ||
                       token.compare(token.size() - 4, 4, key, key.size() - 4, 4) == 0);
    if (masked && shares_end) {
      text.replace(start, token.size(), "[redacted]");
      end = start + 10;
    }
    i = end;
  }
  return text;
}

const std::string& ServiceClient::require_key() const {
  if (!effective_key_) {
    // Each official client's own kind: google-genai raises ValueError, openai OpenAIError.
    if (std::string(provider()) == "gemini") throw ValueError(missing_key_message());
    throw ServiceError("OpenAIError", missing_key_message());
  }
  return *effective_key_;
}

json ServiceClient::post_json(
    const std::string& url, const json& body,
    const std::vector<std::pair<std::string, std::string>>& headers) const {
  http::Request request;
  request.method = "POST";
  request.url = url;
  request.headers = headers;
  request.body = dump_json(body);
  request.connect_timeout_seconds = timeouts_.connect_seconds;
  request.total_timeout_seconds = timeouts_.total_seconds;
  request.stall_timeout_seconds = timeouts_.stall_seconds;
  request.cancelled = interrupt_requested;
  const auto sleep = [this](double seconds) {
    if (sleeper_) {
      sleeper_(seconds);
    } else {
      interruptible_sleep(seconds);
    }
  };

  for (int attempt = 0;; ++attempt) {
    const int remaining = retry_.max_retries - attempt;
    http::Response response;
    try {
      response = http::send(request);
    } catch (const http::TransportError& e) {
      if (e.kind() == http::TransportError::Kind::Cancelled) throw Interrupted{};
      if (remaining > 0 && retry_.retry_transport_errors &&
          e.kind() != http::TransportError::Kind::TooLarge) {
        sleep(retry_.backoff_seconds(attempt));
        continue;
      }
      throw transport_error(http::TransportError(e.kind(), redact(e.what())));
    }

    if (response.status >= 200 && response.status < 300) {
      try {
        return parse_body(response.body);
      } catch (...) {
        throw unreadable_response(redact(truncate_utf8(response.body, kMaxMessageBody)));
      }
    }

    const int status = static_cast<int>(response.status);
    bool retry = retry_.should_retry_status(status);
    if (retry_.honor_should_retry_header) {
      if (auto h = response.header("x-should-retry")) {
        if (*h == "true") retry = true;
        if (*h == "false") retry = false;
      }
    }
    std::optional<double> server_delay;
    if (retry_.honor_retry_after) {
      server_delay = retry_after_seconds(response);
      if (server_delay && !std::isfinite(*server_delay)) server_delay.reset();
    }
    // Waiting longer than the bound would leave the user staring at a silent line (and an
    // immediate retry would only be refused again): give up now and say how long to wait.
    if (retry && server_delay && *server_delay > retry_.max_server_wait_seconds) {
      const ServiceError e = status_error(status, response.body);
      throw ServiceError(
          e.type_name(),
          std::string(e.what()) + " (the service asks to wait " + whole_seconds(*server_delay) +
              " s before trying again, longer than norvex waits (" +
              whole_seconds(retry_.max_server_wait_seconds) + " s); try again later)",
          e.status(), e.body());
    }
    if (remaining > 0 && retry) {
      double delay = retry_.backoff_seconds(attempt);
      if (server_delay && *server_delay > 0) {
        delay = *server_delay;
        if (delay >= 1.0 && current_wait_notice) {
          current_wait_notice("ℹ️ INFO: The model service asks to wait " +
                              whole_seconds(delay) + " s before trying again (HTTP " +
                              std::to_string(status) + "); waiting.");
        }
      }
      sleep(delay);
      continue;
    }
    throw status_error(status, response.body);
  }
}

// ---------------------------------------------------------------- Gemini

GeminiClient::GeminiClient(std::optional<std::string> api_key, std::optional<std::string> base_url)
    : ServiceClient(std::move(api_key), std::move(base_url)) {
  // google-genai: an empty key counts as none; GOOGLE_API_KEY wins over GEMINI_API_KEY.
  if (api_key_ && !api_key_->empty()) {
    effective_key_ = *api_key_;
  } else if (auto k = env("GOOGLE_API_KEY")) {
    effective_key_ = *k;
  } else if (auto k2 = env("GEMINI_API_KEY")) {
    effective_key_ = *k2;
  }
  if (effective_key_) {
    // The official client strips the key.
    auto& k = *effective_key_;
    k.erase(0, k.find_first_not_of(" \t\r\n"));
    k.erase(k.find_last_not_of(" \t\r\n") + 1);
  }
  if (base_url_ && !base_url_->empty()) {
    effective_base_url_ = *base_url_;
  } else if (auto b = env("GOOGLE_GEMINI_BASE_URL")) {
    effective_base_url_ = *b;
  } else {
    effective_base_url_ = kDefaultBaseUrl;
  }
  retry_ = RetryPolicy::gemini_default();
}

std::string GeminiClient::generate_content_url(const std::string& model) const {
  std::string collection = "models", name = model;
  for (const char* prefix : kGeminiPrefixes) {
    if (model.rfind(prefix, 0) == 0) {
      collection = std::string(prefix, std::strlen(prefix) - 1);
      name = model.substr(std::strlen(prefix));
    }
  }
  return strip_trailing_slashes(effective_base_url_) + "/" + kApiVersion + "/" + collection + "/" +
         escape_segment(name) + ":generateContent";
}

json GeminiClient::generate_content(const std::string& model, const json& request) const {
  // The name becomes part of the request path, which carries the key to the host.
  if (!valid_gemini_model_name(model)) {
    throw ValueError("Invalid Gemini model name " + quoted_name(model) +
                     ": use letters, digits, '-', '.' and '_' (e.g. gemini-2.5-flash).");
  }
  const std::string& key = require_key();
  if (!header_safe(key)) throw ValueError("The API key contains a line break.");
  return post_json(generate_content_url(model), request,
                   {{"Content-Type", "application/json"},
                    {"x-goog-api-key", key},
                    {"User-Agent", "norvex/0.1"}});
}

ServiceError GeminiClient::status_error(int status, const std::string& body_text) const {
  std::optional<json> body = try_parse_body(body_text);
  std::string message, state;
  if (body && body->is_object()) {
    message = error_field(*body, "message").value_or("None");
    state = error_field(*body, "status").value_or("None");
  } else {
    message = body_text;
    state = reason_phrase(status);
  }
  const std::string text =
      redact(std::to_string(status) + " " + state + ". " + truncate_utf8(message, kMaxMessageBody));
  const char* kind = (status >= 400 && status < 500)   ? "ClientError"
                     : (status >= 500 && status < 600) ? "ServerError"
                                                       : "APIError";
  return ServiceError(kind, text, status, body ? redact_value(*body) : json());
}

ServiceError GeminiClient::transport_error(const http::TransportError& e) const {
  using K = http::TransportError::Kind;
  switch (e.kind()) {
    case K::Connect:
      return ServiceError("ConnectError", std::string("Could not reach the Gemini service at ") +
                                              redact(effective_base_url_) + ": " + e.what());
    case K::ConnectTimeout:
      return ServiceError("ConnectTimeout", std::string("Timed out connecting to ") +
                                                redact(effective_base_url_) + ": " + e.what());
    case K::ReadTimeout:
      return ServiceError("ReadTimeout",
                          std::string("Timed out waiting for the Gemini service: ") + e.what());
    case K::TooLarge:
      return ServiceError("UnknownApiResponseError", std::string("Response rejected: ") + e.what());
    default:
      return ServiceError("ConnectError",
                          std::string("Request to the Gemini service failed: ") + e.what());
  }
}

ServiceError GeminiClient::unreadable_response(const std::string& body_text) const {
  return ServiceError("UnknownApiResponseError",
                      "Failed to parse response as JSON. Raw response: " + body_text);
}

std::string GeminiClient::missing_key_message() const {
  return "No API key was provided. Please pass a valid API key or set GOOGLE_API_KEY or "
         "GEMINI_API_KEY.";
}

// ---------------------------------------------------------------- OpenAI

OpenAIClient::OpenAIClient(std::optional<std::string> api_key, std::optional<std::string> base_url,
                           WireChoice wire)
    : ServiceClient(std::move(api_key), std::move(base_url)) {
  if (base_url_ && !base_url_->empty()) {
    effective_base_url_ = *base_url_;
  } else if (auto b = env("OPENAI_BASE_URL")) {
    effective_base_url_ = *b;
  } else {
    effective_base_url_ = kDefaultBaseUrl;
  }
  // openai-python: only a missing key (None) falls back to the environment.
  if (api_key_) {
    effective_key_ = *api_key_;
  } else if (auto k = env("OPENAI_API_KEY")) {
    effective_key_ = *k;
  }
  switch (wire) {
    case WireChoice::Responses:
      wire_ = OpenAIWire::Responses;
      break;
    case WireChoice::ChatCompletions:
      wire_ = OpenAIWire::ChatCompletions;
      break;
    case WireChoice::Auto:
      wire_ = official_host() ? OpenAIWire::Responses : OpenAIWire::ChatCompletions;
      break;
  }
  retry_ = RetryPolicy::openai_default();
}

bool OpenAIClient::official_host() const {
  return is_openai_host_url(effective_base_url_);
}

bool OpenAIClient::loopback() const {
  return is_loopback_url(effective_base_url_);
}

json OpenAIClient::create_response(const json& request) const {
  return post_openai("/responses", request);
}

json OpenAIClient::create_chat_completion(const json& request) const {
  return post_openai("/chat/completions", request);
}

json OpenAIClient::post_openai(const char* path, const json& request) const {
  if (request.is_object() && request.contains("model") && request["model"].is_string() &&
      !valid_openai_model_name(request["model"].get<std::string>())) {
    throw ValueError("Invalid OpenAI model name " +
                     quoted_name(request["model"].get<std::string>()) +
                     ": use letters, digits, '-', '.', '_' and ':' (e.g. gpt-5).");
  }
  http::Headers headers = {{"Content-Type", "application/json"}, {"Accept", "application/json"}};
  const bool keyless = loopback() && (!effective_key_ || effective_key_->empty());
  if (!keyless) {
    const std::string& key = require_key();
    if (!header_safe(key)) throw ValueError("The API key contains a line break.");
    headers.emplace_back("Authorization", "Bearer " + key);
  }
  headers.emplace_back("User-Agent", "norvex/0.1");
  const std::string url = strip_trailing_slashes(effective_base_url_) + path;
  try {
    return post_json(url, request, headers);
  } catch (const ServiceError& e) {
    // An unknown model is a 404 too, and says so itself; any other 404 means the server
    // has no such endpoint: a local server that speaks only the other request shape.
    if (e.status() != 404 ||
        error_field(e.body(), "code") == std::optional<std::string>("model_not_found"))
      throw;
    const bool chat = std::string(path) == "/chat/completions";
    std::string hint = std::string(e.what()) + " (the server at " + redact(effective_base_url_) +
                       " does not speak the " + (chat ? "Chat Completions" : "Responses") +
                       " API: POST " + redact(url) + " was not found; if it speaks the " +
                       (chat ? "Responses" : "Chat Completions") + " API, use --wire " +
                       (chat ? "responses" : "chat") + ", wire=\"" + (chat ? "responses" : "chat") +
                       "\" in Python)";
    throw ServiceError(e.type_name(), hint, e.status(), e.body());
  }
}

ServiceError OpenAIClient::status_error(int status, const std::string& body_text) const {
  std::optional<json> body = try_parse_body(body_text);
  std::string detail;
  if (body) {
    detail = error_field(*body, "message").value_or(dump_json(*body));
  } else {
    detail = body_text;
  }
  std::string text = "Error code: " + std::to_string(status);
  if (!detail.empty()) text += " - " + truncate_utf8(detail, kMaxMessageBody);
  const char* kind = "APIStatusError";
  switch (status) {
    case 400:
      kind = "BadRequestError";
      break;
    case 401:
      kind = "AuthenticationError";
      break;
    case 403:
      kind = "PermissionDeniedError";
      break;
    case 404:
      kind = "NotFoundError";
      break;
    case 409:
      kind = "ConflictError";
      break;
    case 422:
      kind = "UnprocessableEntityError";
      break;
    case 429:
      kind = "RateLimitError";
      break;
    default:
      if (status >= 500) kind = "InternalServerError";
  }
  return ServiceError(kind, redact(text), status, body ? redact_value(*body) : json());
}

ServiceError OpenAIClient::transport_error(const http::TransportError& e) const {
  using K = http::TransportError::Kind;
  if (e.kind() == K::ConnectTimeout || e.kind() == K::ReadTimeout) {
    return ServiceError("APITimeoutError", std::string("Request timed out. (") + e.what() + ")");
  }
  if (e.kind() == K::TooLarge) {
    return ServiceError("APIResponseValidationError",
                        std::string("Response rejected: ") + e.what());
  }
  return ServiceError(
      "APIConnectionError",
      "Connection error: could not reach " + redact(effective_base_url_) + " (" + e.what() + ")");
}

ServiceError OpenAIClient::unreadable_response(const std::string& body_text) const {
  return ServiceError("APIResponseValidationError",
                      "Failed to parse response as JSON. Raw response: " + body_text);
}

std::string OpenAIClient::missing_key_message() const {
  return "The api_key client option must be set either by passing api_key to the client or "
         "by setting the OPENAI_API_KEY environment variable";
}

// ---------------------------------------------------------------- model names

bool valid_gemini_model_name(const std::string& name) {
  for (const char* prefix : kGeminiPrefixes) {
    if (name.rfind(prefix, 0) == 0) return name_chars(name.substr(std::strlen(prefix)), false);
  }
  return name_chars(name, false);
}

bool valid_openai_model_name(const std::string& name) {
  return name_chars(name, true);
}

// ---------------------------------------------------------------- response attributes

std::optional<std::string> gemini_response_text(const json& response) {
  if (!response.is_object() || !response.contains("candidates")) return std::nullopt;
  const json& candidates = response["candidates"];
  if (!candidates.is_array() || candidates.empty()) return std::nullopt;
  const json& first = candidates[0];
  if (!first.is_object() || !first.contains("content") || !first["content"].is_object())
    return std::nullopt;
  const json& content = first["content"];
  if (!content.contains("parts") || !content["parts"].is_array()) return std::nullopt;
  std::string text;
  bool any = false;
  for (const json& part : content["parts"]) {
    if (!part.is_object() || !part.contains("text") || !part["text"].is_string()) continue;
    if (part.contains("thought") && part["thought"].is_boolean() && part["thought"].get<bool>())
      continue;
    text += part["text"].get<std::string>();
    any = true;
  }
  if (!any) return std::nullopt;
  return text;
}

std::string openai_output_text(const json& response) {
  std::string text;
  if (!response.is_object() || !response.contains("output") || !response["output"].is_array())
    return text;
  for (const json& item : response["output"]) {
    if (!item.is_object() || item.value("type", json()) != "message") continue;
    if (!item.contains("content") || !item["content"].is_array()) continue;
    for (const json& c : item["content"]) {
      if (c.is_object() && c.value("type", json()) == "output_text" && c.contains("text") &&
          c["text"].is_string()) {
        text += c["text"].get<std::string>();
      }
    }
  }
  return text;
}

}  // namespace norvex
