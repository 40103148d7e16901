#pragma once
// Loading plug-in modules ("*.qxp" shared libraries) and keeping them loaded for the program's life.
//
// LoadPlugins is run once at start-up, before RebuildFunctionRegistry (plugin_host/FVFunc.h). The modules
// are searched in the folders a replaceable provider names (by default only the program's own folder,
// the folder of /proc/self/exe) and loaded in file-name order. A module stays loaded while the module list
// or anything made from it (a registered function, see TFVFunction) holds it; KVReleasePlugins at
// program end drops the registry first and then the list, which unloads the modules.
#include <functional>
#include <string>
#include <vector>

#include "foundation/KVRefObject.h"
#include "plugin_api/PluginAPI.h"
#include "storage/KVStorage.h"

// A loaded shared library, closed when the last reference goes.
class TKVDLLHandleObj : public TKVRefLifeObject {
 public:
  explicit TKVDLLHandleObj(void* handle) : m_Handle(handle) {}
  ~TKVDLLHandleObj() override;
  std::string ClassName() const override { return "TKVDLLHandleObj"; }
  void* Handle() const { return m_Handle; }

 private:
  void* m_Handle;
};

// The host's own view of a module.
class IKVPluginModule {
 public:
  static constexpr TGUID IID = KVGuid("{A851DFDB-A97B-42EF-9F0E-A9F3E7F9DCDF}");
  virtual ~IKVPluginModule() = default;
  virtual void* GetHandle() = 0;
  // Both the library handle and the entry point are present.
  virtual bool IsLoaded() = 0;
  // The module's entry point with the same arguments; E_NOTIMPL without one. Never throws.
  virtual HRESULT CreateObject(const GUID* classId, const GUID* iid, void** obj) = 0;
};

class TKVPluginModule : public TKVDLLHandleObj, public IKVPluginModule, public IKVGetFileName {
 public:
  TKVPluginModule(std::string fileName, void* handle, TPluginCreateObject entryPoint)
      : TKVDLLHandleObj(handle), m_FileName(std::move(fileName)), m_EntryPoint(entryPoint) {}
  std::string ClassName() const override { return "TKVPluginModule"; }
  std::string GetObjectName() const override { return m_FileName; }
  void* GetInterface(const TGUID& iid) override;

  void* GetHandle() override { return Handle(); }
  bool IsLoaded() override { return Handle() && m_EntryPoint; }
  HRESULT CreateObject(const GUID* classId, const GUID* iid, void** obj) override;
  std::string GetFileName() override { return m_FileName; }
  const std::string& FileName() const { return m_FileName; }

 private:
  std::string m_FileName;
  TPluginCreateObject m_EntryPoint;
};

// Folders to search, each ending in "/". The default gives the program's own folder.
using TKVPluginFolderProvider = std::function<std::vector<std::string>()>;
// Installs a provider (an empty one restores the default) and returns the previous one.
TKVPluginFolderProvider KVSetPluginFolderProvider(TKVPluginFolderProvider provider);
// The folder of the running program file, with a trailing "/".
std::string KVProgramFolder();

// Nothing happens when either argument is empty. Otherwise empties the module list, then, per folder
// that exists and per mask of `fileMasks` (";"-separated, trimmed, empty parts skipped; "*" and "?"
// wildcards, letter case ignored), loads the matching files in file-name order and keeps those that
// export `exportName`; a file without it is unloaded again silently, a file already listed (same path,
// letter case ignored) is not added twice. A file that cannot be loaded raises EAPIException with the
// routine name LoadLibrary("<path>"); loading stops there and the registry is not rebuilt.
void LoadPlugins(const std::string& fileMasks, const std::string& exportName);

// The module list in discovery order.
std::vector<TKVRef<TKVPluginModule>> KVPluginModules();

// Program end: empties the function registry (and removes its lookup), then the module list.
void KVReleasePlugins();

// Case-insensitive comparison of two module file names (<0, 0, >0).
int KVCompareByFileName(const std::string& a, const std::string& b);
