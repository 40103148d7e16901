#pragma once
// The ODBC handles above the statement level: the environment, connections, and the property set that
// says how a connection is opened. Every database access of the program goes through a connection here.
//
// Threads: no locks are taken; a connection and everything opened on it is used by one thread at a time.
#include <sql.h>
#include <sqlext.h>

#include <functional>
#include <string>
#include <vector>

#include "db/KVOdbcError.h"
#include "db/KVOdbcHandle.h"
#include "foundation/KVActivate.h"
#include "storage/KVStorage.h"

class TKVOdbcConnection;

// --- Environment -----------------------------------------------------------------------------------------

enum TOdbcVersion : uint8_t { ovOdbc2 = 0, ovOdbc3 = 1 };
enum TConnectionPooling : uint8_t { cpOff = 0, cpOnePerDriver = 1, cpOnePerEnvironment = 2 };
enum TConnectionPoolSelectStrategy : uint8_t { cpsStrictMatch = 0, cpsRelaxedMatch = 1 };
enum TDSNKind : int { dsnUser = 0, dsnSystem = 1 };

class TKVOdbcEnvironment : public TKVActivateComponent, public IKVOdbcHandle {
 public:
  TKVOdbcEnvironment() = default;
  ~TKVOdbcEnvironment() override;
  std::string ClassName() const override { return "TKVOdbcEnvironment"; }
  void* GetInterface(const TGUID& iid) override;

  // The environment every connection of the program uses unless told otherwise.
  static TKVRef<TKVOdbcEnvironment> Default();

  TOdbcVersion OdbcVersion() const { return m_Version; }
  void SetOdbcVersion(int version);  // stored while inactive, applied at once while active
  TConnectionPooling ConnectionPooling() const { return m_Pooling; }
  void SetConnectionPooling(int pooling);
  TConnectionPoolSelectStrategy PoolSelectStrategy() const { return m_PoolSelect; }
  void SetPoolSelectStrategy(int strategy);

  // Lists the data sources of a kind, each formatted with `format` (one "%s": the name; two: name and
  // description; any other count raises EKVException). Activates the environment
  // for the call when it was inactive, and deactivates it again.
  void EnumDataSources(int kind, const std::string& format, const std::function<void(const std::string&)>& callback);

  // Commits or rolls back every connection of the environment.
  void CommitTransaction();
  void RollbackTransaction();

  SQLSMALLINT OdbcHandleType() const override { return SQL_HANDLE_ENV; }
  SQLHANDLE OdbcHandle() const override { return m_Handle.Get(); }

 protected:
  void DoActivate() override;
  void DoDeactivate() override;

 private:
  TKVOdbcHandle m_Handle;
  TOdbcVersion m_Version = ovOdbc3;
  TConnectionPooling m_Pooling = cpOff;
  TConnectionPoolSelectStrategy m_PoolSelect = cpsStrictMatch;
};

// --- Connection properties -------------------------------------------------------------------------------

enum TAccessMode : uint8_t { amReadWrite = 0, amReadonly = 1 };
enum TCursorOrigin : uint8_t { coUseODBCCursorsIfNeeded = 0, coUseODBCCursors = 1, coUseDriverCursors = 2 };
enum TDriverDialogs : uint8_t { ddNoDriverDialogs = 0, ddPromptIfIncomplete = 1, ddAlwaysPrompt = 2,
                                ddPromptRequiredOnly = 3 };
// Transaction isolation flags carry the values of the ODBC SQL_TXN_* masks.
constexpr uint32_t tiReadUncommitted = SQL_TXN_READ_UNCOMMITTED, tiReadCommitted = SQL_TXN_READ_COMMITTED,
                   tiRepeatableRead = SQL_TXN_REPEATABLE_READ, tiSerializable = SQL_TXN_SERIALIZABLE;
// Connection attribute flags.
constexpr uint32_t caAsynchronOperations = 1u << 0, caAutocommitTransactions = 1u << 1,
                   caCasesensitiveCatalogNames = 1u << 2, caCompleteConnectionstring = 1u << 3;

// The property set of a connection. Changes are forwarded to every connection it serves; those that cannot
// change while a served connection is active are refused then. A set can also exist alone (dialogs, schema
// pages) and be copied onto a connection's set with Assign.
class TKVOdbcConnectProperties : public TKVRefLifeObject, public IKVLoadStoreData {
 public:
  static constexpr TGUID IID = KVGuid("{5A0C7E3B-91D4-4F26-8B3E-0D6F2A9C4E71}");
  TKVOdbcConnectProperties() = default;
  ~TKVOdbcConnectProperties() override;
  std::string ClassName() const override { return "TKVOdbcConnectProperties"; }
  void* GetInterface(const TGUID& iid) override;

  TAccessMode AccessMode() const { return m_AccessMode; }
  void SetAccessMode(int mode);
  const std::string& UserName() const { return m_UserName; }
  void SetUserName(const std::string& name);
  const std::string& Password() const { return m_Password; }
  void SetPassword(const std::string& password);
  const std::string& ConnectionString() const { return m_ConnectionString; }
  void SetConnectionString(const std::string& text);
  int32_t StatementTimeout() const { return m_StatementTimeout; }
  void SetStatementTimeout(int32_t seconds);
  int32_t LoginTimeout() const { return m_LoginTimeout; }
  void SetLoginTimeout(int32_t seconds);
  TCursorOrigin CursorOrigin() const { return m_CursorOrigin; }
  void SetCursorOrigin(int origin);
  uint32_t TransactionIsolation() const { return m_Isolation; }
  void SetTransactionIsolation(uint32_t flags);
  uint32_t Attributes() const { return m_Attributes; }
  void SetAttributes(uint32_t flags);
  bool HasAttribute(uint32_t flag) const { return (m_Attributes & flag) != 0; }
  void SetAttribute(uint32_t flag, bool on) { SetAttributes(on ? m_Attributes | flag : m_Attributes & ~flag); }
  TDriverDialogs DriverDialogs() const { return m_DriverDialogs; }
  void SetDriverDialogs(int value);

  // Copies every property through the setters (so copying onto a set in use raises as they do).
  void Assign(const TKVOdbcConnectProperties& other);

  // Stored keys: "AccessMode", "Username", "Password" (both encrypted, hexadecimal), "ConnectionString",
  // "StatementTimeout", "LoginTimeout", "Cursor Origin", "TransactionIsolation", "Attributes",
  // "DriverDialogs"; values equal to their defaults are not stored.
  void LoadData(IKVStorage& storage) override;
  void StoreData(IKVStorage& storage) override;

  // The connections this set serves (a connection registers itself).
  void AddConnection(TKVOdbcConnection* c);
  void RemoveConnection(TKVOdbcConnection* c);

 private:
  void CheckServedInactive(const std::string& property) const;
  std::vector<TKVOdbcConnection*> m_Connections;

  TAccessMode m_AccessMode = amReadWrite;
  std::string m_UserName, m_Password, m_ConnectionString;
  int32_t m_StatementTimeout = 0;
  int32_t m_LoginTimeout = 30;
  TCursorOrigin m_CursorOrigin = coUseODBCCursorsIfNeeded;
  uint32_t m_Isolation = tiReadCommitted;
  uint32_t m_Attributes = caAutocommitTransactions;
  TDriverDialogs m_DriverDialogs = ddPromptIfIncomplete;
};

// --- Connection ------------------------------------------------------------------------------------------

enum class TKVTransactionSupport { None, DataStatementsOnly, DefinitionCommits, DefinitionIgnored, All };

class TKVOdbcConnection : public TKVActivateComponent, public IKVOdbcHandle {
 public:
  explicit TKVOdbcConnection(TKVRef<TKVOdbcEnvironment> environment = TKVOdbcEnvironment::Default());
  ~TKVOdbcConnection() override;
  std::string ClassName() const override { return "TKVOdbcConnection"; }
  // The data source name of the connection string: the caption shown for the database.
  std::string GetObjectName() const override;
  void* GetInterface(const TGUID& iid) override;

  TKVOdbcConnectProperties& Properties() { return *m_Properties; }
  const TKVOdbcConnectProperties& Properties() const { return *m_Properties; }
  TKVOdbcEnvironment* Environment() const { return m_Environment.get(); }
  void SetEnvironment(TKVRef<TKVOdbcEnvironment> environment);  // refused while active

  std::string CurrentCatalog() const { return m_Catalog; }
  void SetCurrentCatalog(const std::string& catalog);
  int32_t PacketSize() const { return m_PacketSize; }
  void SetPacketSize(int32_t size);
  bool TraceEnabled() const { return m_TraceEnabled; }
  void SetTraceEnabled(bool on);
  std::string TraceFile() const { return m_TraceFile; }
  void SetTraceFile(const std::string& file);
  std::string TranslateLibrary() const { return m_TranslateLib; }
  void SetTranslateLibrary(const std::string& file);
  int32_t TranslateOption() const { return m_TranslateOption; }
  void SetTranslateOption(int32_t option);

  bool Connected() const { return m_Connected; }
  // The connection string handed to the driver manager: the property's, with UID/PWD from the user name and
  // password properties when those are set.
  std::string EffectiveConnectionString() const;

  // Transactions. Begin only counts (with autocommit off a transaction is always open); commit and rollback
  // end the open transaction on the server and count down.
  void BeginTransaction();
  void CommitTransaction();
  void RollbackTransaction();
  int32_t TransactionNesting() const { return m_Nesting; }
  TKVTransactionSupport GetTransactionSupport();
  // False when the access mode is "Readonly".
  bool MayModifyData() const { return m_Properties->AccessMode() != amReadonly; }
  // Runs one modifying SQL text; returns the affected row count (-1 when the driver cannot tell).
  SQLLEN ExecuteSQL(const std::string& sql);
  // Whether the driver knows the connection to be gone (SQL_ATTR_CONNECTION_DEAD; PostgreSQL and MariaDB
  // answer it after a failed call). False when the driver cannot tell.
  bool ConnectionDead() const;
  // How long a statement waits for another connection's lock, in milliseconds, as far as the program knows
  // it (KVLockWait.h): -1 when the connection string's own setting decides or the driver has none.
  int32_t LockWaitMilliseconds() const { return m_LockWaitMilliseconds; }
  // The database product, e.g. "SQLite", "PostgreSQL", "MariaDB" (SQL_DBMS_NAME); requires active.
  std::string DbmsName();

  SQLSMALLINT OdbcHandleType() const override { return SQL_HANDLE_DBC; }
  SQLHANDLE OdbcHandle() const override { return m_Handle.Get(); }

  // Called by the property set.
  void ApplyIsolation();
  void ApplyAttributeChange(uint32_t oldFlags, uint32_t newFlags);

 protected:
  void DoActivate() override;
  void DoDeactivate() override;

 private:
  void SetAttr(SQLINTEGER attribute, SQLULEN value, const char* routine);
  void SetAttrText(SQLINTEGER attribute, const std::string& value, const char* routine);

  TKVRef<TKVOdbcEnvironment> m_Environment;
  TKVRef<TKVOdbcConnectProperties> m_Properties;
  TKVOdbcHandle m_Handle;
  bool m_Connected = false;
  int32_t m_Nesting = 0;
  std::string m_Catalog;
  int32_t m_PacketSize = 0;
  bool m_TraceEnabled = false;
  std::string m_TraceFile = "\\SQL.LOG";
  std::string m_TranslateLib;
  int32_t m_TranslateOption = 0;
  std::string m_DbmsName;
  int32_t m_LockWaitMilliseconds = -1;
};

// Rolls back unless committed: a scope that writes through a connection with autocommit off ends either in
// Commit() or, on every other way out, in a rollback.
class TKVOdbcTransaction {
 public:
  explicit TKVOdbcTransaction(TKVOdbcConnection& connection);
  ~TKVOdbcTransaction();
  void Commit();
  TKVOdbcTransaction(const TKVOdbcTransaction&) = delete;
  TKVOdbcTransaction& operator=(const TKVOdbcTransaction&) = delete;

 private:
  TKVOdbcConnection& m_Connection;
  bool m_Open = true;
};
