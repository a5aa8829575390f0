#pragma once
// What the page shows, kept on the server: every event of the conversation in order (so a
// reloaded page replays it) and the files the events point to (figures, downloads).
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "norvex/common/json.hpp"

namespace norvex {

class EventLog {
 public:
  // Appends an event (a JSON object); its "seq" (1-based position) is set here. Returns it.
  size_t append(json event);
  // The serialised events after `seq`, waiting up to `wait` for one when there is none yet.
  // Returns early (possibly empty) once closed.
  std::vector<std::string> after(size_t seq, std::chrono::milliseconds wait);
  size_t size() const;
  // Wakes every waiter for good (the server is stopping).
  void close();
  bool closed() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
  bool closed_ = false;
};

struct StoredFile {
  std::string name;
  std::string mime;
  std::string bytes;
};

class FileStore {
 public:
  // Keeps the bytes; returns the file's relative URL, "files/ID/NAME".
  std::string add(std::string name, std::string mime, std::string bytes);
  std::optional<StoredFile> get(size_t id) const;

 private:
  mutable std::mutex mutex_;
  std::vector<StoredFile> files_;
};

// The MIME type the page's links and images need, from a file name's extension.
std::string mime_for_name(const std::string& name);

}  // namespace norvex
