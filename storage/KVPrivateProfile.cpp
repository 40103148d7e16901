#include "storage/KVPrivateProfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "foundation/KVText.h"
#include "foundation/KVTrace.h"
#include "storage/KVTempFiles.h"

namespace {

constexpr size_t npos = std::string::npos;

// The line without its line end ("\n" or "\r\n").
std::string_view Content(std::string_view raw) {
  if (!raw.empty() && raw.back() == '\n') {
    raw.remove_suffix(1);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
  }
  return raw;
}

bool EndsLine(const std::string& raw) { return !raw.empty() && raw.back() == '\n'; }

bool HasLineBreakOrNul(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != npos; }

// A name the format can hold: no line break or NUL anywhere; key names also no "=" and no start that
// would make the line a comment or a section header.
bool ValidSectionName(std::string_view name) { return !HasLineBreakOrNul(name); }
bool ValidKeyName(std::string_view name) {
  if (HasLineBreakOrNul(name) || name.find('=') != npos) return false;
  return name.empty() || (name.front() != ';' && name.front() != '[');
}

// The text as it goes into the line, protected by quotes where reading would otherwise change it.
std::string EncodeText(const std::string& text) {
  if (text.empty()) return text;
  bool blankEdge = KVIsBlank(text.front(), kKVLineBlanks) || KVIsBlank(text.back(), kKVLineBlanks);
  bool quoted = text.size() >= 2 && text.front() == '"' && text.back() == '"';
  return blankEdge || quoted ? "\"" + text + "\"" : text;
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

TKVPrivateProfile::TKVPrivateProfile(std::string fileName, const TKVRefLifeObject* owner)
    : m_FileName(std::move(fileName)), m_Owner(owner) {}

TKVPrivateProfile::~TKVPrivateProfile() {
  try {
    Flush();
  } catch (const std::exception& e) {
    KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
  }
}

void TKVPrivateProfile::SetFileName(const std::string& fileName) {
  Flush();
  m_FileName = fileName;
  m_Preamble.clear();
  m_Sections.clear();
  m_SectionIndex.clear();
  InvalidateSectionIndex();
  m_Loaded = false;
  m_ReadError = 0;
  m_Identity = TIdentity();
  ++m_Generation;
}

// --- The file ---------------------------------------------------------------------------------------------

namespace {
// What tells one state of a file from another: a rename gives another inode, an in-place write another
// time or size.
template <class TId>
TId IdentityFromStat(const struct stat& st) {
  TId id;
  id.State = TId::Present;
  id.Device = st.st_dev;
  id.Inode = st.st_ino;
  id.Size = st.st_size;
  id.MTimeSec = st.st_mtim.tv_sec;
  id.MTimeNSec = st.st_mtim.tv_nsec;
  return id;
}
}  // namespace

TKVPrivateProfile::TIdentity TKVPrivateProfile::StatIdentity() const {
  TIdentity id;
  struct stat st;
  if (stat(m_FileName.c_str(), &st) != 0) {
    id.State = errno == ENOENT || errno == ENOTDIR ? TIdentity::Missing : TIdentity::Unreadable;
    return id;
  }
  if (!S_ISREG(st.st_mode)) {
    id.State = TIdentity::Unreadable;
    return id;
  }
  return IdentityFromStat<TIdentity>(st);
}

void TKVPrivateProfile::Refresh() {
  if (m_Loaded && (m_UpdateDepth > 0 || m_Dirty)) return;
  if (m_Loaded) {
    TIdentity now = StatIdentity();
    if (now.State != TIdentity::Unreadable && now == m_Identity) return;
  }
  Load();
}

void TKVPrivateProfile::Load() {
  m_Preamble.clear();
  m_Sections.clear();
  m_SectionIndex.clear();
  InvalidateSectionIndex();
  m_Loaded = true;
  m_Dirty = false;
  m_ReadError = 0;
  m_Identity = TIdentity();
  ++m_Generation;

  // Non-blocking, so that a FIFO given as the file name cannot hang us before it is refused below.
  int fd = open(m_FileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      m_ReadError = errno;
      m_Identity.State = TIdentity::Unreadable;
    }
    return;
  }
  struct stat st;
  int statError = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  if (statError) {
    m_ReadError = statError;
    m_Identity.State = TIdentity::Unreadable;
    close(fd);
    return;
  }
  // Taken before reading: a writer changing the file while we read leaves it different from this.
  TIdentity id = IdentityFromStat<TIdentity>(st);

  std::string data;
  if (st.st_size > 0) data.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      data.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      m_ReadError = errno;
      m_Identity.State = TIdentity::Unreadable;
      close(fd);
      return;
    }
  }
  close(fd);
  m_Identity = id;
  Parse(data);
}

void TKVPrivateProfile::Parse(const std::string& data) {
  size_t pos = 0;
  while (pos < data.size()) {
    size_t nl = data.find('\n', pos);
    size_t end = nl == npos ? data.size() : nl + 1;
    std::string_view raw(data.data() + pos, end - pos);
    pos = end;
    std::string_view content = Content(raw);
    size_t first = 0;
    while (first < content.size() && KVIsBlank(content[first], kKVLineBlanks)) ++first;

    if (first < content.size() && content[first] == '[') {
      size_t close = content.rfind(']');
      if (close != npos && close > first) {
        TSection section;
        section.Name = KVTrim(content.substr(first + 1, close - first - 1), kKVLineBlanks);
        section.Header = raw;
        m_Sections.push_back(std::move(section));
        continue;
      }
    }
    TLine line;
    line.Raw = raw;
    if (!m_Sections.empty() && first < content.size() && content[first] != ';') {
      size_t eq = content.find('=');
      if (eq != npos) {
        line.IsKey = true;
        line.Key = KVTrim(content.substr(0, eq), kKVLineBlanks);
        line.ValuePos = eq + 1;
      }
    }
    (m_Sections.empty() ? m_Preamble : m_Sections.back().Lines).push_back(std::move(line));
  }
}

std::string TKVPrivateProfile::Serialize() const {
  size_t size = 0;
  for (const auto& l : m_Preamble) size += l.Raw.size();
  for (const auto& s : m_Sections) {
    size += s.Header.size();
    for (const auto& l : s.Lines) size += l.Raw.size();
  }
  std::string out;
  out.reserve(size);
  for (const auto& l : m_Preamble) out += l.Raw;
  for (const auto& s : m_Sections) {
    out += s.Header;
    for (const auto& l : s.Lines) out += l.Raw;
  }
  return out;
}

namespace {

int WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

// Where a write to `path` must land: the final target of a symbolic link, so that the link survives.
std::string WriteTarget(const std::string& path) {
  std::string target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
    ssize_t n = readlink(target.c_str(), link.data(), link.size());
    if (n < 0 || static_cast<size_t>(n) >= link.size()) break;
    link.resize(static_cast<size_t>(n));
    if (link.empty()) break;
    if (link[0] == '/') {
      target = link;
    } else {
      size_t slash = target.rfind('/');
      target = slash == npos ? link : target.substr(0, slash + 1) + link;
    }
  }
  return target;
}

}  // namespace

int TKVPrivateProfile::WriteFileAtomically(const std::string& data) {
  if (m_FileName.empty()) return ENOENT;
  std::string target = WriteTarget(m_FileName);
  struct stat old;
  bool exists = stat(target.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) return S_ISDIR(old.st_mode) ? EISDIR : EINVAL;

  size_t slash = target.rfind('/');
  std::string folder = slash == npos ? std::string() : target.substr(0, slash + 1);
  if (slash + 1 == target.size()) return EISDIR;

  std::string temp;
  int fd = KVCreateTempFile(target, temp, 0666);
  if (fd < 0) return errno;

  int err = 0;
  if (exists) {
    // The replacement is a new file: give it what the old one had. Failing to keep the owner (we are not
    // privileged) is no reason to refuse the write; the new file is then ours, as any new file would be.
    if (fchmod(fd, old.st_mode & 07777) != 0) err = errno;
    if (!err && (old.st_uid != geteuid() || old.st_gid != getegid()))
      if (fchown(fd, old.st_uid, old.st_gid) != 0) {
        // ignored, see above
      }
  }
  if (!err) err = WriteAll(fd, data);
  if (!err && fsync(fd) != 0) err = errno;
  struct stat st;
  if (!err && fstat(fd, &st) != 0) err = errno;
  if (close(fd) != 0 && !err) err = errno;
  if (!err && rename(temp.c_str(), target.c_str()) != 0) err = errno;
  if (err) {
    unlink(temp.c_str());
    return err;
  }
  // The rename itself must survive a crash too.
  int dirFd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  // Taken from the new file itself, so no other writer can slip in between; the rename keeps inode and
  // modification time, and a later stat through a link describes this same target.
  m_Identity = TIdentity();
  m_Identity.State = TIdentity::Present;
  m_Identity.Device = st.st_dev;
  m_Identity.Inode = st.st_ino;
  m_Identity.Size = st.st_size;
  m_Identity.MTimeSec = st.st_mtim.tv_sec;
  m_Identity.MTimeNSec = st.st_mtim.tv_nsec;
  m_ReadError = 0;
  return 0;
}

void TKVPrivateProfile::RaiseIo(int code, const std::string& message, const char* routine) const {
  throw EAPIException(message, code, m_Owner, routine);
}

void TKVPrivateProfile::RaiseInvalid(const std::string& message, const char* routine) const {
  throw EKVException(message, m_Owner, routine);
}

void TKVPrivateProfile::PrepareChange(const std::function<std::string()>& message, const char* routine) {
  Refresh();
  if (m_ReadError) RaiseIo(m_ReadError, message(), routine);
}

void TKVPrivateProfile::Changed(const std::function<std::string()>& message, const char* routine) {
  m_Dirty = true;
  if (m_UpdateDepth == 0) WriteOut(message, routine);
}

void TKVPrivateProfile::WriteOut(const std::function<std::string()>& message, const char* routine) {
  int err = WriteFileAtomically(Serialize());
  if (err) {
    // Back to what the file holds: whatever was not written must not look as if it had been.
    Load();
    RaiseIo(err, message(), routine);
  }
  m_Dirty = false;
  ++m_FileWriteCount;
}

void TKVPrivateProfile::BeginUpdate() {
  if (m_UpdateDepth == 0) Refresh();
  ++m_UpdateDepth;
}

void TKVPrivateProfile::EndUpdate() {
  if (m_UpdateDepth == 0) return;
  if (--m_UpdateDepth == 0 && m_Dirty)
    WriteOut([&] { return "Failed to write the file " + Quoted(m_FileName); }, "EndUpdate");
}

void TKVPrivateProfile::Flush() {
  if (m_Dirty) WriteOut([&] { return "Failed to write the file " + Quoted(m_FileName); }, "Flush");
}

// --- Lookups ----------------------------------------------------------------------------------------------

namespace {
// Eight bytes with the ASCII capitals among them made small letters, all at once.
uint64_t LowerAscii8(uint64_t x) {
  const uint64_t heptets = x & 0x7F7F7F7F7F7F7F7Full;
  const uint64_t aboveZ = heptets + 0x2525252525252525ull;  // high bit set where the byte is above 'Z'
  const uint64_t fromA = heptets + 0x3F3F3F3F3F3F3F3Full;   // high bit set where the byte is 'A' or above
  const uint64_t capital = ~x & (fromA ^ aboveZ) & 0x8080808080808080ull;
  return x | (capital >> 2);
}
}  // namespace

size_t TKVNoCaseHash::operator()(std::string_view s) const noexcept {
  // Eight bytes a step: section names are whole directory paths, thousands of bytes in deep documents.
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  uint64_t h = s.size() * kMul;
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t x;
    std::memcpy(&x, s.data() + i, 8);
    h = (((h << 5) | (h >> 59)) ^ LowerAscii8(x)) * kMul;
  }
  if (i < s.size()) {
    uint64_t x = 0;
    std::memcpy(&x, s.data() + i, s.size() - i);
    h = (((h << 5) | (h >> 59)) ^ LowerAscii8(x)) * kMul;
  }
  return static_cast<size_t>(h ^ (h >> 29));
}

bool TKVNoCaseEqual::operator()(std::string_view a, std::string_view b) const noexcept { return KVSameText(a, b); }

TKVPrivateProfile::TSection* TKVPrivateProfile::FindSection(std::string_view name) {
  if (m_LastSection < m_Sections.size() && KVSameText(m_Sections[m_LastSection].Name, name))
    return &m_Sections[m_LastSection];
  if (!m_SectionIndexValid) {
    m_SectionIndex.clear();
    m_SectionIndex.reserve(m_Sections.size());
    for (size_t i = 0; i < m_Sections.size(); ++i) m_SectionIndex.emplace(m_Sections[i].Name, i);
    m_SectionIndexValid = true;
  }
  auto it = m_SectionIndex.find(name);
  if (it == m_SectionIndex.end()) return nullptr;
  m_LastSection = it->second;
  return &m_Sections[it->second];
}

size_t TKVPrivateProfile::FindKey(TSection& section, std::string_view key) {
  // Most sections hold a handful of values; an index only pays for long ones.
  if (section.Lines.size() < 16) {
    for (size_t i = 0; i < section.Lines.size(); ++i)
      if (section.Lines[i].IsKey && KVSameText(section.Lines[i].Key, key)) return i;
    return npos;
  }
  if (!section.KeyIndexValid) {
    section.KeyIndex.clear();
    for (size_t i = 0; i < section.Lines.size(); ++i)
      if (section.Lines[i].IsKey) section.KeyIndex.emplace(section.Lines[i].Key, i);
    section.KeyIndexValid = true;
  }
  auto it = section.KeyIndex.find(key);
  return it == section.KeyIndex.end() ? npos : it->second;
}

std::string TKVPrivateProfile::ValueOf(const TLine& line) {
  std::string_view text = Content(line.Raw).substr(line.ValuePos);
  text = text.substr(0, text.find('\0'));
  text = KVTrim(text, kKVLineBlanks);
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
  return std::string(text);
}

std::optional<std::string> TKVPrivateProfile::Read(const std::string& section, const std::string& key) {
  Refresh();
  TSection* s = FindSection(KVTrim(section, kKVLineBlanks));
  if (!s) return std::nullopt;
  size_t i = FindKey(*s, KVTrim(key, kKVLineBlanks));
  if (i == npos) return std::nullopt;
  return ValueOf(s->Lines[i]);
}

std::string TKVPrivateProfile::ReadString(const std::string& section, const std::string& key,
                                          const std::string& def) {
  auto v = Read(section, key);
  return v ? *v : def;
}

std::vector<std::string> TKVPrivateProfile::ReadKeyNames(const std::string& section) {
  Refresh();
  std::vector<std::string> names;
  TSection* s = FindSection(KVTrim(section, kKVLineBlanks));
  if (!s) return names;
  std::unordered_set<std::string> seen;
  for (const auto& line : s->Lines)
    if (line.IsKey && seen.insert(KVLowerCase(line.Key)).second) names.push_back(line.Key);
  return names;
}

bool TKVPrivateProfile::HasSection(const std::string& section) {
  return FindSection(KVTrim(section, kKVLineBlanks)) != nullptr;
}

std::vector<std::string> TKVPrivateProfile::ReadSectionNames() {
  Refresh();
  std::vector<std::string> names;
  names.reserve(m_Sections.size());
  for (const auto& s : m_Sections) names.push_back(s.Name);
  return names;
}

// --- Changes ----------------------------------------------------------------------------------------------

void TKVPrivateProfile::EnsureLastLineEnded() {
  std::string* last = nullptr;
  if (!m_Sections.empty())
    last = m_Sections.back().Lines.empty() ? &m_Sections.back().Header : &m_Sections.back().Lines.back().Raw;
  else if (!m_Preamble.empty())
    last = &m_Preamble.back().Raw;
  if (last && !EndsLine(*last)) *last += "\r\n";
}

void TKVPrivateProfile::WriteString(const std::string& section, const std::string& key,
                                    const std::string& value) {
  const std::string sectionName(KVTrim(section, kKVLineBlanks)), keyName(KVTrim(key, kKVLineBlanks));
  const std::string text = value.substr(0, value.find('\0'));
  auto message = [&] {
    return "WritePrivateProfileString(File: " + m_FileName + ", ValueName: " + key + ", Value: " + value + ")";
  };
  if (!ValidSectionName(sectionName))
    RaiseInvalid("The section name " + Quoted(section) + " cannot be written into " + Quoted(m_FileName),
                 "WriteString");
  if (!ValidKeyName(keyName))
    RaiseInvalid("The value name " + Quoted(key) + " cannot be written into " + Quoted(m_FileName),
                 "WriteString");
  if (text.find_first_of("\r\n") != npos)
    RaiseInvalid("The value " + Quoted(key) + " holds a line break and cannot be written into " +
                     Quoted(m_FileName),
                 "WriteString");
  PrepareChange(message, "WriteString");

  const std::string encoded = EncodeText(text);
  auto keyLine = [&](const std::string& spelling) {
    TLine line;
    line.Raw = spelling + "=" + encoded + "\r\n";
    line.Key = spelling;
    line.ValuePos = spelling.size() + 1;
    line.IsKey = true;
    return line;
  };

  TSection* s = FindSection(sectionName);
  if (!s) {
    EnsureLastLineEnded();
    TSection created;
    created.Name = sectionName;
    created.Header = "[" + sectionName + "]\r\n";
    created.Lines.push_back(keyLine(keyName));
    m_Sections.push_back(std::move(created));
    if (m_SectionIndexValid) m_SectionIndex.emplace(sectionName, m_Sections.size() - 1);
    ++m_Generation;
  } else {
    size_t i = FindKey(*s, keyName);
    if (i != npos) {
      if (ValueOf(s->Lines[i]) == text) return;
      s->Lines[i] = keyLine(s->Lines[i].Key);  // the stored spelling of the name stays
    } else {
      size_t at = s->Lines.size();
      while (at > 0 && !s->Lines[at - 1].IsKey) --at;
      std::string& before = at == 0 ? s->Header : s->Lines[at - 1].Raw;
      if (!EndsLine(before)) before += "\r\n";
      if (at == s->Lines.size()) {
        if (s->KeyIndexValid) s->KeyIndex.emplace(keyName, at);
      } else {
        s->KeyIndexValid = false;
      }
      s->Lines.insert(s->Lines.begin() + static_cast<std::ptrdiff_t>(at), keyLine(keyName));
    }
  }
  Changed(message, "WriteString");
}

bool TKVPrivateProfile::DeleteKey(const std::string& section, const std::string& key) {
  Refresh();
  TSection* s = FindSection(KVTrim(section, kKVLineBlanks));
  if (!s) return false;
  const std::string_view keyName = KVTrim(key, kKVLineBlanks);
  if (FindKey(*s, keyName) == npos) return false;
  std::erase_if(s->Lines, [&](const TLine& l) { return l.IsKey && KVSameText(l.Key, keyName); });
  s->KeyIndexValid = false;
  Changed([&] { return "WritePrivateProfileString(File: " + m_FileName + ", Section: " + section +
                       ", ValueName: " + key + ", Value: NULL)"; },
          "DeleteKey");
  return true;
}

bool TKVPrivateProfile::DeleteSection(const std::string& section) {
  const std::string lower = KVLowerCase(KVTrim(section, kKVLineBlanks));
  return DeleteMatchingSections([&](const std::string& name) { return KVSameText(name, lower); },
                                [&] { return "WritePrivateProfileString(File: " + m_FileName +
                                             ", Section: " + section + ")"; },
                                "DeleteSection") > 0;
}

size_t TKVPrivateProfile::DeleteSections(const std::function<bool(const std::string& name)>& match) {
  return DeleteMatchingSections(
      match, [&] { return "Failed to delete sections from " + Quoted(m_FileName); }, "DeleteSections");
}

size_t TKVPrivateProfile::DeleteMatchingSections(const std::function<bool(const std::string& name)>& match,
                                                 const std::function<std::string()>& message,
                                                 const char* routine) {
  Refresh();
  size_t count = std::erase_if(m_Sections, [&](const TSection& s) { return match(s.Name); });
  if (count == 0) return 0;
  InvalidateSectionIndex();
  ++m_Generation;
  Changed(message, routine);
  return count;
}
