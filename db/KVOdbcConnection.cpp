#include "db/KVOdbcConnection.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "db/KVConnectionString.h"
#include "db/KVCredentials.h"
#include "db/KVLockWait.h"
#include "db/KVOdbcStatement.h"
#include "db/KVAllocatorTuning.h"
#include "db/KVSqliteTuning.h"
#include "foundation/KVTrace.h"

// --- Environment -----------------------------------------------------------------------------------------

TKVOdbcEnvironment::~TKVOdbcEnvironment() {
  try {
    Deactivate();
  } catch (const std::exception& e) {
    KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
  }
}

void* TKVOdbcEnvironment::GetInterface(const TGUID& iid) {
  if (iid == IKVOdbcHandle::IID) return static_cast<IKVOdbcHandle*>(this);
  return TKVActivateComponent::GetInterface(iid);
}

TKVRef<TKVOdbcEnvironment> TKVOdbcEnvironment::Default() {
  static std::mutex lock;
  static TKVRef<TKVOdbcEnvironment> env;
  std::lock_guard guard(lock);
  if (!env) env = KVMakeRef<TKVOdbcEnvironment>();
  return env;
}

void TKVOdbcEnvironment::SetOdbcVersion(int version) {
  if (version < 0 || version > 1) KVRaiseUnknownValue(version, "TOdbcVersion", this, "SetODBCODBCVersion");
  if (version == m_Version) return;
  m_Version = static_cast<TOdbcVersion>(version);
  if (Active())
    KVOdbcCheck(SQLSetEnvAttr(m_Handle.Get(), SQL_ATTR_ODBC_VERSION,
                              reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(m_Version ? SQL_OV_ODBC3 : SQL_OV_ODBC2)), 0),
                this, "SetODBCODBCVersion");
}

void TKVOdbcEnvironment::SetConnectionPooling(int pooling) {
  if (pooling < 0 || pooling > 2)
    KVRaiseUnknownValue(pooling, "TConnectionPooling", this, "SetODBCConnectionPooling");
  m_Pooling = static_cast<TConnectionPooling>(pooling);
}

void TKVOdbcEnvironment::SetPoolSelectStrategy(int strategy) {
  if (strategy < 0 || strategy > 1)
    KVRaiseUnknownValue(strategy, "TConnectionPoolSelectStrategy", this, "SetODBCConnectionPoolSelectStrategy");
  if (strategy == m_PoolSelect) return;
  m_PoolSelect = static_cast<TConnectionPoolSelectStrategy>(strategy);
  if (Active())
    KVOdbcCheck(SQLSetEnvAttr(m_Handle.Get(), SQL_ATTR_CP_MATCH,
                              reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(
                                  m_PoolSelect ? SQL_CP_RELAXED_MATCH : SQL_CP_STRICT_MATCH)), 0),
                this, "SetODBCConnectionPoolSelectStrategy");
}

void TKVOdbcEnvironment::DoActivate() {
  // Before any connection: SQLite takes its process-wide settings only before its first database opens.
  KVTuneSqliteLibrary();
  KVTuneAllocator();
  if (m_Pooling != cpOff) {
    SQLULEN v = m_Pooling == cpOnePerDriver ? SQL_CP_ONE_PER_DRIVER : SQL_CP_ONE_PER_HENV;
    KVOdbcCheck(SQLSetEnvAttr(SQL_NULL_HENV, SQL_ATTR_CONNECTION_POOLING, reinterpret_cast<SQLPOINTER>(v), 0), this,
                "SetODBCConnectionPooling", SQL_NULL_HANDLE, SQL_HANDLE_ENV);
  }
  m_Handle = TKVOdbcHandle::Environment(this, "SQLAllocHandle");
  KVOdbcCheck(SQLSetEnvAttr(m_Handle.Get(), SQL_ATTR_ODBC_VERSION,
                            reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(m_Version ? SQL_OV_ODBC3 : SQL_OV_ODBC2)), 0),
              this, "SetODBCODBCVersion");
  KVOdbcCheck(SQLSetEnvAttr(m_Handle.Get(), SQL_ATTR_CP_MATCH,
                            reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(
                                m_PoolSelect ? SQL_CP_RELAXED_MATCH : SQL_CP_STRICT_MATCH)), 0),
              this, "SetODBCConnectionPoolSelectStrategy");
}

void TKVOdbcEnvironment::DoDeactivate() {
  m_Handle.Reset();
}

void TKVOdbcEnvironment::EnumDataSources(int kind, const std::string& format,
                                         const std::function<void(const std::string&)>& callback) {
  if (kind != dsnUser && kind != dsnSystem) KVRaiseUnknownValue(kind, "TDSNKind", this, "ODBCEnumDSN");
  size_t placeholders = 0;
  for (size_t p = format.find("%s"); p != std::string::npos; p = format.find("%s", p + 2)) ++placeholders;
  if (placeholders != 1 && placeholders != 2)
    throw EKVException("Invalid number of format parameters", this, "ODBCEnumDSN");
  bool wasActive = Active();
  Activate();
  try {
    SQLUSMALLINT direction = kind == dsnUser ? SQL_FETCH_FIRST_USER : SQL_FETCH_FIRST_SYSTEM;
    for (;;) {
      SQLCHAR name[512], description[512];
      SQLSMALLINT nameLen = 0, descLen = 0;
      SQLRETURN rc = SQLDataSources(m_Handle.Get(), direction, name, sizeof name, &nameLen, description,
                                    sizeof description, &descLen);
      if (!KVOdbcSucceeded(rc)) break;
      direction = SQL_FETCH_NEXT;
      std::string n(reinterpret_cast<char*>(name)), d(reinterpret_cast<char*>(description));
      std::string text = format;
      size_t p = text.find("%s");
      text.replace(p, 2, n);
      if (placeholders == 2) {
        p = text.find("%s", p + n.size());
        text.replace(p, 2, d);
      }
      callback(text);
    }
  } catch (...) {
    if (!wasActive) Deactivate();
    throw;
  }
  if (!wasActive) Deactivate();
}

void TKVOdbcEnvironment::CommitTransaction() {
  CheckActive("CommitTransaction Method");
  KVOdbcCheck(SQLEndTran(SQL_HANDLE_ENV, m_Handle.Get(), SQL_COMMIT), this, "CommitTransaction");
}

void TKVOdbcEnvironment::RollbackTransaction() {
  CheckActive("RollbackTransaction Method");
  KVOdbcCheck(SQLEndTran(SQL_HANDLE_ENV, m_Handle.Get(), SQL_ROLLBACK), this, "RollbackTransaction");
}

// --- Connection properties -------------------------------------------------------------------------------

TKVOdbcConnectProperties::~TKVOdbcConnectProperties() = default;

void* TKVOdbcConnectProperties::GetInterface(const TGUID& iid) {
  if (iid == IID) return this;
  if (iid == IKVLoadStoreData::IID) return static_cast<IKVLoadStoreData*>(this);
  return TKVRefLifeObject::GetInterface(iid);
}

void TKVOdbcConnectProperties::AddConnection(TKVOdbcConnection* c) { m_Connections.push_back(c); }

void TKVOdbcConnectProperties::RemoveConnection(TKVOdbcConnection* c) {
  m_Connections.erase(std::remove(m_Connections.begin(), m_Connections.end(), c), m_Connections.end());
}

void TKVOdbcConnectProperties::CheckServedInactive(const std::string& property) const {
  for (auto* c : m_Connections) c->CheckInactive(property + " Property");
}

void TKVOdbcConnectProperties::SetAccessMode(int mode) {
  if (mode < 0 || mode > 1) KVRaiseUnknownValue(mode, "TAccessMode", this, "SetODBCAccessMode");
  if (mode == m_AccessMode) return;
  CheckServedInactive("AccessMode");
  m_AccessMode = static_cast<TAccessMode>(mode);
}

void TKVOdbcConnectProperties::SetUserName(const std::string& name) { m_UserName = name; }
void TKVOdbcConnectProperties::SetPassword(const std::string& password) { m_Password = password; }

void TKVOdbcConnectProperties::SetConnectionString(const std::string& text) {
  if (text == m_ConnectionString) return;
  CheckServedInactive("ConnectionString");
  m_ConnectionString = text;
}

void TKVOdbcConnectProperties::SetStatementTimeout(int32_t seconds) {
  if (seconds == m_StatementTimeout) return;
  CheckServedInactive("TimeoutForStatements");
  m_StatementTimeout = seconds;
}

void TKVOdbcConnectProperties::SetLoginTimeout(int32_t seconds) {
  if (seconds == m_LoginTimeout) return;
  CheckServedInactive("TimeoutForLogin");
  m_LoginTimeout = seconds;
}

void TKVOdbcConnectProperties::SetCursorOrigin(int origin) {
  if (origin < 0 || origin > 2) KVRaiseUnknownValue(origin, "TCursorOrigin", this, "SetODBCCursorOrigin");
  if (origin == m_CursorOrigin) return;
  CheckServedInactive("CursorOrigin");
  m_CursorOrigin = static_cast<TCursorOrigin>(origin);
}

void TKVOdbcConnectProperties::SetTransactionIsolation(uint32_t flags) {
  flags &= tiReadUncommitted | tiReadCommitted | tiRepeatableRead | tiSerializable;
  if (flags == m_Isolation) return;
  m_Isolation = flags;
  for (auto* c : m_Connections) c->ApplyIsolation();
}

void TKVOdbcConnectProperties::SetAttributes(uint32_t flags) {
  flags &= 0xF;
  if (flags == m_Attributes) return;
  if ((flags ^ m_Attributes) & caAsynchronOperations) CheckServedInactive("caAsynchronOperations Attribute");
  uint32_t old = m_Attributes;
  m_Attributes = flags;
  for (auto* c : m_Connections) c->ApplyAttributeChange(old, flags);
}

void TKVOdbcConnectProperties::SetDriverDialogs(int value) {
  if (value < 0 || value > 3) KVRaiseUnknownValue(value, "TDriverDialogs", this, "SetODBCDriverDialogs");
  m_DriverDialogs = static_cast<TDriverDialogs>(value);
}

void TKVOdbcConnectProperties::Assign(const TKVOdbcConnectProperties& o) {
  if (&o == this) return;
  SetAccessMode(o.m_AccessMode);
  SetUserName(o.m_UserName);
  SetPassword(o.m_Password);
  SetConnectionString(o.m_ConnectionString);
  SetStatementTimeout(o.m_StatementTimeout);
  SetLoginTimeout(o.m_LoginTimeout);
  SetCursorOrigin(o.m_CursorOrigin);
  SetTransactionIsolation(o.m_Isolation);
  SetAttributes(o.m_Attributes);
  SetDriverDialogs(o.m_DriverDialogs);
}

void TKVOdbcConnectProperties::LoadData(IKVStorage& s) {
  TKVOdbcConnectProperties d;  // defaults
  SetAccessMode(std::clamp(s.ReadInteger("AccessMode", d.m_AccessMode), 0, 1));
  SetUserName(KVDecryptCredential(s.ReadString("Username", "")));
  SetPassword(KVDecryptCredential(s.ReadString("Password", "")));
  SetConnectionString(s.ReadString("ConnectionString", d.m_ConnectionString));
  SetStatementTimeout(s.ReadInteger("StatementTimeout", d.m_StatementTimeout));
  SetLoginTimeout(s.ReadInteger("LoginTimeout", d.m_LoginTimeout));
  SetCursorOrigin(std::clamp(s.ReadInteger("Cursor Origin", d.m_CursorOrigin), 0, 2));
  SetTransactionIsolation(static_cast<uint32_t>(s.ReadInteger("TransactionIsolation", static_cast<int32_t>(d.m_Isolation))));
  SetAttributes(static_cast<uint32_t>(s.ReadInteger("Attributes", static_cast<int32_t>(d.m_Attributes))));
  SetDriverDialogs(std::clamp(s.ReadInteger("DriverDialogs", d.m_DriverDialogs), 0, 3));
}

void TKVOdbcConnectProperties::StoreData(IKVStorage& s) {
  TKVOdbcConnectProperties d;
  KVWriteIntegerIfDiffers(s, "AccessMode", m_AccessMode, d.m_AccessMode);
  KVWriteStringIfDiffers(s, "Username", KVEncryptCredential(m_UserName), "");
  KVWriteStringIfDiffers(s, "Password", KVEncryptCredential(m_Password), "");
  // Compared case-sensitively: a connection string may differ from the default only in letter case.
  if (m_ConnectionString.empty())
    s.DeleteValue("ConnectionString");
  else
    s.WriteString("ConnectionString", m_ConnectionString);
  KVWriteIntegerIfDiffers(s, "StatementTimeout", m_StatementTimeout, d.m_StatementTimeout);
  KVWriteIntegerIfDiffers(s, "LoginTimeout", m_LoginTimeout, d.m_LoginTimeout);
  KVWriteIntegerIfDiffers(s, "Cursor Origin", m_CursorOrigin, d.m_CursorOrigin);
  KVWriteIntegerIfDiffers(s, "TransactionIsolation", static_cast<int32_t>(m_Isolation),
                          static_cast<int32_t>(d.m_Isolation));
  KVWriteIntegerIfDiffers(s, "Attributes", static_cast<int32_t>(m_Attributes), static_cast<int32_t>(d.m_Attributes));
  KVWriteIntegerIfDiffers(s, "DriverDialogs", m_DriverDialogs, d.m_DriverDialogs);
}

// --- Connection ------------------------------------------------------------------------------------------

TKVOdbcConnection::TKVOdbcConnection(TKVRef<TKVOdbcEnvironment> environment)
    : m_Environment(std::move(environment)), m_Properties(KVMakeRef<TKVOdbcConnectProperties>()) {
  m_Properties->AddConnection(this);
}

TKVOdbcConnection::~TKVOdbcConnection() {
  try {
    Deactivate();
  } catch (const std::exception& e) {
    KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
  }
  m_Properties->RemoveConnection(this);
}

void* TKVOdbcConnection::GetInterface(const TGUID& iid) {
  if (iid == IKVOdbcHandle::IID) return static_cast<IKVOdbcHandle*>(this);
  return TKVActivateComponent::GetInterface(iid);
}

std::string TKVOdbcConnection::GetObjectName() const {
  return KVDataSourceNameOfConnectionString(m_Properties->ConnectionString());
}

void TKVOdbcConnection::SetEnvironment(TKVRef<TKVOdbcEnvironment> environment) {
  if (environment == m_Environment) return;
  CheckInactive("ODBCEnvironment Property");
  m_Environment = std::move(environment);
}

void TKVOdbcConnection::SetAttr(SQLINTEGER attribute, SQLULEN value, const char* routine) {
  KVOdbcCheck(SQLSetConnectAttr(m_Handle.Get(), attribute, reinterpret_cast<SQLPOINTER>(value), 0), this, routine);
}

void TKVOdbcConnection::SetAttrText(SQLINTEGER attribute, const std::string& value, const char* routine) {
  KVOdbcCheck(SQLSetConnectAttr(m_Handle.Get(), attribute, const_cast<char*>(value.c_str()), SQL_NTS), this, routine);
}

void TKVOdbcConnection::SetCurrentCatalog(const std::string& catalog) {
  if (catalog == m_Catalog) return;
  m_Catalog = catalog;
  if (Active() && !catalog.empty()) SetAttrText(SQL_ATTR_CURRENT_CATALOG, catalog, "SetODBCDataSorceCatalog");
}

void TKVOdbcConnection::SetPacketSize(int32_t size) {
  CheckInactive("PacketSize Property");
  m_PacketSize = size;
}

void TKVOdbcConnection::SetTraceEnabled(bool on) {
  if (on == m_TraceEnabled) return;
  m_TraceEnabled = on;
  if (Active()) SetAttr(SQL_ATTR_TRACE, on ? SQL_OPT_TRACE_ON : SQL_OPT_TRACE_OFF, "SetODBCEnableTracing");
}

void TKVOdbcConnection::SetTraceFile(const std::string& file) {
  m_TraceFile = file;
  if (Active() && !file.empty()) SetAttrText(SQL_ATTR_TRACEFILE, file, "SetODBCTraceFilename");
}

void TKVOdbcConnection::SetTranslateLibrary(const std::string& file) {
  m_TranslateLib = file;
  if (Active() && !file.empty()) SetAttrText(SQL_ATTR_TRANSLATE_LIB, file, "SetODBCTranslationDLLFilename");
}

void TKVOdbcConnection::SetTranslateOption(int32_t option) {
  m_TranslateOption = option;
  if (Active() && option != 0)
    SetAttr(SQL_ATTR_TRANSLATE_OPTION, static_cast<SQLULEN>(option), "SetODBCTranslationAttributes");
}

std::string TKVOdbcConnection::EffectiveConnectionString() const {
  std::string text = m_Properties->ConnectionString();
  if (!m_Properties->UserName().empty())
    text = KVAddOrReplaceValueInConnectionString(text, "UID", m_Properties->UserName());
  if (!m_Properties->Password().empty())
    text = KVAddOrReplaceValueInConnectionString(text, "PWD", m_Properties->Password());
  return text;
}

void TKVOdbcConnection::DoActivate() {
  if (!m_Environment) RaisePropertyNotSet("ODBCEnvironment", "AllocHandle");
  KVOdbcInitLocale();
  m_Environment->Activate();
  m_Handle = TKVOdbcHandle::Allocate(SQL_HANDLE_DBC, m_Environment->OdbcHandle(), SQL_HANDLE_ENV, m_Environment.get(),
                                     "AllocHandle");
  const TKVOdbcConnectProperties& p = *m_Properties;
  SetAttr(SQL_ATTR_TXN_ISOLATION, p.TransactionIsolation(), "SetODBCTransactionIsolation");
  if (p.AccessMode() != amReadWrite) SetAttr(SQL_ATTR_ACCESS_MODE, SQL_MODE_READ_ONLY, "SetODBCAccessMode");
  if (p.CursorOrigin() != coUseDriverCursors)
    SetAttr(SQL_ATTR_ODBC_CURSORS, p.CursorOrigin() == coUseODBCCursors ? SQL_CUR_USE_ODBC : SQL_CUR_USE_IF_NEEDED,
            "SetODBCCursorOrigin");
  if (p.StatementTimeout() != 0)
    SetAttr(SQL_ATTR_CONNECTION_TIMEOUT, static_cast<SQLULEN>(p.StatementTimeout()), "SetODBCTimeoutForStatements");
  if (p.LoginTimeout() != 0)
    SetAttr(SQL_ATTR_LOGIN_TIMEOUT, static_cast<SQLULEN>(p.LoginTimeout()), "SetODBCTimeoutForLogin");
  if (!m_Catalog.empty()) SetAttrText(SQL_ATTR_CURRENT_CATALOG, m_Catalog, "SetODBCDataSorceCatalog");
  if (m_PacketSize != 0) SetAttr(SQL_ATTR_PACKET_SIZE, static_cast<SQLULEN>(m_PacketSize), "SetODBCNetworkPacketSize");
  if (p.HasAttribute(caAsynchronOperations))
    SetAttr(SQL_ATTR_ASYNC_ENABLE, SQL_ASYNC_ENABLE_ON, "SetODBCAsynchronOperations");
  if (!p.HasAttribute(caAutocommitTransactions))
    SetAttr(SQL_ATTR_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF, "SetODBCAutoCommitTransactions");
  if (p.HasAttribute(caCasesensitiveCatalogNames))
    SetAttr(SQL_ATTR_METADATA_ID, SQL_FALSE, "SetODBCCaseSensitiveCatalogNames");
  if (m_TraceEnabled) {
    SetAttr(SQL_ATTR_TRACE, SQL_OPT_TRACE_ON, "SetODBCEnableTracing");
    if (!m_TraceFile.empty()) SetAttrText(SQL_ATTR_TRACEFILE, m_TraceFile, "SetODBCTraceFilename");
  }

  std::string text = KVConnectionStringWithLockWait(EffectiveConnectionString());
  std::vector<SQLCHAR> out(2048 + 1, 0);
  SQLSMALLINT outLen = 0;
  // No window to own a driver dialog here: a driver asked to prompt would fail or hang, so prompting is
  // only asked for when a user interface has installed itself as the owner (not yet the case).
  SQLUSMALLINT completion = SQL_DRIVER_NOPROMPT;
  KVTrace(TKVTraceCategory::Call, "SQLDriverConnect " + KVDataSourceNameOfConnectionString(text));
  SQLRETURN rc = SQLDriverConnect(m_Handle.Get(), nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                                  static_cast<SQLSMALLINT>(text.size()), out.data(), 2048, &outLen, completion);
  KVOdbcCheck(rc, this, "AllocHandle");
  m_Connected = true;
  m_LockWaitMilliseconds = KVApplyLockWait(m_Handle.Get(), p.HasAttribute(caAutocommitTransactions), text);
  if (p.HasAttribute(caCompleteConnectionstring) && outLen > 0) {
    std::string completed(reinterpret_cast<char*>(out.data()), std::min<size_t>(outLen, 2048));
    m_Properties->RemoveConnection(this);  // the set refuses changes while its connections are active
    m_Properties->SetConnectionString(completed);
    m_Properties->AddConnection(this);
  }
  if (!m_TranslateLib.empty())
    SetAttrText(SQL_ATTR_TRANSLATE_LIB, m_TranslateLib, "SetODBCTranslationDLLFilename");
  if (m_TranslateOption != 0)
    SetAttr(SQL_ATTR_TRANSLATE_OPTION, static_cast<SQLULEN>(m_TranslateOption), "SetODBCTranslationAttributes");
  m_Nesting = 0;
  m_DbmsName.clear();
}

void TKVOdbcConnection::DoDeactivate() {
  if (!m_Handle) return;
  std::exception_ptr failure;
  if (m_Connected) {
    if (!m_Properties->HasAttribute(caAutocommitTransactions)) {
      SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, m_Handle.Get(), SQL_ROLLBACK);
      if (!KVOdbcSucceeded(rc)) {
        try {
          KVOdbcCheck(rc, this, "ReleaseHandle");
        } catch (...) {
          failure = std::current_exception();
        }
      }
    }
    SQLDisconnect(m_Handle.Get());
    m_Connected = false;
  }
  m_Handle.Reset();
  m_Nesting = 0;
  if (failure) std::rethrow_exception(failure);
}

void TKVOdbcConnection::ApplyIsolation() {
  if (Active()) SetAttr(SQL_ATTR_TXN_ISOLATION, m_Properties->TransactionIsolation(), "SetODBCTransactionIsolation");
}

void TKVOdbcConnection::ApplyAttributeChange(uint32_t oldFlags, uint32_t newFlags) {
  if (!Active()) return;
  uint32_t changed = oldFlags ^ newFlags;
  if (changed & caAutocommitTransactions)
    SetAttr(SQL_ATTR_AUTOCOMMIT, (newFlags & caAutocommitTransactions) ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF,
            "SetODBCAutoCommitTransactions");
  if (changed & caCasesensitiveCatalogNames)
    SetAttr(SQL_ATTR_METADATA_ID, (newFlags & caCasesensitiveCatalogNames) ? SQL_FALSE : SQL_TRUE,
            "SetODBCCaseSensitiveCatalogNames");
}

void TKVOdbcConnection::BeginTransaction() {
  CheckActive("BeginTransaction Method");
  ++m_Nesting;
}

void TKVOdbcConnection::CommitTransaction() {
  CheckActive("CommitTransaction Method");
  KVOdbcCheck(SQLEndTran(SQL_HANDLE_DBC, m_Handle.Get(), SQL_COMMIT), this, "CommitTransaction");
  --m_Nesting;
}

void TKVOdbcConnection::RollbackTransaction() {
  CheckActive("RollbackTransaction Method");
  KVOdbcCheck(SQLEndTran(SQL_HANDLE_DBC, m_Handle.Get(), SQL_ROLLBACK), this, "RollbackTransaction");
  --m_Nesting;
}

TKVTransactionSupport TKVOdbcConnection::GetTransactionSupport() {
  CheckActive("GetTransactionSupport Method");
  SQLUSMALLINT v = 0;
  KVOdbcCheck(SQLGetInfo(m_Handle.Get(), SQL_TXN_CAPABLE, &v, sizeof v, nullptr), this, "GetTransactionSupport");
  switch (v) {
    case SQL_TC_NONE: return TKVTransactionSupport::None;
    case SQL_TC_DML: return TKVTransactionSupport::DataStatementsOnly;
    case SQL_TC_DDL_COMMIT: return TKVTransactionSupport::DefinitionCommits;
    case SQL_TC_DDL_IGNORE: return TKVTransactionSupport::DefinitionIgnored;
    case SQL_TC_ALL: return TKVTransactionSupport::All;
    default: KVRaiseUnknownValue(v, "SQL_TXN_CAPABLE", this, "GetTransactionSupport");
  }
}

bool TKVOdbcConnection::ConnectionDead() const {
  if (!m_Handle || !m_Connected) return false;
  SQLUINTEGER dead = SQL_CD_FALSE;
  SQLRETURN rc = SQLGetConnectAttr(m_Handle.Get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
  return KVOdbcSucceeded(rc) && dead == SQL_CD_TRUE;
}

std::string TKVOdbcConnection::DbmsName() {
  CheckActive("DbmsName Property");
  if (m_DbmsName.empty()) {
    char buf[256] = {0};
    SQLSMALLINT len = 0;
    KVOdbcCheck(SQLGetInfo(m_Handle.Get(), SQL_DBMS_NAME, buf, sizeof buf, &len), this, "DbmsName");
    m_DbmsName = buf;
  }
  return m_DbmsName;
}

SQLLEN TKVOdbcConnection::ExecuteSQL(const std::string& sql) {
  Activate();
  TKVOdbcStatement statement(TKVRef<TKVOdbcConnection>(this));
  statement.ExecuteText(sql);
  return statement.AffectedRows();
}

TKVOdbcTransaction::TKVOdbcTransaction(TKVOdbcConnection& connection) : m_Connection(connection) {
  m_Connection.BeginTransaction();
}

TKVOdbcTransaction::~TKVOdbcTransaction() {
  if (!m_Open) return;
  try {
    m_Connection.RollbackTransaction();
  } catch (const std::exception& e) {
    KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
  }
}

void TKVOdbcTransaction::Commit() {
  m_Connection.CommitTransaction();
  m_Open = false;
}
