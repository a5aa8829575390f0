#pragma once
// A loopback stand-in for the Gemini and OpenAI services: scripted responses per provider,
// every request recorded. Listens on 127.0.0.1 on an ephemeral port; stopped on destruction.
//
// OpenAI answers are scripted in the Responses shape and served to /responses, and to
// /chat/completions translated into that shape, so a conversation test runs over either
// wire. In Chat-Completions-only mode the stub is a local server instead: /chat/completions
// is answered from its own queue, as scripted, and /responses is a 404.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "norvex/common/json.hpp"

namespace httplib {
class Server;
}

namespace norvex::testing {

enum class StubProvider { Gemini, OpenAI, ChatCompletions };

struct StubResponse {
  int status = 200;
  json body = json::object();           // sent as JSON ...
  std::optional<std::string> raw_body;  // ... unless a raw (possibly invalid) body is given
  std::vector<std::pair<std::string, std::string>> headers;
  std::chrono::milliseconds delay{0};  // waited before answering
  // When set, the body goes out one byte per interval after the headers (a stalling server).
  std::chrono::milliseconds trickle{0};
  // No answer at all until the stub stops (at most a minute): a hanging server.
  bool never_answer = false;

  static StubResponse of_json(json body, int status = 200);
  static StubResponse of_raw(std::string text, int status = 200);
  StubResponse& with_header(std::string name, std::string value);
  StubResponse& with_delay(std::chrono::milliseconds d);
  StubResponse& with_trickle(std::chrono::milliseconds interval);
  static StubResponse hanging();
};

struct RecordedRequest {
  StubProvider provider;
  std::string method;
  std::string path;
  std::multimap<std::string, std::string> headers;  // names in lower case
  std::string body;
  json json_body;                                           // null when the body is not JSON
  std::string header(const std::string& lower_name) const;  // "" when absent
};

class StubModelServer {
 public:
  StubModelServer();
  ~StubModelServer();
  StubModelServer(const StubModelServer&) = delete;
  StubModelServer& operator=(const StubModelServer&) = delete;

  // "http://127.0.0.1:<port>": serves /v1beta/models/<model>:generateContent (Gemini) and
  // any path ending in /responses (OpenAI), so it works as either client's base URL.
  std::string base_url() const;
  int port() const { return port_; }

  void enqueue(StubProvider provider, StubResponse response);
  void enqueue_gemini_text(const std::string& text, int input_tokens = 10, int output_tokens = 5,
                           std::optional<int> total_tokens = std::nullopt);
  void enqueue_openai_text(const std::string& text, int input_tokens = 10, int output_tokens = 5,
                           std::optional<int> total_tokens = std::nullopt);
  void enqueue_chat_text(const std::string& text, int input_tokens = 10, int output_tokens = 5,
                         std::optional<int> total_tokens = std::nullopt);
  // A local server's behaviour: see the header comment.
  void set_chat_completions_only(bool on);
  size_t pending(StubProvider provider) const;

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requests(StubProvider provider) const;
  size_t request_count() const;
  void clear();

  // Success bodies in each service's REST shape carrying `text` and the usage given.
  static json gemini_response(const std::string& text, int input_tokens = 10, int output_tokens = 5,
                              std::optional<int> total_tokens = std::nullopt);
  static json openai_response(const std::string& text, int input_tokens = 10, int output_tokens = 5,
                              std::optional<int> total_tokens = std::nullopt);
  static json chat_response(const std::string& text, int input_tokens = 10, int output_tokens = 5,
                            std::optional<int> total_tokens = std::nullopt,
                            const std::string& finish_reason = "stop");
  // A Responses-shaped success body as a Chat Completions one (anything else unchanged).
  static json responses_to_chat(const json& body);

  // A loopback port with nothing listening (connections are refused).
  static int unused_port();

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::map<StubProvider, std::deque<StubResponse>> queues_;
  std::vector<RecordedRequest> requests_;
  bool chat_only_ = false;
  bool stopping_ = false;
  std::condition_variable stop_cv_;
};

}  // namespace norvex::testing
