#include "storage/KVIniFileStorage.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <unordered_map>

#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "foundation/KVTrace.h"

namespace {

TKVRef<TKVStorageBase> CreateIniFileStorage(std::recursive_mutex* ownerLock, uint32_t rootKey,
                                            const std::string& baseDir, const std::string& fileName) {
  return KVMakeRef<TKVIniFileStorage>(ownerLock, rootKey, baseDir, fileName);
}

// The section name of a path: separators made "\", empty elements dropped and, as the file layer reads
// names, no blanks or tabs at the ends.
std::string SectionOf(const std::string& path) {
  std::string joined = KVResolvePath(std::string(), path);
  size_t b = 0, e = joined.size();
  while (b < e && (joined[b] == ' ' || joined[b] == '\t')) ++b;
  while (e > b && (joined[e - 1] == ' ' || joined[e - 1] == '\t')) --e;
  return joined.substr(b, e - b);
}

bool IsContinuation(const std::string& s, size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
  if (i >= s.size()) return false;
  unsigned char c = static_cast<unsigned char>(s[i]);
  return c >= lo && c <= hi;
}

}  // namespace

const TKVStorageClassInfo KVIniFileStorageClass = {"TKVIniFileStorage", &CreateIniFileStorage};

// --- Texts ------------------------------------------------------------------------------------------------

std::string KVIniEncodeText(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    switch (c) {
      case ' ': c = '\xF0'; break;
      case '\t': c = '\xD0'; break;
      case '\n': c = '\xFE'; break;
      case '\r': c = '\xDE'; break;
      default: break;
    }
  }
  return out;
}

std::string KVIniDecodeText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  // The substitute bytes are never UTF-8 continuation bytes, so each of them starts a new character and
  // only the bytes right after it decide what it is.
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == 0xFE) {
      out += '\n';
      ++i;
    } else if (c == 0xD0 || c == 0xDE) {
      if (IsContinuation(text, i + 1)) {
        out.append(text, i, 2);
        i += 2;
      } else {
        out += c == 0xD0 ? '\t' : '\r';
        ++i;
      }
    } else if (c == 0xF0) {
      if (IsContinuation(text, i + 1, 0x90, 0xBF) && IsContinuation(text, i + 2) && IsContinuation(text, i + 3)) {
        out.append(text, i, 4);
        i += 4;
      } else {
        out += ' ';
        ++i;
      }
    } else {
      out += static_cast<char>(c);
      ++i;
    }
  }
  return out;
}

std::string KVDefaultIniFileName() {
  std::string exe(PATH_MAX, '\0');
  ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size());
  exe.resize(n > 0 ? static_cast<size_t>(n) : 0);
  size_t slash = exe.rfind('/');
  size_t dot = exe.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) exe.resize(dot);
  return exe + ".PRS";
}

// --- TKVIniFileStorage ------------------------------------------------------------------------------------

TKVIniFileStorage::TKVIniFileStorage(std::recursive_mutex* ownerLock, uint32_t rootKey, const std::string& baseDir,
                                     const std::string& fileName)
    : TKVStorageBase(ownerLock, rootKey, baseDir, fileName.empty() ? KVDefaultIniFileName() : fileName),
      m_Profile(std::make_unique<TKVPrivateProfile>(m_FileName, this)) {}

TKVIniFileStorage::~TKVIniFileStorage() {
  std::lock_guard lock(*m_Lock);
  try {
    m_Profile->Flush();
  } catch (const std::exception& e) {
    KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
  }
  m_Profile.reset();
}

void TKVIniFileStorage::SetFileName(const std::string& fileName) {
  std::lock_guard lock(*m_Lock);
  std::string name = fileName.empty() ? KVDefaultIniFileName() : fileName;
  m_Profile->SetFileName(name);
  TKVStorageBase::SetFileName(name);
  m_Dirs.clear();
  m_DirsValid = false;
}

void TKVIniFileStorage::Commit() {
  std::lock_guard lock(*m_Lock);
  m_Profile->Flush();
}

void TKVIniFileStorage::BeginUpdate() {
  std::lock_guard lock(*m_Lock);
  m_Profile->BeginUpdate();
}

void TKVIniFileStorage::EndUpdate() {
  std::lock_guard lock(*m_Lock);
  m_Profile->EndUpdate();
}

const std::string& TKVIniFileStorage::CurrentSection() {
  if (!m_SectionValid || m_SectionGeneration != DirGeneration()) {
    m_Section = SectionOf(InternalPath(GetCurrentDir()));
    m_SectionGeneration = DirGeneration();
    m_SectionValid = true;
  }
  return m_Section;
}

std::string TKVIniFileStorage::ReadString(const std::string& name, const std::string& def) {
  std::lock_guard lock(*m_Lock);
  auto text = m_Profile->Read(CurrentSection(), name);
  return text ? KVIniDecodeText(*text) : def;
}

void TKVIniFileStorage::WriteString(const std::string& name, const std::string& value) {
  std::lock_guard lock(*m_Lock);
  const std::string section = CurrentSection();
  m_Profile->Refresh();
  const uint64_t generation = m_Profile->Generation();
  const size_t sections = m_Profile->SectionCount();
  try {
    m_Profile->WriteString(section, name, KVIniEncodeText(value));
  } catch (const EAPIException& e) {
    throw EAPIException("WritePrivateProfileString(File: " + m_FileName + ", ValueName: " + name +
                            ", Value: " + value + ")",
                        e.OSErrorCode(), this, "WriteString");
  }
  // A document store creates thousands of sections one after the other: the new one joins the cache
  // instead of making the next lookup rebuild it.
  if (m_DirsValid && m_DirsGeneration == generation && m_Profile->Generation() == generation + 1 &&
      m_Profile->SectionCount() == sections + 1) {
    TDirEntry entry{KVLowerCase(section), section, sections};
    auto at = std::lower_bound(m_Dirs.begin(), m_Dirs.end(), entry.Key,
                               [](const TDirEntry& d, const std::string& key) { return d.Key < key; });
    if (at == m_Dirs.end() || at->Key != entry.Key) m_Dirs.insert(at, std::move(entry));
    m_DirsGeneration = m_Profile->Generation();
  }
}

// --- Directories ------------------------------------------------------------------------------------------

void TKVIniFileStorage::UpdateDirCache(bool refresh) {
  if (refresh) m_Profile->Refresh();
  if (m_DirsValid && m_DirsGeneration == m_Profile->Generation()) return;
  TKVStringArray names = m_Profile->ReadSectionNames();
  m_Dirs.clear();
  m_Dirs.reserve(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    std::string name = SectionOf(names[i]);
    std::string key = KVLowerCase(name);
    m_Dirs.push_back({std::move(key), std::move(name), i});
  }
  std::sort(m_Dirs.begin(), m_Dirs.end(), [](const TDirEntry& a, const TDirEntry& b) {
    return a.Key != b.Key ? a.Key < b.Key : a.Position < b.Position;
  });
  // A duplicated section counts once, where it first occurs.
  m_Dirs.erase(std::unique(m_Dirs.begin(), m_Dirs.end(),
                           [](const TDirEntry& a, const TDirEntry& b) { return a.Key == b.Key; }),
               m_Dirs.end());
  m_DirsGeneration = m_Profile->Generation();
  m_DirsValid = true;
}

bool TKVIniFileStorage::SectionTreeExists(const std::string& section) {
  if (section.empty()) return true;
  // A section spelt as the directory's own: found without the cache, which a single lookup (the first one
  // after opening a file) would otherwise build over every section of the file.
  // One look at the file serves both lookups.
  m_Profile->Refresh();
  if (m_Profile->HasSection(section)) return true;
  UpdateDirCache(false);
  auto firstNotLess = [&](const std::string& key) {
    return std::lower_bound(m_Dirs.begin(), m_Dirs.end(), key,
                            [](const TDirEntry& d, const std::string& k) { return d.Key < k; });
  };
  const std::string key = KVLowerCase(section);
  auto it = firstNotLess(key);
  if (it != m_Dirs.end() && it->Key == key) return true;
  // Names such as "qxd.x" sort between "qxd" and "qxd\...", so the subtree needs its own search.
  const std::string prefix = key + "\\";
  it = firstNotLess(prefix);
  return it != m_Dirs.end() && it->Key.starts_with(prefix);
}

bool TKVIniFileStorage::InternalDirExists(const std::string& internalPath) {
  return SectionTreeExists(SectionOf(internalPath));
}

bool TKVIniFileStorage::InternalOpenDir(const std::string& internalPath, bool create) {
  std::string section = SectionOf(internalPath);
  // A name the file cannot hold is refused here rather than at its first value. One that a hand-made file
  // holds all the same still opens: a directory keeper returns to its directory by opening it with
  // `create`, and refusing would leave the storage in the child it came back from.
  if (create && section.find_first_of(std::string("\r\n\0", 3)) == std::string::npos) return true;
  return SectionTreeExists(section);
}

TKVStringArray TKVIniFileStorage::InternalReadSubDirNames() {
  const std::string section = CurrentSection();
  UpdateDirCache();
  const std::string prefix = section.empty() ? std::string() : KVLowerCase(section) + "\\";
  struct TFound {
    size_t Position;
    std::string Name;
  };
  std::vector<TFound> found;
  std::unordered_map<std::string, size_t> seen;
  auto it = std::lower_bound(m_Dirs.begin(), m_Dirs.end(), prefix,
                             [](const TDirEntry& d, const std::string& k) { return d.Key < k; });
  while (it != m_Dirs.end() && it->Key.starts_with(prefix)) {
    if (it->Key.size() == prefix.size()) {  // the root's own section
      ++it;
      continue;
    }
    size_t end = it->Key.find('\\', prefix.size());
    const bool below = end != std::string::npos;
    if (!below) end = it->Key.size();
    std::string elementKey = it->Key.substr(prefix.size(), end - prefix.size());
    // Entries come in name order: the first one to yield an element gives it its place.
    if (seen.emplace(elementKey, found.size()).second)
      found.push_back({it->Position, it->Name.substr(prefix.size(), end - prefix.size())});
    if (!below) {
      ++it;
      continue;
    }
    // Everything further below this element sorts together (up to the next character after "\\"): one
    // search passes it, so a listing costs the children, not the whole subtree.
    const std::string pastBelow = it->Key.substr(0, end) + static_cast<char>('\\' + 1);
    it = std::lower_bound(it, m_Dirs.end(), pastBelow,
                          [](const TDirEntry& d, const std::string& k) { return d.Key < k; });
  }
  std::sort(found.begin(), found.end(), [](const TFound& a, const TFound& b) { return a.Position < b.Position; });
  TKVStringArray names;
  names.reserve(found.size());
  for (auto& f : found) names.push_back(std::move(f.Name));
  return names;
}

TKVStringArray TKVIniFileStorage::InternalReadValueNames() { return m_Profile->ReadKeyNames(CurrentSection()); }

bool TKVIniFileStorage::InternalDeleteValue(const std::string& name) {
  try {
    return m_Profile->DeleteKey(CurrentSection(), name);
  } catch (const EAPIException& e) {
    KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
    return false;
  }
}

bool TKVIniFileStorage::InternalDeleteDir(const std::string& internalPath) {
  const std::string section = SectionOf(internalPath);
  const std::string key = KVLowerCase(section);
  const std::string prefix = key + "\\";
  auto below = [&](const std::string& name) {
    if (key.empty()) return true;
    std::string k = KVLowerCase(SectionOf(name));
    return k == key || k.starts_with(prefix);
  };
  try {
    return m_Profile->DeleteSections(below) > 0;
  } catch (const EAPIException& e) {
    throw EAPIException("WritePrivateProfileString(File: " + m_FileName + ", Section: " + section + ")",
                        e.OSErrorCode(), this, "InternalDeleteDir");
  }
}
