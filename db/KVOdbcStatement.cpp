#include "db/KVOdbcStatement.h"

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "foundation/KVTrace.h"

// --- Locale -----------------------------------------------------------------------------------------------

void KVOdbcInitLocale() {
  static std::once_flag once;
  std::call_once(once, [] {
    const char* current = std::setlocale(LC_CTYPE, nullptr);
    auto isUtf8 = [](const char* name) {
      if (!name) return false;
      std::string n(name);
      for (auto& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return n.find("utf-8") != std::string::npos || n.find("utf8") != std::string::npos;
    };
    if (isUtf8(current)) return;
    // Only the character classification changes: numbers keep being written with ".", whatever the user's
    // locale says, because SQL literals and stored values depend on it.
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"})
      if (std::setlocale(LC_CTYPE, name)) return;
  });
}

// --- Sub-properties ---------------------------------------------------------------------------------------

void TKVStmtSubProperty::SetUseFromConnection(bool use) {
  if (use == m_UseFromConnection) return;
  m_UseFromConnection = use;
  Changed();
}

void TKVStmtSubProperty::Changed() { m_Owner.ApplyToOwner(); }

const TKVOdbcConnectProperties* TKVStmtSubProperty::ConnectionProperties() const {
  TKVOdbcStatementBase* s = m_Owner.Owner();
  if (!s || !s->Connection()) return nullptr;
  return &s->Connection()->Properties();
}

void TStmtTimeoutProperties::SetStatementTimeout(int32_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds == m_Timeout) return;
  m_Timeout = seconds;
  Changed();
}

int32_t TStmtTimeoutProperties::EffectiveTimeout() const {
  if (!m_UseFromConnection) return m_Timeout;
  const auto* p = ConnectionProperties();
  return p ? p->StatementTimeout() : 0;
}

void TStmtAsyncOperationProperties::SetAsynchronOperations(bool on) {
  if (on == m_Async) return;
  m_Async = on;
  Changed();
}

bool TStmtAsyncOperationProperties::EffectiveAsync() const {
  if (!m_UseFromConnection) return m_Async;
  const auto* p = ConnectionProperties();
  return p && p->HasAttribute(caAsynchronOperations);
}

void TStmtCatalogNameCaseProperties::SetCaseSensitiveCatalogNames(bool on) {
  if (on == m_CaseSensitive) return;
  m_CaseSensitive = on;
  Changed();
}

bool TStmtCatalogNameCaseProperties::EffectiveCaseSensitive() const {
  if (!m_UseFromConnection) return m_CaseSensitive;
  const auto* p = ConnectionProperties();
  return p && p->HasAttribute(caCasesensitiveCatalogNames);
}

// --- Statement properties ---------------------------------------------------------------------------------

TKVOdbcStatementProperties::TKVOdbcStatementProperties(TKVOdbcStatementBase* owner) : m_Owner(owner) {}

void* TKVOdbcStatementProperties::GetInterface(const TGUID& iid) {
  if (iid == IID) return this;
  if (iid == IKVLoadStoreData::IID) return static_cast<IKVLoadStoreData*>(this);
  return TKVRefLifeObject::GetInterface(iid);
}

void TKVOdbcStatementProperties::SetUseSQLEscapeSequences(bool on) {
  if (on == m_UseEscapes) return;
  m_UseEscapes = on;
  ApplyToOwner();
}

void TKVOdbcStatementProperties::ApplyToOwner() {
  if (m_Owner && m_Owner->Active()) m_Owner->ApplyStatementSettings();
}

void TKVOdbcStatementProperties::Assign(const TKVOdbcStatementProperties& o) {
  if (&o == this) return;
  SetReexecuteAfterSQLChange(o.m_ReexecuteAfterSQLChange);
  SetUseSQLEscapeSequences(o.m_UseEscapes);
  SetTimedReExecutionDelay(o.m_ReExecutionDelay);
  m_Timeout.SetUseFromConnection(o.m_Timeout.UseFromConnection());
  m_Timeout.SetStatementTimeout(o.m_Timeout.StatementTimeout());
  m_Async.SetUseFromConnection(o.m_Async.UseFromConnection());
  m_Async.SetAsynchronOperations(o.m_Async.AsynchronOperations());
  m_CatalogCase.SetUseFromConnection(o.m_CatalogCase.UseFromConnection());
  m_CatalogCase.SetCaseSensitiveCatalogNames(o.m_CatalogCase.CaseSensitiveCatalogNames());
}

void TKVOdbcStatementProperties::LoadData(IKVStorage& s) {
  if (m_Owner && m_Owner->KeepsSQL()) m_Owner->Sql().SetText(KVSqlFromStoredForm(s.ReadString("SQL", "")));
  SetReexecuteAfterSQLChange(s.ReadBoolean("ReexecuteAfterSQlChange", false));
  SetUseSQLEscapeSequences(s.ReadBoolean("UseSQLEscapeSequences", true));
  SetTimedReExecutionDelay(s.ReadInteger("TimedReExecutionDelay", 300));
  m_Timeout.SetUseFromConnection(s.ReadBoolean("UseTimeoutFromConnection", true));
  m_Timeout.SetStatementTimeout(s.ReadInteger("StatementTimeout", 0));
  m_Async.SetUseFromConnection(s.ReadBoolean("UseAsynchronFromConnection", true));
  m_Async.SetAsynchronOperations(s.ReadBoolean("AsynchronOperations", false));
  m_CatalogCase.SetUseFromConnection(s.ReadBoolean("UseCatalogcaseFromConnection", true));
  m_CatalogCase.SetCaseSensitiveCatalogNames(s.ReadBoolean("CaseSensitiveCatalogNames", false));
}

void TKVOdbcStatementProperties::StoreData(IKVStorage& s) {
  if (m_Owner && m_Owner->KeepsSQL()) {
    // Compared exactly: a changed string literal differs only in letter case, and must be kept.
    if (m_Owner->Sql().Text().empty())
      s.DeleteValue("SQL");
    else
      s.WriteString("SQL", KVSqlToStoredForm(m_Owner->Sql().Text()));
  }
  KVWriteBooleanIfDiffers(s, "ReexecuteAfterSQlChange", m_ReexecuteAfterSQLChange, false);
  KVWriteBooleanIfDiffers(s, "UseSQLEscapeSequences", m_UseEscapes, true);
  KVWriteIntegerIfDiffers(s, "TimedReExecutionDelay", m_ReExecutionDelay, 300);
  KVWriteBooleanIfDiffers(s, "UseTimeoutFromConnection", m_Timeout.UseFromConnection(), true);
  KVWriteIntegerIfDiffers(s, "StatementTimeout", m_Timeout.StatementTimeout(), 0);
  KVWriteBooleanIfDiffers(s, "UseAsynchronFromConnection", m_Async.UseFromConnection(), true);
  KVWriteBooleanIfDiffers(s, "AsynchronOperations", m_Async.AsynchronOperations(), false);
  KVWriteBooleanIfDiffers(s, "UseCatalogcaseFromConnection", m_CatalogCase.UseFromConnection(), true);
  KVWriteBooleanIfDiffers(s, "CaseSensitiveCatalogNames", m_CatalogCase.CaseSensitiveCatalogNames(), false);
}

// --- Statement base ---------------------------------------------------------------------------------------

TKVOdbcStatementBase::TKVOdbcStatementBase(TKVRef<TKVOdbcConnection> connection,
                                           TKVRef<TKVOdbcStatementProperties> properties)
    : m_Connection(std::move(connection)), m_Sql(KVMakeRef<TKVSqlProperty>()), m_Properties(std::move(properties)) {
  m_Properties->m_Owner = this;
  m_Sql->SetOnChange([this] { SQLChanged(); });
}

TKVOdbcStatementBase::~TKVOdbcStatementBase() {
  // Derived classes deactivate in their own destructors (their DoDeactivate is gone by now); a handle left
  // over when they did not goes with m_Handle, before the connection reference that keeps its parent.
  m_Properties->m_Owner = nullptr;
  m_Sql->SetOnChange(nullptr);
}

std::string TKVOdbcStatementBase::GetObjectName() const { return m_Sql->StatementName(); }

void* TKVOdbcStatementBase::GetInterface(const TGUID& iid) {
  if (iid == IKVOdbcHandle::IID) return static_cast<IKVOdbcHandle*>(this);
  return TKVActivateComponent::GetInterface(iid);
}

void TKVOdbcStatementBase::SetConnection(TKVRef<TKVOdbcConnection> connection) {
  if (connection == m_Connection) return;
  CheckInactive("ODBCConnection Property");
  m_Connection = std::move(connection);
}

std::string TKVOdbcStatementBase::PreparedSQLText() const { return m_Sql->PreparedText(); }

SQLLEN TKVOdbcStatementBase::AffectedRows() const {
  if (!m_Handle) return -1;
  SQLLEN rows = -1;
  if (!KVOdbcSucceeded(SQLRowCount(m_Handle.Get(), &rows))) return -1;
  return rows;
}

bool TKVOdbcStatementBase::SetAttrTolerant(SQLINTEGER attribute, SQLULEN value, const char* routine) {
  SQLRETURN rc = SQLSetStmtAttr(m_Handle.Get(), attribute, reinterpret_cast<SQLPOINTER>(value), 0);
  if (rc == SQL_SUCCESS) return true;
  if (rc == SQL_SUCCESS_WITH_INFO) return false;  // 01S02: the driver substituted a value
  try {
    m_Handle.Check(rc, this, routine);
  } catch (const EODBCError& e) {
    // IM001: the SQLite driver answers "not supported" for attributes it leaves at their defaults.
    if (e.HasSqlState("HYC00") || e.HasSqlState("01S02") || e.HasSqlState("HY092") || e.HasSqlState("S1C00") ||
        e.HasSqlState("IM001"))
      return false;
    throw;
  }
  return false;
}

void TKVOdbcStatementBase::ApplyStatementSettings() {
  if (!m_Handle) return;
  const auto& p = *m_Properties;
  // A statement inherits asynchronous mode and the catalog-name case from its connection: only an own
  // value, or a timeout, needs a call.
  int32_t timeout = p.Timeout().EffectiveTimeout();
  if (timeout != 0 || !p.Timeout().UseFromConnection())
    KVOdbcCheck(SQLSetStmtAttr(m_Handle.Get(), SQL_ATTR_QUERY_TIMEOUT,
                               reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeout)), 0),
                this, "SetODBCTimeoutForStatements");
  if (!p.Async().UseFromConnection() || p.Async().EffectiveAsync())
    KVOdbcCheck(SQLSetStmtAttr(m_Handle.Get(), SQL_ATTR_ASYNC_ENABLE,
                               reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(
                                   p.Async().EffectiveAsync() ? SQL_ASYNC_ENABLE_ON : SQL_ASYNC_ENABLE_OFF)), 0),
                this, "SetODBCAsynchronOperations");
  if (!p.CatalogNameCase().UseFromConnection())
    KVOdbcCheck(SQLSetStmtAttr(m_Handle.Get(), SQL_ATTR_METADATA_ID,
                               reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(
                                   p.CatalogNameCase().EffectiveCaseSensitive() ? SQL_FALSE : SQL_TRUE)), 0),
                this, "SetODBCCaseSensitiveCatalogNames");
  if (!p.UseSQLEscapeSequences())
    SetAttrTolerant(SQL_ATTR_NOSCAN, SQL_NOSCAN_ON, "SetODBCUseSQLEscapeSequences");
  else if (Active())  // switched back on while active
    SetAttrTolerant(SQL_ATTR_NOSCAN, SQL_NOSCAN_OFF, "SetODBCUseSQLEscapeSequences");
}

void TKVOdbcStatementBase::DoActivate() {
  if (!m_Connection) RaisePropertyNotSet("ODBCConnection", "AllocHandle");
  m_Connection->Activate();
  m_Handle = TKVOdbcHandle::Allocate(SQL_HANDLE_STMT, m_Connection->OdbcHandle(), SQL_HANDLE_DBC, m_Connection.get(),
                                     "AllocHandle");
  ApplyStatementSettings();
}

bool TKVOdbcStatementBase::StartReExecutionTimer(std::function<void()> callback) {
  if (!m_ReExecutionTimer) {
    std::shared_ptr<IKVStatementScheduler> scheduler = KVStatementScheduler();
    if (!scheduler) return false;
    m_ReExecutionTimer = scheduler->CreateTimer();
    if (!m_ReExecutionTimer) return false;
  }
  m_ReExecutionTimer->Start(std::max<int32_t>(0, m_Properties->TimedReExecutionDelay()), std::move(callback));
  return true;
}

void TKVOdbcStatementBase::StopReExecutionTimer() {
  if (m_ReExecutionTimer) m_ReExecutionTimer->Stop();
}

void TKVOdbcStatementBase::DoDeactivate() {
  StopReExecutionTimer();
  m_Handle.Reset();
}

void TKVOdbcStatementBase::RenewHandle() {
  // The new handle is allocated before the old one goes, so a failure leaves the statement as it was.
  m_Handle = TKVOdbcHandle::Allocate(SQL_HANDLE_STMT, m_Connection->OdbcHandle(), SQL_HANDLE_DBC, m_Connection.get(),
                                     "AllocHandle");
  ApplyStatementSettings();
}

void TKVOdbcStatementBase::ExecDirect(const std::string& text) {
  KVTrace(TKVTraceCategory::Sql, text);
  SQLRETURN rc = SQLExecDirect(m_Handle.Get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.data())),
                               static_cast<SQLINTEGER>(text.size()));
  if (rc != SQL_NO_DATA) m_Handle.Check(rc, this, "APIExecuteSQL");
}

// --- Plain statement --------------------------------------------------------------------------------------

TKVOdbcStatement::TKVOdbcStatement(TKVRef<TKVOdbcConnection> connection)
    : TKVOdbcStatementBase(std::move(connection), KVMakeRef<TKVOdbcStatementProperties>()) {}

void TKVOdbcStatement::Execute() { ExecuteText(PreparedSQLText()); }

void TKVOdbcStatement::ExecuteText(const std::string& text) {
  KVCheckPreparedSQLStatement(text, SelectExpected(), this);
  Activate();
  // A result or cursor of an earlier execution must be closed before the handle runs the next text.
  SQLFreeStmt(Handle(), SQL_CLOSE);
  ExecDirect(text);
}
