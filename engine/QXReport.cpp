#include "engine/QXReport.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "foundation/KVExceptions.h"
#include "storage/KVTempFiles.h"

namespace {

bool SameAttributes(const TQXReportSpan& s, uint32_t color, bool bold) { return s.Color == color && s.Bold == bold; }

// Walks the report as pieces of text without line breaks and line breaks between them. "\r\n" is one
// break even when its two characters lie in different spans; a lone "\r" or "\n" is one break as well.
template <class OnText, class OnBreak>
void WalkReport(const std::vector<TQXReportSpan>& spans, OnText&& onText, OnBreak&& onBreak) {
  bool afterCR = false;
  for (const TQXReportSpan& span : spans) {
    std::string_view text(span.Text);
    size_t pieceStart = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (c == '\n' && afterCR) {
        afterCR = false;
        pieceStart = i + 1;
        continue;
      }
      afterCR = false;
      if (c != '\r' && c != '\n') continue;
      if (i > pieceStart) onText(span, text.substr(pieceStart, i - pieceStart));
      onBreak();
      afterCR = c == '\r';
      pieceStart = i + 1;
    }
    if (text.size() > pieceStart) onText(span, text.substr(pieceStart));
  }
}

// Decodes one UTF-8 sequence at `i` (advancing it); a malformed or truncated sequence, an overlong form
// or a surrogate gives U+FFFD for its first byte alone.
uint32_t NextCodePoint(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int extra = 0;
  uint32_t cp = 0, minimum = 0;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, cp = b0 & 0x1F, minimum = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, cp = b0 & 0x0F, minimum = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, cp = b0 & 0x07, minimum = 0x10000;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (i + extra >= s.size()) {
    ++i;
    return 0xFFFD;
  }
  for (int k = 1; k <= extra; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0xFFFD;
  }
  i += extra + 1;
  return cp;
}

void AppendRtfText(std::string& out, std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (static_cast<unsigned char>(c) < 0x80) {
      ++i;
      if (c == '\\' || c == '{' || c == '}') {
        out += '\\';
        out += c;
      } else if (c == '\t') {
        out += "\\tab ";
      } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
        out += '?';
      } else {
        out += c;
      }
      continue;
    }
    uint32_t cp = NextCodePoint(text, i);
    auto unit = [&out](uint32_t u) {
      out += "\\u" + std::to_string(static_cast<int16_t>(static_cast<uint16_t>(u))) + "?";
    };
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10));
      unit(0xDC00 + (cp & 0x3FF));
    } else {
      unit(cp);
    }
  }
}

std::string AnsiStart(uint32_t color, bool bold) {
  std::string s = "\x1b[0";
  if (bold) s += ";1";
  if (color != kQXColorBlack)
    s += ";38;2;" + std::to_string(color & 0xFF) + ";" + std::to_string((color >> 8) & 0xFF) + ";" +
         std::to_string((color >> 16) & 0xFF);
  return s + "m";
}

// Report text may carry data values (error messages quote them); control characters other than the tab
// must not reach a terminal as commands.
void AppendTerminalText(std::string& out, std::string_view text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    out += (u < 0x20 && c != '\t') || u == 0x7F ? '?' : c;
  }
}

// Builds terminal text piece by piece; attributes are switched only where they change.
class TAnsiWriter {
 public:
  explicit TAnsiWriter(std::string& out) : m_Out(out) {}
  void Text(uint32_t color, bool bold, std::string_view text) {
    const bool plain = color == kQXColorBlack && !bold;
    if (plain && m_Styled) {
      m_Out += "\x1b[0m";
      m_Styled = false;
    } else if (!plain && (!m_Styled || m_Color != color || m_Bold != bold)) {
      m_Out += AnsiStart(color, bold);
      m_Styled = true;
      m_Color = color;
      m_Bold = bold;
    }
    AppendTerminalText(m_Out, text);
  }
  void EndLine() {
    if (m_Styled) m_Out += "\x1b[0m";
    m_Styled = false;
  }

 private:
  std::string& m_Out;
  bool m_Styled = false;
  uint32_t m_Color = 0;
  bool m_Bold = false;
};

}  // namespace

// --- TQXReport -------------------------------------------------------------------------------------------

void TQXReport::Append(const std::string& text, uint32_t color, bool bold) {
  if (text.empty()) return;
  if (!m_Spans.empty() && SameAttributes(m_Spans.back(), color, bold))
    m_Spans.back().Text += text;
  else
    m_Spans.push_back({text, color, bold});
  m_Length += text.size();
  if (OnAppend) OnAppend(text, color, bold);
}

void TQXReport::ReportLine(const TQXReportLine& line) {
  uint32_t color = kQXColorBlack;
  bool bold = false;
  for (const TQXReportRun& run : line.Runs) {
    Append(run.Text, run.Color, run.Bold);
    if (!run.Text.empty()) color = run.Color, bold = run.Bold;
  }
  // The break takes the last run's attributes, so a coloured line stays one span.
  Append("\r\n", color, bold);
}

std::string TQXReport::Text() const {
  std::string text;
  text.reserve(m_Length);
  for (const TQXReportSpan& s : m_Spans) text += s.Text;
  return text;
}

std::string TQXReport::TextAt(size_t start, size_t length) const {
  std::string out;
  size_t offset = 0;
  for (const TQXReportSpan& s : m_Spans) {
    const size_t end = offset + s.Text.size();
    if (end > start && offset < start + length) {
      const size_t from = start > offset ? start - offset : 0;
      const size_t to = std::min(s.Text.size(), start + length - offset);
      out.append(s.Text, from, to - from);
    }
    offset = end;
    if (length == 0 || offset >= start + length) break;
  }
  return out;
}

void TQXReport::Delete(size_t start, size_t length) {
  if (start >= m_Length || length == 0) return;
  length = std::min(length, m_Length - start);
  const size_t stop = start + length;
  size_t offset = 0;
  for (TQXReportSpan& s : m_Spans) {
    const size_t size = s.Text.size();
    const size_t end = offset + size;
    if (end > start && offset < stop) {
      const size_t from = start > offset ? start - offset : 0;
      const size_t to = std::min(size, stop - offset);
      s.Text.erase(from, to - from);
    }
    offset = end;
    if (offset >= stop) break;
  }
  m_Length -= length;
  std::vector<TQXReportSpan> kept;
  kept.reserve(m_Spans.size());
  for (TQXReportSpan& s : m_Spans) {
    if (s.Text.empty()) continue;
    if (!kept.empty() && SameAttributes(kept.back(), s.Color, s.Bold))
      kept.back().Text += s.Text;
    else
      kept.push_back(std::move(s));
  }
  m_Spans = std::move(kept);
}

void TQXReport::Clear() {
  m_Spans.clear();
  m_Length = 0;
}

std::vector<TQXReportLine> TQXReport::Lines() const {
  std::vector<TQXReportLine> lines;
  TQXReportLine current;
  WalkReport(
      m_Spans,
      [&](const TQXReportSpan& s, std::string_view text) {
        current.Runs.push_back({std::string(text), s.Color, s.Bold});
      },
      [&] {
        lines.push_back(std::move(current));
        current = {};
      });
  if (!current.Runs.empty()) lines.push_back(std::move(current));
  return lines;
}

// --- Writers ---------------------------------------------------------------------------------------------

std::string QXReportPlainText(const TQXReport& report, const std::string& lineBreak) {
  std::string out;
  out.reserve(report.Length());
  WalkReport(
      report.Spans(), [&](const TQXReportSpan&, std::string_view text) { out += text; },
      [&] { out += lineBreak; });
  return out;
}

std::string QXReportAnsiText(const TQXReport& report, const std::string& lineBreak) {
  std::string out;
  TAnsiWriter writer(out);
  WalkReport(
      report.Spans(), [&](const TQXReportSpan& s, std::string_view text) { writer.Text(s.Color, s.Bold, text); },
      [&] {
        writer.EndLine();
        out += lineBreak;
      });
  writer.EndLine();
  return out;
}

std::string QXReportLineAnsiText(const TQXReportLine& line) {
  std::string out;
  TAnsiWriter writer(out);
  for (const TQXReportRun& run : line.Runs) writer.Text(run.Color, run.Bold, run.Text);
  writer.EndLine();
  return out;
}

std::string QXReportRtf(const TQXReport& report) {
  // Index 0 of an RTF colour table is the reader's automatic colour; black comes first after it.
  std::vector<uint32_t> colors{kQXColorBlack};
  auto colorIndex = [&colors](uint32_t color) {
    for (size_t i = 0; i < colors.size(); ++i)
      if (colors[i] == color) return i + 1;
    colors.push_back(color);
    return colors.size();
  };
  std::string body;
  size_t currentColor = 0;
  bool currentBold = false;
  WalkReport(
      report.Spans(),
      [&](const TQXReportSpan& s, std::string_view text) {
        const size_t index = colorIndex(s.Color & 0xFFFFFF);
        if (index != currentColor) {
          body += "\\cf" + std::to_string(index) + " ";
          currentColor = index;
        }
        if (s.Bold != currentBold) {
          body += s.Bold ? "\\b " : "\\b0 ";
          currentBold = s.Bold;
        }
        AppendRtfText(body, text);
      },
      [&] { body += "\\par\r\n"; });

  std::string out = "{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1{\\fonttbl{\\f0\\fmodern\\fcharset0 Courier New;}}\r\n";
  out += "{\\colortbl;";
  for (uint32_t c : colors)
    out += "\\red" + std::to_string(c & 0xFF) + "\\green" + std::to_string((c >> 8) & 0xFF) + "\\blue" +
           std::to_string((c >> 16) & 0xFF) + ";";
  out += "}\r\n\\viewkind4\\pard\\f0\\fs18 ";
  out += body;
  out += "}\r\n";
  return out;
}

void QXSaveReport(const TQXReport& report, const std::string& fileName) {
  const auto fail = [&fileName](int code) {
    throw EAPIException("Cannot write the report file \"" + fileName + "\"", code, nullptr, "QXSaveReport");
  };
  std::string lower;
  for (char c : fileName) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  const bool rtf = lower.size() >= 4 && lower.compare(lower.size() - 4, 4, ".rtf") == 0;
  const std::string content = rtf ? QXReportRtf(report) : QXReportPlainText(report);

  std::string temp;
  const int fd = KVCreateTempFile(fileName, temp, 0666);
  if (fd < 0) fail(errno);
  size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int code = n < 0 ? errno : ENOSPC;
      ::close(fd);
      ::unlink(temp.c_str());
      fail(code);
    }
    written += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) {
    const int code = errno;
    ::unlink(temp.c_str());
    fail(code);
  }
  if (::rename(temp.c_str(), fileName.c_str()) != 0) {
    const int code = errno;
    ::unlink(temp.c_str());
    fail(code);
  }
}
