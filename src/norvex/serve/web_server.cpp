#include "norvex/serve/web_server.hpp"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <fstream>
#include <random>

#include "norvex/common/errors.hpp"
#include "norvex/host/interrupt.hpp"
#include "norvex/host/terminal_text.hpp"
#include "norvex/serve/deadline_server.hpp"

namespace norvex {

namespace {

constexpr size_t kMaxQuestionBytes = 20000;
// A stream writes at least this often, so a client that went away is noticed (the write
// fails) and its thread freed within a couple of these.
constexpr auto kStreamWait = std::chrono::milliseconds(1000);

std::string random_hex(size_t bytes) {
  std::string out;
  std::ifstream urandom("/dev/urandom", std::ios::binary);
  std::random_device fallback;
  static const char* digits = "0123456789abcdef";
  for (size_t i = 0; i < bytes; ++i) {
    unsigned char b = 0;
    if (!urandom.read(reinterpret_cast<char*>(&b), 1)) b = static_cast<unsigned char>(fallback());
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// Compares without stopping at the first difference, so timing tells nothing of a token.
bool same_secret(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) diff |= a[i] ^ b[i % std::max<size_t>(b.size(), 1)];
  return diff == 0 && !b.empty();
}

std::string cookie_value(const std::string& cookies, const std::string& name) {
  size_t pos = 0;
  while (pos < cookies.size()) {
    size_t end = cookies.find(';', pos);
    if (end == std::string::npos) end = cookies.size();
    std::string part = cookies.substr(pos, end - pos);
    const size_t b = part.find_first_not_of(' ');
    if (b != std::string::npos) part.erase(0, b);
    if (part.rfind(name + "=", 0) == 0) return part.substr(name.size() + 1);
    pos = end + 1;
  }
  return "";
}

bool loopback_host_header(const std::string& host, int port) {
  const std::string p = ":" + std::to_string(port);
  return host == "127.0.0.1" + p || host == "localhost" + p || host == "[::1]" + p ||
         host == "127.0.0.1" || host == "localhost";
}

void send_json(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(), "application/json; charset=utf-8");
}

void send_refusal(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  res.set_content(message + "\n", "text/plain; charset=utf-8");
}

// Another site's page may reach this server through the user's browser (a link, a form,
// a script): the browser says so in Sec-Fetch-Site, and in Origin when it sends one.
bool from_another_site(const httplib::Request& req) {
  const std::string site = req.get_header_value("Sec-Fetch-Site");
  if (site == "cross-site") return true;
  if (!req.has_header("Origin")) return false;
  return req.get_header_value("Origin") != "http://" + req.get_header_value("Host");
}

bool is_loopback_address(const std::string& host) {
  return host == "127.0.0.1" || host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

}  // namespace

std::string make_access_token() {
  return random_hex(16);
}

WebServer::WebServer(ServeOptions options, JobRunner runner)
    : options_(std::move(options)),
      runner_(std::move(runner)),
      host_(events_, files_),
      server_(make_deadline_server(options_.request_deadline)),
      instance_(random_hex(8)) {
  if (options_.request_deadline <= std::chrono::milliseconds::zero())
    throw ValueError("the request deadline must be longer than zero");
  if (!is_loopback_address(options_.host) && !options_.token)
    throw ValueError("serving on " + options_.host + " needs an access token");
}

WebServer::~WebServer() {
  stop();
}

std::string WebServer::url() const {
  const std::string shown = options_.host.find(':') != std::string::npos
                                ? "[" + options_.host + "]"
                                : (options_.host == "0.0.0.0" ? "127.0.0.1" : options_.host);
  std::string u = "http://" + shown + ":" + std::to_string(port_) + "/";
  if (options_.token) u += "?token=" + *options_.token;
  return u;
}

bool WebServer::allowed(const void* raw) const {
  const auto& req = *static_cast<const httplib::Request*>(raw);
  if (!options_.token) return loopback_host_header(req.get_header_value("Host"), port_);
  const std::string& token = *options_.token;
  if (req.has_param("token") && same_secret(req.get_param_value("token"), token)) return true;
  return same_secret(cookie_value(req.get_header_value("Cookie"), "norvex_token"), token);
}

long long WebServer::enqueue(std::string text, std::string panel) {
  ServeJob job;
  size_t ahead = 0;
  {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= kMaxWaiting) return 0;
    job.cell = next_cell_++;
    job.text = std::move(text);
    job.panel = std::move(panel);
    ahead = queue_.size() + (busy_ ? 1 : 0);
    // Announced under the lock, so cells appear in the order they will run.
    json cell = {{"type", "cell"},
                 {"cell", job.cell},
                 {"question", host_.redactor().text(job.text)},
                 {"panel", job.panel},
                 {"ahead", ahead}};
    events_.append(std::move(cell));
    queue_.push_back(job);
  }
  queue_changed_.notify_all();
  return job.cell;
}

bool WebServer::cancel(long long cell) {
  std::lock_guard lock(mutex_);
  if (busy_ && running_cell_ == cell) {
    cancel_running_ = true;
    return true;
  }
  const auto it = std::find_if(queue_.begin(), queue_.end(),
                               [&](const ServeJob& job) { return job.cell == cell; });
  if (it == queue_.end()) return false;
  queue_.erase(it);
  events_.append({{"type", "end"}, {"cell", cell}, {"ok", false}, {"cancelled", true}});
  return true;
}

bool WebServer::open_stream(const std::string& client) {
  std::lock_guard lock(mutex_);
  int& mine = streams_[client];
  if (mine >= kStreamsPerClient || streams_total_ >= kStreamsTotal) return false;
  ++mine;
  ++streams_total_;
  return true;
}

void WebServer::close_stream(const std::string& client) {
  std::lock_guard lock(mutex_);
  if (--streams_[client] <= 0) streams_.erase(client);
  --streams_total_;
}

void WebServer::work() {
  // The flows stop here between model calls and tool steps when the page cancels.
  set_interrupt_check([this] {
    if (cancel_running_.exchange(false)) throw Interrupted{};
  });
  while (true) {
    ServeJob job;
    {
      std::unique_lock lock(mutex_);
      queue_changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
      running_cell_ = job.cell;
      cancel_running_ = false;
    }
    host_.set_cell(job.cell);
    host_.emit("start");
    json end = {{"ok", true}};
    try {
      runner_(job);
    } catch (const Interrupted&) {
      host_.end_open_line();
      host_.print("ℹ️ INFO: Cancelled; the history is as it was before this question.");
      end = {{"ok", false}, {"cancelled", true}};
    } catch (const std::exception& e) {
      const std::string message = std::string(error_type_name(e)) + ": " + e.what();
      // Shown in the cell like the terminal shows it; the next question runs as usual.
      host_.end_open_line();
      host_.print(std::string("❌ ERROR: ") + message);
      end = {{"ok", false}, {"error", host_.redactor().text(message)}};
    } catch (...) {
      host_.end_open_line();
      host_.print("❌ ERROR: the request failed");
      end = {{"ok", false}, {"error", "the request failed"}};
    }
    host_.end_open_line();
    host_.emit("end", end);
    {
      std::lock_guard lock(mutex_);
      busy_ = false;
      running_cell_ = 0;
    }
  }
}

void WebServer::start() {
  configure_connections();
  guard_every_request();
  add_page_route();
  add_ask_route();
  add_cancel_route();
  add_usage_route();
  add_events_route();
  add_files_route();
  bind_and_listen();
}

void WebServer::configure_connections() {
  auto& svr = *server_;
  // Without SO_REUSEPORT (the library's default): a second server on a taken port must
  // fail to bind, not share the port and answer every other request.
  svr.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
  svr.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  // Idle and slow connections give their thread back after a few seconds.
  svr.set_keep_alive_timeout(1);
  svr.set_read_timeout(5, 0);
  svr.set_write_timeout(5, 0);
  svr.set_payload_max_length(1 << 20);
}

void WebServer::guard_every_request() {
  // Every response: nothing from elsewhere, no framing by other sites, no guessing types.
  server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", "no-store");
    if (!allowed(&req)) {
      send_refusal(res, 403,
                   options_.token ? "This norvex page needs the full address printed when norvex "
                                    "serve started (it carries the access token)."
                                  : "This norvex page answers only at the address printed when "
                                    "norvex serve started.");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (from_another_site(req)) {
      send_refusal(res, 403,
                   "This norvex page answers only to itself; requests from other sites are "
                   "refused.");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
}

void WebServer::add_page_route() {
  server_->Get("/", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string nonce = random_hex(12);
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; script-src 'nonce-" + nonce +
                       "'; style-src 'unsafe-inline'; img-src 'self' data:; connect-src 'self'; "
                       "base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
    if (options_.token && req.has_param("token")) {
      // The address with the token was opened: later requests carry it as a cookie.
      res.set_header("Set-Cookie",
                     "norvex_token=" + *options_.token + "; Path=/; HttpOnly; SameSite=Strict");
    }
    json info = options_.page_info;
    info["panels"] = options_.panels;
    info["instance"] = instance_;
    res.set_content(page_html(info, nonce), "text/html; charset=utf-8");
  });
}

void WebServer::add_ask_route() {
  server_->Post("/api/ask", [this](const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value("X-Norvex") != "1") {
      send_json(res, 403, {{"error", "requests must come from the norvex page"}});
      return;
    }
    json body;
    try {
      body = json::parse(req.body);
    } catch (const std::exception&) {
      send_json(res, 400, {{"error", "the request body is not JSON"}});
      return;
    }
    if (!body.is_object() || !body.contains("question") || !body["question"].is_string()) {
      send_json(res, 400, {{"error", "the request needs a \"question\" text"}});
      return;
    }
    std::string question = body["question"].get<std::string>();
    std::string panel = body.value("panel", json("")).is_string()
                            ? body.value("panel", json("")).get<std::string>()
                            : "";
    if (!panel.empty() &&
        std::find(options_.panels.begin(), options_.panels.end(), panel) == options_.panels.end()) {
      send_json(res, 400, {{"error", "unknown side-panel section " + panel}});
      return;
    }
    if (panel.empty() && question.find_first_not_of(" \t\r\n") == std::string::npos) {
      send_json(res, 400, {{"error", "the question is empty"}});
      return;
    }
    if (question.size() > kMaxQuestionBytes) {
      send_json(res, 413, {{"error", "the question is longer than 20000 bytes"}});
      return;
    }
    const long long cell = enqueue(std::move(question), std::move(panel));
    if (cell == 0) {
      send_json(res, 429,
                {{"error", std::to_string(kMaxWaiting) +
                               " questions are already waiting; ask again once one of them "
                               "has been answered"}});
      return;
    }
    send_json(res, 200, {{"cell", cell}});
  });
}

void WebServer::add_cancel_route() {
  server_->Post("/api/cancel", [this](const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value("X-Norvex") != "1") {
      send_json(res, 403, {{"error", "requests must come from the norvex page"}});
      return;
    }
    json body = json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("cell") || !body["cell"].is_number_integer()) {
      send_json(res, 400, {{"error", "the request needs a \"cell\" number"}});
      return;
    }
    const long long cell = body["cell"].get<long long>();
    if (!cancel(cell)) {
      send_json(res, 409,
                {{"error", "cell " + std::to_string(cell) + " is neither running nor waiting"}});
      return;
    }
    send_json(res, 200, {{"cell", cell}});
  });
}

void WebServer::add_usage_route() {
  server_->Get("/api/usage", [this](const httplib::Request&, httplib::Response& res) {
    send_json(res, 200, options_.usage ? options_.usage() : json::object());
  });
}

void WebServer::add_events_route() {
  server_->Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
    size_t since = 0;
    const std::string from = req.has_header("Last-Event-ID") ? req.get_header_value("Last-Event-ID")
                                                             : req.get_param_value("since");
    try {
      if (!from.empty()) since = std::stoull(from);
    } catch (const std::exception&) {
      since = 0;
    }
    const std::string client = req.remote_addr;
    if (!open_stream(client)) {
      send_json(res, 503,
                {{"error", "too many open norvex pages; close some tabs and reload this one"}});
      return;
    }
    res.set_header("X-Accel-Buffering", "no");
    // The first message names this server run, so a page can tell a restart from a pause.
    bool greeted = false;
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, since, greeted](size_t, httplib::DataSink& sink) mutable {
          if (events_.closed()) {
            sink.done();
            return true;
          }
          if (!greeted) {
            greeted = true;
            const std::string hello =
                "event: hello\ndata: " + json({{"instance", instance_}}).dump() + "\n\n";
            if (!sink.write(hello.data(), hello.size())) return false;
          }
          const auto batch = events_.after(since, kStreamWait);
          std::string out;
          for (const auto& event : batch) {
            ++since;
            out += "id: " + std::to_string(since) + "\ndata: " + event + "\n\n";
          }
          // A comment line keeps idle connections open through proxies and shows a
          // closed page quickly.
          if (out.empty()) out = ": idle\n\n";
          return sink.write(out.data(), out.size());
        },
        [this, client](bool) { close_stream(client); });
  });
}

void WebServer::add_files_route() {
  server_->Get(R"(/files/(\d+)/([^/]*))", [this](const httplib::Request& req,
                                                 httplib::Response& res) {
    std::optional<StoredFile> file;
    try {
      file = files_.get(std::stoull(req.matches[1].str()));
    } catch (const std::exception&) {
    }
    if (!file) {
      send_refusal(res, 404, "No such file.");
      return;
    }
    const bool image = file->mime.rfind("image/", 0) == 0 && file->mime != "image/svg+xml";
    const std::string mime = image || file->mime.find_first_of("\r\n") == std::string::npos
                                 ? file->mime
                                 : "application/octet-stream";
    if (!image) {
      res.set_header("Content-Disposition", "attachment; filename=\"download\"; filename*=UTF-8''" +
                                                percent_encode(file->name));
      res.set_header("Content-Security-Policy", "sandbox");
    }
    res.set_content(file->bytes, image ? mime : (mime.empty() ? "application/octet-stream" : mime));
  });
}

void WebServer::bind_and_listen() {
  auto& svr = *server_;
  if (options_.port == 0) {
    port_ = svr.bind_to_any_port(options_.host);
    if (port_ <= 0)
      throw RuntimeError("cannot listen on " + options_.host + ": no free port was accepted");
  } else {
    if (!svr.bind_to_port(options_.host, options_.port))
      throw RuntimeError("cannot listen on " + options_.host + ":" + std::to_string(options_.port) +
                         " (is another program using that port? choose another with --port)");
    port_ = options_.port;
  }
  worker_ = std::thread([this] { work(); });
  listener_ = std::thread([this] { server_->listen_after_bind(); });
  // A stop() before the listener runs would find nothing to stop and leave it accepting.
  for (int i = 0; i < 500 && !server_->is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void WebServer::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    queue_.clear();
  }
  queue_changed_.notify_all();
  events_.close();
  if (server_) server_->stop();
  if (listener_.joinable()) listener_.join();
  if (worker_.joinable()) worker_.join();
  {
    std::lock_guard lock(stopped_mutex_);
    stopped_ = true;
  }
  stopped_changed_.notify_all();
}

void WebServer::wait() {
  std::unique_lock lock(stopped_mutex_);
  stopped_changed_.wait(lock, [&] { return stopped_.load(); });
}

}  // namespace norvex
