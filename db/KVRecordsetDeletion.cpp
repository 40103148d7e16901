#include "db/KVRecordsetDeletion.h"

#include <algorithm>
#include <exception>

#include "foundation/KVExceptions.h"

namespace {

bool Confirmed(const std::string& question) {
  return KVMessageDialog(question, TKVSeverity::Confirmation, TKVMsgButtons::YesNo) == KV_IDYES;
}

}  // namespace

int KVDoDeletion(TKVOdbcRecordsetBase& rs, const std::vector<int32_t>& selectedPositions) {
  std::vector<int32_t> positions = selectedPositions;
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  bool confirm = rs.Properties().HasAttribute(raConfrimDeletions);

  if (positions.size() < 2) {
    if (confirm && !Confirmed("Delete current record ?")) return 0;
    rs.DeleteCurrentRecord();
    return 1;
  }
  if (confirm && !Confirmed("Delete " + std::to_string(positions.size()) + " records ?")) return 0;
  rs.LeaveModifyingState();
  int deleted = 0;
  for (auto it = positions.rbegin(); it != positions.rend(); ++it) {
    try {
      int32_t count = rs.RecordCount();
      if (*it < 1 || (count >= 0 && *it > count)) continue;
      rs.SetPosition(*it);
      if (rs.Position() != *it || !rs.HasCurrentRecord()) continue;
      rs.DeleteCurrentRecord();
      ++deleted;
    } catch (const std::exception& e) {
      // The question follows the database's message, so the user knows what failed.
      if (it + 1 == positions.rend() || !KVContinueAfterError(&e, eaAskUser, "Continue Deletion with remaining Records"))
        throw;
    }
  }
  return deleted;
}
