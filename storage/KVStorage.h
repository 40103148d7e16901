#pragma once
// Hierarchical storage: directories holding named string values, a current directory, typed values stored as
// text, and the helpers through which objects load and store themselves.
//
// Paths: elements separated by "\" ("/" is accepted and turned into "\"); a path starting with a separator
// is absolute, any other non-empty path is relative to the current directory. Elements are never
// interpreted: "." and ".." are ordinary names. Full paths carry no leading or trailing separator; the root
// is the empty path. Names are compared without regard to ASCII letter case.
//
// Thread safety: every public operation of a storage holds its owner's critical section (the persistent
// data object's, see KVPersistentData.h), or the storage's own when it has no owner.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/KVRefObject.h"
#include "foundation/KVVariant.h"

using TKVStringArray = std::vector<std::string>;

// --- Interfaces ------------------------------------------------------------------------------------------

class IKVGetFileName {
 public:
  static constexpr TGUID IID = KVGuid("{6C1B4D7E-2F0A-4E37-9B52-7D1E0C3A8F41}");
  virtual ~IKVGetFileName() = default;
  virtual std::string GetFileName() = 0;
};

class IKVGetSetFileName : public IKVGetFileName {
 public:
  static constexpr TGUID IID = KVGuid("{ECFB879F-86F6-41A3-A685-0C899A2B5BCA}");
  virtual void SetFileName(const std::string& fileName) = 0;
};

class IKVStringStorage {
 public:
  static constexpr TGUID IID = KVGuid("{3E5A9B21-7C44-4F1D-8E2B-6A0D5F9C1B72}");
  virtual ~IKVStringStorage() = default;
  // The value's text, or `def` when the current directory has no value of that name.
  virtual std::string ReadString(const std::string& name, const std::string& def) = 0;
  virtual void WriteString(const std::string& name, const std::string& value) = 0;
};

class IKVValueStorageDirectory {
 public:
  static constexpr TGUID IID = KVGuid("{A1F0C3D5-94B8-4E62-B7A9-2C5E8D1F0B36}");
  virtual ~IKVValueStorageDirectory() = default;
  // Makes the directory current. With `create`, missing directories are made; without, a missing directory
  // answers false and leaves the current directory unchanged.
  virtual bool OpenDir(const std::string& path, bool create) = 0;
  // Whether the directory exists; the current directory does not change.
  virtual bool DirExists(const std::string& path) = 0;
  // Names of the direct subdirectories / values of the current directory, in the storage's own order.
  virtual TKVStringArray ReadSubDirNames() = 0;
  virtual TKVStringArray ReadValueNames() = 0;
  // False for an empty name or a value that was not there.
  virtual bool DeleteValue(const std::string& name) = 0;
  // Deletes the directory and everything below it; false for an empty path or a missing directory.
  virtual bool DeleteDir(const std::string& path) = 0;
  virtual std::string GetCurrentDir() = 0;
  // Brings everything written so far into the file.
  virtual void Commit() = 0;
  virtual std::string GetBaseDir() = 0;
  virtual uint32_t GetRootKey() = 0;
  virtual void SetBaseDir(const std::string& baseDir) = 0;
  virtual void SetRootKey(uint32_t rootKey) = 0;
};

// Typed values over the string values; conversion failures on read give the default, never an error. Each is
// written once here over ReadString/WriteString and the text forms below; a storage overrides one only
// when it keeps values of that type some other way.
class IKVValueStorage : public IKVStringStorage {
 public:
  static constexpr TGUID IID = KVGuid("{5B7E2A90-1D36-4C8F-A45E-9F0B3C6D2E18}");
  virtual int32_t ReadInteger(const std::string& name, int32_t def);
  virtual int64_t ReadInt64(const std::string& name, int64_t def);
  virtual bool ReadBoolean(const std::string& name, bool def);
  virtual double ReadDateTime(const std::string& name, double def);
  virtual double ReadDouble(const std::string& name, double def);
  virtual TKVVariant ReadVariant(const std::string& name, const TKVVariant& def);
  virtual void WriteInteger(const std::string& name, int32_t value);
  virtual void WriteInt64(const std::string& name, int64_t value);
  virtual void WriteBoolean(const std::string& name, bool value);
  virtual void WriteDateTime(const std::string& name, double value);
  virtual void WriteDouble(const std::string& name, double value);
  virtual void WriteVariant(const std::string& name, const TKVVariant& value);
};

class IKVCriticalSection {
 public:
  static constexpr TGUID IID = KVGuid("{0D6E4F83-B2A1-4C97-8E35-71F9A2C4B05D}");
  virtual ~IKVCriticalSection() = default;
  virtual std::recursive_mutex& CriticalSection() = 0;
};

// Everything an object that loads or stores itself may use: a persistent data object and every storage
// answer it, so one reference serves every purpose.
class IKVStorage : public IKVValueStorageDirectory,
                   public IKVValueStorage,
                   public IKVGetSetFileName,
                   public IKVCriticalSection {
 public:
  static constexpr TGUID IID = KVGuid("{8F3C1A6B-5E20-4D79-B1C8-4A7E0F2D9C63}");
  // Writes between BeginUpdate and the matching EndUpdate may be gathered and brought into the file once,
  // at the outermost EndUpdate (the text format would otherwise rewrite its file for every value).
  // Nesting is counted. EndUpdate raises when bringing the writes into the file fails.
  virtual void BeginUpdate() = 0;
  virtual void EndUpdate() = 0;
};

// Implemented by every object that persists itself. The storage is positioned at the object's directory;
// the object reads or writes values there and opens subdirectories relative to it.
class IKVLoadStoreData {
 public:
  static constexpr TGUID IID = KVGuid("{C4A2E8F1-3B79-4D05-96E2-8B1F7D3A0C54}");
  virtual ~IKVLoadStoreData() = default;
  virtual void LoadData(IKVStorage& storage) = 0;
  virtual void StoreData(IKVStorage& storage) = 0;
};

// --- Storage classes ---------------------------------------------------------------------------------------

class TKVStorageBase;

// The "virtual constructor" of a storage class: persistent data objects are told which class to create.
struct TKVStorageClassInfo {
  const char* Name;
  TKVRef<TKVStorageBase> (*Create)(std::recursive_mutex* ownerLock, uint32_t rootKey, const std::string& baseDir,
                                   const std::string& fileName);
};
using TKVStorageClass = const TKVStorageClassInfo*;

// Registry root keys accepted by SetRootKey (0 = none).
constexpr uint32_t KV_HKEY_CLASSES_ROOT = 0x80000000u, KV_HKEY_CURRENT_USER = 0x80000001u,
                   KV_HKEY_LOCAL_MACHINE = 0x80000002u, KV_HKEY_USERS = 0x80000003u,
                   KV_HKEY_CURRENT_CONFIG = 0x80000005u, KV_HKEY_DYN_DATA = 0x80000006u;
std::string KVRootKeyName(uint32_t rootKey);

// Path helpers (pure functions).
std::string KVJoinPath(const std::string& a, const std::string& b, char separator = '\\');
// Trims every leading and trailing "\" and "/".
std::string KVTrimSeparators(const std::string& s);
// The full path of `path` seen from `currentDir` (see the rules at the top of this file).
std::string KVResolvePath(const std::string& currentDir, const std::string& path);
// Splits at "\" and "/", skipping empty elements.
TKVStringArray KVSplitPath(const std::string& path);

class TKVStorageBase : public TKVRefLifeObject, public IKVStorage {
 public:
  TKVStorageBase(std::recursive_mutex* ownerLock, uint32_t rootKey, const std::string& baseDir,
                 const std::string& fileName);
  ~TKVStorageBase() override;

  virtual TKVStorageClass StorageClass() const = 0;
  std::string ClassName() const override { return StorageClass()->Name; }
  void* GetInterface(const TGUID& iid) override;

  bool HasRootKey() { return GetRootKey() != 0; }
  uint32_t GetRootKey() override;
  void SetRootKey(uint32_t rootKey) override;
  std::string GetBaseDir() override;
  void SetBaseDir(const std::string& baseDir) override;
  std::string GetFileName() override;
  void SetFileName(const std::string& fileName) override;
  void Commit() override {}

  bool OpenDir(const std::string& path, bool create) override;
  bool DirExists(const std::string& path) override;
  TKVStringArray ReadSubDirNames() override;
  TKVStringArray ReadValueNames() override;
  bool DeleteValue(const std::string& name) override;
  bool DeleteDir(const std::string& path) override;
  std::string GetCurrentDir() override;

  std::recursive_mutex& CriticalSection() override { return *m_Lock; }
  void BeginUpdate() override {}
  void EndUpdate() override {}

 protected:
  // The internal path of a full path: BaseDir and the full path joined, with the root key's name in front;
  // elements are separated by single "\\" (also where BaseDir was given with "/" or doubled separators).
  std::string InternalPath(const std::string& fullPath);

  // Implemented by the concrete classes; they take internal paths.
  virtual bool InternalDirExists(const std::string& internalPath) = 0;
  virtual bool InternalOpenDir(const std::string& internalPath, bool create) = 0;
  virtual TKVStringArray InternalReadSubDirNames() = 0;
  virtual TKVStringArray InternalReadValueNames() = 0;
  virtual bool InternalDeleteValue(const std::string& name) = 0;
  virtual bool InternalDeleteDir(const std::string& internalPath) = 0;

  // For a concrete class whose directory opening failed part-way: back to the root.
  void ResetCurrentDir() {
    m_CurrentDir.clear();
    ++m_DirGeneration;
  }
  // Changes whenever the current directory's internal path may have changed (directory, base directory,
  // root key), so that a concrete class can keep what it derived from it until then.
  uint64_t DirGeneration() const { return m_DirGeneration; }

  std::recursive_mutex* m_Lock;
  std::string m_FileName;

 private:
  std::recursive_mutex m_OwnLock;
  uint32_t m_RootKey = 0;
  std::string m_RootKeyName;  // looked up once: the current user's name is asked of the system
  std::string m_BaseDir;
  std::string m_InternalBase;  // m_BaseDir with its separators in the normal form
  std::string m_CurrentDir;
  uint64_t m_DirGeneration = 0;
};

// --- Typed values as text --------------------------------------------------------------------------------

// The text forms themselves (pure functions, used by the typed values and by tools that show raw values).
bool KVTextToBoolean(const std::string& text);  // first character one of "tT1wWyYsSqQ"
std::string KVVariantToStorageText(const TKVVariant& v);
// Reads the "type,text" form; the default's type applies when the text has no type prefix; nullopt on failure.
std::optional<TKVVariant> KVStorageTextToVariant(const std::string& text, uint16_t defaultType);

// --- Helpers ---------------------------------------------------------------------------------------------

// OpenDir through the directory interface; false when the object has none. With `create`, a failure raises
// "Failed to create persistent directory "%s"".
bool KVVsdOpenDir(IKVValueStorageDirectory& storage, const std::string& path, bool create);
// The same with the path made absolute first.
bool KVVsdOpenDirAbsolute(IKVValueStorageDirectory& storage, const std::string& path, bool create);

// Remembers the current directory and reopens it (absolute, creating) when released; optionally opens a
// path on creation. Wrap every piece of work in a subdirectory in one.
class TKVVsdDirPathKeeper {
 public:
  explicit TKVVsdDirPathKeeper(IKVValueStorageDirectory& storage);
  TKVVsdDirPathKeeper(IKVValueStorageDirectory& storage, const std::string& path, bool create);
  ~TKVVsdDirPathKeeper();
  TKVVsdDirPathKeeper(const TKVVsdDirPathKeeper&) = delete;
  TKVVsdDirPathKeeper& operator=(const TKVVsdDirPathKeeper&) = delete;
  // Whether the path given on creation was opened.
  bool Opened() const { return m_Opened; }
  const std::string& KeptDir() const { return m_Kept; }

 private:
  IKVValueStorageDirectory& m_Storage;
  std::string m_Kept;
  bool m_Opened = false;
};

// Gathers the writes of a scope into one file update (see IKVStorage::BeginUpdate).
class TKVStorageUpdate {
 public:
  explicit TKVStorageUpdate(IKVStorage& storage) : m_Storage(&storage) { storage.BeginUpdate(); }
  ~TKVStorageUpdate();
  // Ends the update now and lets a failure to write raise.
  void Finish();
  TKVStorageUpdate(const TKVStorageUpdate&) = delete;
  TKVStorageUpdate& operator=(const TKVStorageUpdate&) = delete;

 private:
  IKVStorage* m_Storage;
};

// Load (nothing when the directory is missing) or store (creating it) an object in a directory.
void KVVsdLoadData(IKVStorage& storage, const std::string& dir, IKVLoadStoreData& object);
void KVVsdStoreData(IKVStorage& storage, const std::string& dir, IKVLoadStoreData& object);

// Value elision: a value equal to its default is deleted instead of written, so a directory holds only values
// that differ from their defaults and a missing value reads as the default.
void KVWriteStringIfDiffers(IKVStorage& s, const std::string& name, const std::string& value, const std::string& def);
void KVWriteIntegerIfDiffers(IKVStorage& s, const std::string& name, int32_t value, int32_t def);
void KVWriteInt64IfDiffers(IKVStorage& s, const std::string& name, int64_t value, int64_t def);
void KVWriteBooleanIfDiffers(IKVStorage& s, const std::string& name, bool value, bool def);
void KVWriteDoubleIfDiffers(IKVStorage& s, const std::string& name, double value, double def);
void KVWriteDateTimeIfDiffers(IKVStorage& s, const std::string& name, double value, double def);
void KVWriteVariantIfDiffers(IKVStorage& s, const std::string& name, const TKVVariant& value, const TKVVariant& def);

// Copies every directory and raw string below `path` of `source` into `target` ("" = the source's current
// directory), whatever the two storage classes are. A non-empty `leftOut` names a directory by its full path
// (separators at either end ignored, letter case too) that is not copied, nor anything below it.
void KVVsdCopyTree(IKVStorage& source, IKVStorage& target, const std::string& path,
                   const std::string& leftOut = std::string());

// A node of a tree that stores itself one directory per node (the definition tree, the clipboard image).
class IKVVsdTreeNode {
 public:
  virtual ~IKVVsdTreeNode() = default;
  virtual IKVVsdTreeNode* FirstChild() = 0;
  virtual IKVVsdTreeNode* NextSibling() = 0;
  // The node's persistence, or null when it stores nothing of its own.
  virtual IKVLoadStoreData* LoadStore() = 0;
};

// Makes the node for a directory while a tree is loaded.
class IKVVsdTreeNodeFactory {
 public:
  virtual ~IKVVsdTreeNodeFactory() = default;
  // The storage is positioned at the node's directory. `parent` is null for top-level nodes. Returns the new
  // node (owned by the tree it was added to), or null to skip the directory and everything below it.
  virtual IKVVsdTreeNode* CreateNode(IKVVsdTreeNode* parent, IKVStorage& storage) = 0;
};

// Stores `first` (and, with `withSiblings`, every following sibling) into ".\NNNNN" directories below the
// current one, NNNNN being `counter` in five digits; children go below their node's directory. The counter
// runs in pre-order over the whole tree.
void KVVsdStoreTree(IKVStorage& storage, IKVVsdTreeNode* first, int& counter, bool withSiblings);
// Rebuilds nodes below `parent` from the subdirectories of `path`, in the order the storage lists them.
void KVVsdLoadTree(IKVStorage& storage, IKVVsdTreeNode* parent, IKVVsdTreeNodeFactory& factory,
                   const std::string& path);
