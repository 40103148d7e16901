// The collected operation report: positions, deletion, line splitting and the three writers, and saving to
// real files.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/QXReport.h"
#include "foundation/KVExceptions.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

TQXReportLine Line(std::vector<TQXReportRun> runs) { return TQXReportLine{std::move(runs)}; }

TEST(ReportDocument, AppendsMergesAndCountsBytesWithLineBreaksAsTwo) {
  TQXReport r;
  std::vector<std::string> announced;
  r.OnAppend = [&](const std::string& text, uint32_t, bool) { announced.push_back(text); };
  r.Append("Grüße", kQXColorNavy, true);
  r.Append("", kQXColorRed);  // nothing, not announced
  r.Append("\r\n", kQXColorNavy, true);
  r.Append("x", kQXColorRed);
  EXPECT_EQ(r.Length(), 10u);  // "Grüße" is 7 bytes
  EXPECT_EQ(r.Text(), "Grüße\r\nx");
  ASSERT_EQ(r.Spans().size(), 2u);
  EXPECT_EQ(r.Spans()[0], (TQXReportSpan{"Grüße\r\n", kQXColorNavy, true}));
  EXPECT_EQ(announced, (std::vector<std::string>{"Grüße", "\r\n", "x"}));
  EXPECT_EQ(r.TextAt(6, 3), "e\r\n");
  EXPECT_EQ(r.TextAt(8, 100), "\nx");
  EXPECT_EQ(r.TextAt(50, 2), "");
}

TEST(ReportDocument, SinkLinesComeBackAsTheSameLines) {
  TQXReport r;
  const std::vector<TQXReportLine> lines = {
      Line({{"Operation Started: 01.02.2024 10:00:00", kQXColorNavy, true}}),
      Line({}),
      Line({{"   ", kQXColorBlack, false}, {"Table \"t\":\t1 Records Inserted", kQXColorNavy, false}}),
      Line({{"   boom", kQXColorRed, false}}),
  };
  for (const auto& l : lines) r.ReportLine(l);
  EXPECT_EQ(r.Text(), "Operation Started: 01.02.2024 10:00:00\r\n\r\n   Table \"t\":\t1 Records Inserted\r\n   boom\r\n");
  const std::vector<TQXReportLine> back = r.Lines();
  ASSERT_EQ(back.size(), lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_EQ(back[i].Runs.size(), lines[i].Runs.size()) << i;
    for (size_t k = 0; k < lines[i].Runs.size(); ++k) {
      EXPECT_EQ(back[i].Runs[k].Text, lines[i].Runs[k].Text);
      EXPECT_EQ(back[i].Runs[k].Color, lines[i].Runs[k].Color);
      EXPECT_EQ(back[i].Runs[k].Bold, lines[i].Runs[k].Bold);
    }
  }
}

TEST(ReportDocument, LinesSplitAtEveryKindOfBreakEvenAcrossSpans) {
  TQXReport r;
  r.Append("a\r", kQXColorRed);
  r.Append("\nb\nc\rd", kQXColorNavy);  // "\r" + "\n" across spans is one break
  r.Append("\r\n\r\n", kQXColorNavy);
  std::vector<std::string> texts;
  for (const auto& l : r.Lines()) texts.push_back(l.Text());
  EXPECT_EQ(texts, (std::vector<std::string>{"a", "b", "c", "d", ""}));
  EXPECT_EQ(QXReportPlainText(r), "a\nb\nc\nd\n\n");
  EXPECT_EQ(QXReportPlainText(r, "\r\n"), "a\r\nb\r\nc\r\nd\r\n\r\n");
}

TEST(ReportDocument, DeleteCutsAcrossSpansAndMergesNeighbours) {
  TQXReport r;
  r.Append("keep ", kQXColorBlack);
  r.Append("drop", kQXColorRed, true);
  r.Append(" keep", kQXColorBlack);
  r.Delete(5, 4);
  EXPECT_EQ(r.Text(), "keep  keep");
  ASSERT_EQ(r.Spans().size(), 1u);  // the two black spans became one
  EXPECT_EQ(r.Length(), 10u);

  r.Delete(3, 1000);  // cut at the end
  EXPECT_EQ(r.Text(), "kee");
  r.Delete(3, 5);  // starts at the end: nothing
  r.Delete(0, 0);
  EXPECT_EQ(r.Text(), "kee");
  r.Delete(0, 3);
  EXPECT_TRUE(r.Empty());
  EXPECT_TRUE(r.Spans().empty());
}

TEST(ReportWriters, RtfKeepsColoursBoldAndEscapesText) {
  TQXReport r;
  r.Append("Head {1}\r\n", kQXColorNavy, true);
  r.Append("a\\b\tä€😀\r\n", kQXColorRed);
  r.Append(std::string("bad\xFF") + "\r\n", kQXColorNavy);
  const std::string rtf = QXReportRtf(r);
  EXPECT_EQ(rtf,
            "{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1{\\fonttbl{\\f0\\fmodern\\fcharset0 Courier New;}}\r\n"
            "{\\colortbl;\\red0\\green0\\blue0;\\red0\\green0\\blue128;\\red255\\green0\\blue0;}\r\n"
            "\\viewkind4\\pard\\f0\\fs18 "
            "\\cf2 \\b Head \\{1\\}\\par\r\n"
            "\\cf3 \\b0 a\\\\b\\tab \\u228?\\u8364?\\u-10179?\\u-8704?\\par\r\n"
            "\\cf2 bad\\u-3?\\par\r\n"
            "}\r\n");
}

TEST(ReportWriters, AnsiColoursOnlyStyledTextAndDefusesControlCharacters) {
  TQXReport r;
  r.Append("plain ", kQXColorBlack);
  r.Append("red", kQXColorRed);
  r.Append("\r\n", kQXColorRed);
  r.Append("H\x1b[2J", kQXColorNavy, true);
  r.Append("\r\nend", kQXColorBlack);
  EXPECT_EQ(QXReportAnsiText(r),
            "plain \x1b[0;38;2;255;0;0mred\x1b[0m\n"
            "\x1b[0;1;38;2;0;0;128mH?[2J\x1b[0m\n"
            "end");
  EXPECT_EQ(QXReportLineAnsiText(Line({{"   ", kQXColorBlack, false}, {"x", kQXColorGreen, false}})),
            "   \x1b[0;38;2;0;128;0mx\x1b[0m");
}

TEST(ReportFiles, SavesRtfOrPlainTextByTheFileNameAndFailsWithoutTouchingTheTarget) {
  TempDir dir;
  TQXReport r;
  r.Append("Total Operation Duration: 00:00:01.000\r\n", kQXColorNavy, true);

  QXSaveReport(r, dir.file("report.txt"));
  EXPECT_EQ(ReadFileBytes(dir.file("report.txt")), "Total Operation Duration: 00:00:01.000\n");
  QXSaveReport(r, dir.file("report.RTF"));
  EXPECT_EQ(ReadFileBytes(dir.file("report.RTF")), QXReportRtf(r));

  // Replacing an existing file works; a target that cannot be replaced raises and leaves no stray file.
  WriteFileBytes(dir.file("old.txt"), "old");
  QXSaveReport(r, dir.file("old.txt"));
  EXPECT_EQ(ReadFileBytes(dir.file("old.txt")), "Total Operation Duration: 00:00:01.000\n");
  std::filesystem::create_directory(dir.file("folder.txt"));
  WriteFileBytes(dir.file("folder.txt/inside"), "x");
  EXPECT_THROW(QXSaveReport(r, dir.file("folder.txt")), EAPIException);
  EXPECT_THROW(QXSaveReport(r, dir.file("missing/report.txt")), EAPIException);
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 4u);  // report.txt, report.RTF, old.txt, folder.txt
  EXPECT_EQ(ReadFileBytes(dir.file("folder.txt/inside")), "x");
}

}  // namespace
