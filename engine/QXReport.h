#pragma once
// The operation report as a document: text runs with a colour and a weight, appended at the end, and the
// writers that turn it into plain text, text with ANSI colours for terminals, and RTF.
//
// Positions and lengths are byte offsets into the UTF-8 text, and "\r\n" counts as two, so a range a
// node keeps (ValidationReportRange) is exactly the bytes of its lines in Text(). A report only ever grows
// at its end; the one other change is deleting a range (the validation block that a new "Validate All"
// replaces).
//
// The report is not synchronised: a run on a worker thread appends from that thread only, and nobody
// else touches the report until the run ended.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/DMExecute.h"

inline constexpr uint32_t kQXColorGreen = 0x008000;
inline constexpr uint32_t kQXColorGrey = 0x808080;

// A stretch of the report in one colour and weight. Unlike a run handed to a sink, its text may hold
// line breaks.
struct TQXReportSpan {
  std::string Text;
  uint32_t Color = kQXColorBlack;
  bool Bold = false;
  bool operator==(const TQXReportSpan&) const = default;
};

class TQXReport : public IQXExecReportSink {
 public:
  // Appends `text` at the end in that colour and weight; adjacent spans of equal attributes are merged.
  // Empty text changes nothing (and is not announced).
  void Append(const std::string& text, uint32_t color, bool bold = false);
  // The line's runs followed by "\r\n" in the attributes of its last run (black when it has none).
  void ReportLine(const TQXReportLine& line) override;

  // Called after each non-empty append with what was appended (a terminal shows the report as it grows
  // while the report keeps it for a file). Must not change the report.
  std::function<void(const std::string& text, uint32_t color, bool bold)> OnAppend;

  const std::vector<TQXReportSpan>& Spans() const { return m_Spans; }
  // The whole text, line breaks as appended.
  std::string Text() const;
  // The caret position after the last append: the length of the text in bytes.
  size_t Length() const { return m_Length; }
  bool Empty() const { return m_Length == 0; }
  // The text of a range; a range reaching past the end is cut at the end.
  std::string TextAt(size_t start, size_t length) const;
  // Removes a range; a range reaching past the end is cut at the end, one starting beyond it removes
  // nothing. Spans left empty disappear, spans of equal attributes that become neighbours are merged.
  void Delete(size_t start, size_t length);
  void Clear();

  // The report split at "\r\n" (a lone "\n" or "\r" ends a line as well), each line as its runs. A report
  // ending with a line break has no empty last line; an empty line has no runs.
  std::vector<TQXReportLine> Lines() const;

 private:
  std::vector<TQXReportSpan> m_Spans;
  size_t m_Length = 0;
};

// Plain text: the text with every line break ("\r\n", "\r", "\n") written as `lineBreak`.
std::string QXReportPlainText(const TQXReport& report, const std::string& lineBreak = "\n");
// For a terminal: as the plain text, with 24-bit ANSI colour and bold escapes around every span whose
// attributes are not plain black; each line ends with the reset sequence when it changed anything, so
// a line cut off by the terminal never colours what follows. Black is left to the terminal's own
// foreground colour (it would vanish on dark terminals).
std::string QXReportAnsiText(const TQXReport& report, const std::string& lineBreak = "\n");
// One sink line the same way, without a line break (for showing a run's lines as they arrive).
std::string QXReportLineAnsiText(const TQXReportLine& line);
// RTF: one colour table holding each colour used (black first), spans with \cfN and \b, line breaks as
// \par, tabs as \tab, "\", "{", "}" escaped, non-ASCII text as \uN? (UTF-16 units; invalid UTF-8 bytes
// become U+FFFD). The document's font is a fixed-pitch one, so the report's column alignment by blanks
// survives.
std::string QXReportRtf(const TQXReport& report);

// Writes the report to a file: RTF when the name ends with ".rtf" (any letter case), plain text with
// "\n" line breaks otherwise. The file is written under a temporary name next to it and renamed over the
// target, so a failed write leaves an existing file as it was. Raises EAPIException when the file cannot be
// written.
void QXSaveReport(const TQXReport& report, const std::string& fileName);
