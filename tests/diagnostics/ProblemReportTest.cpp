// The problem report: a well-formed document whatever the error texts hold, a gzip file that gives back
// exactly that document, written where only its owner can read it.
#include <sys/stat.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "diagnostics/KVProblemReport.h"
#include "support/TestSupport.h"

namespace {

std::string Gunzip(const std::string& gz) {
  z_stream zs{};
  EXPECT_EQ(inflateInit2(&zs, 15 + 16), Z_OK);  // gzip framing only: a raw zlib stream is refused
  std::string out;
  char buf[4096];
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  zs.avail_in = static_cast<uInt>(gz.size());
  int rc;
  do {
    zs.next_out = reinterpret_cast<Bytef*>(buf);
    zs.avail_out = sizeof buf;
    rc = inflate(&zs, Z_NO_FLUSH);
    out.append(buf, sizeof buf - zs.avail_out);
  } while (rc == Z_OK);
  EXPECT_EQ(rc, Z_STREAM_END);
  EXPECT_EQ(zs.avail_in, 0u) << "bytes after the gzip member";
  inflateEnd(&zs);
  return out;
}

// Parses the document with python's XML parser and prints the texts of every Error element, one per line,
// with their characters as code points so that the test can compare exactly what a reader gets back.
testsupport::CommandResult ParseBack(const testsupport::TempDir& dir, const std::string& xml) {
  std::string file = dir.file("report.xml");
  testsupport::WriteFileBytes(file, xml);
  std::string script =
      "import sys, xml.etree.ElementTree as ET\n"
      "root = ET.parse(sys.argv[1]).getroot()\n"
      "assert root.tag == 'ProblemReport', root.tag\n"
      "for e in root.iter('Error'):\n"
      "    print(e.get('severity'), ' '.join('%04X' % ord(c) for c in (e.text or '')))\n"
      "for v in root.iter('Value'):\n"
      "    print('V', v.get('name'), ' '.join('%04X' % ord(c) for c in (v.text or '')))\n";
  testsupport::WriteFileBytes(dir.file("parse.py"), script);
  return testsupport::RunCommand("python3 " + testsupport::ShellQuote(dir.file("parse.py")) + " " +
                                 testsupport::ShellQuote(file));
}

std::string CodePoints(const std::u32string& s) {
  std::string out;
  char buf[8];
  for (char32_t c : s) {
    std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(c));
    if (!out.empty()) out += ' ';
    out += buf;
  }
  return out;
}

TEST(ProblemReport, HostileTextsStayWellFormedAndReadBackAsWritten) {
  testsupport::TempDir dir;
  TKVProblemReportData d;
  d.Program = "dabrix";
  d.ProgramVersion = "1.0 <beta> & \"more\"";
  d.Created = "2026-01-01T00:00:00Z";
  // Markup, quotes of both kinds, a CR LF line break, a tab, control characters (NUL, ESC, DEL), a byte that
  // is no UTF-8, a cut-off sequence at the end, an overlong '<' and an encoded surrogate.
  std::string hostile = std::string("a<b>&c \"q\" 'p'\r\nline2\tX") + std::string("\0\x1B\x7F", 3) +
                        "\xFF" + "\xC0\xBC" + "\xED\xA0\x80" + "\xC3\xA4" + "</Error>]]>" + "\xE2\x82";
  d.Errors.push_back({1767225600, TKVSeverity::Error, hostile});
  d.Errors.push_back({1767225601, TKVSeverity::Warning, ""});
  d.System.emplace_back("PRETTY_NAME\"", "<&>");

  std::string xml = KVProblemReportXml(d);
  auto r = ParseBack(dir, xml);
  ASSERT_EQ(r.exitCode, 0) << r.err << "\n" << xml;

  std::u32string expected = U"a<b>&c \"q\" 'p'\r\nline2\tX\\x00\\x1B\x7F\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\u00E4"
                            U"</Error>]]>\uFFFD\uFFFD";
  EXPECT_EQ(r.out, "Error " + CodePoints(expected) + "\nWarning \nV PRETTY_NAME\" " + CodePoints(U"<&>") + "\n");
}

TEST(ProblemReport, XmlTextKeepsValidUtf8AndEscapesMarkup) {
  EXPECT_EQ(KVXmlText("Grüße 日本 😀"), "Grüße 日本 😀");
  EXPECT_EQ(KVXmlText("<a href='x'>&amp;</a>"), "&lt;a href=&apos;x&apos;&gt;&amp;amp;&lt;/a&gt;");
  EXPECT_EQ(KVXmlText(std::string("\x01", 1)), "\\x01");
  EXPECT_EQ(KVXmlText("\xEF\xBF\xBE"), "\\xFFFE");  // U+FFFE is valid UTF-8 but no XML character
  EXPECT_EQ(KVXmlText("\xF4\x90\x80\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // > U+10FFFF
}

TEST(ProblemReport, GatheredReportNamesRecentErrorsLibrariesAndSystem) {
  KVClearRecentErrors();
  // An error handled the usual way is recorded with its detailed text; the message box itself is replaced.
  auto old = KVSetMessageDialogProc([](const std::string&, TKVSeverity, TKVMsgButtons) { return KV_IDOK; });
  KVHandleException(EKVException("Table <Orders> & \"Items\" failed", "Conn1", "TKVOdbcDatabase", "Open"));
  KVHandleException(EAbort());  // silent: not a problem to report
  KVShowMessage("Plain error shown without an exception", TKVSeverity::Error);
  KVShowMessage("Only information", TKVSeverity::Information);
  for (size_t i = 0; i < kKVRecentErrorCapacity + 3; ++i)
    KVShowMessage("Filler " + std::to_string(i), TKVSeverity::Error);
  KVSetMessageDialogProc(old);
  auto recent = KVRecentErrors();
  ASSERT_EQ(recent.size(), kKVRecentErrorCapacity);
  EXPECT_EQ(recent.back().Text, "Filler " + std::to_string(kKVRecentErrorCapacity + 2) + ".");
  EXPECT_EQ(recent.front().Text, "Filler 3.");

  KVClearRecentErrors();
  old = KVSetMessageDialogProc([](const std::string&, TKVSeverity, TKVMsgButtons) { return KV_IDOK; });
  KVHandleException(EKVException("Table <Orders> & \"Items\" failed", "Conn1", "TKVOdbcDatabase", "Open"));
  KVShowMessage("Plain error shown without an exception", TKVSeverity::Error);
  KVSetMessageDialogProc(old);
  recent = KVRecentErrors();
  ASSERT_EQ(recent.size(), 2u);  // the handled exception once, with its detailed text, not its short one
  EXPECT_NE(recent[0].Text.find("TKVOdbcDatabase"), std::string::npos) << recent[0].Text;
  EXPECT_NE(recent[0].Text.find("Open"), std::string::npos) << recent[0].Text;

  auto d = KVGatherProblemReport("dabrix", "9.9", {{"Qt", "6.x"}});
  std::string xml = KVProblemReportXml(d);
  for (const char* needle : {"<Library name=\"Qt\">6.x</Library>", "<Library name=\"zlib\">",
                             "<Library name=\"unixODBC\">", "<Library name=\"libgsf\">1.",
                             "<Library name=\"libsodium\">", "<Value name=\"sysname\">Linux</Value>",
                             "Table &lt;Orders&gt; &amp; &quot;Items&quot; failed", "severity=\"Error\"",
                             "<Driver name=\"SQLite3\">"}) {
    EXPECT_NE(xml.find(needle), std::string::npos) << needle << "\n" << xml;
  }
  testsupport::TempDir dir;
  auto r = ParseBack(dir, xml);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  KVClearRecentErrors();
}

TEST(ProblemReport, FileIsPrivateGzipOfExactlyTheDocument) {
  testsupport::TempDir dir;
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ProblemReport>";
  for (int i = 0; i < 5000; ++i) xml += "<Error>line " + std::to_string(i) + "</Error>";
  xml += "</ProblemReport>\n";
  std::string path = KVWriteProblemReportFile(xml, dir.path().string());
  EXPECT_EQ(path.substr(path.size() - 7), ".xml.gz");
  EXPECT_EQ(std::filesystem::path(path).parent_path().parent_path(), dir.path());

  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600);
  ASSERT_EQ(stat(std::filesystem::path(path).parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700);  // the folder is private too: nobody can swap the file

  std::string gz = testsupport::ReadFileBytes(path);
  ASSERT_GE(gz.size(), 18u);
  EXPECT_EQ(static_cast<unsigned char>(gz[0]), 0x1F);
  EXPECT_EQ(static_cast<unsigned char>(gz[1]), 0x8B);
  EXPECT_LT(gz.size(), xml.size() / 4);
  EXPECT_EQ(Gunzip(gz), xml);
  // The system's gzip reads it as well.
  auto r = testsupport::RunCommand("gzip -dc " + testsupport::ShellQuote(path));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, xml);
  EXPECT_EQ(Gunzip(KVGzipCompress("")), "");
}

TEST(ProblemReport, UnwritableFolderIsAClearError) {
  try {
    KVWriteProblemReportFile("<x/>", "/nonexistent-folder-for-dabrix");
    FAIL() << "no error";
  } catch (const EAPIException& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent-folder-for-dabrix"), std::string::npos) << e.what();
  }
}

}  // namespace
