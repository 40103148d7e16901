#pragma once
// The desktop program's event loop as the statements' scheduler: a scheduled re-execution waits on a
// single-shot QTimer of the user interface thread. Other threads (a run's worker) get no timer, so their
// statements do scheduled work at once.
#include <memory>

#include "db/KVStatementScheduler.h"

std::shared_ptr<IKVStatementScheduler> QXMakeStatementScheduler();
// Hands QXMakeStatementScheduler's scheduler to the database library (KVSetStatementScheduler).
void QXInstallStatementScheduler();
