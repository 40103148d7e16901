#include "plugin_host/KVPluginMgr.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "foundation/KVText.h"
#include "plugin_host/FVFunc.h"

TKVDLLHandleObj::~TKVDLLHandleObj() {
  if (m_Handle) dlclose(m_Handle);
}

void* TKVPluginModule::GetInterface(const TGUID& iid) {
  if (iid == IKVPluginModule::IID) return static_cast<IKVPluginModule*>(this);
  if (iid == IKVGetFileName::IID) return static_cast<IKVGetFileName*>(this);
  return TKVDLLHandleObj::GetInterface(iid);
}

HRESULT TKVPluginModule::CreateObject(const GUID* classId, const GUID* iid, void** obj) {
  if (!m_EntryPoint) return E_NOTIMPL;
  return m_EntryPoint(classId, iid, obj);
}

namespace {

std::mutex g_Lock;

TKVPluginFolderProvider& FolderProvider() {
  static TKVPluginFolderProvider provider;
  return provider;
}

std::vector<TKVRef<TKVPluginModule>>& ModuleList() {
  static std::vector<TKVRef<TKVPluginModule>> modules;
  return modules;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Regular files (or links to them) of `folder` whose names match `mask`, sorted by name.
std::vector<std::string> MatchingFiles(const std::string& folder, const std::string& mask) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (fnmatch(mask.c_str(), name.c_str(), FNM_CASEFOLD) != 0) continue;
    struct stat st;
    if (stat((folder + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

int KVCompareByFileName(const std::string& a, const std::string& b) { return KVCompareText(a, b); }

std::string KVProgramFolder() {
  std::string path(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0) return "./";
  path.resize(static_cast<size_t>(n));
  size_t slash = path.find_last_of("/\\:");
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

TKVPluginFolderProvider KVSetPluginFolderProvider(TKVPluginFolderProvider provider) {
  std::lock_guard lock(g_Lock);
  TKVPluginFolderProvider old = std::move(FolderProvider());
  FolderProvider() = std::move(provider);
  return old;
}

void LoadPlugins(const std::string& fileMasks, const std::string& exportName) {
  if (fileMasks.empty() || exportName.empty()) return;
  TKVPluginFolderProvider provider;
  {
    std::lock_guard lock(g_Lock);
    ModuleList().clear();
    provider = FolderProvider();
  }
  std::vector<std::string> folders = provider ? provider() : std::vector<std::string>{KVProgramFolder()};

  std::vector<std::string> masks;
  for (size_t start = 0; start <= fileMasks.size();) {
    size_t end = fileMasks.find(';', start);
    if (end == std::string::npos) end = fileMasks.size();
    std::string mask(KVTrim(fileMasks.substr(start, end - start)));
    if (!mask.empty()) masks.push_back(mask);
    start = end + 1;
  }

  for (std::string folder : folders) {
    if (folder.empty()) continue;
    if (folder.back() != '/') folder += '/';
    if (!IsFolder(folder)) continue;
    for (const std::string& mask : masks) {
      for (const std::string& name : MatchingFiles(folder, mask)) {
        std::string path = folder + name;
        dlerror();
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
          const char* why = dlerror();
          throw EAPIException(why ? why : "The file is not a loadable module", ENOEXEC, nullptr,
                              "LoadLibrary(\"" + path + "\")");
        }
        auto entry = reinterpret_cast<TPluginCreateObject>(dlsym(handle, exportName.c_str()));
        // Owning the handle from here on: releasing the object unloads the file.
        auto module = KVMakeRef<TKVPluginModule>(path, handle, entry);
        if (!module->IsLoaded()) continue;
        std::lock_guard lock(g_Lock);
        auto& list = ModuleList();
        bool listed = std::any_of(list.begin(), list.end(), [&](const TKVRef<TKVPluginModule>& m) {
          return KVCompareByFileName(m->FileName(), path) == 0;
        });
        if (!listed) list.push_back(module);
      }
    }
  }
}

std::vector<TKVRef<TKVPluginModule>> KVPluginModules() {
  std::lock_guard lock(g_Lock);
  return ModuleList();
}

void KVReleasePlugins() {
  FVClearFunctionRegistry();
  std::vector<TKVRef<TKVPluginModule>> modules;
  {
    std::lock_guard lock(g_Lock);
    modules.swap(ModuleList());
  }
  modules.clear();
}
