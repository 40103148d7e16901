#include "storage/KVStorage.h"

#include <pwd.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>

#include "foundation/KVConvert.h"
#include "foundation/KVDateTime.h"
#include "foundation/KVExceptions.h"
#include "foundation/KVTrace.h"

// --- Paths ------------------------------------------------------------------------------------------------

std::string KVJoinPath(const std::string& a, const std::string& b, char separator) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a + separator + b;
}

std::string KVTrimSeparators(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == '\\' || s[b] == '/')) ++b;
  while (e > b && (s[e - 1] == '\\' || s[e - 1] == '/')) --e;
  return s.substr(b, e - b);
}

namespace {
bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Whether the text is already a path in the normal form: no "/", no doubled "\\" and none at either end. Paths
// this layer made itself always are, and directories are re-entered by their full path at every level of a
// deep walk, so the test is written without an early exit, which lets the compiler check many bytes at once.
bool IsNormalPath(std::string_view p) {
  if (p.empty()) return true;
  if (p.front() == '\\' || p.back() == '\\') return false;
  const auto* d = reinterpret_cast<const unsigned char*>(p.data());
  unsigned char bad = 0;
  for (size_t i = 0; i + 1 < p.size(); ++i)
    bad |= static_cast<unsigned char>((d[i] == '/') | ((d[i] == '\\') & (d[i + 1] == '\\')));
  return bad == 0 && p.back() != '/';
}

// Appends the non-empty elements of `path` to `full`, separated by "\\".
void AppendElements(std::string& full, std::string_view path) {
  size_t b = 0, e = path.size();
  while (b < e && IsSeparator(path[b])) ++b;
  while (e > b && IsSeparator(path[e - 1])) --e;
  path = path.substr(b, e - b);
  if (path.empty()) return;
  if (IsNormalPath(path)) {
    if (!full.empty()) full += '\\';
    full.append(path);
    return;
  }
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && IsSeparator(path[i])) ++i;
    size_t end = i;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    if (end == i) break;
    if (!full.empty()) full += '\\';
    full.append(path, i, end - i);
    i = end;
  }
}
// KVResolvePath for a current directory already in the normal form (as the storage keeps it).
std::string ResolveFromNormal(const std::string& currentDir, const std::string& path) {
  bool absolute = path.empty() || IsSeparator(path[0]);
  std::string full;
  full.reserve((absolute ? 0 : currentDir.size() + 1) + path.size());
  if (!absolute) full = currentDir;
  AppendElements(full, path);
  return full;
}
}  // namespace

std::string KVResolvePath(const std::string& currentDir, const std::string& path) {
  bool absolute = path.empty() || path[0] == '\\' || path[0] == '/';
  // Empty elements (doubled separators) are dropped, so every spelling of a path names one directory and
  // compares equal to the current directory. One pass over both texts, however many elements they have.
  std::string full;
  full.reserve((absolute ? 0 : currentDir.size() + 1) + path.size());
  if (!absolute) AppendElements(full, currentDir);
  AppendElements(full, path);
  return full;
}

TKVStringArray KVSplitPath(const std::string& path) {
  TKVStringArray parts;
  std::string cur;
  for (char c : path) {
    if (c == '\\' || c == '/') {
      if (!cur.empty()) parts.push_back(std::move(cur));
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) parts.push_back(std::move(cur));
  return parts;
}

std::string KVRootKeyName(uint32_t rootKey) {
  switch (rootKey) {
    case KV_HKEY_CLASSES_ROOT: return "HKEY_CLASSES_ROOT";
    case KV_HKEY_CURRENT_USER: {
      std::string user;
      if (struct passwd* pw = getpwuid(geteuid())) user = pw->pw_name;
      return "HKEY_CURRENT_USER (" + user + ")";
    }
    case KV_HKEY_LOCAL_MACHINE: return "HKEY_LOCAL_MACHINE";
    case KV_HKEY_USERS: return "HKEY_USERS";
    case KV_HKEY_CURRENT_CONFIG: return "HKEY_CURRENT_CONFIG";
    case KV_HKEY_DYN_DATA: return "HKEY_DYN_DATA";
    default: return {};
  }
}

// --- TKVStorageBase ----------------------------------------------------------------------------------------

TKVStorageBase::TKVStorageBase(std::recursive_mutex* ownerLock, uint32_t rootKey, const std::string& baseDir,
                               const std::string& fileName)
    : m_Lock(ownerLock ? ownerLock : &m_OwnLock), m_FileName(fileName) {
  SetRootKey(rootKey);
  SetBaseDir(baseDir);
}

TKVStorageBase::~TKVStorageBase() = default;

void* TKVStorageBase::GetInterface(const TGUID& iid) {
  if (iid == IKVStorage::IID) return static_cast<IKVStorage*>(this);
  if (iid == IKVValueStorageDirectory::IID) return static_cast<IKVValueStorageDirectory*>(this);
  if (iid == IKVValueStorage::IID) return static_cast<IKVValueStorage*>(this);
  if (iid == IKVStringStorage::IID) return static_cast<IKVStringStorage*>(this);
  if (iid == IKVGetSetFileName::IID) return static_cast<IKVGetSetFileName*>(this);
  if (iid == IKVGetFileName::IID) return static_cast<IKVGetFileName*>(this);
  if (iid == IKVCriticalSection::IID) return static_cast<IKVCriticalSection*>(this);
  return TKVRefLifeObject::GetInterface(iid);
}

uint32_t TKVStorageBase::GetRootKey() {
  std::lock_guard lock(*m_Lock);
  return m_RootKey;
}

void TKVStorageBase::SetRootKey(uint32_t rootKey) {
  std::lock_guard lock(*m_Lock);
  if (rootKey == m_RootKey) return;
  if (rootKey != 0 && KVRootKeyName(rootKey).empty())
    throw EKVException("Invalid Root Key \"" + std::to_string(static_cast<int32_t>(rootKey)) + "\"", this,
                       "SetRootKey");
  m_RootKey = rootKey;
  m_RootKeyName = KVRootKeyName(rootKey);
  ++m_DirGeneration;
}

std::string TKVStorageBase::GetBaseDir() {
  std::lock_guard lock(*m_Lock);
  return m_BaseDir;
}

void TKVStorageBase::SetBaseDir(const std::string& baseDir) {
  std::lock_guard lock(*m_Lock);
  m_BaseDir = KVTrimSeparators(baseDir);
  m_InternalBase = KVResolvePath(std::string(), m_BaseDir);
  ++m_DirGeneration;
}

std::string TKVStorageBase::GetFileName() {
  std::lock_guard lock(*m_Lock);
  return m_FileName;
}

void TKVStorageBase::SetFileName(const std::string& fileName) {
  std::lock_guard lock(*m_Lock);
  m_FileName = fileName;
}

std::string TKVStorageBase::InternalPath(const std::string& fullPath) {
  std::string p;
  p.reserve(m_RootKeyName.size() + m_InternalBase.size() + fullPath.size() + 2);
  for (const std::string& part : {std::cref(m_RootKeyName), std::cref(m_InternalBase), std::cref(fullPath)}) {
    if (part.empty()) continue;
    if (!p.empty()) p += '\\';
    p += part;
  }
  return p;
}

bool TKVStorageBase::OpenDir(const std::string& path, bool create) {
  std::lock_guard lock(*m_Lock);
  std::string full = ResolveFromNormal(m_CurrentDir, path);
  if (KVSameText(full, m_CurrentDir)) return true;
  bool ok = InternalOpenDir(InternalPath(full), create);
  if (ok) {
    m_CurrentDir = std::move(full);
    ++m_DirGeneration;
  }
  return ok;
}

bool TKVStorageBase::DirExists(const std::string& path) {
  std::lock_guard lock(*m_Lock);
  return InternalDirExists(InternalPath(KVResolvePath(m_CurrentDir, path)));
}

TKVStringArray TKVStorageBase::ReadSubDirNames() {
  std::lock_guard lock(*m_Lock);
  return InternalReadSubDirNames();
}

TKVStringArray TKVStorageBase::ReadValueNames() {
  std::lock_guard lock(*m_Lock);
  return InternalReadValueNames();
}

bool TKVStorageBase::DeleteValue(const std::string& name) {
  std::lock_guard lock(*m_Lock);
  if (name.empty()) return false;
  return InternalDeleteValue(name);
}

bool TKVStorageBase::DeleteDir(const std::string& path) {
  std::lock_guard lock(*m_Lock);
  if (path.empty()) return false;
  return InternalDeleteDir(InternalPath(KVResolvePath(m_CurrentDir, path)));
}

std::string TKVStorageBase::GetCurrentDir() {
  std::lock_guard lock(*m_Lock);
  return m_CurrentDir;
}


// --- Typed values as text ---------------------------------------------------------------------------------

bool KVTextToBoolean(const std::string& text) {
  return !text.empty() && std::strchr("tT1wWyYsSqQ", text[0]) != nullptr;
}

int32_t IKVValueStorage::ReadInteger(const std::string& name, int32_t def) {
  std::string s = ReadString(name, std::to_string(def));
  int32_t v;
  return KVTryParseInt32(s, v) ? v : def;
}

int64_t IKVValueStorage::ReadInt64(const std::string& name, int64_t def) {
  std::string s = ReadString(name, std::to_string(def));
  int64_t v;
  return KVTryParseInt64(s, v) ? v : def;
}

bool IKVValueStorage::ReadBoolean(const std::string& name, bool def) {
  return KVTextToBoolean(ReadString(name, def ? "1" : "0"));
}

double IKVValueStorage::ReadDateTime(const std::string& name, double def) {
  std::string s = ReadString(name, KVFormatFixedDateTime(def));
  double v;
  return KVTryParseFixedDateTime(s, v) ? v : def;
}

double IKVValueStorage::ReadDouble(const std::string& name, double def) {
  std::string s = ReadString(name, KVFormatDouble15(def));
  double v;
  return KVTryParseDouble(s, v) ? v : def;
}

std::string KVVariantToStorageText(const TKVVariant& v) {
  if (v.IsEmpty()) return "0,<None>";
  if (v.IsNull()) return "1,NULL";
  // Byte arrays keep their array flag: masked to the element type they would read back as one byte.
  if (v.VarType() == varByteArray) {
    static const char* hex = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : v.AsBytes()) {
      text += hex[b >> 4];
      text += hex[b & 15];
    }
    return std::to_string(varByteArray) + "," + text;
  }
  return std::to_string(v.VarType() & 0xFFF) + "," + v.AsString();
}

std::optional<TKVVariant> KVStorageTextToVariant(const std::string& text, uint16_t defaultType) {
  uint32_t type = defaultType;
  std::string body = text;
  size_t comma = text.find(',');
  if (comma != std::string::npos) {
    int32_t t;
    // A text whose prefix is no type number is taken whole, in the default's type.
    if (KVTryParseInt32(text.substr(0, comma), t) && t >= 0) {
      type = static_cast<uint32_t>(t);
      body = text.substr(comma + 1);
    }
  }
  try {
    if (type == varEmpty) return TKVVariant();
    if (type == varNull) return TKVVariant::Null();
    if (type == varByteArray) {
      if (body.size() % 2 != 0) return std::nullopt;
      std::vector<uint8_t> bytes;
      for (size_t i = 0; i < body.size(); i += 2) {
        int32_t b;
        if (!KVTryParseInt32("$" + body.substr(i, 2), b)) return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(b));
      }
      return TKVVariant::FromBytes(std::move(bytes));
    }
    return TKVVariant::FromText(static_cast<uint16_t>(type), body);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

TKVVariant IKVValueStorage::ReadVariant(const std::string& name, const TKVVariant& def) {
  // A sentinel that no written value can take tells a missing value from a stored one.
  static const std::string missing("\x01<missing>\x01");
  std::string s = ReadString(name, missing);
  if (s == missing) return def;
  auto v = KVStorageTextToVariant(s, static_cast<uint16_t>(def.VarType() & 0xFFF));
  return v ? *v : def;
}

void IKVValueStorage::WriteInteger(const std::string& name, int32_t value) {
  WriteString(name, std::to_string(value));
}
void IKVValueStorage::WriteInt64(const std::string& name, int64_t value) {
  WriteString(name, std::to_string(value));
}
void IKVValueStorage::WriteBoolean(const std::string& name, bool value) {
  WriteString(name, value ? "1" : "0");
}
void IKVValueStorage::WriteDateTime(const std::string& name, double value) {
  WriteString(name, KVFormatFixedDateTime(value));
}
void IKVValueStorage::WriteDouble(const std::string& name, double value) {
  WriteString(name, KVFormatDouble15(value));
}
void IKVValueStorage::WriteVariant(const std::string& name, const TKVVariant& value) {
  WriteString(name, KVVariantToStorageText(value));
}

// --- Helpers ---------------------------------------------------------------------------------------------

bool KVVsdOpenDir(IKVValueStorageDirectory& storage, const std::string& path, bool create) {
  bool ok = storage.OpenDir(path, create);
  if (create && !ok)
    throw EKVException("Failed to create persistent directory \"" + path + "\"", nullptr, "KVVsdOpenDir");
  return ok;
}

bool KVVsdOpenDirAbsolute(IKVValueStorageDirectory& storage, const std::string& path, bool create) {
  size_t b = 0;
  while (b < path.size() && (path[b] == '\\' || path[b] == '/')) ++b;
  return KVVsdOpenDir(storage, "\\" + path.substr(b), create);
}

TKVVsdDirPathKeeper::TKVVsdDirPathKeeper(IKVValueStorageDirectory& storage)
    : m_Storage(storage), m_Kept(storage.GetCurrentDir()) {}

TKVVsdDirPathKeeper::TKVVsdDirPathKeeper(IKVValueStorageDirectory& storage, const std::string& path, bool create)
    : TKVVsdDirPathKeeper(storage) {
  m_Opened = KVVsdOpenDir(storage, path, create);
}

TKVVsdDirPathKeeper::~TKVVsdDirPathKeeper() {
  try {
    KVVsdOpenDirAbsolute(m_Storage, m_Kept, true);
  } catch (const std::exception& e) {
    KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
  }
}

TKVStorageUpdate::~TKVStorageUpdate() {
  if (!m_Storage) return;
  try {
    m_Storage->EndUpdate();
  } catch (const std::exception& e) {
    // Only reached while another error is already on its way out (Finish() was not called).
    KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
  }
}

void TKVStorageUpdate::Finish() {
  IKVStorage* s = std::exchange(m_Storage, nullptr);
  if (s) s->EndUpdate();
}

void KVVsdLoadData(IKVStorage& storage, const std::string& dir, IKVLoadStoreData& object) {
  std::lock_guard lock(storage.CriticalSection());
  TKVVsdDirPathKeeper keeper(storage, dir, false);
  if (keeper.Opened()) object.LoadData(storage);
}

void KVVsdStoreData(IKVStorage& storage, const std::string& dir, IKVLoadStoreData& object) {
  std::lock_guard lock(storage.CriticalSection());
  TKVStorageUpdate update(storage);
  {
    TKVVsdDirPathKeeper keeper(storage, dir, true);
    object.StoreData(storage);
  }
  update.Finish();
}

void KVWriteStringIfDiffers(IKVStorage& s, const std::string& name, const std::string& value,
                            const std::string& def) {
  if (KVSameText(value, def))
    s.DeleteValue(name);
  else
    s.WriteString(name, value);
}

void KVWriteIntegerIfDiffers(IKVStorage& s, const std::string& name, int32_t value, int32_t def) {
  if (value == def)
    s.DeleteValue(name);
  else
    s.WriteInteger(name, value);
}

void KVWriteInt64IfDiffers(IKVStorage& s, const std::string& name, int64_t value, int64_t def) {
  if (value == def)
    s.DeleteValue(name);
  else
    s.WriteInt64(name, value);
}

void KVWriteBooleanIfDiffers(IKVStorage& s, const std::string& name, bool value, bool def) {
  if (value == def)
    s.DeleteValue(name);
  else
    s.WriteBoolean(name, value);
}

void KVWriteDoubleIfDiffers(IKVStorage& s, const std::string& name, double value, double def) {
  if (value == def)
    s.DeleteValue(name);
  else
    s.WriteDouble(name, value);
}

void KVWriteDateTimeIfDiffers(IKVStorage& s, const std::string& name, double value, double def) {
  if (value == def)
    s.DeleteValue(name);
  else
    s.WriteDateTime(name, value);
}

void KVWriteVariantIfDiffers(IKVStorage& s, const std::string& name, const TKVVariant& value,
                             const TKVVariant& def) {
  bool same = false;
  try {
    same = value.VarType() == def.VarType() && TKVVariant::Compare(value, def) == TKVVariantRelation::Equal;
  } catch (const std::exception&) {
    same = false;
  }
  if (same)
    s.DeleteValue(name);
  else
    s.WriteVariant(name, value);
}

// The tree walks below keep their own stack of directories instead of recursing: documents nest tens of
// thousands of levels deep, and every level is reached by a relative step from the one above.

void KVVsdCopyTree(IKVStorage& source, IKVStorage& target, const std::string& path, const std::string& leftOut) {
  const std::string skipped = leftOut.empty() ? std::string() : KVResolvePath(std::string(), leftOut);
  std::scoped_lock lock(source.CriticalSection(), target.CriticalSection());
  // The source is read from one image of its file, looked at once (see KVVsdLoadTree).
  TKVStorageUpdate snapshot(source);
  TKVStorageUpdate update(target);
  {
    TKVVsdDirPathKeeper sourceKeeper(source);
    TKVVsdDirPathKeeper targetKeeper(target);
    if (KVVsdOpenDir(source, path.empty() ? "\\" + source.GetCurrentDir() : path, false)) {
      // Directories are copied in pre-order, so a text target lists them as the source does.
      std::vector<std::string> todo{source.GetCurrentDir()};
      while (!todo.empty()) {
        const std::string dir = std::move(todo.back());
        todo.pop_back();
        if (!skipped.empty() && KVSameText(dir, skipped)) continue;
        if (!KVVsdOpenDirAbsolute(source, dir, false)) continue;
        KVVsdOpenDirAbsolute(target, dir, true);
        for (const auto& name : source.ReadValueNames()) {
          std::string value = source.ReadString(name, std::string());
          if (!value.empty())
            target.WriteString(name, value);
          else
            target.DeleteValue(name);
        }
        TKVStringArray subs = source.ReadSubDirNames();
        for (size_t i = subs.size(); i-- > 0;) todo.push_back(KVJoinPath(dir, subs[i]));
      }
    }
  }
  update.Finish();
  snapshot.Finish();
}

namespace {
// The directories of a walk's levels, each a prefix of the next (every step down is relative), kept as one
// path and a length per level, so that memory grows with the depth and not with its square. A level whose
// directory does not extend its parent's (a node's data left the storage elsewhere) keeps its parent's path
// for the way back.
class TLevelDirs {
 public:
  explicit TLevelDirs(std::string root) : m_Path(std::move(root)) { m_Levels.push_back({m_Path.size(), {}, false}); }
  bool Empty() const { return m_Levels.empty(); }
  size_t Depth() const { return m_Levels.size(); }
  // The directory of the innermost level.
  const std::string& Current() const { return m_Path; }
  void Push(std::string dir) {
    bool extends = dir.size() > m_Path.size() && dir.compare(0, m_Path.size(), m_Path) == 0 &&
                   (m_Path.empty() || dir[m_Path.size()] == '\\');
    if (extends) {
      m_Levels.push_back({dir.size(), {}, false});
      m_Path = std::move(dir);
    } else {
      m_Levels.push_back({dir.size(), std::move(m_Path), true});
      m_Path = std::move(dir);
    }
  }
  void Pop() {
    TLevel top = std::move(m_Levels.back());
    m_Levels.pop_back();
    if (m_Levels.empty()) return;
    if (top.Own)
      m_Path = std::move(top.ParentPath);
    else
      m_Path.resize(m_Levels.back().Length);
  }

 private:
  struct TLevel {
    size_t Length;
    std::string ParentPath;  // only where the level does not extend its parent
    bool Own;
  };
  std::string m_Path;
  std::vector<TLevel> m_Levels;
};
}  // namespace

void KVVsdStoreTree(IKVStorage& storage, IKVVsdTreeNode* first, int& counter, bool withSiblings) {
  std::lock_guard lock(storage.CriticalSection());
  TKVStorageUpdate update(storage);
  {
    TKVVsdDirPathKeeper keeper(storage);
    // Per level: the directory its nodes' ".\\NNNNN" directories go below, and the next node to store there.
    TLevelDirs dirs(storage.GetCurrentDir());
    std::vector<IKVVsdTreeNode*> next{first};
    while (!next.empty()) {
      IKVVsdTreeNode* node = next.back();
      if (!node) {
        next.pop_back();
        dirs.Pop();
        continue;
      }
      next.back() = next.size() == 1 && !withSiblings ? nullptr : node->NextSibling();
      char rel[32];
      std::snprintf(rel, sizeof rel, "%s\\%.5d", ".", counter);
      KVVsdOpenDirAbsolute(storage, dirs.Current(), true);
      KVVsdOpenDir(storage, rel, true);
      if (IKVLoadStoreData* data = node->LoadStore()) data->StoreData(storage);
      ++counter;
      if (IKVVsdTreeNode* child = node->FirstChild()) {
        next.push_back(child);
        dirs.Push(storage.GetCurrentDir());
      }
    }
  }
  update.Finish();
}

void KVVsdLoadTree(IKVStorage& storage, IKVVsdTreeNode* parent, IKVVsdTreeNodeFactory& factory,
                   const std::string& path) {
  std::lock_guard lock(storage.CriticalSection());
  if (path.empty()) return;
  // One look at the file for the whole walk: outside a batch the text format asks the file system whether
  // the file changed before every single read, which for a tree of many nodes costs more than the reading,
  // and a file changed half-way through would give a tree made of two versions.
  TKVStorageUpdate snapshot(storage);
  TKVVsdDirPathKeeper keeper(storage, path, false);
  if (!keeper.Opened()) return;
  // Per level: the node directories found there, the next one to load and the node they belong below. A
  // node's children are in its subdirectory ".".
  struct TLevel {
    TKVStringArray Names;
    size_t Next;
    IKVVsdTreeNode* Parent;
  };
  TLevelDirs dirs(storage.GetCurrentDir());
  std::vector<TLevel> levels;
  levels.push_back({storage.ReadSubDirNames(), 0, parent});
  while (!levels.empty()) {
    TLevel& level = levels.back();
    if (level.Next == level.Names.size()) {
      levels.pop_back();
      dirs.Pop();
      continue;
    }
    const std::string& name = level.Names[level.Next++];
    IKVVsdTreeNode* below = level.Parent;
    KVVsdOpenDirAbsolute(storage, dirs.Current(), true);
    if (!KVVsdOpenDir(storage, name, false)) continue;
    IKVVsdTreeNode* node = factory.CreateNode(below, storage);
    if (!node) continue;
    if (IKVLoadStoreData* data = node->LoadStore()) data->LoadData(storage);
    if (KVVsdOpenDir(storage, ".", false)) {
      TKVStringArray names = storage.ReadSubDirNames();
      dirs.Push(storage.GetCurrentDir());
      levels.push_back({std::move(names), 0, node});
    }
  }
  snapshot.Finish();
}
