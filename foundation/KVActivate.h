#pragma once
// Objects with an inactive and an active state (connections, statements, recordsets). Properties that cannot
// change while active and operations that need an active object refuse with the texts below.
#include <string>

#include "foundation/KVExceptions.h"
#include "foundation/KVRefObject.h"

class TKVActivateComponent : public TKVRefLifeObject {
 public:
  ~TKVActivateComponent() override = default;

  bool Active() const { return m_Active; }
  // Activation runs DoActivate; when it raises, the object stays inactive (DoDeactivate is run to release
  // whatever was allocated on the way).
  void Activate();
  // Deactivation never leaves the object active: DoDeactivate errors are raised after the state changed.
  void Deactivate();
  void SetActive(bool active) { active ? Activate() : Deactivate(); }

  // Raise EKVException naming `what` (e.g. "Commit Method") unless the object is active, or inactive.
  void CheckActive(const std::string& what) const;
  void CheckInactive(const std::string& what) const;
  // Raises EKVException naming the property an activation needs.
  [[noreturn]] void RaisePropertyNotSet(const std::string& property, const std::string& routine) const;

 protected:
  virtual void DoActivate() = 0;
  virtual void DoDeactivate() = 0;

 private:
  bool m_Active = false;
};

// "Unknown Value (%d) for "%s"" for an enumeration value outside its range.
[[noreturn]] void KVRaiseUnknownValue(int value, const std::string& typeName, const TKVRefLifeObject* object,
                                      const std::string& routine);
