#include "support/stub_model_server.hpp"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace norvex::testing {
namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

StubResponse StubResponse::of_json(json body, int status) {
  StubResponse r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

StubResponse StubResponse::of_raw(std::string text, int status) {
  StubResponse r;
  r.status = status;
  r.raw_body = std::move(text);
  return r;
}

StubResponse& StubResponse::with_header(std::string name, std::string value) {
  headers.emplace_back(std::move(name), std::move(value));
  return *this;
}

StubResponse& StubResponse::with_delay(std::chrono::milliseconds d) {
  delay = d;
  return *this;
}

StubResponse& StubResponse::with_trickle(std::chrono::milliseconds interval) {
  trickle = interval;
  return *this;
}

StubResponse StubResponse::hanging() {
  StubResponse r;
  r.never_answer = true;
  return r;
}

std::string RecordedRequest::header(const std::string& lower_name) const {
  auto it = headers.find(lower_name);
  return it == headers.end() ? std::string() : it->second;
}

StubModelServer::StubModelServer() : server_(std::make_unique<httplib::Server>()) {
  auto handler = [this](const httplib::Request& req, httplib::Response& res) {
    std::optional<StubProvider> provider;
    bool chat_path = false, chat_only = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      chat_only = chat_only_;
    }
    if (ends_with(req.path, ":generateContent")) provider = StubProvider::Gemini;
    if (ends_with(req.path, "/responses")) provider = StubProvider::OpenAI;
    if (ends_with(req.path, "/chat/completions")) {
      chat_path = true;
      provider = chat_only ? StubProvider::ChatCompletions : StubProvider::OpenAI;
    }

    RecordedRequest rec;
    rec.provider = provider.value_or(StubProvider::OpenAI);
    rec.method = req.method;
    rec.path = req.path;
    for (const auto& [k, v] : req.headers) rec.headers.emplace(lower(k), v);
    rec.body = req.body;
    try {
      rec.json_body = json::parse(req.body);
    } catch (...) {
      rec.json_body = nullptr;
    }

    std::optional<StubResponse> scripted;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (provider) requests_.push_back(rec);
      const bool refused = chat_only && provider == StubProvider::OpenAI;
      if (provider && !refused && !queues_[*provider].empty()) {
        scripted = std::move(queues_[*provider].front());
        queues_[*provider].pop_front();
      }
    }
    if (chat_only && provider == StubProvider::OpenAI) {
      // What llama.cpp's server answers for an endpoint it does not have.
      res.status = 404;
      res.set_content(
          R"({"error": {"code": 404, "message": "File Not Found", "type": "not_found_error"}})",
          "application/json");
      return;
    }
    if (!provider) {
      res.status = 404;
      res.set_content(R"({"error": {"message": "stub: unknown path"}})", "application/json");
      return;
    }
    if (!scripted) {
      // An unscripted request is a test bug: answer loudly rather than hang.
      res.status = 500;
      res.set_content(
          R"({"error": {"code": 500, "message": "stub: no scripted response left", "status": "INTERNAL"}})",
          "application/json");
      return;
    }
    if (scripted->never_answer) {
      std::unique_lock<std::mutex> lock(mutex_);
      stop_cv_.wait_for(lock, std::chrono::seconds(60), [this] { return stopping_; });
      return;
    }
    if (scripted->delay.count() > 0) std::this_thread::sleep_for(scripted->delay);
    if (chat_path && !chat_only && !scripted->raw_body)
      scripted->body = responses_to_chat(scripted->body);
    res.status = scripted->status;
    for (const auto& [k, v] : scripted->headers) res.set_header(k, v);
    std::string content = scripted->raw_body ? *scripted->raw_body : scripted->body.dump();
    if (scripted->trickle.count() > 0) {
      auto sent = std::make_shared<size_t>(0);
      auto interval = scripted->trickle;
      res.set_chunked_content_provider(
          "application/json",
          [content = std::move(content), sent, interval](size_t, httplib::DataSink& sink) {
            if (*sent >= content.size()) {
              sink.done();
              return true;
            }
            std::this_thread::sleep_for(interval);
            if (!sink.is_writable() || !sink.write(content.data() + *sent, 1)) return false;
            ++*sent;
            return true;
          });
      return;
    }
    res.set_content(content, "application/json");
  };
  server_->Post(".*", handler);
  server_->Get(".*", handler);
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("stub model server: could not bind 127.0.0.1");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // Wait until the accept loop runs, so the first request never races the start.
  for (int i = 0; i < 2000 && !server_->is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

StubModelServer::~StubModelServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stop_cv_.notify_all();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string StubModelServer::base_url() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void StubModelServer::enqueue(StubProvider provider, StubResponse response) {
  std::lock_guard<std::mutex> lock(mutex_);
  queues_[provider].push_back(std::move(response));
}

void StubModelServer::enqueue_gemini_text(const std::string& text, int in, int out,
                                          std::optional<int> total) {
  enqueue(StubProvider::Gemini, StubResponse::of_json(gemini_response(text, in, out, total)));
}

void StubModelServer::enqueue_openai_text(const std::string& text, int in, int out,
                                          std::optional<int> total) {
  enqueue(StubProvider::OpenAI, StubResponse::of_json(openai_response(text, in, out, total)));
}

void StubModelServer::enqueue_chat_text(const std::string& text, int in, int out,
                                        std::optional<int> total) {
  enqueue(StubProvider::ChatCompletions,
          StubResponse::of_json(chat_response(text, in, out, total)));
}

void StubModelServer::set_chat_completions_only(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  chat_only_ = on;
}

size_t StubModelServer::pending(StubProvider provider) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = queues_.find(provider);
  return it == queues_.end() ? 0 : it->second.size();
}

std::vector<RecordedRequest> StubModelServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<RecordedRequest> StubModelServer::requests(StubProvider provider) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<RecordedRequest> out;
  for (const auto& r : requests_)
    if (r.provider == provider) out.push_back(r);
  return out;
}

size_t StubModelServer::request_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

void StubModelServer::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
  queues_.clear();
}

json StubModelServer::gemini_response(const std::string& text, int in, int out,
                                      std::optional<int> total) {
  return json{
      {"candidates",
       json::array({{{"content", {{"parts", json::array({{{"text", text}}})}, {"role", "model"}}},
                     {"finishReason", "STOP"},
                     {"index", 0}}})},
      {"usageMetadata",
       {{"promptTokenCount", in},
        {"candidatesTokenCount", out},
        {"totalTokenCount", total.value_or(in + out)}}},
      {"modelVersion", "stub"},
      {"responseId", "stub-response"}};
}

json StubModelServer::openai_response(const std::string& text, int in, int out,
                                      std::optional<int> total) {
  return json{
      {"id", "resp_stub"},
      {"object", "response"},
      {"status", "completed"},
      {"output", json::array({{{"type", "message"},
                               {"id", "msg_stub"},
                               {"status", "completed"},
                               {"role", "assistant"},
                               {"content", json::array({{{"type", "output_text"},
                                                         {"text", text},
                                                         {"annotations", json::array()}}})}}})},
      {"usage",
       {{"input_tokens", in}, {"output_tokens", out}, {"total_tokens", total.value_or(in + out)}}}};
}

json StubModelServer::chat_response(const std::string& text, int in, int out,
                                    std::optional<int> total, const std::string& finish_reason) {
  return json{{"id", "chatcmpl-stub"},
              {"object", "chat.completion"},
              {"created", 1700000000},
              {"model", "stub"},
              {"choices", json::array({{{"index", 0},
                                        {"message", {{"role", "assistant"}, {"content", text}}},
                                        {"finish_reason", finish_reason}}})},
              {"usage",
               {{"prompt_tokens", in},
                {"completion_tokens", out},
                {"total_tokens", total.value_or(in + out)}}}};
}

json StubModelServer::responses_to_chat(const json& body) {
  if (!body.is_object() || !body.contains("output") || !body["output"].is_array()) return body;
  std::string text;
  for (const json& item : body["output"]) {
    if (!item.is_object() || !item.contains("content") || !item["content"].is_array()) continue;
    for (const json& c : item["content"])
      if (c.is_object() && c.value("type", "") == "output_text") text += c.value("text", "");
  }
  json out = chat_response(text);
  if (body.contains("usage") && body["usage"].is_object()) {
    const json& u = body["usage"];
    out["usage"] = {{"prompt_tokens", u.value("input_tokens", json(0))},
                    {"completion_tokens", u.value("output_tokens", json(0))},
                    {"total_tokens", u.value("total_tokens", json(0))}};
  } else {
    out.erase("usage");
  }
  return out;
}

int StubModelServer::unused_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket() failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("bind() failed");
  }
  const int port = ntohs(addr.sin_port);
  ::close(fd);  // nothing listens there now
  return port;
}

}  // namespace norvex::testing
