#pragma once
// The master of detail recordsets: a detail's SQL text names parameters after master fields
// ("SELECT * FROM order_lines WHERE order_id = :id"), takes the values of the master's current record at
// every execution, and re-executes when the master moves to another record.
#include <vector>

#include "db/KVOdbcRecordset.h"
#include "foundation/KVRefObject.h"

// Observes one master recordset for its details. A detail binds itself with
// TKVOdbcRecordsetBase::SetMasterSource, which keeps the source alive; the source keeps its master alive and
// knows its details only while they are bound.
//
// The details follow when the master's current record changes: a move, an insert begun or cancelled, an
// applied change (the key may have changed), a deletion, a refresh or a re-execution. They re-execute
// through ScheduleReExecute without keeping their position, so that scrolling through the master executes
// each detail once after the scrolling stops (at once when the program has no scheduler). Inactive details
// are left alone: they take the master's values when they are opened.
class TKVRecordsetMasterSource : public TKVRefLifeObject, private IKVRecordsetObserver {
 public:
  explicit TKVRecordsetMasterSource(TKVRef<TKVOdbcRecordsetBase> master = nullptr);
  ~TKVRecordsetMasterSource() override;
  std::string ClassName() const override { return "TKVRecordsetMasterSource"; }

  TKVOdbcRecordsetBase* Master() const { return m_Master.get(); }
  void SetMaster(TKVRef<TKVOdbcRecordsetBase> master);

  // Called by TKVOdbcRecordsetBase::SetMasterSource.
  void AddDetail(TKVOdbcRecordsetBase& detail);
  void RemoveDetail(TKVOdbcRecordsetBase& detail);
  size_t DetailCount() const { return m_Details.size(); }

 private:
  void AfterMove(TKVOdbcRecordsetBase&) override;
  void AfterOperation(TKVOdbcRecordsetBase&, TKVRecordsetOperation operation, intptr_t argument) override;
  void FollowMaster();

  TKVRef<TKVOdbcRecordsetBase> m_Master;
  std::vector<TKVOdbcRecordsetBase*> m_Details;
};
