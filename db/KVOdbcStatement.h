#pragma once
// SQL statements on an ODBC connection: the statement handle, the SQL text with its parameters, the
// statement's own settings, and execution. Recordsets (KVOdbcRecordset.h) build on the base class here;
// the plain statement class runs modifying SQL only.
//
// Threads: none of these objects locks; a statement is used by the thread that uses its connection.
#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "db/KVOdbcConnection.h"
#include "db/KVOdbcError.h"
#include "db/KVSqlText.h"
#include "db/KVStatementScheduler.h"
#include "foundation/KVActivate.h"
#include "storage/KVStorage.h"

class TKVOdbcStatementBase;
class TKVOdbcStatementProperties;

// --- Settings that follow the connection or override it ---------------------------------------------------

// One statement setting that either takes its value from the connection's property set (the "Use...From
// Connection" flag, on by default) or holds its own. Changing the flag or the value while the owning
// statement is active applies the effective value to the statement handle at once.
class TKVStmtSubProperty {
 public:
  virtual ~TKVStmtSubProperty() = default;
  bool UseFromConnection() const { return m_UseFromConnection; }
  void SetUseFromConnection(bool use);

 protected:
  explicit TKVStmtSubProperty(TKVOdbcStatementProperties& owner) : m_Owner(owner) {}
  void Changed();
  // The connection's property set of the owning statement, or nullptr (no statement or no connection).
  const TKVOdbcConnectProperties* ConnectionProperties() const;

  TKVOdbcStatementProperties& m_Owner;
  bool m_UseFromConnection = true;
};

// SQL_ATTR_QUERY_TIMEOUT in seconds (0 = none). Stored keys "UseTimeoutFromConnection", "StatementTimeout".
class TStmtTimeoutProperties : public TKVStmtSubProperty {
 public:
  explicit TStmtTimeoutProperties(TKVOdbcStatementProperties& owner) : TKVStmtSubProperty(owner) {}
  int32_t StatementTimeout() const { return m_Timeout; }
  void SetStatementTimeout(int32_t seconds);
  // The connection's statement timeout while following it, else the own value.
  int32_t EffectiveTimeout() const;

 private:
  int32_t m_Timeout = 0;
};

// SQL_ATTR_ASYNC_ENABLE. Stored keys "UseAsynchronFromConnection", "AsynchronOperations".
class TStmtAsyncOperationProperties : public TKVStmtSubProperty {
 public:
  explicit TStmtAsyncOperationProperties(TKVOdbcStatementProperties& owner) : TKVStmtSubProperty(owner) {}
  bool AsynchronOperations() const { return m_Async; }
  void SetAsynchronOperations(bool on);
  bool EffectiveAsync() const;

 private:
  bool m_Async = false;
};

// SQL_ATTR_METADATA_ID: SQL_FALSE when catalog names are case-sensitive, SQL_TRUE otherwise. Stored keys
// "UseCatalogcaseFromConnection", "CaseSensitiveCatalogNames".
class TStmtCatalogNameCaseProperties : public TKVStmtSubProperty {
 public:
  explicit TStmtCatalogNameCaseProperties(TKVOdbcStatementProperties& owner) : TKVStmtSubProperty(owner) {}
  bool CaseSensitiveCatalogNames() const { return m_CaseSensitive; }
  void SetCaseSensitiveCatalogNames(bool on);
  bool EffectiveCaseSensitive() const;

 private:
  bool m_CaseSensitive = false;
};

// --- Statement properties ---------------------------------------------------------------------------------

// The stored settings of a statement. Stored keys and defaults (values equal to the default are not
// written): "SQL" (only for owners that keep their SQL text, see TKVOdbcStatementBase::KeepsSQL; written in
// the stored form of KVSqlToStoredForm), "ReexecuteAfterSQlChange" (false), "UseSQLEscapeSequences" (true),
// "TimedReExecutionDelay" (300), and the keys of the three sub-properties.
//
// A property set belongs to one statement (its owner) or stands alone (owner nullptr, e.g. a dialog's copy).
class TKVOdbcStatementProperties : public TKVRefLifeObject, public IKVLoadStoreData {
 public:
  static constexpr TGUID IID = KVGuid("{3D8B6F12-7A4C-4E95-B0D1-6C2E9F4A8B37}");
  explicit TKVOdbcStatementProperties(TKVOdbcStatementBase* owner = nullptr);
  ~TKVOdbcStatementProperties() override = default;
  std::string ClassName() const override { return "TKVOdbcStatementProperties"; }
  void* GetInterface(const TGUID& iid) override;

  TKVOdbcStatementBase* Owner() const { return m_Owner; }

  bool ReexecuteAfterSQLChange() const { return m_ReexecuteAfterSQLChange; }
  void SetReexecuteAfterSQLChange(bool on) { m_ReexecuteAfterSQLChange = on; }
  // SQL_ATTR_NOSCAN: escape sequences ({ts '...'}, {fn ...}) are translated by the driver when on.
  bool UseSQLEscapeSequences() const { return m_UseEscapes; }
  void SetUseSQLEscapeSequences(bool on);
  // Milliseconds a scheduled re-execution waits (see TKVOdbcStatementBase::StartReExecutionTimer).
  int32_t TimedReExecutionDelay() const { return m_ReExecutionDelay; }
  void SetTimedReExecutionDelay(int32_t ms) { m_ReExecutionDelay = ms; }

  TStmtTimeoutProperties& Timeout() { return m_Timeout; }
  const TStmtTimeoutProperties& Timeout() const { return m_Timeout; }
  TStmtAsyncOperationProperties& Async() { return m_Async; }
  const TStmtAsyncOperationProperties& Async() const { return m_Async; }
  TStmtCatalogNameCaseProperties& CatalogNameCase() { return m_CatalogCase; }
  const TStmtCatalogNameCaseProperties& CatalogNameCase() const { return m_CatalogCase; }

  // Copies every setting (not the SQL text) through the setters.
  virtual void Assign(const TKVOdbcStatementProperties& other);

  void LoadData(IKVStorage& storage) override;
  void StoreData(IKVStorage& storage) override;

 protected:
  friend class TKVOdbcStatementBase;
  friend class TKVStmtSubProperty;
  // Applies the settings to the owner's handle when the owner is active.
  void ApplyToOwner();

  TKVOdbcStatementBase* m_Owner;

 private:
  bool m_ReexecuteAfterSQLChange = false;
  bool m_UseEscapes = true;
  int32_t m_ReExecutionDelay = 300;
  TStmtTimeoutProperties m_Timeout{*this};
  TStmtAsyncOperationProperties m_Async{*this};
  TStmtCatalogNameCaseProperties m_CatalogCase{*this};
};

// --- Statements -------------------------------------------------------------------------------------------

// A statement handle on a connection with one SQL text.
//
// Active means the handle is allocated (recordsets also open their cursor on activation). Activation
// raises without a connection, activates the connection, allocates the handle and applies the settings.
//
// The object names itself by the FROM clause of its SQL text, so errors and the engine's messages show
// recordsets by their table.
class TKVOdbcStatementBase : public TKVActivateComponent, public IKVOdbcHandle {
 public:
  ~TKVOdbcStatementBase() override;
  std::string ClassName() const override { return "TKVOdbcStatementBase"; }
  std::string GetObjectName() const override;
  void* GetInterface(const TGUID& iid) override;

  TKVOdbcConnection* Connection() const { return m_Connection.get(); }
  const TKVRef<TKVOdbcConnection>& ConnectionRef() const { return m_Connection; }
  // Refused while active ("ODBCConnection Property").
  void SetConnection(TKVRef<TKVOdbcConnection> connection);

  // The SQL text and its parameters. Changing the text calls SQLChanged.
  TKVSqlProperty& Sql() { return *m_Sql; }
  const TKVSqlProperty& Sql() const { return *m_Sql; }
  // Shorthand for Sql().SetText.
  void SetSQL(std::string_view text) { m_Sql->SetText(text); }

  TKVOdbcStatementProperties& Properties() { return *m_Properties; }
  const TKVOdbcStatementProperties& Properties() const { return *m_Properties; }

  // Whether the SQL text belongs to this object's stored settings (the "SQL" key).
  virtual bool KeepsSQL() const { return true; }

  // The text the driver gets: parameters resolved, ends trimmed (KVPreparedSQLText).
  virtual std::string PreparedSQLText() const;

  // SQL_NULL_HSTMT while inactive.
  SQLHSTMT Handle() const { return m_Handle.Get(); }
  SQLSMALLINT OdbcHandleType() const override { return SQL_HANDLE_STMT; }
  SQLHANDLE OdbcHandle() const override { return m_Handle.Get(); }

  // Rows touched by the last execution (SQLRowCount), -1 when the driver cannot tell or the call fails.
  SQLLEN AffectedRows() const;

  // Applies timeout, asynchronous mode, catalog-name case and escape scanning to the handle (done after
  // allocation and whenever one of them changes while active).
  void ApplyStatementSettings();

  // Starts the re-execution timer with "TimedReExecutionDelay", or restarts it when it runs, so that a burst
  // of schedules ends in one call of `callback`. False when the process has no scheduler for this thread
  // (KVStatementScheduler): nothing is started and the caller does the work at once. Deactivation stops it.
  bool StartReExecutionTimer(std::function<void()> callback);
  void StopReExecutionTimer();
  bool ReExecutionPending() const { return m_ReExecutionTimer && m_ReExecutionTimer->Running(); }

 protected:
  TKVOdbcStatementBase(TKVRef<TKVOdbcConnection> connection, TKVRef<TKVOdbcStatementProperties> properties);

  void DoActivate() override;
  void DoDeactivate() override;

  // Checks the prepared text for the statement kind this class runs (KVCheckPreparedSQLStatement).
  virtual bool SelectExpected() const = 0;
  // Called after the SQL text changed; the base does nothing.
  virtual void SQLChanged() {}

  // Frees the handle and allocates a new one with the settings applied: a prepared statement cannot be
  // unprepared, and the driver manager refuses cursor attributes for one ("Attribute cannot be set now").
  void RenewHandle();
  // SQLExecDirect of `text` on the handle ("APIExecuteSQL"); SQL_NO_DATA (a searched UPDATE or DELETE
  // that touched nothing) is accepted.
  void ExecDirect(const std::string& text);
  // Sets a statement attribute, accepting what the driver grants instead: 01S02 ("option value changed")
  // and HYC00 ("optional feature not implemented") do not raise. Returns whether the value was taken
  // unchanged.
  bool SetAttrTolerant(SQLINTEGER attribute, SQLULEN value, const char* routine);

  TKVRef<TKVOdbcConnection> m_Connection;
  TKVRef<TKVSqlProperty> m_Sql;
  TKVRef<TKVOdbcStatementProperties> m_Properties;

 private:
  TKVOdbcHandle m_Handle;
  std::unique_ptr<IKVStatementTimer> m_ReExecutionTimer;
};

// Runs modifying SQL (anything but SELECT) on a connection; parameters are inlined as literals.
//
//   TKVOdbcStatement s(connection);
//   s.SetSQL("UPDATE t SET a = :a WHERE id = :id");
//   s.Sql().Parameters().Find("a")->SetValue(1); ...
//   s.Execute(); rows = s.AffectedRows();
class TKVOdbcStatement : public TKVOdbcStatementBase {
 public:
  explicit TKVOdbcStatement(TKVRef<TKVOdbcConnection> connection = nullptr);
  std::string ClassName() const override { return "TKVOdbcStatement"; }

  // Activates when inactive, checks the text ("Only Modifying SQL Statements can be executed with this
  // Component.") and runs it. The handle stays allocated for the next execution.
  void Execute();
  // Runs `text` as given, without resolving parameters (the connection's ExecuteSQL: its text is complete
  // SQL, whose time literals hold colons). Checked and run like Execute.
  void ExecuteText(const std::string& text);

 protected:
  bool SelectExpected() const override { return false; }
};

// Process-wide set-up the drivers need to hand UTF-8 text through SQL_C_CHAR unchanged: psqlODBC converts
// SQL_C_CHAR with the C library's multibyte functions, which treat bytes above 0x7F as invalid under the
// "C" locale. Sets LC_CTYPE to a UTF-8 locale when the current one is not UTF-8 (LC_NUMERIC and the rest
// are left alone). Idempotent; connections call it before they connect.
void KVOdbcInitLocale();
