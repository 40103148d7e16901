// Recordsets against every database: the type mapping each driver produces, exact values (padding, NULL,
// long data, timestamps, non-ASCII text), the three record count strategies, positioning and the editing
// state machine up to the writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/DbTestSupport.h"
#include "db/KVOdbcRecordset.h"
#include "foundation/KVConvert.h"
#include "foundation/KVDateTime.h"

namespace {

using dbtest::TDbKind;

class Recordset : public dbtest::DbTest {
 protected:
  // A table of `rows` rows with id 1..rows, inserted in one statement.
  std::string Numbers(int rows, const std::string& suffix = "") {
    std::string t = Table(suffix);
    Exec("CREATE TABLE " + t + " (id INTEGER NOT NULL, name VARCHAR(20))");
    std::string values;
    for (int i = 1; i <= rows; ++i) values += (values.empty() ? "" : ",") + ("(" + std::to_string(i) + ", 'n" + std::to_string(i) + "')");
    if (rows > 0) Exec("INSERT INTO " + t + " VALUES " + values);
    return t;
  }
  int32_t CountWith(const std::string& sql, uint32_t strategies) {
    auto rs = KVMakeRef<TKVOdbcRecordset>(ConnRef());
    rs->Properties().SetCountStrategies(strategies);
    rs->SetSQL(sql);
    rs->Open();
    return rs->RecordCount();
  }
};

TEST_P(Recordset, TypesMapPerDriverAndValuesReadExactly) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (i INTEGER, b " + Type("bigint") + ", s SMALLINT, d " + Type("double") +
       ", n DECIMAL(10,2), v VARCHAR(20), c CHAR(5), m " + Type("text") + ", dt DATE, ts " + Type("timestamp") + ")" +
       UnicodeTableOptions());
  Exec("INSERT INTO " + t + " VALUES (-7, 9007199254740993, 300, 0.1, 12.25, 'Grüße Москва', 'ab', NULL, " +
       "{d '2021-03-04'}, {ts '2021-03-04 05:06:07.890'})");
  Exec("INSERT INTO " + t + " VALUES (NULL, NULL, NULL, NULL, NULL, NULL, NULL, '', NULL, {ts '1999-12-31 23:59:59'})");
  auto rs = OpenRecordset("SELECT * FROM " + t + " ORDER BY ts DESC");
  ASSERT_EQ(rs->FieldCount(), 10u);
  auto type = [&](const char* name) { return std::string(KVFieldDataTypeCaption(rs->FieldByName(name).DataType())); };
  EXPECT_EQ(type("i"), "Int32");
  EXPECT_EQ(type("b"), "Int64");
  EXPECT_EQ(type("s"), "Int16");
  EXPECT_EQ(type("d"), "Double");
  EXPECT_EQ(type("n"), KeepsDecimalAsText() ? "String" : "Numeric");
  EXPECT_EQ(type("v"), "String");
  EXPECT_EQ(type("c"), "String");
  EXPECT_EQ(type("m"), "Memo");
  EXPECT_EQ(type("dt"), "Date");
  EXPECT_EQ(type("ts"), "Datetime");
  EXPECT_EQ(rs->FieldByName("v").Size(), 20);

  EXPECT_EQ(rs->FieldByName("i").Value().AsInt32(), -7);
  EXPECT_EQ(rs->FieldByName("b").Value().AsInt64(), 9007199254740993LL);  // beyond a double's precision
  EXPECT_EQ(rs->FieldByName("s").Value().VarType(), varSmallint);
  EXPECT_EQ(rs->FieldByName("d").Value().AsDouble(), 0.1);
  EXPECT_EQ(rs->FieldByName("n").DisplayText(), "12.25");
  EXPECT_EQ(rs->FieldByName("v").Value().AsString(), "Grüße Москва");
  EXPECT_EQ(rs->FieldByName("c").Value().AsString(), "ab");  // CHAR padding removed
  EXPECT_TRUE(rs->FieldByName("m").IsNull());                // NULL memo is NULL, not ""
  EXPECT_EQ(rs->FieldByName("m").DisplayText(), "");
  EXPECT_EQ(rs->FieldByName("dt").DisplayText(), "2021-03-04");
  TKVDateTimeParts p = KVDecodeDateTime(rs->FieldByName("ts").Value().AsDateTime());
  EXPECT_EQ((std::vector<int>{p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second, p.Millisecond}),
            (std::vector<int>{2021, 3, 4, 5, 6, 7, 890}));
  EXPECT_EQ(rs->FieldByName("ts").DisplayText(), "2021-03-04 05:06:07.890");

  rs->MoveToNext();
  EXPECT_EQ(rs->Position(), 2);
  for (const char* f : {"i", "b", "s", "d", "n", "v", "c", "dt"}) EXPECT_TRUE(rs->FieldByName(f).IsNull()) << f;
  EXPECT_FALSE(rs->FieldByName("m").IsNull());  // the empty memo is not NULL
  EXPECT_EQ(rs->FieldByName("m").Value().AsString(), "");
  EXPECT_EQ(rs->FieldByName("ts").DisplayText(), "1999-12-31 23:59:59");
}

TEST_P(Recordset, LongDataOfAMegabyteReadsExactly) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (id INTEGER, bin " + Type("blob") + ", txt " + Type("text") + ")");
  std::string bytes(1 << 20, '\0'), text(1 << 20, 'x');
  std::string hex;
  hex.reserve(bytes.size() * 2);
  const char* digits = "0123456789ABCDEF";
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>((i * 7 + i / 4096) & 0xFF);
    hex += digits[(bytes[i] >> 4) & 0xF];
    hex += digits[bytes[i] & 0xF];
    text[i] = static_cast<char>('a' + (i * 13) % 26);
  }
  text.back() = ' ';  // trailing blanks of long text are data
  std::string binLiteral = BinaryLiteral(hex);
  Exec("INSERT INTO " + t + " VALUES (1, " + binLiteral + ", '" + text + "')");
  Exec("INSERT INTO " + t + " VALUES (2, " + BinaryLiteral("01020304") + ", 'short')");
  auto rs = OpenRecordset("SELECT * FROM " + t + " ORDER BY id");
  ASSERT_EQ(rs->FieldByName("bin").DataType(), fdtBinary);
  // Read the text first: long columns are fetched on demand, in any order.
  TKVVariant txt = rs->FieldByName("txt").Value();
  std::vector<uint8_t> got = rs->FieldByName("bin").Bytes();
  ASSERT_EQ(got.size(), bytes.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), reinterpret_cast<const uint8_t*>(bytes.data())));
  EXPECT_EQ(txt.AsString().size(), text.size());
  EXPECT_TRUE(txt.AsString() == text);
  EXPECT_EQ(rs->FieldByName("bin").DisplayText(),
            "<binary data, size: 1048576 bytes, stored size: 1048576 bytes, compression ratio: 0%>");

  rs->MoveToNext();
  // Four bytes read as a 32-bit integer but display as binary data.
  EXPECT_EQ(rs->FieldByName("bin").Value().VarType(), varInteger);
  EXPECT_EQ(rs->FieldByName("bin").Value().AsInt32(), 0x04030201);
  EXPECT_EQ(rs->FieldByName("bin").DisplayText(),
            "<binary data, size: 4 bytes, stored size: 4 bytes, compression ratio: 0%>");
  EXPECT_EQ(rs->FieldByName("txt").Value().AsString(), "short");
}

// A text longer than its column's declared size is never cut on the way back: SQLite stores it whole and
// it must read back whole; the servers refuse to store it at all.
TEST_P(Recordset, TextLongerThanTheDeclaredSizeIsNotCut) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (v VARCHAR(4))");
  std::string longText(5000, 'q');
  if (EnforcesColumnLength()) {
    EXPECT_THROW(Exec("INSERT INTO " + t + " VALUES ('" + longText + "')"), EODBCError);
    return;
  }
  Exec("INSERT INTO " + t + " VALUES ('" + longText + "')");
  auto rs = OpenRecordset("SELECT v FROM " + t, ctForwardOnly);
  EXPECT_EQ(rs->Field(0).Value().AsString(), longText);
}

TEST_P(Recordset, CountsByEveryStrategy) {
  std::string t = Numbers(256);
  std::string sql = "SELECT * FROM " + t + " WHERE id > 0";
  // The driver's count of a static cursor (MariaDB 3.1 counts its client-side result as well).
  EXPECT_EQ(CountWith(sql, rcsUseDriverCount), 256);
  EXPECT_EQ(CountWith(sql, rcsUseSelectCount), 256);
  EXPECT_EQ(CountWith(sql, rcsLogarithmicPositioning), 256);  // the probe at 256 succeeds, 512 fails
  EXPECT_EQ(CountWith("SELECT * FROM " + t + " WHERE id <= 100", rcsUseSelectCount), 100);
  EXPECT_EQ(CountWith("SELECT * FROM " + t + " WHERE id <= 1", rcsLogarithmicPositioning), 1);
  // A select list of aggregates has one row, without a query (a failing FROM would show otherwise).
  EXPECT_EQ(CountWith("SELECT max(id), count(*) FROM " + t, rcsUseSelectCount), 1);

  for (uint32_t s : {rcsUseDriverCount | rcsUseSelectCount, rcsUseSelectCount, rcsLogarithmicPositioning}) {
    auto rs = KVMakeRef<TKVOdbcRecordset>(ConnRef());
    rs->Properties().SetCountStrategies(s);
    rs->SetSQL("SELECT * FROM " + t + " WHERE id > 1000");
    rs->Open();
    EXPECT_EQ(rs->RecordCount(), 0) << s;
    EXPECT_TRUE(rs->Eof());
    EXPECT_FALSE(rs->HasCurrentRecord());
    EXPECT_EQ(rs->Field(0).DisplayText(), "");
  }

  // Counting by positioning puts the user's record back.
  auto rs = KVMakeRef<TKVOdbcRecordset>(ConnRef());
  rs->Properties().SetCountStrategies(rcsLogarithmicPositioning);
  rs->SetSQL("SELECT * FROM " + t + " ORDER BY id");
  rs->Open();
  rs->MoveToNext();
  rs->MoveToNext();
  EXPECT_EQ(rs->RecordCount(), 256);
  EXPECT_EQ(rs->Position(), 3);
  EXPECT_EQ(rs->FieldByName("id").Value().AsInt32(), 3);
}

TEST_P(Recordset, PositioningOnScrollableAndForwardOnlyCursors) {
  std::string t = Numbers(5);
  auto rs = OpenRecordset("SELECT id, name FROM " + t + " ORDER BY id", ctStatic);
  ASSERT_TRUE(rs->Scrollable());
  auto id = [&] { return rs->Field(0).Value().AsInt32(); };
  EXPECT_EQ(id(), 1);
  EXPECT_TRUE(rs->Bof());
  rs->MoveToLast();
  EXPECT_EQ(rs->Position(), 5);
  EXPECT_EQ(id(), 5);
  EXPECT_TRUE(rs->Eof());
  rs->MoveToNext();  // at the end: nothing happens
  EXPECT_EQ(rs->Position(), 5);
  rs->MoveToPrevious();
  EXPECT_EQ(id(), 4);
  rs->SetPosition(99);  // clamped
  EXPECT_EQ(id(), 5);
  rs->SetPosition(-3);
  EXPECT_EQ(id(), 1);
  rs->MoveBy(2);
  EXPECT_EQ(rs->Position(), 3);
  EXPECT_EQ(id(), 3);
  EXPECT_EQ(rs->Field(1).DisplayText(), "n3");
  rs->MoveToFirst();
  EXPECT_EQ(id(), 1);

  auto fwd = OpenRecordset("SELECT id FROM " + t + " ORDER BY id", ctForwardOnly);
  EXPECT_FALSE(fwd->Scrollable());
  int seen = 0;
  for (; fwd->HasCurrentRecord(); fwd->MoveToNext()) {
    EXPECT_EQ(fwd->RecordCount(), 1);
    EXPECT_EQ(fwd->Field(0).Value().AsInt32(), ++seen);
  }
  EXPECT_EQ(seen, 5);
  EXPECT_TRUE(fwd->Eof());
  EXPECT_EQ(fwd->RecordCount(), 0);
  EXPECT_TRUE(fwd->Field(0).IsNull());  // the last record's bound value is not shown as current
  fwd->MoveToNext();                    // past the end: nothing happens, nothing raises
  EXPECT_EQ(fwd->Position(), 6);
}

TEST_P(Recordset, ColumnsTheProgramCannotRepresentAreLeftOut) {
  std::string t = Numbers(2);
  auto rs = KVMakeRef<TKVOdbcRecordset>(ConnRef());
  rs->OnAdjustColumn = [](TKVOdbcColumnDescription& d) {
    if (KVSameText(d.Name, "name")) d.ConciseType = SQL_INTERVAL_DAY_TO_SECOND;
  };
  rs->SetSQL("SELECT id, name, id + 1 AS next FROM " + t + " ORDER BY id");
  rs->Open();
  ASSERT_EQ(rs->FieldCount(), 2u);
  EXPECT_EQ(rs->FindField("name"), nullptr);
  EXPECT_EQ(rs->FieldByName("next").Value().AsInt32(), 2);
  EXPECT_THROW(rs->FieldByName("name"), EKVException);

  // Opened for its columns only: fields exist, no row is read.
  auto columns = KVMakeRef<TKVOdbcRecordset>(ConnRef());
  columns->SetOpenMode(TKVRecordsetOpenMode::ColumnsOnly);
  columns->SetSQL("SELECT * FROM " + t + " WHERE id = 1");
  columns->Open();
  EXPECT_EQ(columns->FieldCount(), 2u);
  EXPECT_FALSE(columns->HasCurrentRecord());
  EXPECT_EQ(columns->RecordCount(), columns->Scrollable() ? 0 : 0);
}

// The editing state machine up to the writes (the writes have their own suite).
class RecordingWriter : public IKVOdbcRowWriter {
 public:
  std::vector<std::string> Calls;
  bool Fail = false;
  void Insert(TKVOdbcRecordsetBase&) override { Record("insert"); }
  void Update(TKVOdbcRecordsetBase& r) override { Record("update " + r.Field(1).Value().AsString()); }
  void Delete(TKVOdbcRecordsetBase&) override { Record("delete"); }
  void Refresh(TKVOdbcRecordsetBase&) override { Record("refresh"); }

 private:
  void Record(const std::string& what) {
    Calls.push_back(what);
    if (Fail) throw EKVException("write refused", nullptr, "Test");
  }
};

TEST_P(Recordset, EditingStatesAndOperations) {
  std::string t = Numbers(3);
  auto rs = OpenRecordset("SELECT id, name FROM " + t + " ORDER BY id", ctStatic);
  auto writer = std::make_unique<RecordingWriter>();
  RecordingWriter* w = writer.get();
  rs->SetRowWriter(std::move(writer));
  EXPECT_EQ(rs->State(), rsBrowsing);
  EXPECT_STREQ(KVRecordsetStateCaption(rs->State()), "Browsing");
  EXPECT_STREQ(KVRecordsetOperationCaption(roLeaveModifyingState), "Leave modfying state");
  EXPECT_THROW(rs->StateAfterOperation(roSetSimplestConfiguration), EKVException);
  EXPECT_TRUE(rs->OperationAvailable(roEdit));
  EXPECT_FALSE(rs->OperationAvailable(roApplyChanges));

  // Without AutoEdit a write while browsing is refused.
  rs->Properties().SetAttribute(raAutoEdit, false);
  try {
    rs->Field(1).SetValue("x");
    FAIL() << "write while browsing";
  } catch (const EKVException& e) {
    EXPECT_EQ(e.Message(), "Not in Udatable State");
    EXPECT_EQ(e.GetRoutineName(), "CheckupdatableState");
  }
  rs->Properties().SetAttribute(raAutoEdit, true);
  rs->Field(1).SetValue("changed");
  EXPECT_EQ(rs->State(), rsEditing);
  EXPECT_TRUE(rs->Field(1).Assigned());
  EXPECT_FALSE(rs->Field(0).Assigned());
  rs->Cancel();
  EXPECT_EQ(rs->State(), rsBrowsing);
  EXPECT_EQ(rs->Field(1).Value().AsString(), "n1");  // the value before the edit is back
  EXPECT_TRUE(w->Calls.empty());

  // Moving leaves the modifying state: with AutoSaveChanges through the writer.
  rs->Field(1).SetText("written");
  rs->MoveToNext();
  ASSERT_EQ(w->Calls.size(), 1u);
  EXPECT_EQ(w->Calls[0], "update written");
  EXPECT_EQ(rs->State(), rsBrowsing);
  EXPECT_EQ(rs->Position(), 2);

  // A failed apply keeps the state and the values, so that the caller can retry or cancel.
  rs->Edit();
  rs->Field(1).SetValue("again");
  w->Fail = true;
  EXPECT_THROW(rs->ApplyChanges(), EKVException);
  EXPECT_EQ(rs->State(), rsEditing);
  EXPECT_TRUE(rs->Field(1).Assigned());
  // Leaving the state with a failing apply cancels and raises.
  EXPECT_THROW(rs->LeaveModifyingState(), EKVException);
  EXPECT_EQ(rs->State(), rsBrowsing);
  EXPECT_EQ(rs->Field(1).Value().AsString(), "n2");
  w->Fail = false;

  // Insert starts with every field NULL and unassigned; cancel brings the record back.
  rs->Insert();
  EXPECT_EQ(rs->State(), rsInserting);
  EXPECT_TRUE(rs->Field(0).IsNull());
  EXPECT_FALSE(rs->AnyFieldAssigned());
  rs->Field(0).SetText("42");
  EXPECT_EQ(rs->Field(0).Value().AsInt32(), 42);
  rs->Cancel();
  EXPECT_EQ(rs->Field(0).Value().AsInt32(), 2);
  EXPECT_THROW(rs->Field(0).SetText("not a number"), std::exception);  // AutoEdit, then the conversion fails
  rs->Cancel();

  // Fixed buffers refuse more bytes than they hold; text buffers grow.
  rs->Edit();
  EXPECT_THROW(rs->Field(0).SetBytes("123456789", 9), EKVException);
  std::string longName(300, 'z');
  rs->Field(1).SetValue(longName);
  EXPECT_EQ(rs->Field(1).Value().AsString(), longName);
  rs->Cancel();

  rs->ReExecute(true);
  EXPECT_EQ(rs->Position(), 2);
  EXPECT_EQ(rs->Field(0).Value().AsInt32(), 2);
  rs->Close();
  EXPECT_EQ(rs->State(), rsInactive);
}

TEST_P(Recordset, DeletingShowsTheFollowingRecordAndCountsDown) {
  std::string t = Numbers(4);
  auto rs = OpenRecordset("SELECT id, name FROM " + t + " ORDER BY id", ctStatic);
  auto id = [&] { return rs->Field(0).Value().AsInt32(); };
  rs->MoveToNext();
  ASSERT_EQ(rs->RecordCount(), 4);

  // The record that followed takes the deleted one's place, and it can be edited.
  rs->DeleteCurrentRecord();
  ASSERT_TRUE(rs->HasCurrentRecord());
  EXPECT_EQ(id(), 3);
  EXPECT_EQ(rs->Position(), 2);
  EXPECT_EQ(rs->RecordCount(), 3);
  rs->Edit();
  rs->Field(1).SetValue("edited");
  EXPECT_NO_THROW(rs->ApplyChanges());
  // The last record: the previous one becomes current.
  rs->MoveToLast();
  rs->DeleteCurrentRecord();
  EXPECT_EQ(id(), 3);
  EXPECT_EQ(rs->Field(1).Value().AsString(), "edited");
  EXPECT_EQ(rs->Position(), 2);
  EXPECT_EQ(rs->RecordCount(), 2);
  EXPECT_TRUE(rs->Eof());
  rs->MoveToFirst();
  rs->DeleteCurrentRecord();
  EXPECT_EQ(id(), 3);
  EXPECT_EQ(rs->Position(), 1);
  EXPECT_EQ(rs->RecordCount(), 1);
  // The only record: none is left.
  rs->DeleteCurrentRecord();
  EXPECT_FALSE(rs->HasCurrentRecord());
  EXPECT_EQ(rs->RecordCount(), 0);
  EXPECT_TRUE(rs->Eof());
  EXPECT_FALSE(rs->OperationAvailable(roDelete));
  EXPECT_EQ(dbtest::ErrorOf([&] { rs->DeleteCurrentRecord(); }),
            "The operation \"Delete\" is not available: the recordset has no current record");
  auto rows = OpenRecordset("SELECT COUNT(*) FROM " + t, ctForwardOnly);
  EXPECT_EQ(rows->Field(0).Value().AsInt64(), 0);

  // The only record of a recordset whose count was never asked for, with every count strategy and none.
  for (uint32_t strategies : {rcsUseDriverCount | rcsUseSelectCount, rcsLogarithmicPositioning, 0u}) {
    SCOPED_TRACE(strategies);
    Exec("INSERT INTO " + t + " VALUES (9, 'n9')");
    auto one = KVMakeRef<TKVOdbcRecordset>(ConnRef());
    one->Properties().SetCursorType(ctStatic);
    one->Properties().SetCountStrategies(strategies);
    one->SetSQL("SELECT id, name FROM " + t);
    one->Open();
    ASSERT_EQ(one->KnownRecordCount(), -1);
    one->DeleteCurrentRecord();
    EXPECT_FALSE(one->HasCurrentRecord());
    EXPECT_EQ(one->RecordCount(), 0);
  }

  // A forward-only recordset goes on with the next record.
  std::string f = Numbers(3, "fwd");
  auto fwd = OpenRecordset("SELECT id, name FROM " + f + " ORDER BY id", ctForwardOnly);
  fwd->DeleteCurrentRecord();
  ASSERT_TRUE(fwd->HasCurrentRecord());
  EXPECT_EQ(fwd->Field(0).Value().AsInt32(), 2);
  EXPECT_EQ(fwd->RecordCount(), 1);
  fwd->MoveToNext();
  fwd->DeleteCurrentRecord();
  EXPECT_FALSE(fwd->HasCurrentRecord());
  EXPECT_EQ(fwd->RecordCount(), 0);
  fwd->Close();
  auto left = OpenRecordset("SELECT id FROM " + f, ctForwardOnly);
  EXPECT_EQ(left->Field(0).Value().AsInt32(), 2);
}

DABRIX_INSTANTIATE_DB_TEST(Recordset);

TEST(FieldDataTypes, MappingAndCaptions) {
  EXPECT_EQ(KVFieldDataTypeOfSqlType(SQL_FLOAT, false), fdtDouble);
  EXPECT_EQ(KVFieldDataTypeOfSqlType(SQL_REAL, false), fdtDouble);
  EXPECT_EQ(KVFieldDataTypeOfSqlType(SQL_INTEGER, true), fdtUInt32);
  EXPECT_EQ(KVFieldDataTypeOfSqlType(SQL_WLONGVARCHAR, false), fdtWideMemo);
  try {
    KVFieldDataTypeOfSqlType(SQL_INTERVAL_YEAR, false);
    FAIL();
  } catch (const EKVException& e) {
    EXPECT_EQ(e.Message(), "Unknown ODBC Field Data Type: " + std::to_string(SQL_INTERVAL_YEAR));
  }
  EXPECT_STREQ(KVFieldDataTypeCaption(fdtWideString), "Wide String");
  EXPECT_STREQ(KVFieldDataTypeCaption(21), "?");
  EXPECT_EQ(KVFixedBufferSizeOfFieldDataType(fdtDatetime), 16);
  EXPECT_EQ(KVFixedBufferSizeOfFieldDataType(fdtWideString, 20), 22);
  EXPECT_THROW(KVCTypeOfFieldDataType(21), EKVException);
  try {
    KVVarTypeOfFieldDataType(fdtBinary);
    FAIL();
  } catch (const EKVException& e) {
    EXPECT_EQ(e.Message(), "Unsupported value (19) for \"TKVFieldDataType\"");
  }
}

TEST(ValueBuffers, VariantsGoInAtTheFieldsWidth) {
  TKVOdbcValueBuffer i8(fdtInt8, 1, 0);
  EXPECT_THROW(i8.SetValue(TKVVariant(200)), EVariantOverflowError);
  EXPECT_TRUE(i8.IsNull());  // unchanged by the failed write
  i8.SetValue(TKVVariant(-5));
  EXPECT_EQ(i8.Value().VarType(), varShortInt);
  EXPECT_EQ(i8.Value().AsInt32(), -5);

  TKVOdbcValueBuffer u64(fdtUInt64, 1, 0);
  u64.SetValue(TKVVariant("18446744073709551615"));
  EXPECT_EQ(u64.Value().AsUInt64(), UINT64_MAX);

  TKVOdbcValueBuffer ts(fdtDatetime, 1, 0);
  double moment = 0;
  ASSERT_TRUE(KVTryEncodeDateTime({2020, 2, 29, 23, 59, 58, 999}, moment));
  ts.SetValue(TKVVariant::FromDateTime(moment));
  EXPECT_EQ(ts.Value().AsDateTime(), moment);

  TKVOdbcValueBuffer guid(fdtGUID, 1, 0);
  guid.SetValue(TKVVariant("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"));
  EXPECT_EQ(guid.Value().AsString(), "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
  EXPECT_THROW(guid.SetValue(TKVVariant("no guid")), EKVException);

  TKVOdbcValueBuffer wide(fdtWideString, 1, 4);
  wide.SetValue(TKVVariant("Grüße, Москва"));  // longer than the column: the buffer grows
  EXPECT_EQ(wide.Value().AsString(), "Grüße, Москва");
  EXPECT_EQ(wide.Indicator(), 13 * 2);

  TKVOdbcValueBuffer bin(fdtBinary, 1, 0);
  bin.SetValue(TKVVariant::FromInt64(-2));  // an integer read from 8 bytes writes back as those bytes
  EXPECT_EQ(bin.Size(), 8u);
  EXPECT_EQ(bin.Value().AsInt64(), -2);
  bin.SetValue(TKVVariant::Null());
  EXPECT_TRUE(bin.IsNull());
}

}  // namespace
