#pragma once
// Model-service clients: our own small layer in place of the official Gemini and OpenAI
// client libraries. The assistant creates one by model-name prefix and holds the key as
// given; requests are made by the provider adapters, in each service's own REST shape.
//
// Defaults follow the official Python clients: endpoint from the argument, else the
// environment variable that client reads (GOOGLE_GEMINI_BASE_URL, OPENAI_BASE_URL), else
// the public endpoint; a null key falls back to GOOGLE_API_KEY / GEMINI_API_KEY or
// OPENAI_API_KEY. The key travels only in a request header; it never appears in an error.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "norvex/common/errors.hpp"
#include "norvex/common/json.hpp"
#include "norvex/llm/http.hpp"

namespace norvex {

// A failed service request: an HTTP error status, no connection, a timeout or an unreadable
// response. type_name() is the official client's error class name ("RateLimitError",
// "BadRequestError", "APIConnectionError", ... for OpenAI; "ClientError", "ServerError",
// "ConnectError", ... for Gemini).
class ServiceError : public Error {
 public:
  ServiceError(std::string kind, const std::string& message, int status = 0, json body = nullptr)
      : Error(message), kind_(std::move(kind)), status_(status), body_(std::move(body)) {}
  const char* type_name() const noexcept override { return kind_.c_str(); }
  int status() const noexcept { return status_; }      // 0 when no HTTP response arrived
  const json& body() const noexcept { return body_; }  // the error body, when it was JSON

 private:
  std::string kind_;
  int status_;
  json body_;
};

// When and how long to wait before repeating a failed request.
struct RetryPolicy {
  enum class Jitter {
    ScaleDown,  // delay * (1 - jitter * U[0,1))   (openai-python)
    AddUniform  // delay + U[0, jitter) seconds    (tenacity, used by google-genai)
  };
  int max_retries = 0;              // repeats after the first attempt
  std::vector<int> retry_statuses;  // statuses worth repeating
  bool retry_any_5xx = false;
  bool retry_transport_errors = false;     // no connection, timeouts
  bool honor_retry_after = false;          // retry-after-ms / Retry-After within (0, max] s
  bool honor_should_retry_header = false;  // x-should-retry: true/false
  double initial_delay_seconds = 0.5;
  double max_delay_seconds = 8.0;
  double exp_base = 2.0;
  Jitter jitter = Jitter::ScaleDown;
  double jitter_amount = 0.25;
  // The longest wait a server may ask for; a longer one fails the request at once, with the
  // wait in the message, rather than leaving the user staring at a silent line.
  double max_server_wait_seconds = 60.0;

  // openai-python: 2 retries on 408, 409, 429, 5xx and transport errors; 0.5 s doubling up
  // to 8 s, scaled down by up to 25 %; Retry-After honoured up to 60 s.
  static RetryPolicy openai_default();
  // google-genai: no retries unless retry options are given.
  static RetryPolicy gemini_default();
  // google-genai with retry options switched on: 5 attempts on 408, 429, 500, 502, 503,
  // 504; 1 s doubling up to 60 s plus up to 1 s of jitter; Retry-After not read.
  static RetryPolicy gemini_enabled();

  bool should_retry_status(int status) const;
  // Backoff before retry number `retry_index` (0 for the first repeat), without headers.
  double backoff_seconds(int retry_index) const;
};

struct Timeouts {
  double connect_seconds = 5.0;
  double total_seconds = 600.0;  // 0: no limit
  // No bytes for this long, once the answer has begun, aborts the attempt (0: no limit). The
  // wait for the first byte (a model thinking) is bounded by total_seconds alone.
  double stall_seconds = 60.0;
};

class ServiceClient {
 public:
  virtual ~ServiceClient() = default;
  virtual const char* provider() const = 0;  // "gemini" or "openai"
  const std::optional<std::string>& api_key() const { return api_key_; }
  const std::optional<std::string>& base_url() const { return base_url_; }
  // The endpoint requests go to (argument, environment, or default).
  const std::string& effective_base_url() const { return effective_base_url_; }
  bool has_effective_key() const { return effective_key_.has_value(); }

  RetryPolicy& retry_policy() { return retry_; }
  const RetryPolicy& retry_policy() const { return retry_; }
  Timeouts& timeouts() { return timeouts_; }
  const Timeouts& timeouts() const { return timeouts_; }

  // Replaces every occurrence of the key (and the service's masked echo of it) in `text`.
  std::string redact(std::string text) const;
  // The same inside every text and key of a JSON value (an error body kept for callers).
  json redact_value(const json& value) const;

  // How the client waits between attempts (tests replace it so they never really wait).
  // The default sleeps in short slices and honours the interruption check meanwhile.
  using Sleeper = std::function<void(double seconds)>;
  void set_sleeper(Sleeper sleeper) { sleeper_ = std::move(sleeper); }

 protected:
  ServiceClient(std::optional<std::string> api_key, std::optional<std::string> base_url)
      : api_key_(std::move(api_key)), base_url_(std::move(base_url)) {}

  // POSTs `body` as JSON to `url` with the retry policy; returns the parsed success body.
  json post_json(const std::string& url, const json& body,
                 const std::vector<std::pair<std::string, std::string>>& headers) const;
  // Provider-specific error translation.
  virtual ServiceError status_error(int status, const std::string& body_text) const = 0;
  virtual ServiceError transport_error(const http::TransportError& e) const = 0;
  virtual ServiceError unreadable_response(const std::string& body_text) const = 0;
  const std::string& require_key() const;
  virtual std::string missing_key_message() const = 0;

  std::optional<std::string> api_key_;
  std::optional<std::string> base_url_;
  std::optional<std::string> effective_key_;
  std::string effective_base_url_;
  RetryPolicy retry_;
  Timeouts timeouts_;
  Sleeper sleeper_;
};

// Where a client says that it waits because the server asked it to (one line for the
// user). Installed per thread for the duration of a model call; none: nothing is said.
using WaitNotice = std::function<void(std::string_view line)>;
class ScopedWaitNotice {
 public:
  explicit ScopedWaitNotice(WaitNotice notice);
  ~ScopedWaitNotice();
  ScopedWaitNotice(const ScopedWaitNotice&) = delete;
  ScopedWaitNotice& operator=(const ScopedWaitNotice&) = delete;

 private:
  WaitNotice previous_;
};

class GeminiClient : public ServiceClient {
 public:
  explicit GeminiClient(std::optional<std::string> api_key,
                        std::optional<std::string> base_url = std::nullopt);
  const char* provider() const override { return "gemini"; }

  static constexpr const char* kDefaultBaseUrl = "https://generativelanguage.googleapis.com/";
  static constexpr const char* kApiVersion = "v1beta";

  // POST {base}/v1beta/models/{model}:generateContent with `request` (contents,
  // generationConfig, ... in the REST shape); returns the GenerateContentResponse JSON.
  // `model` must be a model name ("gemini-2.5-flash", optionally "models/" or
  // "tunedModels/" before it): anything else is a ValueError, before any request.
  json generate_content(const std::string& model, const json& request) const;
  std::string generate_content_url(const std::string& model) const;

 protected:
  ServiceError status_error(int status, const std::string& body_text) const override;
  ServiceError transport_error(const http::TransportError& e) const override;
  ServiceError unreadable_response(const std::string& body_text) const override;
  std::string missing_key_message() const override;
};

// The two OpenAI request shapes. Local OpenAI-compatible servers (llama.cpp, Ollama, vLLM,
// LM Studio) honour a schema reliably only on Chat Completions.
enum class OpenAIWire { Responses, ChatCompletions };
// What the user asked for: Auto picks Responses on OpenAI's own host and Chat Completions
// on any other base URL.
enum class WireChoice { Auto, Responses, ChatCompletions };

// "auto", "responses", "chat" (ValueError naming the choices otherwise).
WireChoice parse_wire_choice(const std::string& text);

class OpenAIClient : public ServiceClient {
 public:
  explicit OpenAIClient(std::optional<std::string> api_key,
                        std::optional<std::string> base_url = std::nullopt,
                        WireChoice wire = WireChoice::Auto);
  const char* provider() const override { return "openai"; }

  static constexpr const char* kDefaultBaseUrl = "https://api.openai.com/v1";

  OpenAIWire wire() const { return wire_; }
  // Whether requests go to api.openai.com (whose reasoning models refuse `temperature`).
  bool official_host() const;
  // Whether the endpoint is this machine (localhost, 127.0.0.0/8, ::1): such a server
  // needs no key, and without one no Authorization header is sent at all.
  bool loopback() const;

  // POST {base}/responses with `request` (model, input, ...); returns the Response JSON.
  // A "model" that is no model name (letters, digits, '-', '.', '_', ':') is a ValueError.
  json create_response(const json& request) const;
  // POST {base}/chat/completions with `request` (model, messages, ...); returns the
  // ChatCompletion JSON. Same name check and errors as create_response.
  json create_chat_completion(const json& request) const;

 protected:
  ServiceError status_error(int status, const std::string& body_text) const override;
  ServiceError transport_error(const http::TransportError& e) const override;
  ServiceError unreadable_response(const std::string& body_text) const override;
  std::string missing_key_message() const override;

 private:
  json post_openai(const char* path, const json& request) const;
  OpenAIWire wire_ = OpenAIWire::Responses;
};

// Whether `name` follows the service's model-name grammar: a letter or digit, then
// letters, digits, '-', '.', '_' (and ':' for OpenAI's fine-tuned names); Gemini names may
// start with "models/" or "tunedModels/".
bool valid_gemini_model_name(const std::string& name);
bool valid_openai_model_name(const std::string& name);

// Response attributes as the official clients derive them.
// Gemini `text`: the first candidate's text parts joined (thought parts skipped); none when
// there is no candidate or no text part.
std::optional<std::string> gemini_response_text(const json& response);
// OpenAI `output_text`: every "output_text" item of every "message" output, joined.
std::string openai_output_text(const json& response);

// Whether a URL's host is this machine (localhost, 127.0.0.0/8, [::1]).
bool is_loopback_url(const std::string& url);
// Whether a URL's host is OpenAI's own API host.
bool is_openai_host_url(const std::string& url);

}  // namespace norvex
