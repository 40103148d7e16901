#include "foundation/KVActivate.h"

#include "foundation/KVTrace.h"

void TKVActivateComponent::Activate() {
  if (m_Active) return;
  try {
    DoActivate();
  } catch (...) {
    try {
      DoDeactivate();
    } catch (const std::exception& e) {
      KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
    }
    throw;
  }
  m_Active = true;
}

void TKVActivateComponent::Deactivate() {
  if (!m_Active) return;
  m_Active = false;
  DoDeactivate();
}

void TKVActivateComponent::CheckActive(const std::string& what) const {
  if (!m_Active)
    throw EKVException("The " + what + " can only be used when the Object is Active", this, "KVCheckObjIsActive");
}

void TKVActivateComponent::CheckInactive(const std::string& what) const {
  if (m_Active)
    throw EKVException("The " + what + " cannot be changed while the Object is active", this,
                       "KVCheckObjIsInActive");
}

void TKVActivateComponent::RaisePropertyNotSet(const std::string& property, const std::string& routine) const {
  throw EKVException("The " + property + " Property must be set before the Component can be activated", this,
                     routine);
}

void KVRaiseUnknownValue(int value, const std::string& typeName, const TKVRefLifeObject* object,
                         const std::string& routine) {
  throw EKVException("Unknown Value (" + std::to_string(value) + ") for \"" + typeName + "\"", object, routine);
}
