#include "engine/TerminalSinks.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "definition/QXSettings.h"
#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "foundation/KVText.h"

bool QXIsTerminal(int fd) { return isatty(fd) == 1; }

// --- Ctrl-C ------------------------------------------------------------------------------------------------

namespace {

std::atomic<bool> g_CancelRequest{false};
struct sigaction g_PreviousAction;
bool g_Installed = false;

extern "C" void QXOnInterrupt(int) { g_CancelRequest.store(true); }

double NowSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Columns of a UTF-8 text, counting every character as one.
size_t Columns(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

// The first `columns` characters of a UTF-8 text.
std::string Head(const std::string& s, size_t columns) {
  size_t n = 0, i = 0;
  for (; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (n == columns) break;
      ++n;
    }
  }
  return s.substr(0, i);
}

int TerminalWidth(FILE* out) {
  winsize ws{};
  if (ioctl(fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

enum class TReadResult { Line, EndOfInput, Interrupted };

// Reads one line from standard input without blocking the cancel request: a Ctrl-C while the user is being
// asked must not leave the program waiting for an answer nobody intends to give.
TReadResult ReadAnswer(std::string& line) {
  line.clear();
  for (;;) {
    if (g_CancelRequest.load()) return TReadResult::Interrupted;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    int r = poll(&p, 1, 100);
    if (r < 0) {
      if (errno == EINTR) continue;
      return TReadResult::EndOfInput;
    }
    if (r == 0) continue;
    char c;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return line.empty() ? TReadResult::EndOfInput : TReadResult::Line;
    if (c == '\n') return TReadResult::Line;
    if (c != '\r') line += c;
  }
}

// The program's texts use "\r\n"; a terminal wants "\n".
std::string ForTerminal(const std::string& text) {
  std::string r;
  r.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) r += text[i];
  return r;
}

}  // namespace

TQXInterruptGuard::TQXInterruptGuard() {
  g_CancelRequest.store(false);
  struct sigaction action {};
  action.sa_handler = QXOnInterrupt;
  sigemptyset(&action.sa_mask);
  // Restarting keeps a database call that the signal interrupts from failing with EINTR; the run notices
  // the request at its next progress report anyway.
  action.sa_flags = SA_RESTART;
  g_Installed = sigaction(SIGINT, &action, &g_PreviousAction) == 0;
}

TQXInterruptGuard::~TQXInterruptGuard() {
  if (g_Installed) sigaction(SIGINT, &g_PreviousAction, nullptr);
  g_Installed = false;
}

std::atomic<bool>& TQXInterruptGuard::CancelRequest() { return g_CancelRequest; }

// --- Progress ----------------------------------------------------------------------------------------------

TQXTerminalProgress::TQXTerminalProgress(FILE* out, bool show, const std::atomic<bool>* cancelRequest)
    : m_Out(out), m_Show(show && out), m_CancelRequest(cancelRequest) {}

TQXTerminalProgress::~TQXTerminalProgress() { Clear(); }

void TQXTerminalProgress::SetOperationCount(int32_t count) { m_OperationCount = std::max<int32_t>(count, 1); }

void TQXTerminalProgress::NextOperation(const std::string& text) {
  ++m_OperationIndex;
  m_Operation = text;
  m_Maximum = 0;
  m_Position = 0;
  m_OperationStartSeconds = NowSeconds();
  Draw(true);
}

void TQXTerminalProgress::SetMaximum(int64_t maximum) {
  m_Maximum = std::max<int64_t>(maximum, 0);
  Draw(true);
}

void TQXTerminalProgress::ReportProgress(int64_t position, bool& cancel) {
  m_Position = position;
  if (m_CancelRequest && m_CancelRequest->load()) cancel = true;
  Draw(false);
}

bool TQXTerminalProgress::CancelRequested() const { return m_CancelRequest && m_CancelRequest->load(); }

int TQXTerminalProgress::OverallPercent() const {
  double share = 0;
  if (m_Maximum > 0) share = static_cast<double>(std::clamp<int64_t>(m_Position, 0, m_Maximum)) / m_Maximum;
  double done = std::max(m_OperationIndex - 1, 0) + share;
  int percent = static_cast<int>(done * 100.0 / m_OperationCount);
  return std::clamp(percent, 0, 100);
}

std::string TQXTerminalProgress::BarText(int width) const {
  double elapsed = NowSeconds() - m_OperationStartSeconds;
  std::string counts = std::to_string(m_Position) + "/" + std::to_string(m_Maximum);
  std::string rate = elapsed > 0.05 ? std::to_string(static_cast<int64_t>(m_Position / elapsed)) + " rec/s" : "";
  char overall[64];
  snprintf(overall, sizeof overall, "%s  %d %%", "Overall Progress", OverallPercent());

  std::string tail = "  " + counts + (rate.empty() ? "" : "  " + rate) + "  " + overall;
  const int barWidth = 20;
  std::string bar = "[";
  int filled = m_Maximum > 0 ? static_cast<int>(std::clamp<int64_t>(m_Position, 0, m_Maximum) * barWidth / m_Maximum) : 0;
  bar += std::string(filled, '#') + std::string(barWidth - filled, '-') + "]";

  // The operation text gives way first: the numbers are what a user watches.
  int room = width - static_cast<int>(Columns(tail)) - static_cast<int>(bar.size()) - 2;
  std::string op = m_Operation;
  if (room < static_cast<int>(Columns(op))) op = room > 3 ? Head(op, room - 3) + "..." : "";
  std::string line = op.empty() ? bar + tail : op + "  " + bar + tail;
  if (static_cast<int>(Columns(line)) > width) line = Head(line, std::max(width, 0));
  return line;
}

void TQXTerminalProgress::ShowWaiting(const std::string& text) {
  if (!m_Out) return;
  std::lock_guard guard(m_DrawLock);
  if (!m_Show) {
    if (!text.empty()) fprintf(m_Out, "%s\n", text.c_str());
  } else if (text.empty()) {
    // The next progress report draws the bar again; the worker's state is not ours to read here.
    fputs("\r\033[K", m_Out);
    m_Drawn = false;
    m_LastDrawSeconds = -1;
  } else {
    fprintf(m_Out, "\r\033[K%s", Head(text, static_cast<size_t>(std::max(TerminalWidth(m_Out) - 1, 0))).c_str());
    m_Drawn = true;
  }
  fflush(m_Out);
}

void TQXTerminalProgress::Draw(bool force) {
  if (!m_Show) return;
  std::lock_guard guard(m_DrawLock);
  double now = NowSeconds();
  if (!force && now - m_LastDrawSeconds < 0.1) return;
  m_LastDrawSeconds = now;
  std::string line = BarText(TerminalWidth(m_Out) - 1);
  fprintf(m_Out, "\r\033[K%s", line.c_str());
  fflush(m_Out);
  m_Drawn = true;
}

void TQXTerminalProgress::Clear() {
  std::lock_guard guard(m_DrawLock);
  if (!m_Drawn) return;
  fputs("\r\033[K", m_Out);
  fflush(m_Out);
  m_Drawn = false;
  m_LastDrawSeconds = -1;
}

// --- Report ------------------------------------------------------------------------------------------------

TQXTerminalReport::TQXTerminalReport(FILE* out, bool ansi, TQXTerminalProgress* progress, TQXReport* keep)
    : m_Out(out), m_Ansi(ansi), m_Progress(progress), m_Keep(keep) {}

void TQXTerminalReport::ReportLine(const TQXReportLine& line) {
  if (m_Keep) m_Keep->ReportLine(line);
  if (!m_Out) return;
  if (m_Progress) m_Progress->Clear();
  std::string text = m_Ansi ? QXReportLineAnsiText(line) : line.Text();
  text += '\n';
  fwrite(text.data(), 1, text.size(), m_Out);
  fflush(m_Out);
}

// --- Ask user ----------------------------------------------------------------------------------------------

TQXTerminalAskUser::TQXTerminalAskUser(bool interactive, TQXTerminalProgress* progress)
    : m_Interactive(interactive), m_Progress(progress) {}

bool TQXTerminalAskUser::AskContinue(const std::string& text) {
  if (!m_Interactive) return false;
  if (m_Progress) m_Progress->Clear();
  fflush(stdout);
  fprintf(stderr, "\n%s [y/n] ", ForTerminal(text).c_str());
  fflush(stderr);
  for (;;) {
    std::string answer;
    TReadResult r = ReadAnswer(answer);
    if (r != TReadResult::Line) {
      fputc('\n', stderr);
      return false;
    }
    std::string a = KVUpperCase(KVTrim(answer, kKVLineBlanks));
    if (a == "Y" || a == "YES") return true;
    if (a == "N" || a == "NO") return false;
    fputs("Please answer y or n: ", stderr);
    fflush(stderr);
  }
}

// --- SQL parameters ----------------------------------------------------------------------------------------

TQXTerminalParameterPrompt::TQXTerminalParameterPrompt(std::map<std::string, std::string> given, bool interactive,
                                                       TQXSettings* settings, TQXTerminalProgress* progress)
    : m_Interactive(interactive), m_Settings(settings), m_Progress(progress) {
  for (auto& [name, value] : given) {
    std::string key = KVUpperCase(name);
    m_Given[key] = value;
    m_GivenSpelling[key] = name;
  }
}

bool TQXTerminalParameterPrompt::AskParameters(TKVNameAndValueList& parameters) {
  std::map<std::string, bool> used;
  // Every missing name is known before anybody is asked, so a headless run fails without half an answer.
  for (auto& p : parameters) {
    auto it = m_Given.find(KVUpperCase(p.Name));
    if (it != m_Given.end()) {
      p.Value = it->second;
      used[it->first] = true;
    } else if (!m_Interactive) {
      throw EKVException("No value given for the SQL parameter \"" + p.Name +
                             "\" (standard input is not a terminal; give it with --param " + p.Name + "=VALUE)",
                         nullptr, "AskParameters");
    }
  }
  m_Unused.clear();
  for (const auto& [key, spelling] : m_GivenSpelling)
    if (!used.count(key)) m_Unused.push_back(spelling);

  bool introduced = false;
  for (auto& p : parameters) {
    if (m_Given.count(KVUpperCase(p.Name))) continue;
    if (m_Progress) m_Progress->Clear();
    if (!introduced) {
      fflush(stdout);
      fputs("Enter SQL literal values here. The values entered here are inserted into the SQL string without "
            "change. So string values must be entered quoted here etc.\n",
            stderr);
      introduced = true;
    }
    std::string historic = m_Settings ? m_Settings->HistoricValue(p.Name) : std::string();
    if (historic.empty())
      fprintf(stderr, "%s: ", p.Name.c_str());
    else
      fprintf(stderr, "%s [%s]: ", p.Name.c_str(), historic.c_str());
    fflush(stderr);
    std::string answer;
    if (ReadAnswer(answer) != TReadResult::Line) {
      fputc('\n', stderr);
      return false;
    }
    p.Value = answer.empty() ? historic : answer;
    if (m_Settings) m_Settings->SetHistoricValue(p.Name, p.Value);
  }
  return true;
}
