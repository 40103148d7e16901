#include "db/KVOdbcRecordset.h"

#include <algorithm>
#include <cstring>

#include "db/KVOdbcParamType.h"
#include "db/KVRecordsetMasterSource.h"
#include "foundation/KVConvert.h"
#include "foundation/KVTrace.h"

// --- Captions ---------------------------------------------------------------------------------------------

const char* KVRecordsetStateCaption(TKVRecordsetState state) {
  static const char* const k[] = {"Inactive", "Browsing", "Inserting", "Editing"};
  return state < 4 ? k[state] : "?";
}

const char* KVRecordsetOperationCaption(TKVRecordsetOperation operation) {
  static const char* const k[] = {"Edit",        "Insert",              "Delete",
                                  "",            "Apply changes",       "Refresh current",
                                  "re-Execute",  "Schedule re-Execute", "Leave modfying state",
                                  "Set simplest configuration"};
  return operation < 10 ? k[operation] : "?";
}

// --- Recordset properties ---------------------------------------------------------------------------------

void TKVOdbcRecordsetProperties::SetCursorType(int type) {
  if (type < 0 || type > 3) KVRaiseUnknownValue(type, "TKVCursorType", this, "SetODBCCursorType");
  m_CursorType = static_cast<TKVCursorType>(type);
}

void TKVOdbcRecordsetProperties::SetUpdateStrategy(int strategy) {
  if (strategy < 0 || strategy > 3) KVRaiseUnknownValue(strategy, "TUpdateStrategy", this, "SetODBCUpdateStrategy");
  m_UpdateStrategy = static_cast<TUpdateStrategy>(strategy);
}

void TKVOdbcRecordsetProperties::SetPositionedUpdateSimulation(int simulation) {
  if (simulation < 0 || simulation > 2)
    KVRaiseUnknownValue(simulation, "TPositionedUpdateSimulation", this, "SetODBCPositionedUpdateSimulation");
  m_Simulation = static_cast<TPositionedUpdateSimulation>(simulation);
}

void TKVOdbcRecordsetProperties::SetCursorSensitivity(int sensitivity) {
  if (sensitivity < 0 || sensitivity > 2)
    KVRaiseUnknownValue(sensitivity, "TCursorSensitivity", this, "SetODBCCursorSensitivity");
  m_Sensitivity = static_cast<TCursorSensitivity>(sensitivity);
}

void TKVOdbcRecordsetProperties::SetKeysetSize(int32_t size) { m_KeysetSize = std::max(size, 0); }
void TKVOdbcRecordsetProperties::SetMaximumRecordsReturned(int32_t rows) { m_MaxRows = std::max(rows, 0); }
void TKVOdbcRecordsetProperties::SetMaximumFieldDataSize(int32_t bytes) { m_MaxLength = std::max(bytes, 0); }

void TKVOdbcRecordsetProperties::SetBLOBCompressionKind(int kind) {
  if (kind < 0 || kind > 3) KVRaiseUnknownValue(kind, "TKVBLOBCompressionKind", this, "SetBLOBCompressionKind");
  m_Compression = static_cast<TKVBLOBCompressionKind>(kind);
}

void TKVOdbcRecordsetProperties::SetAttributes(uint32_t flags) {
  flags &= 0x1Fu;
  uint32_t changed = flags ^ m_Attributes;
  if (m_Owner && (changed & raBookmarksEnabled)) m_Owner->CheckInactive("raBookmarksEnabled Attribute");
  if (m_Owner && (changed & raExposeBookmarkColumn)) m_Owner->CheckInactive("raExposeBookmarkColumn Attribute");
  m_Attributes = flags;
}

void TKVOdbcRecordsetProperties::Assign(const TKVOdbcStatementProperties& other) {
  TKVOdbcStatementProperties::Assign(other);
  auto* o = dynamic_cast<const TKVOdbcRecordsetProperties*>(&other);
  if (!o || o == this) return;
  SetCursorType(o->m_CursorType);
  SetUpdateStrategy(o->m_UpdateStrategy);
  SetPositionedUpdateSimulation(o->m_Simulation);
  SetCursorSensitivity(o->m_Sensitivity);
  SetKeysetSize(o->m_KeysetSize);
  SetMaximumRecordsReturned(o->m_MaxRows);
  SetMaximumFieldDataSize(o->m_MaxLength);
  SetBLOBCompressionKind(o->m_Compression);
  SetAttributes(o->m_Attributes);
  SetCountStrategies(o->m_CountStrategies);
}

void TKVOdbcRecordsetProperties::LoadData(IKVStorage& s) {
  TKVOdbcStatementProperties::LoadData(s);
  // A damaged document must still open: values out of range fall back to the default.
  auto read = [&](const char* key, int def, int max) {
    int v = s.ReadInteger(key, def);
    return v < 0 || v > max ? def : v;
  };
  SetCursorType(read("CursorType", ctKeysetDriven, 3));
  SetUpdateStrategy(read("UpdateStrategy", usMinimalLock, 3));
  SetPositionedUpdateSimulation(read("PositionedUpdateSimulation", pusAllowNonUniqueUpdate, 2));
  SetCursorSensitivity(read("CursorSensitivity", csUnspecified, 2));
  SetKeysetSize(s.ReadInteger("KeysetSize", 0));
  SetMaximumRecordsReturned(s.ReadInteger("MaximumRecordsReturned", 0));
  SetMaximumFieldDataSize(s.ReadInteger("MaximumFieldDataSize", 0));
  SetBLOBCompressionKind(read("BLOBCompressionKind", bckMaximum, 3));
  SetAttributes(static_cast<uint32_t>(
      s.ReadInteger("Attributes", static_cast<int32_t>(raAutoSaveChanges | raAutoEdit | raConfrimDeletions))));
  SetCountStrategies(static_cast<uint32_t>(s.ReadInteger("CountStrategies", rcsUseDriverCount | rcsUseSelectCount)));
}

void TKVOdbcRecordsetProperties::StoreData(IKVStorage& s) {
  TKVOdbcStatementProperties::StoreData(s);
  KVWriteIntegerIfDiffers(s, "CursorType", m_CursorType, ctKeysetDriven);
  KVWriteIntegerIfDiffers(s, "UpdateStrategy", m_UpdateStrategy, usMinimalLock);
  KVWriteIntegerIfDiffers(s, "PositionedUpdateSimulation", m_Simulation, pusAllowNonUniqueUpdate);
  KVWriteIntegerIfDiffers(s, "CursorSensitivity", m_Sensitivity, csUnspecified);
  KVWriteIntegerIfDiffers(s, "KeysetSize", m_KeysetSize, 0);
  KVWriteIntegerIfDiffers(s, "MaximumRecordsReturned", m_MaxRows, 0);
  KVWriteIntegerIfDiffers(s, "MaximumFieldDataSize", m_MaxLength, 0);
  KVWriteIntegerIfDiffers(s, "BLOBCompressionKind", m_Compression, bckMaximum);
  KVWriteIntegerIfDiffers(s, "Attributes", static_cast<int32_t>(m_Attributes),
                          static_cast<int32_t>(raAutoSaveChanges | raAutoEdit | raConfrimDeletions));
  KVWriteIntegerIfDiffers(s, "CountStrategies", static_cast<int32_t>(m_CountStrategies),
                          static_cast<int32_t>(rcsUseDriverCount | rcsUseSelectCount));
}

// --- Recordset: life cycle --------------------------------------------------------------------------------

// The prepared statement of ReExecuteWithValues: its text and one parameter per value, each a value buffer
// in the C type of the field it is compared with.
struct TKVOdbcRecordsetBase::TBoundExecution {
  struct TParameter {
    std::string FieldName;
    std::unique_ptr<TKVOdbcValueBuffer> Buffer;
    TKVParamType Type{};
    bool BinaryAsText = false;
  };
  std::string Text;                // as prepared, parameters resolved
  std::string Condition, SqlText;  // what it was made from, to know the next record's is the same
  std::vector<TParameter> Parameters;

  bool Matches(const std::string& text, const std::vector<TKVBoundValue>& values) const {
    if (text != Text || values.size() != Parameters.size()) return false;
    for (size_t i = 0; i < values.size(); ++i)
      if (!KVSameText(values[i].FieldName, Parameters[i].FieldName)) return false;
    return true;
  }
};

TKVOdbcRecordsetBase::TKVOdbcRecordsetBase(TKVRef<TKVOdbcConnection> connection,
                                           TKVRef<TKVOdbcRecordsetProperties> properties)
    : TKVOdbcStatementBase(std::move(connection), std::move(properties)) {}

TKVOdbcRecordsetBase::~TKVOdbcRecordsetBase() {
  try {
    Deactivate();
  } catch (const std::exception& e) {
    KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
  }
  SetMasterSource(nullptr);
}

TKVOdbcRecordset::TKVOdbcRecordset(TKVRef<TKVOdbcConnection> connection)
    : TKVOdbcRecordsetBase(std::move(connection), KVMakeRef<TKVOdbcRecordsetProperties>()) {}

void TKVOdbcRecordsetBase::DoActivate() {
  TKVOdbcStatementBase::DoActivate();
  ExecuteAndCreateFields();
  m_State = rsBrowsing;
}

void TKVOdbcRecordsetBase::DoDeactivate() {
  std::exception_ptr failure;
  if (KVIsModifyingState(m_State)) {
    try {
      LeaveModifyingState();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  m_RowWriter.reset();
  EndBoundExecution(false);
  CloseCursor();
  m_Fields.clear();
  m_State = rsInactive;
  m_Position = 0;
  m_RecordCount = -1;
  m_LastFetchRC = SQL_NO_DATA;
  m_LastFetchDiag.clear();
  m_Overlay = false;
  TKVOdbcStatementBase::DoDeactivate();
  if (failure) std::rethrow_exception(failure);
}

void TKVOdbcRecordsetBase::CloseCursor() {
  if (Handle() == SQL_NULL_HSTMT) return;
  // SQL_CLOSE rather than SQLCloseCursor: it does not complain when no cursor is open (a failed execute).
  SQLFreeStmt(Handle(), SQL_CLOSE);
  SQLFreeStmt(Handle(), SQL_UNBIND);
  m_CursorOpen = false;
}

void TKVOdbcRecordsetBase::SQLChanged() {
  if (m_SettingBoundClause) return;
  if (Active() && Properties().ReexecuteAfterSQLChange()) PerformOperation(roScheduleReExecute, 1);
}

// --- Re-execution with bound values -----------------------------------------------------------------------

void TKVOdbcRecordsetBase::EndBoundExecution(bool renewHandle) {
  if (!m_Bound) return;
  m_Bound.reset();
  if (Handle() == SQL_NULL_HSTMT) return;
  if (renewHandle) {
    // The fields are bound to the old handle: they go with it.
    m_RowWriter.reset();
    m_Fields.clear();
    m_CursorOpen = false;
    RenewHandle();
  } else {
    SQLFreeStmt(Handle(), SQL_CLOSE);
    SQLFreeStmt(Handle(), SQL_RESET_PARAMS);
  }
}

void TKVOdbcRecordsetBase::ReExecuteWithValues(const std::string& condition, const std::vector<TKVBoundValue>& values) {
  CheckActive("ReExecuteWithValues");
  if (KVIsModifyingState(m_State)) PerformOperation(roLeaveModifyingState);
  // Record after record the condition is the same: when the text is still the one prepared (and has no SQL
  // parameters whose values could have changed), it is neither parsed nor resolved again.
  if (m_Bound && condition == m_Bound->Condition && Sql().Text() == m_Bound->SqlText &&
      Sql().Parameters().Count() == 0 && m_Bound->Matches(m_Bound->Text, values)) {
    TKVDetachedViews detached(*this);
    ExecuteBound(values);
    return;
  }
  {
    // The text takes the markers without an unbound re-execution through SQLChanged.
    m_SettingBoundClause = true;
    try {
      Sql().SetClause(TKVSqlClause::Where, condition);
    } catch (...) {
      m_SettingBoundClause = false;
      throw;
    }
    m_SettingBoundClause = false;
  }
  AssignMasterParamValues();
  std::string text = PreparedSQLText();
  TKVDetachedViews detached(*this);
  if (!m_Bound || !m_Bound->Matches(text, values) || !Active()) PrepareBoundExecution(text, values);
  m_Bound->Condition = condition;
  m_Bound->SqlText = Sql().Text();
  ExecuteBound(values);
}

void TKVOdbcRecordsetBase::PrepareBoundExecution(const std::string& text, const std::vector<TKVBoundValue>& values) {
  KVCheckPreparedSQLStatement(text, SelectExpected(), this);
  // The parameters take the types of the fields they are compared with, as the open recordset has them.
  auto bound = std::make_unique<TBoundExecution>();
  bound->Text = text;
  for (size_t i = 0; i < values.size(); ++i) {
    TKVOdbcField& field = FieldByName(values[i].FieldName);
    TBoundExecution::TParameter p;
    p.FieldName = values[i].FieldName;
    p.Type = KVParamTypeOfField(field);
    p.BinaryAsText = KVIsBinaryColumnDescribedAsText(field);
    p.Buffer = std::make_unique<TKVOdbcValueBuffer>(field.DataType(), static_cast<SQLUSMALLINT>(i + 1),
                                                    std::max<SQLLEN>(field.Size(), 0));
    bound->Parameters.push_back(std::move(p));
  }
  m_RowWriter.reset();
  CloseCursor();
  m_Fields.clear();
  EndBoundExecution(true);
  m_Position = 0;
  m_RecordCount = -1;
  m_LastFetchRC = SQL_NO_DATA;
  m_Overlay = false;
  ApplyCursorAttributes();
  KVTrace(TKVTraceCategory::Sql, text);
  KVOdbcCheck(SQLPrepare(Handle(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())),
                         static_cast<SQLINTEGER>(text.size())),
              this, "APIPrepareSQL", Handle(), SQL_HANDLE_STMT);
  m_Bound = std::move(bound);
  ++m_BoundPrepareCount;
}

void TKVOdbcRecordsetBase::ExecuteBound(const std::vector<TKVBoundValue>& values) {
  // Closing the cursor keeps the column bindings: the fields' buffers receive the next result as they are.
  SQLFreeStmt(Handle(), SQL_CLOSE);
  m_CursorOpen = false;
  for (size_t i = 0; i < values.size(); ++i) {
    TBoundExecution::TParameter& p = m_Bound->Parameters[i];
    TKVOdbcValueBuffer& b = *p.Buffer;
    b.SetValue(values[i].Value);
    SQLSMALLINT cType = p.BinaryAsText ? SQL_C_BINARY : b.CType();
    SQLSMALLINT sqlType = p.BinaryAsText ? SQL_LONGVARBINARY : p.Type.SqlType;
    SQLULEN columnSize = p.Type.ColumnSize;
    if (p.Type.Variable) columnSize = std::max<SQLULEN>(b.Size(), 1);
    // Bound for every execution: values of another length move or resize the buffer, and the SQLite driver
    // takes a parameter's length when it is bound.
    KVOdbcCheck(SQLBindParameter(Handle(), static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, cType, sqlType,
                                 columnSize, p.Type.Digits, b.Data(), b.Capacity(), b.IndicatorPtr()),
                this, "APIBindParameter", Handle(), SQL_HANDLE_STMT);
  }
  m_Position = 0;
  m_RecordCount = -1;
  m_LastFetchRC = SQL_NO_DATA;
  m_LastFetchDiag.clear();
  m_Overlay = false;
  SQLRETURN rc = SQLExecute(Handle());
  if (rc != SQL_NO_DATA) KVOdbcCheck(rc, this, "APIExecuteSQL", Handle(), SQL_HANDLE_STMT);
  m_CursorOpen = true;
  if (m_Fields.empty()) {
    ReadGrantedCursor();
    CreateFields();
  }
  m_State = rsBrowsing;
  rc = Fetch(m_Scrollable ? SQL_FETCH_FIRST : SQL_FETCH_NEXT, 0);
  m_Position = KVOdbcSucceeded(rc) ? 1 : 0;
  if (rc == SQL_NO_DATA) m_RecordCount = 0;
  NotifyDataChanged(nullptr);
}

void TKVOdbcRecordsetBase::ApplyCursorAttributes() {
  const auto& p = Properties();
  static const SQLULEN kCursor[] = {SQL_CURSOR_FORWARD_ONLY, SQL_CURSOR_DYNAMIC, SQL_CURSOR_KEYSET_DRIVEN,
                                    SQL_CURSOR_STATIC};
  static const SQLULEN kConcurrency[] = {SQL_CONCUR_READ_ONLY, SQL_CONCUR_LOCK, SQL_CONCUR_ROWVER, SQL_CONCUR_VALUES};
  static const SQLULEN kSimulate[] = {SQL_SC_NON_UNIQUE, SQL_SC_TRY_UNIQUE, SQL_SC_UNIQUE};
  static const SQLULEN kSensitivity[] = {SQL_UNSPECIFIED, SQL_INSENSITIVE, SQL_SENSITIVE};
  // The driver grants what it can: what it substitutes is read back after the execution.
  SetAttrTolerant(SQL_ATTR_CURSOR_TYPE, kCursor[p.CursorType()], "SetODBCCursorType");
  SetAttrTolerant(SQL_ATTR_CONCURRENCY, kConcurrency[p.UpdateStrategy()], "SetODBCUpdateStrategy");
  if (p.PositionedUpdateSimulation() != pusAllowNonUniqueUpdate)
    SetAttrTolerant(SQL_ATTR_SIMULATE_CURSOR, kSimulate[p.PositionedUpdateSimulation()],
                    "SetODBCPositionedUpdateSimulation");
  if (p.CursorSensitivity() != csUnspecified)
    SetAttrTolerant(SQL_ATTR_CURSOR_SENSITIVITY, kSensitivity[p.CursorSensitivity()], "SetODBCCursorSensitivity");
  if (p.KeysetSize() != 0)
    SetAttrTolerant(SQL_ATTR_KEYSET_SIZE, static_cast<SQLULEN>(p.KeysetSize()), "SetODBCKeysetSize");
  // These two persist on the handle across executions, so a value set back to 0 must be sent too.
  SetAttrTolerant(SQL_ATTR_MAX_ROWS, static_cast<SQLULEN>(p.MaximumRecordsReturned()), "SetODBCMaxRecordsReturned");
  if (p.MaximumFieldDataSize() != 0)
    SetAttrTolerant(SQL_ATTR_MAX_LENGTH, static_cast<SQLULEN>(p.MaximumFieldDataSize()), "SetODBCMaxFieldDataSize");
  if (p.HasAttribute(raBookmarksEnabled))
    SetAttrTolerant(SQL_ATTR_USE_BOOKMARKS, SQL_UB_VARIABLE, "SetODBCBookmarksEnabled");
}

void TKVOdbcRecordsetBase::ReadGrantedCursor() {
  SQLULEN type = SQL_CURSOR_FORWARD_ONLY, concurrency = SQL_CONCUR_READ_ONLY;
  if (!KVOdbcSucceeded(SQLGetStmtAttr(Handle(), SQL_ATTR_CURSOR_TYPE, &type, 0, nullptr)))
    type = Properties().CursorType() == ctForwardOnly ? SQL_CURSOR_FORWARD_ONLY : SQL_CURSOR_STATIC;
  if (!KVOdbcSucceeded(SQLGetStmtAttr(Handle(), SQL_ATTR_CONCURRENCY, &concurrency, 0, nullptr)))
    concurrency = SQL_CONCUR_READ_ONLY;
  switch (type) {
    case SQL_CURSOR_DYNAMIC: m_GrantedCursorType = ctDynamic; break;
    case SQL_CURSOR_KEYSET_DRIVEN: m_GrantedCursorType = ctKeysetDriven; break;
    case SQL_CURSOR_STATIC: m_GrantedCursorType = ctStatic; break;
    default: m_GrantedCursorType = ctForwardOnly; break;
  }
  switch (concurrency) {
    case SQL_CONCUR_LOCK: m_GrantedConcurrency = usMinimalLock; break;
    case SQL_CONCUR_ROWVER: m_GrantedConcurrency = usCompareRecordVersionBeforeWrite; break;
    case SQL_CONCUR_VALUES: m_GrantedConcurrency = usCompareValuesBeforeWrite; break;
    default: m_GrantedConcurrency = usReadOnly; break;
  }
  m_Scrollable = m_GrantedCursorType != ctForwardOnly;
}

bool TKVOdbcRecordsetBase::InternalExecute() {
  AssignMasterParamValues();
  std::string text = PreparedSQLText();
  KVCheckPreparedSQLStatement(text, SelectExpected(), this);
  if (m_OpenMode == TKVRecordsetOpenMode::ColumnsOnly) {
    TKVSQLStatmentPartitioner p(text);
    p.SetClause(TKVSqlClause::Where, "1=0");
    text = p.Text();
  }
  ExecDirect(text);
  return true;
}

void TKVOdbcRecordsetBase::AdjustColumnDescription(TKVOdbcColumnDescription& d) {
  if (OnAdjustColumn) OnAdjustColumn(d);
}

void TKVOdbcRecordsetBase::ExecuteAndCreateFields() {
  m_Position = 0;
  m_RecordCount = -1;
  m_LastFetchRC = SQL_NO_DATA;
  m_LastFetchDiag.clear();
  m_Overlay = false;
  ApplyCursorAttributes();
  if (!InternalExecute()) {
    m_Fields.clear();
    m_RecordCount = 0;
    return;
  }
  m_CursorOpen = true;
  ReadGrantedCursor();
  CreateFields();
  if (m_OpenMode == TKVRecordsetOpenMode::ColumnsOnly) {
    m_RecordCount = 0;
    return;
  }
  // The first record, without the move checks (position 0 counts as "at the beginning").
  SQLRETURN rc = Fetch(m_Scrollable ? SQL_FETCH_FIRST : SQL_FETCH_NEXT, 0);
  m_Position = KVOdbcSucceeded(rc) ? 1 : 0;
  if (!KVOdbcSucceeded(rc) && rc == SQL_NO_DATA) m_RecordCount = 0;
}

namespace {

std::string ColText(SQLHSTMT h, SQLUSMALLINT col, SQLUSMALLINT field, bool required, const TKVRefLifeObject* object) {
  char buf[256] = {0};
  SQLSMALLINT len = 0;
  SQLRETURN rc = SQLColAttribute(h, col, field, buf, sizeof buf, &len, nullptr);
  if (!KVOdbcSucceeded(rc)) {
    if (required) KVOdbcCheck(rc, object, "CreateFields", h, SQL_HANDLE_STMT);
    return {};
  }
  buf[sizeof buf - 1] = 0;
  return std::string(buf, strnlen(buf, sizeof buf));
}

SQLLEN ColNumber(SQLHSTMT h, SQLUSMALLINT col, SQLUSMALLINT field, bool required, SQLLEN def,
                 const TKVRefLifeObject* object) {
  SQLLEN v = def;
  SQLRETURN rc = SQLColAttribute(h, col, field, nullptr, 0, nullptr, &v);
  if (!KVOdbcSucceeded(rc)) {
    if (required) KVOdbcCheck(rc, object, "CreateFields", h, SQL_HANDLE_STMT);
    return def;
  }
  return v;
}

}  // namespace

void TKVOdbcRecordsetBase::CreateFields() {
  m_Fields.clear();
  ++m_FieldSetsCreated;
  const auto& p = Properties();
  if (p.HasAttribute(raBookmarksEnabled) && p.HasAttribute(raExposeBookmarkColumn)) {
    TKVOdbcColumnDescription d;
    d.Ordinal = 0;
    d.Name = "Bookmark";
    d.ConciseType = SQL_VARBINARY;
    d.Nullable = SQL_NO_NULLS;
    d.Updatable = SQL_ATTR_READONLY;
    m_Fields.push_back(std::make_unique<TKVOdbcField>(*this, d));
  }
  SQLSMALLINT count = 0;
  KVOdbcCheck(SQLNumResultCols(Handle(), &count), this, "GetODBCFieldCount", Handle(), SQL_HANDLE_STMT);
  m_Fields.reserve(m_Fields.size() + static_cast<size_t>(std::max<SQLSMALLINT>(count, 0)));
  for (SQLUSMALLINT col = 1; col <= static_cast<SQLUSMALLINT>(std::max<SQLSMALLINT>(count, 0)); ++col) {
    std::unique_ptr<TKVOdbcField> field;
    try {
      TKVOdbcColumnDescription d;
      d.Ordinal = col;
      d.Name = ColText(Handle(), col, SQL_DESC_NAME, true, this);
      d.ConciseType = ColNumber(Handle(), col, SQL_DESC_CONCISE_TYPE, true, 0, this);
      // For every type but date/time and intervals the concise type equals the verbose one. The SQLite
      // driver answers the concise type wrongly (SQL_CHAR for BLOB, -25 for BIGINT) but the verbose one
      // right, so the verbose one wins where the two must agree.
      SQLLEN verbose = ColNumber(Handle(), col, SQL_DESC_TYPE, false, d.ConciseType, this);
      if (verbose != SQL_DATETIME && verbose != SQL_INTERVAL && verbose != d.ConciseType) d.ConciseType = verbose;
      d.Length = ColNumber(Handle(), col, SQL_DESC_LENGTH, false, 0, this);
      d.OctetLength = ColNumber(Handle(), col, SQL_DESC_OCTET_LENGTH, false, 0, this);
      d.Precision = ColNumber(Handle(), col, SQL_DESC_PRECISION, false, 0, this);
      d.Scale = ColNumber(Handle(), col, SQL_DESC_SCALE, false, 0, this);
      d.Unsigned = ColNumber(Handle(), col, SQL_DESC_UNSIGNED, false, SQL_FALSE, this);
      d.Nullable = ColNumber(Handle(), col, SQL_DESC_NULLABLE, false, SQL_NULLABLE_UNKNOWN, this);
      d.Updatable = ColNumber(Handle(), col, SQL_DESC_UPDATABLE, false, SQL_ATTR_READWRITE_UNKNOWN, this);
      d.AutoUniqueValue = ColNumber(Handle(), col, SQL_DESC_AUTO_UNIQUE_VALUE, false, SQL_FALSE, this);
      d.BaseColumnName = ColText(Handle(), col, SQL_DESC_BASE_COLUMN_NAME, false, this);
      d.BaseTableName = ColText(Handle(), col, SQL_DESC_BASE_TABLE_NAME, false, this);
      d.TypeName = ColText(Handle(), col, SQL_DESC_TYPE_NAME, false, this);
      AdjustColumnDescription(d);
      field = std::make_unique<TKVOdbcField>(*this, d);
    } catch (const EKVException& e) {
      // A column the program cannot represent is left out; the others are still usable.
      KVTrace(TKVTraceCategory::Warning, "Column " + std::to_string(col) + " left out: " + e.Message());
      continue;
    }
    field->RawBuffer().Bind(Handle(), field.get());
    m_Fields.push_back(std::move(field));
  }
}

// --- Fields -----------------------------------------------------------------------------------------------

TKVOdbcField* TKVOdbcRecordsetBase::FindField(std::string_view name) {
  for (auto& f : m_Fields)
    if (KVSameText(f->Name(), name)) return f.get();
  return nullptr;
}

TKVOdbcField& TKVOdbcRecordsetBase::FieldByName(std::string_view name) {
  if (TKVOdbcField* f = FindField(name)) return *f;
  throw EKVException("Field '" + std::string(name) + "' not found", this, "FieldByName");
}

// --- Fetching and positions -------------------------------------------------------------------------------

SQLRETURN TKVOdbcRecordsetBase::Fetch(SQLSMALLINT orientation, SQLLEN offset) {
  SQLRETURN rc = m_Scrollable ? SQLFetchScroll(Handle(), orientation, offset) : SQLFetch(Handle());
  m_LastFetchRC = rc;
  m_Overlay = false;
  if (KVOdbcSucceeded(rc)) {
    m_LastFetchDiag.clear();
    for (auto& f : m_Fields) f->RawBuffer().ResetForNextRecord();
  } else {
    m_LastFetchDiag = rc == SQL_NO_DATA ? std::string() : KVOdbcFirstDiagText(SQL_HANDLE_STMT, Handle());
    // No record: the bound buffers still hold the last one, which must not be shown as current.
    for (auto& f : m_Fields) {
      auto& b = f->RawBuffer();
      b.ResetForNextRecord();
      b.Indicator() = SQL_NULL_DATA;
      b.SetFetched(true);
    }
  }
  return rc;
}

void TKVOdbcRecordsetBase::BeforeMove() {
  if (KVIsModifyingState(m_State)) LeaveModifyingState();
  Notify([this](IKVRecordsetObserver& o) { o.BeforeMove(*this); });
}

void TKVOdbcRecordsetBase::AfterMove() {
  Notify([this](IKVRecordsetObserver& o) { o.AfterMove(*this); });
}

bool TKVOdbcRecordsetBase::Eof() {
  if (!Active()) return true;
  if (!m_Scrollable) return !HasCurrentRecord();
  int32_t count = RecordCount();
  if (count < 0) return !HasCurrentRecord();
  return m_Position >= count;
}

void TKVOdbcRecordsetBase::MoveToNext() {
  if (!Active() || Eof()) return;
  BeforeMove();
  Fetch(SQL_FETCH_NEXT, 0);
  ++m_Position;
  AfterMove();
}

void TKVOdbcRecordsetBase::MoveToFirst() {
  if (!Active() || Bof()) return;
  if (!m_Scrollable) return;  // a forward-only cursor cannot go back
  BeforeMove();
  Fetch(SQL_FETCH_FIRST, 0);
  m_Position = 1;
  AfterMove();
}

void TKVOdbcRecordsetBase::MoveToPrevious() {
  if (!Active() || Bof() || !m_Scrollable) return;
  BeforeMove();
  Fetch(SQL_FETCH_PRIOR, 0);
  --m_Position;
  AfterMove();
}

void TKVOdbcRecordsetBase::MoveToLast() {
  if (!Active() || Eof() || !m_Scrollable) return;
  BeforeMove();
  Fetch(SQL_FETCH_LAST, 0);
  m_Position = std::max(RecordCount(), 0);
  AfterMove();
}

void TKVOdbcRecordsetBase::SetPosition(int32_t position) {
  if (!Active() || !m_Scrollable) return;
  int32_t count = RecordCount();
  if (count <= 0) return;
  position = std::clamp(position, 1, count);
  if (position == m_Position && HasCurrentRecord()) return;
  BeforeMove();
  Fetch(SQL_FETCH_ABSOLUTE, position);
  m_Position = position;
  AfterMove();
}

void TKVOdbcRecordsetBase::MoveBy(int32_t offset) {
  if (!Active() || !m_Scrollable) return;
  int32_t count = RecordCount();
  if (count <= 0) return;
  int32_t target = static_cast<int32_t>(std::clamp<int64_t>(int64_t{m_Position} + offset, 1, count));
  if (target == m_Position) return;
  BeforeMove();
  Fetch(SQL_FETCH_RELATIVE, target - m_Position);
  m_Position = target;
  AfterMove();
}

SQLRETURN TKVOdbcRecordsetBase::FetchAbsolute(int32_t position) {
  if (!Active() || !m_Scrollable) return m_LastFetchRC;
  SQLRETURN rc = Fetch(SQL_FETCH_ABSOLUTE, position);
  m_Position = position;
  return rc;
}

void TKVOdbcRecordsetBase::ShowRecordAfterDelete(int32_t deletedPosition, int32_t knownCount) {
  NotifyRecordChanging();
  if (!m_Scrollable) {
    Fetch(SQL_FETCH_NEXT, 0);  // the next record takes the deleted one's place
    NotifyRecordChanged();
    return;
  }
  {
    // The writer keeps statements and bindings made for the fields that the execution replaces.
    TKVDetachedViews detached(*this);
    m_RowWriter.reset();
    CloseCursor();
    m_Fields.clear();
    ExecuteAndCreateFields();
    // Rows other users added or removed meanwhile show up in a fresh count; without one the count the
    // recordset knew goes down by one.
    if (m_RecordCount < 0 && knownCount > 0 && Properties().CountStrategies() == 0) m_RecordCount = knownCount - 1;
    if (HasCurrentRecord() && deletedPosition > 1) {
      // The record that followed now stands at the deleted one's position; at the end it is the previous.
      if (!KVOdbcSucceeded(FetchAbsolute(deletedPosition)) && !KVOdbcSucceeded(FetchAbsolute(deletedPosition - 1))) {
        Fetch(SQL_FETCH_LAST, 0);
        m_Position = std::max(RecordCount(), 1);
      }
    }
  }
  NotifyRecordChanged();
}

// --- Record count -----------------------------------------------------------------------------------------

void TKVOdbcRecordsetBase::AdjustRecordCount(int32_t delta) {
  if (m_RecordCount < 0) return;
  m_RecordCount = std::max(0, m_RecordCount + delta);
}

int32_t TKVOdbcRecordsetBase::RecordCount() {
  if (!Active()) return 0;
  if (!m_Scrollable) return HasCurrentRecord() ? 1 : 0;
  if (m_RecordCount == -1) m_RecordCount = ComputeRecordCount();
  return m_RecordCount;
}

int32_t TKVOdbcRecordsetBase::ComputeRecordCount() {
  uint32_t strategies = Properties().CountStrategies();
  int32_t count = -1;
  if (strategies & rcsUseDriverCount) {
    SQLLEN n = 0;
    if (KVOdbcSucceeded(SQLGetDiagField(SQL_HANDLE_STMT, Handle(), 0, SQL_DIAG_CURSOR_ROW_COUNT, &n, 0, nullptr)) &&
        n > 0 && n <= INT32_MAX)
      count = static_cast<int32_t>(n);
  }
  if (count == -1 && (strategies & rcsUseSelectCount)) count = CountBySelect();
  if (count == -1 && (strategies & rcsLogarithmicPositioning)) count = CountByPositioning();
  return count;
}

namespace {

// Whether every item of a select list is an aggregate that yields one row (min, max, avg, count).
bool OnlyAggregates(const std::string& selectList) {
  if (selectList.empty()) return false;
  size_t start = 0;
  int depth = 0;
  for (size_t i = 0; i <= selectList.size(); ++i) {
    char c = i < selectList.size() ? selectList[i] : ',';
    if (c == '(') ++depth;
    if (c == ')') --depth;
    if ((c == ',' || c == ';') && depth <= 0) {
      std::string item = selectList.substr(start, i - start);
      size_t b = item.find_first_not_of(" \t\r\n");
      if (b == std::string::npos) return false;
      size_t e = item.find_first_of(" \t\r\n(", b);
      std::string word = KVLowerCase(item.substr(b, e == std::string::npos ? std::string::npos : e - b));
      if (word != "min" && word != "max" && word != "avg" && word != "count") return false;
      start = i + 1;
    }
  }
  return true;
}

}  // namespace

int32_t TKVOdbcRecordsetBase::CountBySelect() {
  // Parameters are resolved first: the count must see the same rows as the recordset.
  TKVSQLStatmentPartitioner text;
  try {
    text.SetText(Sql().ResolvedText());
  } catch (const std::exception&) {
    return -1;
  }
  // Grouped rows are not the rows of FROM and WHERE: such a text is not counted this way.
  if (text.HasClause(TKVSqlClause::GroupBy)) return -1;
  if (OnlyAggregates(text.Clause(TKVSqlClause::SelectList))) return 1;
  std::string from = text.Clause(TKVSqlClause::From);
  if (from.empty()) return -1;
  // The FROM text is used as the user wrote it: it has just run, and quoting it again would make
  // PostgreSQL look for a case-sensitive name and MariaDB read a string.
  std::string sql = "SELECT Count(*) FROM " + from;
  std::string where = text.Clause(TKVSqlClause::Where);
  if (!where.empty()) sql += "\r\nWHERE " + where;
  try {
    TKVOdbcRecordset counter(m_Connection);
    counter.SetSimplestConfiguration();
    counter.Properties().SetCountStrategies(0);
    counter.SetSQL(sql);
    counter.Open();
    if (!counter.HasCurrentRecord() || counter.FieldCount() == 0) return -1;
    TKVVariant v = counter.Field(0).Value();
    if (v.IsNull()) return -1;
    int64_t n = v.AsInt64();
    return n < 0 || n > INT32_MAX ? -1 : static_cast<int32_t>(n);
  } catch (const std::exception& e) {
    KVTrace(TKVTraceCategory::Warning, "Count statement failed: " + std::string(e.what()));
    return -1;
  }
}

int32_t TKVOdbcRecordsetBase::CountByPositioning() {
  TKVDetachedViews detached(*this);
  TKVOdbcRecordsetState saved = SaveState();
  auto fetchOk = [this](int64_t n) {
    return KVOdbcSucceeded(SQLFetchScroll(Handle(), SQL_FETCH_ABSOLUTE, static_cast<SQLLEN>(n)));
  };
  int64_t n = 256;
  while (n < (int64_t{1} << 31) && fetchOk(n)) n *= 2;
  int64_t a = 1, b = n, answer = -1;
  while (a < b) {
    int64_t c = (a + b) / 2;
    bool ok = fetchOk(c);
    if (ok && c == a) {
      answer = b;
      break;
    }
    if (ok)
      a = c;
    else
      b = c;
  }
  if (answer < 0) answer = a;
  RestoreState(saved);
  return static_cast<int32_t>(std::min<int64_t>(answer - 1, INT32_MAX));
}

// --- State snapshots --------------------------------------------------------------------------------------

void TKVOdbcRecordsetBase::SaveState(TKVOdbcRecordsetState& into) const {
  into.Position = m_Position;
  into.Overlay = m_Overlay;
  into.Fields.resize(m_Fields.size());
  for (size_t i = 0; i < m_Fields.size(); ++i) m_Fields[i]->m_Buffer.SaveTo(into.Fields[i]);
}

TKVOdbcRecordsetState TKVOdbcRecordsetBase::SaveState() const {
  TKVOdbcRecordsetState s;
  SaveState(s);
  return s;
}

void TKVOdbcRecordsetBase::RestoreState(const TKVOdbcRecordsetState& state) {
  if (!Active()) return;
  if (m_Scrollable) {
    Fetch(SQL_FETCH_ABSOLUTE, state.Position);
    m_Position = state.Position;
  }
  if (state.Fields.size() == m_Fields.size()) {
    for (size_t i = 0; i < m_Fields.size(); ++i)
      if (m_Fields[i]->m_Buffer.RestoreFrom(state.Fields[i])) m_Fields[i]->Rebind();
    // The saved record is current again even where the cursor could not fetch it (an overlay record).
    if (state.Overlay) m_Overlay = true;
  }
}

// --- Hooks ------------------------------------------------------------------------------------------------

IKVOdbcRowWriter& TKVOdbcRecordsetBase::RowWriter() {
  if (!m_RowWriter) {
    m_RowWriter = KVCreateRowWriter(*this);
    ++m_RowWritersCreated;
  }
  return *m_RowWriter;
}

void TKVOdbcRecordsetBase::NotifyRecordChanging() {
  m_Overlay = false;
  for (auto& f : m_Fields) f->RawBuffer().ResetForNextRecord();
}

void TKVOdbcRecordsetBase::NotifyRecordChanged() {
  for (auto& f : m_Fields) f->RawBuffer().ResetForNextRecord();
  NotifyDataChanged(nullptr);
}

void TKVOdbcRecordsetBase::SetOverlayRecord(bool on) { m_Overlay = on; }

void TKVOdbcRecordsetBase::ClearAssigned() {
  for (auto& f : m_Fields) f->RawBuffer().SetAssigned(false);
}

bool TKVOdbcRecordsetBase::AnyFieldAssigned() const {
  for (const auto& f : m_Fields)
    if (f->m_Buffer.Assigned()) return true;
  return false;
}

void TKVOdbcRecordsetBase::AddObserver(IKVRecordsetObserver* observer) {
  if (observer && std::find(m_Observers.begin(), m_Observers.end(), observer) == m_Observers.end())
    m_Observers.push_back(observer);
}

void TKVOdbcRecordsetBase::RemoveObserver(IKVRecordsetObserver* observer) {
  m_Observers.erase(std::remove(m_Observers.begin(), m_Observers.end(), observer), m_Observers.end());
}

void TKVOdbcRecordsetBase::NotifyDataChanged(TKVOdbcField* field) {
  Notify([this, field](IKVRecordsetObserver& o) { o.DataChanged(*this, field); });
}

// --- Editing ----------------------------------------------------------------------------------------------

TKVRecordsetState TKVOdbcRecordsetBase::StateAfterOperation(TKVRecordsetOperation operation) const {
  if (operation > roLeaveModifyingState)
    throw EKVException("Operation not supported, Ord(Operation): " + std::to_string(static_cast<int>(operation)), this,
                       "RecordsetStateAfterOperation");
  switch (operation) {
    case roEdit: return rsEditing;
    case roInsert: return rsInserting;
    default: return rsBrowsing;
  }
}

bool TKVOdbcRecordsetBase::MayWrite() const {
  return m_Connection && m_Connection->MayModifyData() && Properties().UpdateStrategy() != usReadOnly;
}

void TKVOdbcRecordsetBase::CheckMayWrite(TKVRecordsetOperation operation) const {
  if (MayWrite()) return;
  std::string why = m_Connection && !m_Connection->MayModifyData()
                        ? "the connection may not modify data"
                        : "the update strategy of the recordset is read only";
  throw EKVException("The operation \"" + std::string(KVRecordsetOperationCaption(operation)) +
                         "\" is not available: " + why,
                     this, "CheckOperationAvailable");
}

void TKVOdbcRecordsetBase::CheckCurrentRecord(TKVRecordsetOperation operation) const {
  if (HasCurrentRecord()) return;
  throw EKVException("The operation \"" + std::string(KVRecordsetOperationCaption(operation)) +
                         "\" is not available: the recordset has no current record",
                     this, "CheckOperationAvailable");
}

bool TKVOdbcRecordsetBase::OperationAvailable(TKVRecordsetOperation operation) {
  bool mayModify = MayWrite();
  bool modifying = Active() && KVIsModifyingState(m_State);
  switch (operation) {
    case roEdit:
    case roDelete: return mayModify && m_State == rsBrowsing && RecordCount() > 0;
    case roInsert: return mayModify && m_State == rsBrowsing;
    case roCancelChanges:
    case roApplyChanges:
    case roLeaveModifyingState: return modifying;
    case roRefreshCurrent: return m_State == rsBrowsing && RecordCount() > 0;
    case roReExecute:
    case roScheduleReExecute: return m_State < rsInserting;
    case roSetSimplestConfiguration: return !Active();
    default: return false;
  }
}

void TKVOdbcRecordsetBase::SetSimplestConfiguration() {
  Properties().SetCursorType(ctForwardOnly);
  Properties().SetUpdateStrategy(usReadOnly);
}

void TKVOdbcRecordsetBase::LeaveModifyingState() {
  if (KVIsModifyingState(m_State)) PerformOperation(roLeaveModifyingState);
}

void TKVOdbcRecordsetBase::PerformOperation(TKVRecordsetOperation op, intptr_t argument) {
  if (op == roSetSimplestConfiguration) {
    SetSimplestConfiguration();
    return;
  }
  TKVRecordsetState after = StateAfterOperation(op);
  if (after == m_State && op != roDelete && !(op >= roRefreshCurrent && op <= roLeaveModifyingState)) return;
  Notify([&](IKVRecordsetObserver& o) { o.BeforeOperation(*this, op, argument); });
  DoOperationStep(op, argument);
  m_State = Active() ? after : rsInactive;
  Notify([&](IKVRecordsetObserver& o) { o.AfterOperation(*this, op, argument); });
}

void TKVOdbcRecordsetBase::DoOperationStep(TKVRecordsetOperation op, intptr_t argument) {
  switch (op) {
    case roEdit:
    case roInsert: {
      CheckActive(op == roEdit ? "Edit Method" : "Insert Method");
      CheckMayWrite(op);
      if (op == roEdit) CheckCurrentRecord(op);
      if (KVIsModifyingState(m_State)) {
        DoOperationStep(roLeaveModifyingState, 0);
        m_State = rsBrowsing;
      }
      // The values the record had when it was read identify and protect its row when it is written: a
      // value not read yet (text too long to bind, CHAR padding not yet removed) is read before the edit
      // can overwrite it. Long data is neither compared nor read here.
      if (op == roEdit && HasCurrentRecord())
        for (auto& f : m_Fields)
          if (!f->IsLongData()) f->Buffer();
      SaveState(m_EditSnapshot);
      if (op == roInsert) {
        for (auto& f : m_Fields) {
          auto& b = f->RawBuffer();
          b.Indicator() = SQL_NULL_DATA;
          b.SetFetched(true);
          b.SetAssigned(false);
        }
      }
      break;
    }
    case roCancelChanges:
      if (!KVIsModifyingState(m_State)) break;
      if (m_EditSnapshot.Fields.size() == m_Fields.size())
        for (size_t i = 0; i < m_Fields.size(); ++i)
          if (m_Fields[i]->m_Buffer.RestoreFrom(m_EditSnapshot.Fields[i])) m_Fields[i]->Rebind();
      m_Overlay = m_EditSnapshot.Overlay;
      ClearAssigned();
      NotifyDataChanged(nullptr);
      break;
    case roApplyChanges: {
      if (!KVIsModifyingState(m_State)) break;
      bool inserting = m_State == rsInserting;
      if (inserting)
        RowWriter().Insert(*this);
      else
        RowWriter().Update(*this);
      ClearAssigned();
      if (inserting) NotifyDataChanged(nullptr);
      break;
    }
    case roDelete:
      CheckActive("Delete Method");
      CheckMayWrite(op);
      CheckCurrentRecord(op);
      {
        int32_t position = m_Position, count = m_RecordCount;
        RowWriter().Delete(*this);
        ShowRecordAfterDelete(position, count);
      }
      break;
    case roRefreshCurrent:
      CheckActive("RefreshRecord Method");
      RowWriter().Refresh(*this);
      break;
    case roReExecute:
    case roScheduleReExecute: {
      if (KVIsModifyingState(m_State)) {
        DoOperationStep(roLeaveModifyingState, 0);
        m_State = rsBrowsing;
      }
      if (op == roScheduleReExecute && Active() &&
          StartReExecutionTimer([this, argument] { ScheduledReExecution(argument); }))
        break;
      // Executed now, a re-execution still waiting would only repeat it.
      StopReExecutionTimer();
      if (!Active()) {
        Activate();
        break;
      }
      bool keep = argument != 0;
      TKVDetachedViews detached(*this);
      int32_t position = m_Position;
      m_RowWriter.reset();
      CloseCursor();
      EndBoundExecution(true);
      m_Fields.clear();
      ExecuteAndCreateFields();
      if (keep && position > 1 && m_Scrollable) SetPosition(position);
      break;
    }
    case roLeaveModifyingState:
      if (!KVIsModifyingState(m_State)) break;
      if (Properties().HasAttribute(raAutoSaveChanges)) {
        try {
          DoOperationStep(roApplyChanges, 0);
        } catch (...) {
          DoOperationStep(roCancelChanges, 0);
          m_State = rsBrowsing;
          throw;
        }
      } else {
        DoOperationStep(roCancelChanges, 0);
      }
      break;
    case roSetSimplestConfiguration: SetSimplestConfiguration(); break;
  }
}

void TKVOdbcRecordsetBase::ScheduledReExecution(intptr_t keepPosition) {
  try {
    if (Active()) PerformOperation(roReExecute, keepPosition);
  } catch (const std::exception& e) {
    KVHandleException(e);
  }
}

void TKVOdbcRecordsetBase::Insert() {
  PerformOperation(roInsert);
  if (m_State == rsInserting) AssignFieldValuesFromMasterSource();
}

void TKVOdbcRecordsetBase::NotifyMoved() {
  Notify([this](IKVRecordsetObserver& o) { o.AfterMove(*this); });
}

// --- Master/detail ----------------------------------------------------------------------------------------

namespace {
// A column name as the SQL text may write it: "name", [name] or `name`.
std::string WithoutIdentifierQuotes(const std::string& word) {
  size_t b = word.find_first_not_of("\"[]`");
  if (b == std::string::npos) return {};
  size_t e = word.find_last_not_of("\"[]`");
  return word.substr(b, e - b + 1);
}
}  // namespace

void TKVOdbcRecordsetBase::SetMasterSource(TKVRef<TKVRecordsetMasterSource> source) {
  if (source == m_MasterSource) return;
  if (m_MasterSource) m_MasterSource->RemoveDetail(*this);
  m_MasterSource = std::move(source);
  if (m_MasterSource) m_MasterSource->AddDetail(*this);
}

void TKVOdbcRecordsetBase::AssignMasterParamValues() {
  TKVOdbcRecordsetBase* master = m_MasterSource ? m_MasterSource->Master() : nullptr;
  if (!master || master == this) return;
  if (!master->Active()) master->Activate();
  bool hasRecord = master->HasCurrentRecord();
  TKVSqlParameterList& params = Sql().Parameters();
  for (size_t i = 0; i < params.Count(); ++i) {
    TKVSqlParameter& p = params.Item(i);
    TKVOdbcField* field = master->FindField(p.Name());
    if (!field) continue;
    p.SetValue(hasRecord ? field->Value() : TKVVariant::Null());
  }
}

void TKVOdbcRecordsetBase::AssignFieldValuesFromMasterSource() {
  TKVOdbcRecordsetBase* master = m_MasterSource ? m_MasterSource->Master() : nullptr;
  if (!master || master == this || !master->Active() || !master->HasCurrentRecord()) return;
  for (const TKVSqlParameterReference& ref : KVSqlParameterReferences(Sql().Text())) {
    TKVOdbcField* source = master->FindField(ref.Name);
    if (!source) continue;
    std::string word = WithoutIdentifierQuotes(ref.PrecedingWord);
    TKVOdbcField* target = FindField(word);
    if (!target) {
      size_t dot = ref.PrecedingWord.rfind('.');
      if (dot != std::string::npos) target = FindField(WithoutIdentifierQuotes(ref.PrecedingWord.substr(dot + 1)));
    }
    if (!target || !target->Updatable()) continue;
    target->SetValue(source->Value());
  }
}
