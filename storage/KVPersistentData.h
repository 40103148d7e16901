#pragma once
// The persistent data object: owns one storage (of a class chosen by its owner), serialises every access to
// it with one critical section, answers every storage interface by delegation, and keeps a table of
// predefined values with their directories and defaults (documents and user settings are built on it).
#include <map>
#include <mutex>
#include <string>

#include "storage/KVStorage.h"

class IKVPersistentValues {
 public:
  static constexpr TGUID IID = KVGuid("{2D8B6F14-A3C7-4E59-9D01-5F7C2B8E4A36}");
  virtual ~IKVPersistentValues() = default;
  // Replaces the storage by one of `storageClass` (null: the current class) on `fileName`, copying the whole
  // tree into it when `copy` is set. Nothing happens when the file name is the current one.
  virtual void SwitchStorage(const std::string& fileName, TKVStorageClass storageClass, bool copy) = 0;
  // Raises "A Value with Id %d already exists" for a second definition of an id.
  virtual void DefineValue(int32_t id, const std::string& directory, const TKVVariant& def,
                           const std::string& valueName) = 0;
  // Raise "No Value with Id %d" for an id never defined.
  virtual TKVVariant GetValue(int32_t id) = 0;
  virtual void SetValue(int32_t id, const TKVVariant& value) = 0;
};

struct TKVPersistentValue {
  int32_t Id;
  std::string Directory;  // absolute: "\" + the directory with separators trimmed
  std::string ValueName;
  uint16_t VarType;       // of the default, masked with 0xFFF
  TKVVariant Default;
};

class TKVPersistentData : public TKVRefLifeObject, public IKVStorage, public IKVPersistentValues {
 public:
  TKVPersistentData(TKVStorageClass storageClass, const std::string& fileName);
  ~TKVPersistentData() override;

  std::string ClassName() const override { return "TKVPersistentData"; }
  void* GetInterface(const TGUID& iid) override;

  // The storage currently bound (replaced by SwitchStorage).
  TKVStorageBase& Storage() { return *m_Storage; }
  TKVStorageClass StorageClass() const { return m_Storage->StorageClass(); }

  // IKVPersistentValues
  void SwitchStorage(const std::string& fileName, TKVStorageClass storageClass, bool copy) override;
  // SwitchStorage with copying, but the directory `leftOut` (a full path) and everything below it stay
  // behind: for a caller that writes that part anew into the new storage right away.
  void SwitchStorageLeavingOut(const std::string& fileName, TKVStorageClass storageClass,
                               const std::string& leftOut);
  void DefineValue(int32_t id, const std::string& directory, const TKVVariant& def,
                   const std::string& valueName) override;
  TKVVariant GetValue(int32_t id) override;
  void SetValue(int32_t id, const TKVVariant& value) override;

  // IKVStorage, by delegation to the bound storage under the critical section (the typed values come from
  // IKVValueStorage over these).
  bool OpenDir(const std::string& path, bool create) override;
  bool DirExists(const std::string& path) override;
  TKVStringArray ReadSubDirNames() override;
  TKVStringArray ReadValueNames() override;
  bool DeleteValue(const std::string& name) override;
  bool DeleteDir(const std::string& path) override;
  std::string GetCurrentDir() override;
  void Commit() override;
  std::string GetBaseDir() override;
  uint32_t GetRootKey() override;
  void SetBaseDir(const std::string& baseDir) override;
  void SetRootKey(uint32_t rootKey) override;
  std::string ReadString(const std::string& name, const std::string& def) override;
  void WriteString(const std::string& name, const std::string& value) override;
  std::string GetFileName() override;
  void SetFileName(const std::string& fileName) override;
  std::recursive_mutex& CriticalSection() override { return m_Lock; }
  void BeginUpdate() override;
  void EndUpdate() override;

 private:
  const TKVPersistentValue& Find(int32_t id) const;
  void Switch(const std::string& fileName, TKVStorageClass storageClass, bool copy, const std::string& leftOut);

  std::recursive_mutex m_Lock;  // declared first: the storage refers to it until it is gone
  TKVRef<TKVStorageBase> m_Storage;
  std::map<int32_t, TKVPersistentValue> m_Values;  // sorted by id
};
