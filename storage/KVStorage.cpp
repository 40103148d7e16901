#include "storage/KVStorage.h"

#include <pwd.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>

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

std::string KVResolvePath(const std::string& currentDir, const std::string& path) {
  bool absolute = path.empty() || path[0] == '\\' || path[0] == '/';
  // Empty elements (doubled separators) are dropped, so every spelling of a path names one directory and
  // compares equal to the current directory.
  std::string full;
  for (const auto& part : KVSplitPath(absolute ? path : KVJoinPath(currentDir, path))) full = KVJoinPath(full, part);
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
}

std::string TKVStorageBase::GetBaseDir() {
  std::lock_guard lock(*m_Lock);
  return m_BaseDir;
}

void TKVStorageBase::SetBaseDir(const std::string& baseDir) {
  std::lock_guard lock(*m_Lock);
  m_BaseDir = KVTrimSeparators(baseDir);
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
  std::string p = KVJoinPath(m_BaseDir, fullPath);
  if (m_RootKey != 0) p = KVJoinPath(KVRootKeyName(m_RootKey), p);
  return p;
}

bool TKVStorageBase::OpenDir(const std::string& path, bool create) {
  std::lock_guard lock(*m_Lock);
  std::string full = KVResolvePath(m_CurrentDir, path);
  if (KVSameText(full, m_CurrentDir)) return true;
  bool ok = InternalOpenDir(InternalPath(full), create);
  if (ok) m_CurrentDir = full;
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

// The typed layer is stateless apart from the string storage it is bound to, so a temporary per call is free.
#define KV_TYPED(call)                 \
  std::lock_guard lock(*m_Lock);       \
  TKVValueStorageImpl typed(*this);    \
  return typed.call;

int32_t TKVStorageBase::ReadInteger(const std::string& name, int32_t def) { KV_TYPED(ReadInteger(name, def)) }
int64_t TKVStorageBase::ReadInt64(const std::string& name, int64_t def) { KV_TYPED(ReadInt64(name, def)) }
bool TKVStorageBase::ReadBoolean(const std::string& name, bool def) { KV_TYPED(ReadBoolean(name, def)) }
double TKVStorageBase::ReadDateTime(const std::string& name, double def) { KV_TYPED(ReadDateTime(name, def)) }
double TKVStorageBase::ReadDouble(const std::string& name, double def) { KV_TYPED(ReadDouble(name, def)) }
TKVVariant TKVStorageBase::ReadVariant(const std::string& name, const TKVVariant& def) {
  KV_TYPED(ReadVariant(name, def))
}
void TKVStorageBase::WriteInteger(const std::string& name, int32_t value) { KV_TYPED(WriteInteger(name, value)) }
void TKVStorageBase::WriteInt64(const std::string& name, int64_t value) { KV_TYPED(WriteInt64(name, value)) }
void TKVStorageBase::WriteBoolean(const std::string& name, bool value) { KV_TYPED(WriteBoolean(name, value)) }
void TKVStorageBase::WriteDateTime(const std::string& name, double value) { KV_TYPED(WriteDateTime(name, value)) }
void TKVStorageBase::WriteDouble(const std::string& name, double value) { KV_TYPED(WriteDouble(name, value)) }
void TKVStorageBase::WriteVariant(const std::string& name, const TKVVariant& value) {
  KV_TYPED(WriteVariant(name, value))
}
#undef KV_TYPED

// --- Typed values as text ---------------------------------------------------------------------------------

bool KVTextToBoolean(const std::string& text) {
  return !text.empty() && std::strchr("tT1wWyYsSqQ", text[0]) != nullptr;
}

int32_t TKVValueStorageImpl::ReadInteger(const std::string& name, int32_t def) {
  std::string s = m_Strings->ReadString(name, std::to_string(def));
  int32_t v;
  return KVTryParseInt32(s, v) ? v : def;
}

int64_t TKVValueStorageImpl::ReadInt64(const std::string& name, int64_t def) {
  std::string s = m_Strings->ReadString(name, std::to_string(def));
  int64_t v;
  return KVTryParseInt64(s, v) ? v : def;
}

bool TKVValueStorageImpl::ReadBoolean(const std::string& name, bool def) {
  return KVTextToBoolean(m_Strings->ReadString(name, def ? "1" : "0"));
}

double TKVValueStorageImpl::ReadDateTime(const std::string& name, double def) {
  std::string s = m_Strings->ReadString(name, KVFormatFixedDateTime(def));
  double v;
  return KVTryParseFixedDateTime(s, v) ? v : def;
}

double TKVValueStorageImpl::ReadDouble(const std::string& name, double def) {
  std::string s = m_Strings->ReadString(name, KVFormatDouble15(def));
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

TKVVariant TKVValueStorageImpl::ReadVariant(const std::string& name, const TKVVariant& def) {
  // A sentinel that no written value can take tells a missing value from a stored one.
  static const std::string missing("\x01<missing>\x01");
  std::string s = m_Strings->ReadString(name, missing);
  if (s == missing) return def;
  auto v = KVStorageTextToVariant(s, static_cast<uint16_t>(def.VarType() & 0xFFF));
  return v ? *v : def;
}

void TKVValueStorageImpl::WriteInteger(const std::string& name, int32_t value) {
  m_Strings->WriteString(name, std::to_string(value));
}
void TKVValueStorageImpl::WriteInt64(const std::string& name, int64_t value) {
  m_Strings->WriteString(name, std::to_string(value));
}
void TKVValueStorageImpl::WriteBoolean(const std::string& name, bool value) {
  m_Strings->WriteString(name, value ? "1" : "0");
}
void TKVValueStorageImpl::WriteDateTime(const std::string& name, double value) {
  m_Strings->WriteString(name, KVFormatFixedDateTime(value));
}
void TKVValueStorageImpl::WriteDouble(const std::string& name, double value) {
  m_Strings->WriteString(name, KVFormatDouble15(value));
}
void TKVValueStorageImpl::WriteVariant(const std::string& name, const TKVVariant& value) {
  m_Strings->WriteString(name, KVVariantToStorageText(value));
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

namespace {
void CopyDir(IKVStorage& source, IKVStorage& target, const std::string& path) {
  TKVVsdDirPathKeeper sourceKeeper(source, path, false);
  if (!sourceKeeper.Opened()) return;
  TKVVsdDirPathKeeper targetKeeper(target, "\\" + source.GetCurrentDir(), true);
  for (const auto& name : source.ReadValueNames()) {
    std::string value = source.ReadString(name, std::string());
    if (!value.empty())
      target.WriteString(name, value);
    else
      target.DeleteValue(name);
  }
  for (const auto& sub : source.ReadSubDirNames()) CopyDir(source, target, sub);
}
}  // namespace

void KVVsdCopyTree(IKVStorage& source, IKVStorage& target, const std::string& path) {
  std::scoped_lock lock(source.CriticalSection(), target.CriticalSection());
  TKVStorageUpdate update(target);
  CopyDir(source, target, path.empty() ? "\\" + source.GetCurrentDir() : path);
  update.Finish();
}

namespace {
void StoreNodes(IKVStorage& storage, IKVVsdTreeNode* node, int& counter, bool withSiblings) {
  for (; node; node = withSiblings ? node->NextSibling() : nullptr) {
    char rel[32];
    std::snprintf(rel, sizeof rel, "%s\\%.5d", ".", counter);
    TKVVsdDirPathKeeper keeper(storage, rel, true);
    if (IKVLoadStoreData* data = node->LoadStore()) data->StoreData(storage);
    ++counter;
    StoreNodes(storage, node->FirstChild(), counter, true);
  }
}
}  // namespace

void KVVsdStoreTree(IKVStorage& storage, IKVVsdTreeNode* first, int& counter, bool withSiblings) {
  std::lock_guard lock(storage.CriticalSection());
  TKVStorageUpdate update(storage);
  StoreNodes(storage, first, counter, withSiblings);
  update.Finish();
}

void KVVsdLoadTree(IKVStorage& storage, IKVVsdTreeNode* parent, IKVVsdTreeNodeFactory& factory,
                   const std::string& path) {
  std::lock_guard lock(storage.CriticalSection());
  if (path.empty()) return;
  TKVVsdDirPathKeeper keeper(storage, path, false);
  if (!keeper.Opened()) return;
  for (const auto& name : storage.ReadSubDirNames()) {
    TKVVsdDirPathKeeper nodeKeeper(storage, name, false);
    if (!nodeKeeper.Opened()) continue;
    IKVVsdTreeNode* node = factory.CreateNode(parent, storage);
    if (!node) continue;
    if (IKVLoadStoreData* data = node->LoadStore()) data->LoadData(storage);
    KVVsdLoadTree(storage, node, factory, ".");
  }
}
