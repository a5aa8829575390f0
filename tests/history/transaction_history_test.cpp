#include "norvex/history/transaction_history.hpp"

#include <gtest/gtest.h>

#include "norvex/common/errors.hpp"

namespace norvex {
namespace {

TEST(TransactionHistory, NewestFirstOldestDroppedPastCapacity) {
  transaction_history h(40);
  for (int i = 0; i < 45; ++i) h.add(json{{"query", "q" + std::to_string(i)}});
  ASSERT_EQ(h.len(), 40u);
  EXPECT_EQ(h.buf.front()["query"], "q44");
  EXPECT_EQ(h.buf.back()["query"], "q5");

  json popped = h.pop(1);
  EXPECT_EQ(popped["query"], "q43");
  EXPECT_EQ(h.len(), 39u);
  EXPECT_EQ(h.buf[1]["query"], "q42");
  EXPECT_THROW(h.pop(39), IndexError);

  // buf holds the records themselves: a change through buf is a change to the history.
  h.buf[0]["explanation"] = "added later";
  EXPECT_EQ(h.buf.front()["explanation"], "added later");
}

}  // namespace
}  // namespace norvex
