#include "norvex/serve/event_log.hpp"

#include "norvex/common/text.hpp"
#include "norvex/host/terminal_text.hpp"

namespace norvex {

size_t EventLog::append(json event) {
  std::lock_guard lock(mutex_);
  const size_t seq = events_.size() + 1;
  event["seq"] = seq;
  // Serialised once: a reloaded page or a second tab gets the same bytes.
  events_.push_back(event.dump(-1, ' ', false, json::error_handler_t::replace));
  changed_.notify_all();
  return seq;
}

std::vector<std::string> EventLog::after(size_t seq, std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, wait, [&] { return closed_ || events_.size() > seq; });
  if (seq >= events_.size()) return {};
  return {events_.begin() + static_cast<std::ptrdiff_t>(seq), events_.end()};
}

size_t EventLog::size() const {
  std::lock_guard lock(mutex_);
  return events_.size();
}

void EventLog::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  changed_.notify_all();
}

bool EventLog::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

std::string FileStore::add(std::string name, std::string mime, std::string bytes) {
  std::lock_guard lock(mutex_);
  files_.push_back({name, std::move(mime), std::move(bytes)});
  return "files/" + std::to_string(files_.size()) + "/" + percent_encode(name);
}

std::optional<StoredFile> FileStore::get(size_t id) const {
  std::lock_guard lock(mutex_);
  if (id == 0 || id > files_.size()) return std::nullopt;
  return files_[id - 1];
}

std::string mime_for_name(const std::string& name) {
  const size_t dot = name.rfind('.');
  const std::string ext = dot == std::string::npos ? "" : ascii_lower(name.substr(dot + 1));
  if (ext == "png") return "image/png";
  if (ext == "jpg" || ext == "jpeg") return "image/jpeg";
  if (ext == "gif") return "image/gif";
  if (ext == "webp") return "image/webp";
  if (ext == "xlsx") return "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
  if (ext == "docx")
    return "application/vnd.openxmlformats-officedocument.wordprocessingml.document";
  if (ext == "csv") return "text/csv";
  return "application/octet-stream";
}

}  // namespace norvex
