// Age queue of the session table: oldest-first order, bounds, empty queue.
#include <gtest/gtest.h>

#include "session/HalvorantQueue.h"

namespace {

TEST(HalvorantQueue, OldestByOpeningOrder) {
  HalvorantQueue_initQueue();
  EXPECT_EQ(HalvorantQueue_getQueue(), -1);
  ASSERT_TRUE(HalvorantQueue_setQueue(0));
  ASSERT_TRUE(HalvorantQueue_setQueue(1));
  ASSERT_TRUE(HalvorantQueue_setQueue(2));
  HalvorantQueue_removeQueue(1);
  EXPECT_EQ(HalvorantQueue_getQueue(), 0);
  HalvorantQueue_removeQueue(0);
  EXPECT_EQ(HalvorantQueue_getQueue(), 2);
  // Re-stamping makes a slot the youngest; lower indexes do not win ties they lack.
  ASSERT_TRUE(HalvorantQueue_setQueue(31));
  ASSERT_TRUE(HalvorantQueue_setQueue(2));
  EXPECT_EQ(HalvorantQueue_getQueue(), 31);
  HalvorantQueue_removeQueue(31);
  HalvorantQueue_removeQueue(2);
  EXPECT_EQ(HalvorantQueue_getQueue(), -1);
}

TEST(HalvorantQueue, OutOfRangeIndexes) {
  HalvorantQueue_initQueue();
  EXPECT_FALSE(HalvorantQueue_setQueue(32));
  EXPECT_FALSE(HalvorantQueue_setQueue(-1));
  EXPECT_EQ(HalvorantQueue_getQueue(), -1);
  HalvorantQueue_removeQueue(-1);  // ignored, no write outside the table
  HalvorantQueue_removeQueue(32);
  EXPECT_EQ(HalvorantQueue_getQueue(), -1);
}

TEST(HalvorantQueue, FullTableEvictsFirstOpened) {
  HalvorantQueue_initQueue();
  for (int i = 31; i >= 0; --i) ASSERT_TRUE(HalvorantQueue_setQueue(i));
  for (int expected = 31; expected >= 0; --expected) {
    int oldest = HalvorantQueue_getQueue();
    ASSERT_EQ(oldest, expected);
    HalvorantQueue_removeQueue(oldest);
  }
  EXPECT_EQ(HalvorantQueue_getQueue(), -1);
}

}  // namespace
