#pragma once
// Confirmed deletion of the records a user selected in a data grid.
#include <cstdint>
#include <vector>

#include "db/KVOdbcRecordset.h"

// "KVDoDeletion": deletes the current record when fewer than two positions are selected, else the records
// at the selected positions (1-based; duplicates count once). With the attribute "ConfrimDeletions" the
// user is asked first ("Delete current record ?" or "Delete %d records ?", through KVMessageDialog); a
// refusal deletes nothing. A selection is deleted from its highest position to its lowest, positioning on
// each and deleting it, so that the positions still to come do not shift. When a deletion raises and records
// remain, the user is shown the error and asked whether to "Continue Deletion with remaining Records"
// (KVContinueAfterError); a refusal, or a failure of the last one, raises the error again. Returns
// the number of records deleted. Positions beyond the record count are skipped.
int KVDoDeletion(TKVOdbcRecordsetBase& recordset, const std::vector<int32_t>& selectedPositions);
