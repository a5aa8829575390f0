#pragma once
// The in-memory history of answered requests, most recent first. Positions are the
// transaction ids: 0 is the newest. Past max_buf_len the oldest is dropped.
#include <cstddef>
#include <vector>

#include "norvex/common/json.hpp"
#include "norvex/host/host.hpp"

namespace norvex {

class transaction_history {
 public:
  explicit transaction_history(size_t max_buf_len = 40) : max_buf_len_(max_buf_len) {}

  size_t len() const { return buf.size(); }
  size_t max_buf_len() const { return max_buf_len_; }
  // Stores tx as the most recent transaction (position 0); says so on `report` when given.
  void add(json tx, NotebookHost* report = nullptr);
  // Removes the transaction at `index` (IndexError when out of range) and returns it.
  json pop(size_t index, NotebookHost* report = nullptr);

  // The stored transactions themselves, most recent first: changing one changes the history.
  std::vector<json> buf;

 private:
  size_t max_buf_len_;
};

}  // namespace norvex
