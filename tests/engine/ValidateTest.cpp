// "Validate All" and "Clear Validation" over definitions on real SQLite files, with the example plug-in
// loaded from a temporary program folder: the report block line by line with its colours, the nodes'
// severities and ranges, and that everything validation opened is closed again.
#include <gtest/gtest.h>

#include <filesystem>

#include "definition/QXDocument.h"
#include "engine/QXValidate.h"
#include "plugin_host/FVFunc.h"
#include "plugin_host/KVPluginMgr.h"
#include "support/TestSupport.h"

namespace {

using testsupport::RunCommand;
using testsupport::ShellQuote;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

const std::string kMissingFunction =
    "Function \"Gone\" not found in any loaded plugin. This function will not be called when executing a data "
    "reorganization.";

class Validation : public ::testing::Test {
 protected:
  void SetUp() override {
    m_OldProvider = KVSetPluginFolderProvider([this] { return std::vector<std::string>{m_Dir.path().string() + "/"}; });
    std::filesystem::copy_file(std::string(DABRIX_BIN_DIR) + "/ExamplePlugin.qxp", m_Dir.file("example.qxp"));
    LoadPlugins("*.qxp", "PluginCreateObject");
    RebuildFunctionRegistry();
    Sql(m_Dir.file("src.db"), "CREATE TABLE customers (id INTEGER PRIMARY KEY, name TEXT);"
                              "INSERT INTO customers VALUES (1, 'Ann');");
    Sql(m_Dir.file("dst.db"), "CREATE TABLE clients (id INTEGER PRIMARY KEY, name TEXT);");
  }
  void TearDown() override {
    m_Doc = nullptr;
    FVClearFunctionRegistry();
    KVReleasePlugins();
    KVSetPluginFolderProvider(m_OldProvider);
  }

  static void Sql(const std::string& db, const std::string& sql) {
    auto r = RunCommand("sqlite3 " + ShellQuote(db) + " " + ShellQuote(sql));
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }

  // Shop > customers > Warehouse (transaction size 10) > clients > name with three functions; with
  // `problems` also an unchecked recordset on a missing table and a database that cannot be reached.
  std::string Document(bool problems) const {
    std::string d =
        "[GeneralSettings]\n"
        "DataFormatGUID={C1CE532E-C8F3-4cc4-915D-B90F532B3B19}\n"
        "[QXD]\n"
        "[QXD\\.\\00000]\nDataClassName=TQXDSourceConnectionData\nTitle=Shop\n"
        "[QXD\\.\\00000\\ConnectProperties]\nConnectionString=Driver=SQLite3;Database=" + m_Dir.file("src.db") + "\n"
        "[QXD\\.\\00000\\.\\00001]\nDataClassName=TQXDSourceTableData\nTitle=customers\n"
        "[QXD\\.\\00000\\.\\00001\\RecordsetProperties]\nSQL=SELECT * FROM customers\nCursorType=0\n"
        "[QXD\\.\\00000\\.\\00001\\.\\00002]\nDataClassName=TQXDDestConnectionData\nTitle=Warehouse\n"
        "TransactionSize=10\n"
        "[QXD\\.\\00000\\.\\00001\\.\\00002\\ConnectProperties]\nConnectionString=Driver=SQLite3;Database=" +
        m_Dir.file("dst.db") + "\n"
        "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003]\nDataClassName=TQXDDestRSData\nTitle=clients\n"
        "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\RecordsetProperties]\nSQL=SELECT * FROM clients\n"
        "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\.\\00004]\nDataClassName=TQXDDestFieldData\nTitle=name\n"
        "DestFieldname=name\nSourceRecordsetFieldname=name\n"
        "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\.\\00004\\.\\00005]\nDataClassName=TQXDFieldFuncData\n"
        "Title=Prefix\nFunctionId={78C8017B-2806-4B0C-931C-60E2740F1470}\nArgument000=8,Hi-\n";
    if (problems)
      d +=
          "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\.\\00004\\.\\00006]\nDataClassName=TQXDFieldFuncData\n"
          "Title=Prefix\nFunctionId={78C8017B-2806-4B0C-931C-60E2740F1470}\nArgument000=8,much-too-long:\n"
          "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\.\\00004\\.\\00007]\nDataClassName=TQXDFieldFuncData\n"
          "Title=Gone\nFunctionId={0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}\n"
          "[QXD\\.\\00000\\.\\00008]\nDataClassName=TQXDSourceTableData\nTitle=orders\nChecked=0\n"
          "[QXD\\.\\00000\\.\\00008\\RecordsetProperties]\nSQL=SELECT * FROM no_such_table\n"
          "[QXD\\.\\00009]\nDataClassName=TQXDSourceConnectionData\nTitle=Lost\n"
          "[QXD\\.\\00009\\ConnectProperties]\nConnectionString=Driver=SQLite3;Database=" +
          m_Dir.file("no/such/folder/x.db") + "\n"
          "[QXD\\.\\00009\\.\\00010]\nDataClassName=TQXDSourceTableData\nTitle=things\n"
          "[QXD\\.\\00009\\.\\00010\\RecordsetProperties]\nSQL=SELECT * FROM things\n";
    else
      d +=
          "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\.\\00004\\.\\00006]\nDataClassName=TQXDFieldFuncData\n"
          "Title=Prefix\nFunctionId={78C8017B-2806-4B0C-931C-60E2740F1470}\nArgument000=8,\n";
    return d;
  }

  TQXDTreeView& Load(bool problems) {
    WriteFileBytes(m_Dir.file("doc.qxt"), Document(problems));
    m_Doc = KVMakeRef<TQXDocument>();
    EXPECT_TRUE(m_Doc->LoadFromFile(m_Dir.file("doc.qxt")));
    return m_Doc->Tree();
  }
  TKVTreeItem* Node(const std::string& path) {
    TKVTreeItem* item = QXDFindNodeByPath(m_Doc->Tree(), path);
    EXPECT_NE(item, nullptr) << path;
    return item;
  }

  // Nothing of the tree may be open: connections, recordsets, SQL texts as stored.
  void ExpectAllClosed() {
    m_Doc->Tree().ForEach([](TKVTreeItem& item) {
      if (auto* c = item.DataAs<TQXDConnectionData>()) {
        EXPECT_FALSE(c->Connection().Connected()) << item.Title();
      }
      if (auto* r = item.DataAs<TQXDRecordsetData>()) {
        EXPECT_EQ(r->Recordset().State(), rsInactive) << item.Title();
        EXPECT_EQ(r->Recordset().OpenMode(), TKVRecordsetOpenMode::ReadRows) << item.Title();
      }
      return true;
    });
  }

  TempDir m_Dir;
  TKVPluginFolderProvider m_OldProvider;
  TKVRef<TQXDocument> m_Doc;
};

struct TExpectedEntry {
  std::string Path, Result;
  uint32_t HeaderColor, ResultColor;
  int Severity;
};

TEST_F(Validation, ValidateAllWritesEachNodeWithItsSeverityAndClosesEverything) {
  TQXDTreeView& tree = Load(true);
  TQXReport report;
  report.Append("earlier\r\n", kQXColorBlack);
  TQXValidator validator(tree, report);
  EXPECT_FALSE(validator.CanClearValidation());
  EXPECT_EQ(validator.ValidateAll(), TKVSeverity::Error);

  const std::vector<TQXReportLine> lines = report.Lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0].Text(), "earlier");
  EXPECT_EQ(lines[1].Text(), "");
  EXPECT_EQ(lines[2].Text(), "");
  // The heading: date and time, then the fixed words, underlined to its length, navy and bold.
  const std::string heading = lines[3].Text();
  EXPECT_TRUE(heading.ends_with(": Validation Started")) << heading;
  EXPECT_GT(heading.size(), std::string(": Validation Started").size() + 8);
  EXPECT_EQ(lines[4].Text(), std::string(heading.size(), '='));
  for (size_t i : {3, 4}) {
    ASSERT_EQ(lines[i].Runs.size(), 1u);
    EXPECT_EQ(lines[i].Runs[0].Color, kQXColorNavy);
    EXPECT_TRUE(lines[i].Runs[0].Bold);
  }

  const std::string w = "Shop.customers.Warehouse.clients.name";
  const uint32_t black = 0x000000, green = 0x008000, confirm = 0xFFF0E6, warning = 0x0080FF, error = 0x0000FF,
                 grey = 0x808080;
  const std::vector<TExpectedEntry> expected = {
      {"Shop", "Ok", black, green, 0},
      {"Shop.customers", "Ok", black, green, 0},
      {"Shop.customers.Warehouse", "Ok", black, green, 0},
      {"Shop.customers.Warehouse.clients", "Ok", black, green, 0},
      {w, "Ok", black, green, 0},
      {w + ".Example Prefix", "Ok", black, green, 0},
      {w + ".Example Prefix", "Confirm: The prefix is longer than 8 characters. Shorten it?", black, confirm, 2},
      {w + ".Gone", "Warning: " + kMissingFunction, black, warning, 3},
      {"Shop.orders", "Error: ", grey, grey, 4},  // driver text follows
      {"Lost", "Error: ", black, error, 4},
      {"Lost.things", "Error: ", black, error, 4},
  };
  // Per node: header, result (a driver's message may span lines), empty line.
  std::vector<TKVTreeItem*> visited;
  tree.ForEach([&](TKVTreeItem& item) {
    visited.push_back(&item);
    return true;
  });
  ASSERT_EQ(visited.size(), expected.size());
  size_t at = 5;
  for (size_t n = 0; n < expected.size(); ++n) {
    const TExpectedEntry& e = expected[n];
    SCOPED_TRACE(e.Path);
    ASSERT_LT(at + 2, lines.size());
    const TQXReportLine& header = lines[at];
    const TQXReportLine& result = lines[at + 1];
    const std::string resultText = report.TextAt(QXDData(visited[n])->ValidationReportRange()[2],
                                                 QXDData(visited[n])->ValidationReportRange()[3]);
    size_t resultLines = 1;
    for (size_t p = resultText.find("\r\n"); p != std::string::npos; p = resultText.find("\r\n", p + 1)) ++resultLines;
    EXPECT_EQ(header.Text(), e.Path + ":");
    EXPECT_EQ(header.Runs[0].Color, e.HeaderColor);
    if (e.Severity == 4) {
      EXPECT_TRUE(result.Text().starts_with(e.Result)) << result.Text();
      EXPECT_NE(resultText.find("[SQLite]"), std::string::npos) << resultText;  // the driver's own words
    } else {
      EXPECT_EQ(result.Text(), e.Result);
    }
    for (size_t k = 0; k < resultLines; ++k)
      for (const TQXReportRun& run : lines[at + 1 + k].Runs) {
        EXPECT_EQ(run.Color, e.ResultColor);
        EXPECT_FALSE(run.Bold);
      }
    at += 1 + resultLines;
    EXPECT_EQ(lines[at].Text(), "");
    ++at;

    // The node keeps its severity (bold in the tree when not 0) and where its two lines are.
    TQXDDataBase* node = QXDData(visited[n]);
    EXPECT_EQ(node->ValidationSeverity(), e.Severity);
    EXPECT_EQ((visited[n]->State() & tisBold) != 0, e.Severity != 0);
    const auto& range = node->ValidationReportRange();
    EXPECT_EQ(report.TextAt(range[0], range[1]), e.Path + ":\r\n");
    EXPECT_TRUE(resultText.starts_with(result.Text()));
    size_t start = 0, length = 0;
    ASSERT_TRUE(validator.ValidationResultRange(*visited[n], start, length));
    EXPECT_EQ(start, static_cast<size_t>(range[2]));
  }
  EXPECT_EQ(at, lines.size());
  EXPECT_EQ(validator.BlockStart(), 9u);
  EXPECT_EQ(validator.BlockStart() + validator.BlockLength(), report.Length());
  EXPECT_TRUE(validator.CanClearValidation());

  // Everything is closed, including the unchecked recordset, and the destination's transaction is over:
  // another writer gets the file at once.
  ExpectAllClosed();
  Sql(m_Dir.file("dst.db"), "PRAGMA busy_timeout=0; INSERT INTO clients VALUES (1, 'x');");
}

TEST_F(Validation, RepeatedValidationKeepsOneBlockAndClearRemovesIt) {
  TQXDTreeView& tree = Load(false);
  TQXReport report;
  report.Append("before\r\n", kQXColorRed);
  TQXValidator validator(tree, report);
  EXPECT_EQ(validator.ValidateAll(), TKVSeverity::Warning);  // the empty prefix
  const std::string first = validator.BlockText();
  EXPECT_NE(first.find("Warning: The prefix is empty"), std::string::npos) << first;

  EXPECT_EQ(validator.ValidateAll(), TKVSeverity::Warning);
  report.Append("a run\r\n", kQXColorNavy);  // a run writes after the block
  validator.ValidateAll();
  const std::string text = report.Text();
  size_t count = 0;
  for (size_t p = text.find("Validation Started"); p != std::string::npos; p = text.find("Validation Started", p + 1))
    ++count;
  EXPECT_EQ(count, 1u);
  EXPECT_TRUE(text.starts_with("before\r\na run\r\n\r\n\r\n")) << text;
  EXPECT_EQ(validator.BlockStart(), std::string("before\r\na run\r\n").size());
  ExpectAllClosed();

  TKVTreeItem* warned = Node("Shop.customers.Warehouse.clients.name")->Child(1);
  EXPECT_EQ(QXDData(warned)->ValidationSeverity(), 3);
  validator.ClearValidation();
  EXPECT_EQ(report.Text(), "before\r\na run\r\n");
  EXPECT_FALSE(validator.CanClearValidation());
  EXPECT_EQ(validator.BlockText(), "");
  tree.ForEach([](TKVTreeItem& item) {
    EXPECT_EQ(QXDData(&item)->ValidationSeverity(), 0);
    EXPECT_EQ(QXDData(&item)->ValidationReportRange(), (std::array<int, 4>{-1, -1, -1, -1}));
    EXPECT_EQ(item.State() & tisBold, 0);
    return true;
  });
  size_t start = 0, length = 0;
  EXPECT_FALSE(validator.ValidationResultRange(*warned, start, length));

  // A report emptied by its user no longer holds the block: validation starts afresh without deleting.
  validator.ValidateAll();
  report.Clear();
  validator.ValidateAll();
  EXPECT_TRUE(report.Text().starts_with("\r\n\r\n"));
  EXPECT_EQ(validator.BlockStart(), 0u);
}

TEST_F(Validation, HeadlessValidationGivesTheBlockAndTheWorstSeverity) {
  TQXDTreeView& tree = Load(false);
  TQXReport block;
  block.Append("stale", kQXColorRed);
  EXPECT_EQ(QXValidateTree(tree, block), TKVSeverity::Warning);
  EXPECT_TRUE(block.Text().starts_with("\r\n\r\n"));
  EXPECT_NE(block.Text().find("Shop.customers.Warehouse.clients:\r\nOk\r\n\r\n"), std::string::npos);
  ExpectAllClosed();

  // Without the plug-ins every function node is a warning, never an error.
  FVClearFunctionRegistry();
  KVReleasePlugins();
  TQXDTreeView& again = Load(false);
  EXPECT_EQ(QXValidateTree(again, block), TKVSeverity::Warning);
  EXPECT_NE(block.Text().find("Function \"Prefix\" not found in any loaded plugin."), std::string::npos);
}

TEST(ValidationColours, SeverityColoursAndClamping) {
  EXPECT_EQ(QXSeverityColor(0), 0x000000u);
  EXPECT_EQ(QXSeverityColor(1), 0x008000u);
  EXPECT_EQ(QXSeverityColor(2), 0xFFF0E6u);
  EXPECT_EQ(QXSeverityColor(3), 0x0080FFu);
  EXPECT_EQ(QXSeverityColor(4), 0x0000FFu);
  EXPECT_EQ(QXSeverityColor(9), 0x0000FFu);
  EXPECT_EQ(QXSeverityColor(-1), 0x000000u);
}

}  // namespace

namespace {

// Validation shows results; it is no edit. A validated document stays unmodified, saving it writes no bold,
// and a file that an older version saved with bold states opens with normal titles.
TEST_F(Validation, ResultsNeitherModifyNorEnterTheDocument) {
  TQXDTreeView& tree = Load(false);
  ASSERT_FALSE(m_Doc->Modified());
  TQXReport report;
  TQXValidator validator(tree, report);
  validator.ValidateAll();
  size_t bold = 0;
  tree.ForEach([&](TKVTreeItem& item) {
    if (item.State() & tisBold) ++bold;
    return true;
  });
  EXPECT_GT(bold, 0u);
  EXPECT_FALSE(m_Doc->Modified());

  // A real edit after validation is saved without the validation's bold.
  Node("Shop.customers")->SetTitle("customers2");
  EXPECT_TRUE(m_Doc->Modified());
  m_Doc->SaveAs(m_Dir.file("saved.qxt"));
  const std::string saved = testsupport::ReadFileBytes(m_Dir.file("saved.qxt"));
  EXPECT_EQ(saved.find("State="), std::string::npos) << saved;

  validator.ClearValidation();
  EXPECT_FALSE(m_Doc->Modified());

  // "State=16" is the bold bit alone, "State=48" bold and expanded.
  std::string old = Document(false);
  old.replace(old.find("Title=Shop\n"), 11, "Title=Shop\nState=16\n");
  old.replace(old.find("Title=customers\n"), 16, "Title=customers\nState=48\n");
  WriteFileBytes(m_Dir.file("old.qxt"), old);
  m_Doc = KVMakeRef<TQXDocument>();
  ASSERT_TRUE(m_Doc->LoadFromFile(m_Dir.file("old.qxt")));
  EXPECT_EQ(Node("Shop")->State(), 0);
  EXPECT_EQ(Node("Shop.customers")->State(), tisExpanded);
  EXPECT_FALSE(m_Doc->Modified());
}

}  // namespace
