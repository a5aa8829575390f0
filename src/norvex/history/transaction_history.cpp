#include "norvex/history/transaction_history.hpp"

#include <string>

#include "norvex/common/errors.hpp"
#include "norvex/host/host.hpp"

namespace norvex {

void transaction_history::add(json tx, NotebookHost* report) {
  buf.insert(buf.begin(), std::move(tx));
  if (buf.size() > max_buf_len_) buf.resize(max_buf_len_);
  if (report) {
    report->print("ℹ️ INFO: Transaction added to history (" + std::to_string(buf.size()) +
                  " stored).");
  }
}

json transaction_history::pop(size_t index, NotebookHost* report) {
  if (index >= buf.size()) {
    throw IndexError("pop index " + std::to_string(index) + " out of range (history holds " +
                     std::to_string(buf.size()) + ")");
  }
  json tx = std::move(buf[index]);
  buf.erase(buf.begin() + static_cast<std::ptrdiff_t>(index));
  if (report) {
    report->print("ℹ️ INFO: Transaction " + std::to_string(index) + " removed from history (" +
                  std::to_string(buf.size()) + " stored).");
  }
  return tx;
}

}  // namespace norvex
