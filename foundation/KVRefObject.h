#pragma once
// Reference-counted objects with capabilities asked for by interface GUID.
//
// An object lives in one of two ways, fixed when it is created:
//  - reference counted (made with KVMakeRef): freed when the last TKVRef to it goes away;
//  - owned (made any other way, e.g. std::make_unique): freed by its owner; AddRef/Release only count.
// Interfaces are plain abstract classes that carry a static `IID`; they hold no reference themselves, so a
// caller keeps a TKVRef to the object for as long as it uses an interface pointer obtained from it.
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "foundation/KVGuid.h"

template <class T>
class TKVRef;
template <class T, class... A>
TKVRef<T> KVMakeRef(A&&... args);

class TKVRefLifeObject {
 public:
  TKVRefLifeObject() = default;
  TKVRefLifeObject(const TKVRefLifeObject&) = delete;
  TKVRefLifeObject& operator=(const TKVRefLifeObject&) = delete;
  virtual ~TKVRefLifeObject() = default;

  // Returns the new count. Thread-safe.
  uint32_t AddRef() { return m_RefCount.fetch_add(1, std::memory_order_relaxed) + 1; }
  // Returns the new count; a reference-counted object deletes itself when it reaches zero.
  uint32_t Release() {
    uint32_t n = m_RefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0 && m_RefCounted) delete this;
    return n;
  }
  uint32_t RefCount() const { return m_RefCount.load(std::memory_order_relaxed); }
  bool IsRefCounted() const { return m_RefCounted; }

  // The interface with the given GUID, or nullptr when the object does not implement it ("not supported").
  // Implementations chain to their base class for GUIDs they do not know.
  virtual void* GetInterface(const TGUID& iid);

  // Typed form: `if (auto* s = obj->Query<IKVStringStorage>()) ...`
  template <class I>
  I* Query() {
    return static_cast<I*>(GetInterface(I::IID));
  }

  // Name and class name shown in error reports for errors this object raises.
  virtual std::string GetObjectName() const { return {}; }
  virtual std::string ClassName() const { return "TKVRefLifeObject"; }

 private:
  template <class T, class... A>
  friend TKVRef<T> KVMakeRef(A&&... args);
  std::atomic<uint32_t> m_RefCount{0};
  bool m_RefCounted = false;
};

// Intrusive smart pointer over TKVRefLifeObject descendants.
template <class T>
class TKVRef {
 public:
  TKVRef() = default;
  TKVRef(std::nullptr_t) {}
  explicit TKVRef(T* p) : m_Ptr(p) {
    if (m_Ptr) m_Ptr->AddRef();
  }
  TKVRef(const TKVRef& o) : TKVRef(o.m_Ptr) {}
  TKVRef(TKVRef&& o) noexcept : m_Ptr(std::exchange(o.m_Ptr, nullptr)) {}
  template <class U>
  TKVRef(const TKVRef<U>& o) : TKVRef(static_cast<T*>(o.get())) {}
  ~TKVRef() { reset(); }
  TKVRef& operator=(TKVRef o) noexcept {
    std::swap(m_Ptr, o.m_Ptr);
    return *this;
  }
  void reset() {
    if (T* p = std::exchange(m_Ptr, nullptr)) p->Release();
  }
  T* get() const { return m_Ptr; }
  T* operator->() const { return m_Ptr; }
  T& operator*() const { return *m_Ptr; }
  explicit operator bool() const { return m_Ptr != nullptr; }
  friend bool operator==(const TKVRef& a, const TKVRef& b) { return a.m_Ptr == b.m_Ptr; }

 private:
  T* m_Ptr = nullptr;
};

// Creates a reference-counted object; it is freed when the last TKVRef to it is released.
template <class T, class... A>
TKVRef<T> KVMakeRef(A&&... args) {
  T* p = new T(std::forward<A>(args)...);
  p->m_RefCounted = true;
  return TKVRef<T>(p);
}
