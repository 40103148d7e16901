#include "db/KVRecordsetMasterSource.h"

#include <algorithm>

TKVRecordsetMasterSource::TKVRecordsetMasterSource(TKVRef<TKVOdbcRecordsetBase> master) {
  SetMaster(std::move(master));
}

TKVRecordsetMasterSource::~TKVRecordsetMasterSource() {
  if (m_Master) m_Master->RemoveObserver(this);
}

void TKVRecordsetMasterSource::SetMaster(TKVRef<TKVOdbcRecordsetBase> master) {
  if (master == m_Master) return;
  if (m_Master) m_Master->RemoveObserver(this);
  m_Master = std::move(master);
  if (m_Master) m_Master->AddObserver(this);
}

void TKVRecordsetMasterSource::AddDetail(TKVOdbcRecordsetBase& detail) {
  if (std::find(m_Details.begin(), m_Details.end(), &detail) == m_Details.end()) m_Details.push_back(&detail);
}

void TKVRecordsetMasterSource::RemoveDetail(TKVOdbcRecordsetBase& detail) {
  m_Details.erase(std::remove(m_Details.begin(), m_Details.end(), &detail), m_Details.end());
}

void TKVRecordsetMasterSource::AfterMove(TKVOdbcRecordsetBase&) { FollowMaster(); }

void TKVRecordsetMasterSource::AfterOperation(TKVOdbcRecordsetBase&, TKVRecordsetOperation operation, intptr_t) {
  switch (operation) {
    case roInsert:
    case roDelete:
    case roCancelChanges:
    case roApplyChanges:
    case roRefreshCurrent:
    case roReExecute:
    case roScheduleReExecute:
    case roLeaveModifyingState: FollowMaster(); break;
    default: break;
  }
}

void TKVRecordsetMasterSource::FollowMaster() {
  // A detail may unbind itself while it re-executes: walk a copy.
  std::vector<TKVOdbcRecordsetBase*> details = m_Details;
  for (TKVOdbcRecordsetBase* d : details)
    if (d != m_Master.get() && d->Active() &&
        std::find(m_Details.begin(), m_Details.end(), d) != m_Details.end())
      d->ScheduleReExecute(false);
}
