// The data-aware pieces a data grid builds on, on every database: a detail recordset following its master,
// re-executions deferred through the program's scheduler, and the confirmed deletion of selected records.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "db/DbTestSupport.h"
#include "db/KVOdbcLocate.h"
#include "db/KVRecordsetDeletion.h"
#include "db/KVRecordsetMasterSource.h"
#include "db/KVStatementScheduler.h"

namespace {

using dbtest::ErrorOf;

// The program's event loop as the tests drive it: timers fire when the test says so.
class TManualScheduler : public IKVStatementScheduler {
 public:
  struct TTimer : IKVStatementTimer {
    TManualScheduler* Owner;
    explicit TTimer(TManualScheduler* owner) : Owner(owner) {}
    void Start(int32_t delayMs, std::function<void()> callback) override {
      Callback = std::move(callback);
      Running_ = true;
      ++Owner->Starts;
      Owner->LastDelay = delayMs;
    }
    void Stop() override { Running_ = false; }
    bool Running() const override { return Running_; }
    std::function<void()> Callback;
    bool Running_ = false;
  };
  std::unique_ptr<IKVStatementTimer> CreateTimer() override {
    auto t = std::make_unique<TTimer>(this);
    Timers.push_back(t.get());
    return t;
  }
  // Fires every running timer, as the event loop would once their delay passed.
  int FireAll() {
    int fired = 0;
    for (TTimer* t : Timers)
      if (t->Running_) {
        t->Running_ = false;
        t->Callback();
        ++fired;
      }
    return fired;
  }
  std::vector<TTimer*> Timers;
  int Starts = 0;
  int32_t LastDelay = -1;
};

// Installs a scheduler for one test.
class TSchedulerScope {
 public:
  explicit TSchedulerScope(std::shared_ptr<IKVStatementScheduler> s) { KVSetStatementScheduler(std::move(s)); }
  ~TSchedulerScope() { KVSetStatementScheduler(nullptr); }
};

// The user's answers to the confirmation dialogs, and the questions asked.
std::deque<int> g_Answers;
std::vector<std::string> g_Asked;
int Answer(const std::string& text, TKVSeverity, TKVMsgButtons) {
  g_Asked.push_back(text);
  if (g_Answers.empty()) return KV_IDNO;
  int a = g_Answers.front();
  g_Answers.pop_front();
  return a;
}

class MasterDetail : public dbtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (IsSkipped()) return;
    g_Answers.clear();
    g_Asked.clear();
    m_Previous = KVSetMessageDialogProc(Answer);
  }
  void TearDown() override {
    KVSetMessageDialogProc(m_Previous);
    DbTest::TearDown();
  }
  // Orders 1..3 and their lines: order 1 has lines 11, 12; order 2 none; order 3 line 31.
  void MakeOrders() {
    m_Orders = Table("orders");
    m_Lines = Table("lines");
    Exec("CREATE TABLE " + m_Orders + " (id INTEGER PRIMARY KEY, customer VARCHAR(20))");
    Exec("CREATE TABLE " + m_Lines + " (line_id INTEGER PRIMARY KEY, order_id INTEGER, item VARCHAR(20))");
    Exec("INSERT INTO " + m_Orders + " VALUES (1, 'Ann'), (2, 'Bob'), (3, 'Cy')");
    Exec("INSERT INTO " + m_Lines + " VALUES (11, 1, 'pen'), (12, 1, 'ink'), (31, 3, 'pad')");
  }
  std::vector<int> Column(TKVOdbcRecordsetBase& rs, const char* field) {
    std::vector<int> v;
    for (rs.MoveToFirst(); rs.HasCurrentRecord(); rs.MoveToNext()) {
      v.push_back(rs.FieldByName(field).Value().AsInt32());
      if (rs.Eof()) break;
    }
    return v;
  }
  std::string m_Orders, m_Lines;
  TKVMessageDialogProc m_Previous;
};

TEST_P(MasterDetail, DetailTakesTheMastersValuesAndFollowsItsMoves) {
  MakeOrders();
  auto master = OpenRecordset("SELECT * FROM " + m_Orders + " ORDER BY id");
  auto detail = KVMakeRef<TKVOdbcRecordset>(ConnRef());
  detail->SetSQL("SELECT * FROM " + m_Lines + " d WHERE d.order_id = :ID ORDER BY line_id");
  detail->SetMasterSource(KVMakeRef<TKVRecordsetMasterSource>(master));
  detail->Open();
  EXPECT_EQ(1, detail->Sql().Parameters().Find("ID")->Value().AsInt32());
  EXPECT_EQ(std::vector<int>({11, 12}), Column(*detail, "line_id"));

  // Without a scheduler every move of the master re-executes the detail at once.
  master->MoveToNext();
  EXPECT_EQ(0, detail->RecordCount());
  master->MoveToLast();
  EXPECT_EQ(std::vector<int>({31}), Column(*detail, "line_id"));
  // A locate stays on the record found and the detail follows it as well.
  master->MoveToFirst();
  ASSERT_TRUE(KVLocateValues(*master, {TKVNameAndValueMatchObj{"id", TKVVariant(int32_t(3))}}));
  EXPECT_EQ(std::vector<int>({31}), Column(*detail, "line_id"));

  // A new detail record belongs to the master's record without the user typing its key.
  master->MoveToPrevious();  // order 2, no lines
  ASSERT_EQ(0, detail->RecordCount());
  detail->Insert();
  EXPECT_TRUE(detail->FieldByName("order_id").Assigned());
  EXPECT_EQ(2, detail->FieldByName("order_id").Value().AsInt32());
  detail->FieldByName("line_id").SetValue(TKVVariant(int32_t(21)));
  detail->FieldByName("item").SetText("clip");
  detail->ApplyChanges();
  auto check = OpenRecordset("SELECT order_id, item FROM " + m_Lines + " WHERE line_id = 21");
  ASSERT_TRUE(check->HasCurrentRecord());
  EXPECT_EQ(2, check->Field(0).Value().AsInt32());
  EXPECT_EQ("clip", check->Field(1).Value().AsString());

  // A master without a current record gives NULL: no detail record matches.
  auto emptyMaster = OpenRecordset("SELECT * FROM " + m_Orders + " WHERE id > 100");
  detail->SetMasterSource(KVMakeRef<TKVRecordsetMasterSource>(emptyMaster));
  detail->ReExecute(false);
  EXPECT_TRUE(detail->Sql().Parameters().Find("ID")->Value().IsNull());
  EXPECT_EQ(0, detail->RecordCount());
  // Unbound, the parameter keeps its last value and the master's moves no longer matter.
  detail->SetMasterSource(nullptr);
  master->MoveToFirst();
  detail->Sql().Parameters().Find("ID")->SetValue(TKVVariant(int32_t(3)));
  detail->ReExecute(false);
  EXPECT_EQ(std::vector<int>({31}), Column(*detail, "line_id"));
}

TEST_P(MasterDetail, ScheduledReExecutionsWaitForTheEventLoopAndRunOnce) {
  MakeOrders();
  auto scheduler = std::make_shared<TManualScheduler>();
  TSchedulerScope scope(scheduler);
  auto master = OpenRecordset("SELECT * FROM " + m_Orders + " ORDER BY id");
  auto detail = KVMakeRef<TKVOdbcRecordset>(ConnRef());
  detail->Properties().SetTimedReExecutionDelay(120);
  detail->SetSQL("SELECT * FROM " + m_Lines + " WHERE order_id = :id ORDER BY line_id");
  detail->SetMasterSource(KVMakeRef<TKVRecordsetMasterSource>(master));
  detail->Open();
  ASSERT_EQ(std::vector<int>({11, 12}), Column(*detail, "line_id"));

  // Scrolling through the master restarts one timer; the detail still shows order 1 until it fires.
  master->MoveToNext();
  master->MoveToNext();
  EXPECT_TRUE(detail->ReExecutionPending());
  EXPECT_EQ(120, scheduler->LastDelay);
  EXPECT_EQ(2, detail->RecordCount());
  EXPECT_EQ(1, scheduler->FireAll());
  EXPECT_EQ(0, scheduler->FireAll());
  EXPECT_EQ(std::vector<int>({31}), Column(*detail, "line_id"));

  // A re-execution in between makes the scheduled one void; so does closing.
  master->MoveToFirst();
  detail->ReExecute(false);
  EXPECT_FALSE(detail->ReExecutionPending());
  EXPECT_EQ(std::vector<int>({11, 12}), Column(*detail, "line_id"));
  master->MoveToLast();
  detail->Close();
  EXPECT_EQ(0, scheduler->FireAll());
  EXPECT_FALSE(detail->Active());

  // An error of a deferred re-execution cannot reach a caller: it is shown to the user.
  detail->Open();
  detail->SetSQL("SELECT * FROM no_such_table_here WHERE order_id = :id");
  detail->ScheduleReExecute();
  g_Asked.clear();
  EXPECT_EQ(1, scheduler->FireAll());
  ASSERT_EQ(1u, g_Asked.size());
  EXPECT_NE(std::string::npos, g_Asked[0].find("no_such_table_here")) << g_Asked[0];
}

TEST_P(MasterDetail, DeletionAsksAndDeletesTheSelectionFromTheLastToTheFirst) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (id INTEGER PRIMARY KEY, name VARCHAR(20))");
  Exec("INSERT INTO " + t + " VALUES (1, 'a'), (2, 'b'), (3, 'c'), (4, 'd'), (5, 'e'), (6, 'f')");
  auto rs = OpenRecordset("SELECT * FROM " + t + " ORDER BY id");

  // One record: the current one, after "Delete current record ?"; a refusal deletes nothing.
  rs->SetPosition(2);
  g_Answers = {KV_IDNO};
  EXPECT_EQ(0, KVDoDeletion(*rs, {2}));
  EXPECT_EQ(std::vector<std::string>({"Delete current record ?"}), g_Asked);
  EXPECT_EQ(6, rs->RecordCount());
  g_Answers = {KV_IDYES};
  EXPECT_EQ(1, KVDoDeletion(*rs, {}));
  EXPECT_EQ(std::vector<int>({1, 3, 4, 5, 6}), Column(*rs, "id"));

  // Several: "Delete %d records ?" counts each selected record once; the positions before the deletion
  // name the records (1, 3 and 5 are ids 1, 4 and 6).
  g_Asked.clear();
  g_Answers = {KV_IDNO};
  EXPECT_EQ(0, KVDoDeletion(*rs, {5, 1, 3, 3}));
  EXPECT_EQ(std::vector<std::string>({"Delete 3 records ?"}), g_Asked);
  g_Answers = {KV_IDYES};
  EXPECT_EQ(3, KVDoDeletion(*rs, {5, 1, 3, 3}));
  EXPECT_EQ(std::vector<int>({3, 5}), Column(*rs, "id"));
  auto other = OpenRecordset("SELECT Count(*) FROM " + t);
  EXPECT_EQ(2, other->Field(0).Value().AsInt32());

  // Without "ConfrimDeletions" nobody is asked.
  g_Asked.clear();
  rs->Properties().SetAttribute(raConfrimDeletions, false);
  EXPECT_EQ(2, KVDoDeletion(*rs, {1, 2}));
  EXPECT_TRUE(g_Asked.empty());
  EXPECT_EQ(0, rs->RecordCount());
}

TEST_P(MasterDetail, AFailedDeletionAsksWhetherToContinue) {
  // Order 2 has a line that refers to it: deleting it fails in the database.
  std::string orders = Table("o"), lines = Table("l");
  if (const std::string on = ForeignKeysOnStatement(); !on.empty()) Exec(on);
  Exec("CREATE TABLE " + orders + " (id INTEGER PRIMARY KEY, name VARCHAR(20))");
  Exec("CREATE TABLE " + lines + " (id INTEGER PRIMARY KEY, order_id INTEGER REFERENCES " + orders + "(id))");
  auto fill = [&] {
    ExecQuietly("DELETE FROM " + lines);
    ExecQuietly("DELETE FROM " + orders);
    Exec("INSERT INTO " + orders + " VALUES (1, 'a'), (2, 'b'), (3, 'c')");
    Exec("INSERT INTO " + lines + " VALUES (1, 2)");
  };
  fill();
  {
    auto rs = OpenRecordset("SELECT * FROM " + orders + " ORDER BY id");
    g_Answers = {KV_IDYES, KV_IDYES};
    EXPECT_EQ(2, KVDoDeletion(*rs, {1, 2, 3}));
    ASSERT_EQ(2u, g_Asked.size());
    EXPECT_EQ("Delete 3 records ?", g_Asked[0]);
    // The database's complaint, then the question.
    EXPECT_NE(std::string::npos, g_Asked[1].find("\r\n\r\nContinue Deletion with remaining Records ?")) << g_Asked[1];
    EXPECT_GT(g_Asked[1].find("\r\n"), 10u);
    rs->ReExecute(false);
    EXPECT_EQ(std::vector<int>({2}), Column(*rs, "id"));
  }
  fill();
  {
    auto rs = OpenRecordset("SELECT * FROM " + orders + " ORDER BY id");
    g_Asked.clear();
    g_Answers = {KV_IDYES, KV_IDNO};
    EXPECT_NE("(no error)", ErrorOf([&] { KVDoDeletion(*rs, {1, 2, 3}); }));
    EXPECT_EQ(2u, g_Asked.size());
    rs->ReExecute(false);
    EXPECT_EQ(std::vector<int>({1, 2}), Column(*rs, "id"));  // the last selected went first
  }
  ExecQuietly("DROP TABLE " + lines);
}

DABRIX_INSTANTIATE_DB_TEST(MasterDetail);

}  // namespace
