// The module's entry point and root enumerator: the only symbol DabrixPlugin.qxp exports is
// PluginCreateObject; everything else is reached through the objects it creates.
#include "plugin_api/PluginAPI.h"
#include "plugin_functions/FVFunctionBase.h"
#include "plugin_functions/FVFunctions.h"

namespace {

// Hands out a fresh set of function objects on every enumeration and keeps none of them.
class TFVFEnumerator : public TPluginRefLifeObject, public IKVEnumObjects {
 public:
  PLUGIN_IUNKNOWN_METHODS

  void EnumObjects(int32_t Kind, IUnknown* Receiver, int32_t Data) noexcept override {
    if (Kind != 0) return;
    TPluginPtr<IKVEnumCallback> callback = PluginQuery<IKVEnumCallback>(Receiver);
    if (!callback) return;
    IUnknown* self = static_cast<IKVEnumObjects*>(this);
    TPluginPtr<IUnknown> keepAlive(self);
    try {
      FVCreateFunctions([&](TFVFunctionBase* f) {
        // The receiver takes its own reference if it keeps the function; ours ends with the callback.
        TPluginPtr<IUnknown> function = TPluginPtr<IUnknown>::Attach(f->Unknown());
        callback->EnumObject(self, Kind, function.get(), Data);
      });
    } catch (...) {
      // Nothing may leave through the contract; an enumeration cut short just offers fewer functions.
    }
  }

 protected:
  void* FindInterface(const GUID& iid) noexcept override {
    if (PluginSameGuid(iid, IUnknown::IID) || PluginSameGuid(iid, IKVEnumObjects::IID))
      return static_cast<IKVEnumObjects*>(this);
    return nullptr;
  }

 private:
  ~TFVFEnumerator() override = default;
};

}  // namespace

PLUGIN_EXPORT HRESULT PluginCreateObject(const GUID* ClassId, const GUID* Iid, void** Obj) {
  if (!ClassId || !PluginSameGuid(*ClassId, FVFEnumeratorClassId)) return CLASS_E_CLASSNOTAVAILABLE;
  if (!Iid || !Obj) return E_POINTER;
  TFVFEnumerator* root = nullptr;
  try {
    root = new TFVFEnumerator();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  // A temporary reference, so that a refused interface frees the new object again.
  root->RefAdd();
  HRESULT hr = root->RefQueryInterface(*Iid, Obj);
  root->RefRelease();
  return hr;
}
