// dabrix-cli run / validate end to end: real definitions on real SQLite files, the program started as a
// user starts it, without a terminal (standard input from /dev/null, output into pipes), with its own
// settings folder.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "support/TestSupport.h"

namespace {

using testsupport::CommandResult;
using testsupport::ReadFileBytes;
using testsupport::RunCommand;
using testsupport::ShellQuote;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

const std::string kCli = std::string(DABRIX_BIN_DIR) + "/dabrix-cli";
using TValues = std::vector<std::pair<std::string, std::string>>;

// One node of a definition as the text format stores it.
struct TNode {
  int Level;
  std::string Class, Title;
  TValues Values;
  std::string SubDir;  // "ConnectProperties" / "RecordsetProperties"
  TValues SubValues;
};

// The text format keeps blanks as 0xF0 (a line cannot carry them at its ends).
std::string Stored(const std::string& s) {
  std::string r;
  for (char c : s) r += c == ' ' ? '\xF0' : c;
  return r;
}

std::string DefinitionText(const std::vector<TNode>& nodes) {
  std::string t = "[GeneralSettings]\r\nDataFormatGUID={C1CE532E-C8F3-4cc4-915D-B90F532B3B19}\r\n[QXD]\r\n";
  std::vector<std::string> path;
  for (size_t i = 0; i < nodes.size(); ++i) {
    const TNode& n = nodes[i];
    char number[24];
    snprintf(number, sizeof number, "%05zu", i);
    path.resize(static_cast<size_t>(n.Level));
    path.push_back(number);
    std::string dir = "QXD";
    for (const auto& p : path) dir += "\\.\\" + p;
    t += "[" + dir + "]\r\nDataClassName=" + n.Class + "\r\nTitle=" + Stored(n.Title) + "\r\n";
    for (const auto& [k, v] : n.Values) t += k + "=" + Stored(v) + "\r\n";
    if (!n.SubDir.empty()) {
      t += "[" + dir + "\\" + n.SubDir + "]\r\n";
      for (const auto& [k, v] : n.SubValues) t += k + "=" + Stored(v) + "\r\n";
    }
  }
  return t;
}

class RunCli : public ::testing::Test {
 protected:
  void SetUp() override {
    Sql(Source(), "CREATE TABLE customers (id INTEGER PRIMARY KEY, name VARCHAR(40))");
    Sql(Source(),
        "INSERT INTO customers VALUES (1, 'Ann'), (2, 'Bernadette'), (3, 'Carl'), (4, 'Dorothea'), (5, 'Eve')");
    // Names longer than five characters fail at the destination: records 2 and 4.
    Sql(Dest(), "CREATE TABLE clients (id INTEGER PRIMARY KEY, name VARCHAR(40) CHECK (length(name) <= 5))");
  }

  std::string Source() const { return "Driver=SQLite3;Database=" + m_Dir.file("source.db"); }
  std::string Dest() const { return "Driver=SQLite3;Database=" + m_Dir.file("dest.db"); }

  std::string Sql(const std::string& connection, const std::string& sql) {
    CommandResult r = RunCommand(ShellQuote(kCli) + " query " + ShellQuote(connection) + " " + ShellQuote(sql));
    EXPECT_EQ(r.exitCode, 0) << sql << "\n" << r.err;
    return r.out;
  }

  // customers -> clients, id and name, with the given source SQL and transaction size.
  std::string WriteDefinition(const std::string& sourceSql = "SELECT id, name FROM customers ORDER BY id",
                              const std::string& transactionSize = "0", const std::string& dest = "",
                              const std::string& destTable = "clients") {
    std::vector<TNode> nodes = {
        {0, "TQXDSourceConnectionData", "Src", {}, "ConnectProperties", {{"ConnectionString", Source()}}},
        {1, "TQXDSourceTableData", "customers", {}, "RecordsetProperties", {{"SQL", sourceSql}}},
        {2, "TQXDDestConnectionData", "Dst", {{"TransactionSize", transactionSize}}, "ConnectProperties",
         {{"ConnectionString", dest.empty() ? Dest() : dest}}},
        {3, "TQXDDestRSData", destTable, {}, "RecordsetProperties", {{"SQL", "SELECT * FROM " + destTable}}},
        {4, "TQXDDestFieldData", "id", {{"DestFieldname", "id"}, {"SourceRecordsetFieldname", "id"}}, "", {}},
        {4, "TQXDDestFieldData", "name", {{"DestFieldname", "name"}, {"SourceRecordsetFieldname", "name"}}, "", {}},
    };
    std::string file = m_Dir.file("run.qxt");
    WriteFileBytes(file, DefinitionText(nodes));
    return file;
  }

  // The program without a terminal and with a settings folder of its own.
  CommandResult Cli(const std::vector<std::string>& args) {
    std::string line = "XDG_CONFIG_HOME=" + ShellQuote(m_Dir.file("config")) + " " + ShellQuote(kCli);
    for (const auto& a : args) line += " " + ShellQuote(a);
    return RunCommand(line + " </dev/null");
  }

  std::string Clients() { return Sql(Dest(), "SELECT id, name FROM clients ORDER BY id"); }

  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  static int CountLinesStartingWith(const std::string& text, const std::string& prefix) {
    int n = 0;
    for (const auto& l : Lines(text))
      if (l.rfind(prefix, 0) == 0) ++n;
    return n;
  }
  static bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

  TempDir m_Dir;
};

// The layout of a successful run, line by line, as it reaches a pipe: plain text, no escapes.
TEST_F(RunCli, CopiesAndReportsInTheReportLayout) {
  std::string doc = WriteDefinition("SELECT id, name FROM customers WHERE length(name) <= 5 ORDER BY id");
  CommandResult r = Cli({"run", doc});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(Clients(), "id\tname\n1\tAnn\n3\tCarl\n5\tEve\n");
  EXPECT_FALSE(Has(r.out, "\033")) << "colours only on a terminal";
  EXPECT_FALSE(Has(r.out, "\r")) << "terminal line ends";
  EXPECT_FALSE(Has(r.err, "Overall Progress")) << "no progress bar into a pipe";

  std::vector<std::string> l = Lines(r.out);
  ASSERT_EQ(l.size(), 15u) << r.out;
  EXPECT_EQ(l[0], "");
  EXPECT_EQ(l[1], "");
  EXPECT_EQ(l[2].rfind("Operation Started: ", 0), 0u);
  EXPECT_EQ(l[3], std::string(l[2].size(), '='));
  const std::string reading = " Reading Data From: Src.customers";
  EXPECT_TRUE(l[4].size() > reading.size() && l[4].substr(l[4].size() - reading.size()) == reading) << l[4];
  EXPECT_EQ(l[5], "   Table \"clients\":\t3 Records Inserted\t0 Records Edited\t0 Records Skipped");
  EXPECT_EQ(l[6], "   Records Read: 3");
  EXPECT_EQ(l[7], "   Transactions: 0");
  EXPECT_EQ(l[8].rfind("   Duration: ", 0), 0u);
  EXPECT_EQ(l[9].rfind("   WriteDestRS: 00:00:", 0), 0u);
  EXPECT_EQ(l[10].rfind("   Total: 00:00:", 0), 0u);
  EXPECT_EQ(l[11], "");
  EXPECT_EQ(l[12], "");
  EXPECT_EQ(l[13], "");
  EXPECT_EQ(l[14].rfind("Total Operation Duration: 00:00:", 0), 0u);
}

TEST_F(RunCli, ReportFileIsRtfOrPlainTextByItsExtension) {
  std::string doc = WriteDefinition("SELECT id, name FROM customers WHERE id = 1");
  CommandResult txt = Cli({"run", doc, "--report", m_Dir.file("report.txt")});
  ASSERT_EQ(txt.exitCode, 0) << txt.err;
  std::string text = ReadFileBytes(m_Dir.file("report.txt"));
  EXPECT_TRUE(Has(text, "   Records Read: 1\n")) << text;
  EXPECT_TRUE(Has(text, "Total Operation Duration: ")) << text;
  EXPECT_FALSE(Has(text, "{\\rtf"));

  // The extension decides, whatever its letter case: rich text with the report's colours and weights.
  Sql(Dest(), "DELETE FROM clients");
  CommandResult rtf = Cli({"run", doc, "--report=" + m_Dir.file("report.RTF")});
  ASSERT_EQ(rtf.exitCode, 0) << rtf.err;
  std::string rich = ReadFileBytes(m_Dir.file("report.RTF"));
  EXPECT_EQ(rich.rfind("{\\rtf", 0), 0u) << rich.substr(0, 80);
  EXPECT_TRUE(Has(rich, "\\red0\\green0\\blue128")) << "navy statistics";
  EXPECT_TRUE(Has(rich, "Records Read: 1"));
  EXPECT_TRUE(Has(rich, "\\b"));

  // A report that cannot be written makes an otherwise good run fail, and says why.
  Sql(Dest(), "DELETE FROM clients");
  CommandResult bad = Cli({"run", doc, "--report", m_Dir.file("no/such/folder/report.txt")});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_FALSE(bad.err.empty());
}

TEST_F(RunCli, WrongArgumentsAndUnloadableDocumentsExitTwoWithoutTouchingAnything) {
  std::string doc = WriteDefinition();
  std::string before = ReadFileBytes(doc);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"run"},
           {"run", doc, doc},
           {"run", doc, "--error-action", "sometimes"},
           {"run", doc, "--error-action"},
           {"run", doc, "--param", "novalue"},
           {"run", doc, "--param", "=1"},
           {"run", doc, "--param", "a=1", "--param", "A=2"},
           {"run", doc, "--frobnicate"},
           {"run", m_Dir.file("missing.qxt")},
       }) {
    CommandResult r = Cli(args);
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    EXPECT_EQ(r.exitCode, 2) << shown << "\n" << r.out << r.err;
    EXPECT_FALSE(r.err.empty()) << shown;
  }
  // A storage file that is no reorganization definition.
  WriteFileBytes(m_Dir.file("other.qxt"), "[GeneralSettings]\r\nDataFormatGUID={00000000-0000-0000-0000-000000000000}\r\n");
  EXPECT_EQ(Cli({"run", m_Dir.file("other.qxt")}).exitCode, 2);
  EXPECT_EQ(Clients(), "id\tname\n");
  EXPECT_EQ(ReadFileBytes(doc), before);
}

TEST_F(RunCli, ParametersComeFromTheCommandLineOrEndAHeadlessRunBeforeReading) {
  std::string doc = WriteDefinition("SELECT id, name FROM customers WHERE id <= :MaxId AND name <> :Skip ORDER BY id");
  CommandResult given = Cli({"run", doc, "--param", "maxid=3", "--param", ":Skip='Bernadette'"});
  EXPECT_EQ(given.exitCode, 0) << given.out << given.err;
  EXPECT_EQ(Clients(), "id\tname\n1\tAnn\n3\tCarl\n");
  EXPECT_TRUE(Has(given.out, "   Records Read: 2\n"));

  Sql(Dest(), "DELETE FROM clients");
  CommandResult missing = Cli({"run", doc, "--param", "MaxId=5"});
  EXPECT_EQ(missing.exitCode, 1) << missing.out;
  EXPECT_TRUE(Has(missing.err, "\"Skip\"")) << missing.err;
  EXPECT_FALSE(Has(missing.out, "Reading Data From"));
  EXPECT_TRUE(Has(missing.out, "Total Operation Duration: "));
  EXPECT_EQ(Clients(), "id\tname\n");

  // A name the definition does not use is pointed out, the run still goes on.
  CommandResult extra = Cli({"run", doc, "--param", "MaxId=1", "--param", "Skip=''", "--param", "Typo=1"});
  EXPECT_EQ(extra.exitCode, 0) << extra.err;
  EXPECT_TRUE(Has(extra.err, "\"Typo\"")) << extra.err;
}

// Records 2 and 4 fail at the destination (CHECK constraint).
TEST_F(RunCli, ErrorActionsWithoutATerminal) {
  std::string doc = WriteDefinition("SELECT id, name FROM customers ORDER BY id", "2");

  // Going on past failed records is no clean run: exit 1, and standard error ends by counting them.
  CommandResult cont = Cli({"run", doc, "--error-action", "continue"});
  EXPECT_EQ(cont.exitCode, 1) << cont.err;
  EXPECT_TRUE(cont.err.ends_with("dabrix-cli run: 2 records failed\n")) << cont.err;
  EXPECT_EQ(Clients(), "id\tname\n1\tAnn\n3\tCarl\n5\tEve\n");
  int errorLines = 0;
  for (const auto& l : Lines(cont.out))
    if (l.rfind("   ", 0) == 0 && Has(l, "Destination Table: clients")) ++errorLines;
  EXPECT_EQ(errorLines, 2) << cont.out;
  EXPECT_TRUE(Has(cont.out, "   Records Read: 5\n"));

  // Abort and Ask (nobody to ask) stop at record 2: record 1 stays committed, the statistics are there and
  // the error is printed on standard error.
  for (const char* action : {"abort", "ask"}) {
    Sql(Dest(), "DELETE FROM clients");
    CommandResult r = Cli({"run", doc, "--error-action", action});
    EXPECT_EQ(r.exitCode, 1) << action << "\n" << r.out;
    EXPECT_EQ(Clients(), "id\tname\n1\tAnn\n") << action;
    EXPECT_TRUE(Has(r.out, "   Records Read: 2\n")) << action << "\n" << r.out;
    EXPECT_EQ(CountLinesStartingWith(r.out, "Total Operation Duration: "), 1) << action;
    EXPECT_TRUE(Has(r.err, "Destination Table: clients")) << action << "\n" << r.err;
    EXPECT_TRUE(r.err.ends_with("dabrix-cli run: 1 record failed\n")) << action << "\n" << r.err;
  }

  // Without --error-action the user setting decides; its default is to ask, which here means to stop.
  Sql(Dest(), "DELETE FROM clients");
  EXPECT_EQ(Cli({"run", doc}).exitCode, 1);
  EXPECT_EQ(Clients(), "id\tname\n1\tAnn\n");

  // A clean run still exits 0 and says nothing of failures.
  Sql(Dest(), "DELETE FROM clients");
  CommandResult clean = Cli({"run", WriteDefinition("SELECT id, name FROM customers WHERE id IN (1, 3)", "2"),
                             "--error-action", "continue"});
  EXPECT_EQ(clean.exitCode, 0) << clean.err;
  EXPECT_FALSE(Has(clean.err, "failed")) << clean.err;
}

// One SIGINT, as Ctrl-C sends it, ends a long run as cancelled: exit 3, what was written committed, the
// statistics reported.
TEST_F(RunCli, InterruptEndsTheRunAsCancelled) {
  Sql(Source(), "CREATE TABLE many (id INTEGER PRIMARY KEY)");
  Sql(Source(),
      "INSERT INTO many (id) WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000000) "
      "SELECT i FROM n");
  std::string doc = WriteDefinition("SELECT id, 'x' AS name FROM many ORDER BY id", "500");
  std::string out = m_Dir.file("out.txt"), err = m_Dir.file("err.txt");
  std::string script = "XDG_CONFIG_HOME=" + ShellQuote(m_Dir.file("config")) + " " + ShellQuote(kCli) + " run " +
                       ShellQuote(doc) + " </dev/null >" + ShellQuote(out) + " 2>" + ShellQuote(err) +
                       " & pid=$!\n"
                       "for t in $(seq 1 600); do grep -q 'Reading Data From' " + ShellQuote(out) +
                       " && break; sleep 0.1; done\n"
                       // Interrupt once a transaction is committed, however slow a loaded machine reads.
                       "for t in $(seq 1 600); do [ \"$(sqlite3 " + ShellQuote(m_Dir.file("dest.db")) +
                       " 'SELECT count(*) > 0 FROM clients' 2>/dev/null)\" = 1 ] && break; sleep 0.1; done\n"
                       "kill -INT $pid\nwait $pid\necho $?\n";
  auto start = std::chrono::steady_clock::now();
  CommandResult r = RunCommand("sh -c " + ShellQuote(script));
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
  std::string report = ReadFileBytes(out);
  EXPECT_EQ(r.out, "3\n") << report << ReadFileBytes(err);
  EXPECT_LT(seconds, 120) << "the run stopped at the request, not at its end";
  EXPECT_TRUE(Has(report, "   Records Read: ")) << report;
  EXPECT_EQ(CountLinesStartingWith(report, "Total Operation Duration: "), 1) << report;
  std::string count = Sql(Dest(), "SELECT count(*) FROM clients");
  EXPECT_NE(count, "count(*)\n0\n") << "written before the cancel stays";
  EXPECT_NE(count, "count(*)\n1000000\n");
}

// Ctrl-C while a field value function works on a large value reaches the function, which stops: the run
// ends as cancelled (exit 3), keeping what was written before.
TEST_F(RunCli, InterruptReachesALongFunctionCall) {
  Sql(Source(), "CREATE TABLE big (id INTEGER PRIMARY KEY, name TEXT)");
  // Record 2 is 300,000 times "a", over which the pattern below searches for hours (a back-reference in a
  // repeated group keeps it quadratic).
  Sql(Source(), "INSERT INTO big VALUES (1, 'Ann'), (2, replace(hex(zeroblob(150000)), '0', 'a')), (3, 'Carl')");
  std::vector<TNode> nodes = {
      {0, "TQXDSourceConnectionData", "Src", {}, "ConnectProperties", {{"ConnectionString", Source()}}},
      {1, "TQXDSourceTableData", "big", {}, "RecordsetProperties", {{"SQL", "SELECT id, name FROM big ORDER BY id"}}},
      {2, "TQXDDestConnectionData", "Dst", {{"TransactionSize", "1"}}, "ConnectProperties",
       {{"ConnectionString", Dest()}}},
      {3, "TQXDDestRSData", "clients", {}, "RecordsetProperties", {{"SQL", "SELECT * FROM clients"}}},
      {4, "TQXDDestFieldData", "id", {{"DestFieldname", "id"}, {"SourceRecordsetFieldname", "id"}}, "", {}},
      {4, "TQXDDestFieldData", "name", {{"DestFieldname", "name"}, {"SourceRecordsetFieldname", "name"}}, "", {}},
      {5, "TQXDFieldFuncData", "RegEx Replace",
       {{"FunctionId", "{6CE005AB-6B1B-4175-A385-90E642229A5B}"}, {"Argument000", "8,(:1a)(\\1)*b"},
        {"Argument001", "8,x"}}, "", {}},
  };
  std::string doc = m_Dir.file("long-call.qxt");
  WriteFileBytes(doc, DefinitionText(nodes));
  std::string out = m_Dir.file("out.txt"), err = m_Dir.file("err.txt");
  std::string script = "XDG_CONFIG_HOME=" + ShellQuote(m_Dir.file("config")) + " " + ShellQuote(kCli) + " run " +
                       ShellQuote(doc) + " </dev/null >" + ShellQuote(out) + " 2>" + ShellQuote(err) +
                       " & pid=$!\n"
                       // The first record committed, the run is on the second one's long search.
                       "for t in $(seq 1 600); do [ \"$(sqlite3 " + ShellQuote(m_Dir.file("dest.db")) +
                       " 'SELECT count(*) > 0 FROM clients' 2>/dev/null)\" = 1 ] && break; sleep 0.1; done\n"
                       "sleep 0.5\nkill -INT $pid\n"
                       // A run that does not stop is ended, and says so, rather than holding the suite for hours.
                       "for t in $(seq 1 1200); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done\n"
                       "kill -KILL $pid 2>/dev/null && echo still running\n"
                       "wait $pid\necho $?\n";
  CommandResult r = RunCommand("sh -c " + ShellQuote(script));
  std::string report = ReadFileBytes(out);
  EXPECT_EQ(r.out, "3\n") << report << ReadFileBytes(err);
  EXPECT_TRUE(Has(report, "   Records Read: 2\n")) << report;
  EXPECT_EQ(CountLinesStartingWith(report, "Total Operation Duration: "), 1) << report;
  EXPECT_FALSE(Has(ReadFileBytes(err) + report, "Function call cancelled")) << "the cancel is no record error";
  EXPECT_EQ(Clients(), "id\tname\n1\tAnn\n");
}

TEST_F(RunCli, ValidateFailsOnlyForWarningsAndErrors) {
  std::string good = WriteDefinition();
  CommandResult ok = Cli({"validate", good});
  EXPECT_EQ(ok.exitCode, 0) << ok.out << ok.err;
  EXPECT_TRUE(Has(ok.out, ": Validation Started\n")) << ok.out;
  EXPECT_TRUE(Has(ok.out, "\nSrc.customers.Dst.clients.name:\nOk\n")) << ok.out;

  // A function no plug-in supplies is a warning, an unreachable database an error for it and its recordsets.
  std::vector<TNode> nodes = {
      {0, "TQXDSourceConnectionData", "Src", {}, "ConnectProperties",
       {{"ConnectionString", "Driver=SQLite3;Database=" + m_Dir.file("no/such/folder/x.db")}}},
      {1, "TQXDSourceTableData", "customers", {}, "RecordsetProperties", {{"SQL", "SELECT * FROM customers"}}},
  };
  WriteFileBytes(m_Dir.file("unreachable.qxt"), DefinitionText(nodes));
  CommandResult unreachable = Cli({"validate", m_Dir.file("unreachable.qxt")});
  EXPECT_EQ(unreachable.exitCode, 1) << unreachable.out;
  EXPECT_TRUE(Has(unreachable.out, "\nSrc:\nError: ")) << unreachable.out;
  EXPECT_TRUE(Has(unreachable.out, "\nSrc.customers:\nError: ")) << unreachable.out;

  std::string text = DefinitionText({
      {0, "TQXDSourceConnectionData", "Src", {}, "ConnectProperties", {{"ConnectionString", Source()}}},
      {1, "TQXDSourceTableData", "customers", {}, "RecordsetProperties", {{"SQL", "SELECT * FROM customers"}}},
      {2, "TQXDDestConnectionData", "Dst", {}, "ConnectProperties", {{"ConnectionString", Dest()}}},
      {3, "TQXDDestRSData", "clients", {}, "RecordsetProperties", {{"SQL", "SELECT * FROM clients"}}},
      {4, "TQXDDestFieldData", "name", {{"DestFieldname", "name"}, {"SourceRecordsetFieldname", "name"}}, "", {}},
      {5, "TQXDFieldFuncData", "Gone", {{"FunctionId", "{01234567-89AB-CDEF-0123-456789ABCDEF}"}}, "", {}},
  });
  WriteFileBytes(m_Dir.file("missing-function.qxt"), text);
  CommandResult missing = Cli({"validate", m_Dir.file("missing-function.qxt")});
  EXPECT_EQ(missing.exitCode, 1) << missing.out;
  EXPECT_TRUE(Has(missing.out, "Warning: Function \"Gone\" not found in any loaded plugin.")) << missing.out;
  EXPECT_EQ(ReadFileBytes(m_Dir.file("missing-function.qxt")), text) << "validation never saves";
  EXPECT_EQ(Clients(), "id\tname\n");

  EXPECT_EQ(Cli({"validate", m_Dir.file("missing.qxt")}).exitCode, 2);
  EXPECT_EQ(Cli({"validate"}).exitCode, 2);
}

// Another process holds the destination file in a write transaction all along: the record waits the 2 s the
// connection string allows and fails, and meanwhile standard error (no terminal here) says what the run is
// waiting for.
TEST_F(RunCli, LockedDestinationWaitsBoundedAndSaysSo) {
  std::string doc = WriteDefinition("SELECT id, name FROM customers WHERE id = 1", "0", Dest() + ";Timeout=2000");
  testsupport::ChildCommand holder("{ echo 'BEGIN IMMEDIATE;'; echo 'SELECT 42;'; sleep 60; } | stdbuf -o0 sqlite3 " +
                                   ShellQuote(m_Dir.file("dest.db")));
  ASSERT_EQ(holder.ReadLine(), "42");
  auto start = std::chrono::steady_clock::now();
  CommandResult r = Cli({"run", doc, "--error-action", "continue"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_TRUE(Has(r.err, "Waiting for \"Dst.clients\" (locked by another connection?), at most 2 s\n")) << r.err;
  EXPECT_TRUE(r.err.ends_with("dabrix-cli run: 1 record failed\n")) << r.err;
  EXPECT_TRUE(Has(r.out, "database is locked")) << r.out;
  holder.Stop();
  EXPECT_EQ(Clients(), "id\tname\n");
}

// The destination server ends the program's session in the middle of a run under "Continue Operation": one
// error, not one per remaining record; exit 1; what was committed stays.
TEST_F(RunCli, DestinationServerGoneEndsTheRunWithOneError) {
  std::string pg;
  DABRIX_SERVER_CONNECTION("DABRIX_PG_CONN", pg);
  const std::string table = "lostcli_clients";
  Sql(pg, "DROP TABLE IF EXISTS " + table);
  Sql(pg, "CREATE TABLE " + table + " (id INTEGER PRIMARY KEY, name VARCHAR(40))");
  Sql(Source(), "CREATE TABLE many (id INTEGER PRIMARY KEY)");
  Sql(Source(), "INSERT INTO many (id) WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200000) "
                "SELECT i FROM n");
  std::string doc = WriteDefinition("SELECT id, 'x' AS name FROM many ORDER BY id", "50", pg, table);
  std::string out = m_Dir.file("out.txt"), err = m_Dir.file("err.txt");
  auto query = [&](const std::string& sql) { return ShellQuote(kCli) + " query " + ShellQuote(pg) + " " + ShellQuote(sql); };
  std::string script =
      "XDG_CONFIG_HOME=" + ShellQuote(m_Dir.file("config")) + " " + ShellQuote(kCli) + " run " + ShellQuote(doc) +
      " --error-action continue </dev/null >" + ShellQuote(out) + " 2>" + ShellQuote(err) + " & pid=$!\n"
      // Once a transaction is committed, end the session that writes the table (one program start per try:
      // its session is found by the table its last statement names).
      "for t in $(seq 1 300); do " +
      query("SELECT count(*) FROM (SELECT pg_terminate_backend(pid) AS ended FROM pg_stat_activity WHERE pid <> "
            "pg_backend_pid() AND datname = current_database() AND query ILIKE '%" + table + "%' AND EXISTS "
            "(SELECT 1 FROM " + table + ")) s WHERE ended") +
      " | grep -q '^1$' && break; done\n"
      "wait $pid\necho $?\n";
  CommandResult r = RunCommand("sh -c " + ShellQuote(script));
  std::string report = ReadFileBytes(out), errors = ReadFileBytes(err);
  EXPECT_EQ(r.out, "1\n") << report << errors;
  EXPECT_EQ(CountLinesStartingWith(report, "   The connection to the destination database \"Dst\" has been lost"), 1)
      << report;
  EXPECT_EQ(CountLinesStartingWith(report, "   "), 7) << "one error line, the table line, five statistics\n" << report;
  EXPECT_TRUE(Has(errors, "has been lost, the run stops.")) << errors;
  EXPECT_TRUE(errors.ends_with("dabrix-cli run: 1 record failed\n")) << errors;
  std::vector<std::string> count = Lines(Sql(pg, "SELECT count(*) FROM " + table));
  ASSERT_EQ(count.size(), 2u);
  int kept = std::stoi(count[1]);
  EXPECT_GT(kept, 0);
  EXPECT_LT(kept, 200000);
  EXPECT_EQ(kept % 50, 0) << "whole transactions only";
  EXPECT_TRUE(Has(report, "   Table \"" + table + "\":\t" + std::to_string(kept) + " Records Inserted")) << report;
  Sql(pg, "DROP TABLE " + table);
}

}  // namespace
