// The window of a table's keys answers "does a row with this key exist" exactly as a SELECT per key would,
// whatever order the keys come in, while it grows for keys in ascending order.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "db/DbTestSupport.h"
#include "db/KVOdbcKeyWindow.h"

namespace {

using dbtest::DbTest;

class KeyWindow : public DbTest {
 protected:
  // Keys 2, 4, ..., 2 * count, and `extra` beyond them.
  std::string MakeTable(int count, const std::vector<int64_t>& extra = {}) {
    std::string t = Table();
    Exec("CREATE TABLE " + t + " (id " + Type("bigint") + " PRIMARY KEY, v INTEGER)");
    std::string values;
    auto add = [&](int64_t key) {
      values += (values.empty() ? "(" : ", (") + std::to_string(key) + ", 0)";
      if (values.size() > 4000) {
        Exec("INSERT INTO " + t + " (id, v) VALUES " + values);
        values.clear();
      }
    };
    for (int i = 1; i <= count; ++i) add(2 * i);
    for (int64_t key : extra) add(key);
    if (!values.empty()) Exec("INSERT INTO " + t + " (id, v) VALUES " + values);
    return t;
  }
  TKVOdbcKeyWindow Window(const std::string& table, size_t rows, size_t maxRows) {
    return TKVOdbcKeyWindow(Conn().OdbcHandle(), table, "id", &Conn(), rows, maxRows);
  }
};

TEST_P(KeyWindow, KeysInOrderAreAnsweredExactlyByWindowsThatGrowUpToTheirLimit) {
  const int64_t big = int64_t{1} << 40;
  std::string t = MakeTable(300, {big});
  TKVOdbcKeyWindow w = Window(t, 4, 32);
  std::vector<size_t> sizes;
  for (int64_t key = -3; key <= 605; ++key) {
    size_t before = w.Reads();
    EXPECT_EQ(w.Contains(key), key > 0 && key <= 600 && key % 2 == 0) << key;
    if (w.Reads() != before) sizes.push_back(w.Rows());
  }
  // 4, 8, 16, then 32 keys a read: 300 keys take 4 + 8 + 16 + 32 * 8, the last read short of its 32.
  EXPECT_EQ(sizes, (std::vector<size_t>{4, 8, 16, 32, 32, 32, 32, 32, 32, 32, 32, 32}));
  // The last window was short: it reaches to the end of the key space, the far key included.
  EXPECT_TRUE(w.Answers(big));
  EXPECT_TRUE(w.Contains(big));
  EXPECT_FALSE(w.Contains(big + 1));
  EXPECT_EQ(w.Reads(), 12u);
  EXPECT_TRUE(w.Worthwhile());
}

TEST_P(KeyWindow, KeysInNoOrderAreAnsweredExactlyAndStopPaying) {
  std::string t = MakeTable(500);
  TKVOdbcKeyWindow w = Window(t, 8, 64);
  std::vector<int64_t> keys;
  for (int64_t k = 0; k <= 1002; ++k) keys.push_back(k);
  std::mt19937 random(7);
  std::shuffle(keys.begin(), keys.end(), random);
  for (size_t i = 0; i < 200; ++i) EXPECT_EQ(w.Contains(keys[i]), keys[i] > 0 && keys[i] <= 1000 && keys[i] % 2 == 0);
  // Windows that answered next to nothing do not grow; so many reads for so few answers are not worth it.
  EXPECT_EQ(w.Rows(), 8u);
  EXPECT_FALSE(w.Worthwhile());
}

TEST_P(KeyWindow, RowsAddedByTheCallerAndByOthersAfterAReset) {
  std::string t = MakeTable(100);
  TKVOdbcKeyWindow w = Window(t, 10, 10);
  EXPECT_FALSE(w.Contains(3));  // reads keys 3 .. 22
  w.Added(5);                   // the caller wrote it (or will before anything else reads)
  w.Added(500);                 // outside the window: a later read finds it in the table
  EXPECT_TRUE(w.Contains(5));
  EXPECT_FALSE(w.Contains(7));
  // Written meanwhile by someone else: unseen until the window is read again.
  Exec("INSERT INTO " + t + " (id, v) VALUES (7, 1), (9, 1)");
  EXPECT_FALSE(w.Contains(7));
  w.Reset();
  EXPECT_FALSE(w.Answers(9));
  EXPECT_TRUE(w.Contains(9));
  EXPECT_FALSE(w.Answers(7));  // before the new window's first key: read again from there
  EXPECT_TRUE(w.Contains(7));
  Exec("DELETE FROM " + t + " WHERE id = 7");
  w.Reset();
  EXPECT_FALSE(w.Contains(7));
}

DABRIX_INSTANTIATE_DB_TEST(KeyWindow);

}  // namespace
