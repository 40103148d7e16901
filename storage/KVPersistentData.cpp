#include "storage/KVPersistentData.h"

#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"

TKVPersistentData::TKVPersistentData(TKVStorageClass storageClass, const std::string& fileName) {
  if (!storageClass) throw EKVException("No storage class given", this, "TKVPersistentData.Create");
  m_Storage = storageClass->Create(&m_Lock, 0, std::string(), fileName);
}

TKVPersistentData::~TKVPersistentData() {
  std::lock_guard lock(m_Lock);
  m_Storage.reset();
}

void* TKVPersistentData::GetInterface(const TGUID& iid) {
  if (iid == IKVPersistentValues::IID) return static_cast<IKVPersistentValues*>(this);
  if (iid == IKVStorage::IID) return static_cast<IKVStorage*>(this);
  if (iid == IKVValueStorageDirectory::IID) return static_cast<IKVValueStorageDirectory*>(this);
  if (iid == IKVValueStorage::IID) return static_cast<IKVValueStorage*>(this);
  if (iid == IKVStringStorage::IID) return static_cast<IKVStringStorage*>(this);
  if (iid == IKVGetSetFileName::IID) return static_cast<IKVGetSetFileName*>(this);
  if (iid == IKVGetFileName::IID) return static_cast<IKVGetFileName*>(this);
  if (iid == IKVCriticalSection::IID) return static_cast<IKVCriticalSection*>(this);
  // Interfaces particular to the storage class (the compound storage's class id, ...).
  if (void* p = m_Storage->GetInterface(iid)) return p;
  return TKVRefLifeObject::GetInterface(iid);
}

void TKVPersistentData::SwitchStorage(const std::string& fileName, TKVStorageClass storageClass, bool copy) {
  Switch(fileName, storageClass, copy, std::string());
}

void TKVPersistentData::SwitchStorageLeavingOut(const std::string& fileName, TKVStorageClass storageClass,
                                                const std::string& leftOut) {
  Switch(fileName, storageClass, true, leftOut);
}

void TKVPersistentData::Switch(const std::string& fileName, TKVStorageClass storageClass, bool copy,
                               const std::string& leftOut) {
  std::lock_guard lock(m_Lock);
  if (!fileName.empty() && KVSameText(fileName, m_Storage->GetFileName())) return;
  TKVStorageClass cls = storageClass ? storageClass : m_Storage->StorageClass();
  TKVRef<TKVStorageBase> target = cls->Create(&m_Lock, m_Storage->GetRootKey(), m_Storage->GetBaseDir(), fileName);
  if (copy) {
    KVVsdCopyTree(*m_Storage, *target, "\\", leftOut);
    target->Commit();
  }
  // The old storage closes (and commits) when its last reference goes.
  m_Storage = std::move(target);
}

void TKVPersistentData::DefineValue(int32_t id, const std::string& directory, const TKVVariant& def,
                                    const std::string& valueName) {
  std::lock_guard lock(m_Lock);
  if (m_Values.count(id))
    throw EKVException("A Value with Id " + std::to_string(id) + " already exists", this, "DefineValue");
  m_Values.emplace(id, TKVPersistentValue{id, "\\" + KVTrimSeparators(directory), valueName,
                                          static_cast<uint16_t>(def.VarType() & 0xFFF), def});
}

const TKVPersistentValue& TKVPersistentData::Find(int32_t id) const {
  auto it = m_Values.find(id);
  if (it == m_Values.end())
    throw EKVException("No Value with Id " + std::to_string(id), this, "ValueNotExists");
  return it->second;
}

namespace {
enum class Group { Integer, Double, DateTime, String, Boolean, Variant };
Group GroupOf(uint16_t vt) {
  switch (vt) {
    case varSmallint: case varInteger: case varByte: case varWord: case varLongWord: return Group::Integer;
    case varSingle: case varDouble: case varCurrency: return Group::Double;
    case varDate: return Group::DateTime;
    case varOleStr: case varString: return Group::String;
    case varBoolean: return Group::Boolean;
    default: return Group::Variant;
  }
}
}  // namespace

TKVVariant TKVPersistentData::GetValue(int32_t id) {
  std::lock_guard lock(m_Lock);
  const TKVPersistentValue& def = Find(id);
  TKVVsdDirPathKeeper keeper(*this);
  if (!KVVsdOpenDir(*this, def.Directory, false)) return def.Default;
  switch (GroupOf(def.VarType)) {
    case Group::Integer: return TKVVariant::FromInt32(ReadInteger(def.ValueName, def.Default.AsInt32()));
    case Group::Double: return TKVVariant::FromDouble(ReadDouble(def.ValueName, def.Default.AsDouble()));
    case Group::DateTime: return TKVVariant::FromDateTime(ReadDateTime(def.ValueName, def.Default.AsDateTime()));
    case Group::String: return TKVVariant::FromString(ReadString(def.ValueName, def.Default.AsString()));
    case Group::Boolean: return TKVVariant::FromBoolean(ReadBoolean(def.ValueName, def.Default.AsBoolean()));
    case Group::Variant: break;
  }
  return ReadVariant(def.ValueName, def.Default);
}

void TKVPersistentData::SetValue(int32_t id, const TKVVariant& value) {
  std::lock_guard lock(m_Lock);
  const TKVPersistentValue& def = Find(id);
  TKVVsdDirPathKeeper keeper(*this);
  KVVsdOpenDir(*this, def.Directory, true);
  switch (GroupOf(def.VarType)) {
    case Group::Integer: KVWriteIntegerIfDiffers(*this, def.ValueName, value.AsInt32(), def.Default.AsInt32()); break;
    case Group::Double: KVWriteDoubleIfDiffers(*this, def.ValueName, value.AsDouble(), def.Default.AsDouble()); break;
    case Group::DateTime:
      KVWriteDateTimeIfDiffers(*this, def.ValueName, value.AsDateTime(), def.Default.AsDateTime());
      break;
    case Group::String: KVWriteStringIfDiffers(*this, def.ValueName, value.AsString(), def.Default.AsString()); break;
    case Group::Boolean:
      KVWriteBooleanIfDiffers(*this, def.ValueName, value.AsBoolean(), def.Default.AsBoolean());
      break;
    case Group::Variant: KVWriteVariantIfDiffers(*this, def.ValueName, value, def.Default); break;
  }
}

// --- Delegation ------------------------------------------------------------------------------------------

#define KV_DELEGATE(call)           \
  std::lock_guard lock(m_Lock);     \
  return m_Storage->call;

bool TKVPersistentData::OpenDir(const std::string& path, bool create) { KV_DELEGATE(OpenDir(path, create)) }
bool TKVPersistentData::DirExists(const std::string& path) { KV_DELEGATE(DirExists(path)) }
TKVStringArray TKVPersistentData::ReadSubDirNames() { KV_DELEGATE(ReadSubDirNames()) }
TKVStringArray TKVPersistentData::ReadValueNames() { KV_DELEGATE(ReadValueNames()) }
bool TKVPersistentData::DeleteValue(const std::string& name) { KV_DELEGATE(DeleteValue(name)) }
bool TKVPersistentData::DeleteDir(const std::string& path) { KV_DELEGATE(DeleteDir(path)) }
std::string TKVPersistentData::GetCurrentDir() { KV_DELEGATE(GetCurrentDir()) }
void TKVPersistentData::Commit() { KV_DELEGATE(Commit()) }
std::string TKVPersistentData::GetBaseDir() { KV_DELEGATE(GetBaseDir()) }
uint32_t TKVPersistentData::GetRootKey() { KV_DELEGATE(GetRootKey()) }
void TKVPersistentData::SetBaseDir(const std::string& baseDir) { KV_DELEGATE(SetBaseDir(baseDir)) }
void TKVPersistentData::SetRootKey(uint32_t rootKey) { KV_DELEGATE(SetRootKey(rootKey)) }
std::string TKVPersistentData::ReadString(const std::string& name, const std::string& def) {
  KV_DELEGATE(ReadString(name, def))
}
void TKVPersistentData::WriteString(const std::string& name, const std::string& value) {
  KV_DELEGATE(WriteString(name, value))
}
std::string TKVPersistentData::GetFileName() { KV_DELEGATE(GetFileName()) }
void TKVPersistentData::SetFileName(const std::string& fileName) { KV_DELEGATE(SetFileName(fileName)) }
void TKVPersistentData::BeginUpdate() { KV_DELEGATE(BeginUpdate()) }
void TKVPersistentData::EndUpdate() { KV_DELEGATE(EndUpdate()) }
#undef KV_DELEGATE
