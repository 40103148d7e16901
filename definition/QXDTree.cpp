#include "definition/QXDTree.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>

#include "db/KVConnectionString.h"
#include "db/KVSqlText.h"
#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "foundation/KVText.h"

namespace {

template <class T>
void SetIfDiffers(T& field, const T& value, const std::function<void()>& changed) {
  if (field == value) return;
  field = value;
  changed();
}

template <class E>
E ClampEnum(int value, int high) {
  return static_cast<E>(std::clamp(value, 0, high));
}

// Stores an object into a subdirectory, which is left out when the object wrote nothing (all its values
// at their defaults): both file formats then hold the same directories, and a missing directory loads
// as the defaults.
void StoreSubDir(IKVStorage& s, const std::string& dir, IKVLoadStoreData& object) {
  std::lock_guard lock(s.CriticalSection());
  KVVsdStoreData(s, dir, object);
  bool empty = false;
  {
    TKVVsdDirPathKeeper keeper(s, dir, false);
    empty = keeper.Opened() && s.ReadValueNames().empty() && s.ReadSubDirNames().empty();
  }
  if (empty) s.DeleteDir(dir);
}

}  // namespace

// --- TQXDDataBase ----------------------------------------------------------------------------------------

std::string TQXDDataBase::Title() const { return Item() ? Item()->Title() : std::string(); }

void TQXDDataBase::Changed() {
  if (TKVTreeItem* item = Item()) item->Model().NotifyChanged(*item, TKVItemChange::Data, true);
}

void TQXDDataBase::SetChecked(bool checked) {
  if (checked == m_Checked) return;
  m_Checked = checked;
  UpdateImages();
  Changed();
}

void TQXDDataBase::SetActive(bool active) {
  if (active == m_Active) return;
  m_Active = active;
  UpdateImages();
}

void TQXDDataBase::UpdateActive() {
  bool active = m_Checked;
  if (active && Item()) {
    for (TKVTreeItem* p = Item()->Parent(); p; p = p->Parent()) {
      auto* d = dynamic_cast<TQXDDataBase*>(p->Data());
      if (!d) break;  // the walk stops at the first node that is not a definition node
      if (!d->Checked()) {
        active = false;
        break;
      }
    }
  }
  SetActive(active);
}

void TQXDDataBase::UpdateImages() {
  TKVTreeItem* item = Item();
  if (!item) return;
  item->SetStateImageIndex(StateImage());
  int image = NodeImage();
  if (image >= 0) {
    item->SetImageIndex(image);
    item->SetSelectedImageIndex(image);
  }
}

void TQXDDataBase::SetValidationSeverity(uint8_t severity) {
  severity = std::min<uint8_t>(severity, 4);
  m_ValidationSeverity = severity;
  if (TKVTreeItem* item = Item()) item->SetStateBits(tisBold, severity != 0);
}

void TQXDDataBase::ClearValidation() {
  SetValidationSeverity(0);
  m_ReportRange = {-1, -1, -1, -1};
}

TQXDConnectionData* TQXDDataBase::ParentConnectionNode() const {
  for (TKVTreeItem* p = Item() ? Item()->Parent() : nullptr; p; p = p->Parent())
    if (auto* c = p->DataAs<TQXDConnectionData>()) return c;
  return nullptr;
}

void TQXDDataBase::LoadData(IKVStorage& s) {
  SetChecked(s.ReadBoolean("Checked", true));
  UpdateActive();
  UpdateImages();
}

void TQXDDataBase::StoreData(IKVStorage& s) { KVWriteBooleanIfDiffers(s, "Checked", m_Checked, true); }

// --- Connections -----------------------------------------------------------------------------------------

TQXDConnectionData::TQXDConnectionData() : m_Connection(KVMakeRef<TKVOdbcConnection>(TKVOdbcEnvironment::Default())) {}

TQXDConnectionData::~TQXDConnectionData() {
  try {
    m_Connection->Deactivate();
  } catch (...) {
  }
}

void TQXDConnectionData::Open() { m_Connection->Activate(); }

void TQXDConnectionData::Close() {
  try {
    m_Connection->Deactivate();
  } catch (...) {
  }
}

void TQXDConnectionData::LoadData(IKVStorage& s) {
  TQXDDataBase::LoadData(s);
  KVVsdLoadData(s, "ConnectProperties", m_Connection->Properties());
}

void TQXDConnectionData::StoreData(IKVStorage& s) {
  TQXDDataBase::StoreData(s);
  StoreSubDir(s, "ConnectProperties", m_Connection->Properties());
}

void TQXDDestConnectionData::SetTransactionSize(int32_t size) {
  SetIfDiffers(m_TransactionSize, size, [this] { Changed(); });
}

void TQXDDestConnectionData::Open() {
  TQXDConnectionData::Open();
  TKVOdbcConnection& c = Connection();
  if (m_TransactionSize != 0) {
    c.Properties().SetAttribute(caAutocommitTransactions, false);
    c.BeginTransaction();
  } else {
    c.Properties().SetAttribute(caAutocommitTransactions, true);
  }
}

void TQXDDestConnectionData::Close() {
  if (m_TransactionSize != 0) {
    try {
      try {
        Connection().CommitTransaction();
      } catch (...) {
        Connection().RollbackTransaction();
      }
    } catch (...) {
    }
  }
  TQXDConnectionData::Close();
}

void TQXDDestConnectionData::LoadData(IKVStorage& s) {
  TQXDConnectionData::LoadData(s);
  m_TransactionSize = s.ReadInteger("TransactionSize", 0);
}

void TQXDDestConnectionData::StoreData(IKVStorage& s) {
  TQXDConnectionData::StoreData(s);
  KVWriteIntegerIfDiffers(s, "TransactionSize", m_TransactionSize, 0);
}

// --- Recordsets ------------------------------------------------------------------------------------------

TQXDRecordsetData::TQXDRecordsetData() : m_Recordset(KVMakeRef<TKVOdbcRecordset>()) { SetColumnList("*"); }

TQXDRecordsetData::~TQXDRecordsetData() {
  try {
    m_Recordset->Deactivate();
  } catch (...) {
  }
}

std::string TQXDRecordsetData::TableName() const { return m_Recordset->Sql().Clause(TKVSqlClause::From); }

void TQXDRecordsetData::SetTableName(const std::string& tableName) {
  TKVSqlProperty& sql = m_Recordset->Sql();
  if (!sql.SetClause(TKVSqlClause::From, tableName)) return;
  // Clause changes leave line breaks at the end of the text; the stored text stays without them.
  sql.SetText(std::string(KVTrimRight(sql.Text())));
  Changed();
}

std::string TQXDRecordsetData::SQL() const { return m_Recordset->Sql().Text(); }

void TQXDRecordsetData::SetSQL(const std::string& sql) {
  if (m_Recordset->Sql().SetText(sql)) Changed();
}

void TQXDRecordsetData::SetColumnList(const std::string& columns) {
  TKVSqlProperty& sql = m_Recordset->Sql();
  if (!sql.SetClause(TKVSqlClause::SelectList, columns)) return;
  sql.SetText(std::string(KVTrimRight(sql.Text())));
  Changed();
}

void TQXDRecordsetData::BindToParentConnection() {
  TQXDConnectionData* c = ParentConnectionNode();
  TKVRef<TKVOdbcConnection> connection = c ? c->ConnectionRef() : TKVRef<TKVOdbcConnection>();
  if (m_Recordset->Connection() != connection.get()) m_Recordset->SetConnection(connection);
}

void TQXDRecordsetData::Open() {
  m_SavedSQL = m_Recordset->Sql().Text();
  m_Opened = true;
  m_Recordset->Open();
}

void TQXDRecordsetData::Close() {
  try {
    m_Recordset->Close();
  } catch (...) {
  }
  if (!m_Opened) return;
  m_Opened = false;
  try {
    m_Recordset->Sql().SetText(m_SavedSQL);
  } catch (...) {
  }
}

void TQXDRecordsetData::LoadData(IKVStorage& s) {
  TQXDDataBase::LoadData(s);
  // Whatever the node held before, the stored directory is read as a whole (every missing key its
  // default), as fresh properties would be. The SQL text too: its stored default is empty, and a text
  // saved empty leaves no directory at all when the other properties are at their defaults, so a missing
  // directory must not leave the "SELECT *" of a new node in place.
  TKVOdbcRecordsetProperties defaults;
  m_Recordset->Properties().Assign(defaults);
  m_Recordset->Sql().SetText("");
  KVVsdLoadData(s, "RecordsetProperties", m_Recordset->Properties());
  BindToParentConnection();
}

void TQXDRecordsetData::StoreData(IKVStorage& s) {
  TQXDDataBase::StoreData(s);
  StoreSubDir(s, "RecordsetProperties", m_Recordset->Properties());
}

void TQXDSourceRSData::SetMaxRecordsToRead(int32_t count) {
  SetIfDiffers(m_MaxRecordsToRead, count, [this] { Changed(); });
}

void TQXDSourceRSData::LoadData(IKVStorage& s) {
  TQXDRecordsetData::LoadData(s);
  m_MaxRecordsToRead = s.ReadInteger("MaxRecordsToRead", 0);
}

void TQXDSourceRSData::StoreData(IKVStorage& s) {
  TQXDRecordsetData::StoreData(s);
  KVWriteIntegerIfDiffers(s, "MaxRecordsToRead", m_MaxRecordsToRead, 0);
}

void TQXDDestRSData::SetAlwaysInsertNewRecord(bool on) {
  SetIfDiffers(m_AlwaysInsertNewRecord, on, [this] { Changed(); });
}
void TQXDDestRSData::SetEditRecordIfExists(bool on) {
  SetIfDiffers(m_EditRecordIfExists, on, [this] { Changed(); });
}
void TQXDDestRSData::SetInsertRecordIfNotExists(bool on) {
  SetIfDiffers(m_InsertRecordIfNotExists, on, [this] { Changed(); });
}
void TQXDDestRSData::SetAssertRecordExists(bool on) {
  SetIfDiffers(m_AssertRecordExists, on, [this] { Changed(); });
}

std::string TQXDDestRSData::StatisticsLine() const {
  std::string table(KVTrim(TableName()));
  char buf[64];
  auto num = [&](int32_t n) {
    std::snprintf(buf, sizeof buf, "%d", n);
    return std::string(buf);
  };
  return "   Table \"" + table + "\":\t" + num(RecordsInserted) + " Records Inserted\t" + num(RecordsEdited) +
         " Records Edited\t" + num(RecordsSkipped) + " Records Skipped\r\n";
}

void TQXDDestRSData::Open() {
  RecordsInserted = RecordsEdited = RecordsSkipped = 0;
  RunFlags = 0;
  TQXDRecordsetData::Open();
}

void TQXDDestRSData::Close() {
  TQXDRecordsetData::Close();
  if ((RecordsInserted > 0 || RecordsEdited > 0) && m_ReportSink) {
    try {
      m_ReportSink->ReportLine(StatisticsLine(), 0x800000);
    } catch (...) {
    }
  }
}

void TQXDDestRSData::LoadData(IKVStorage& s) {
  TQXDRecordsetData::LoadData(s);
  m_AlwaysInsertNewRecord = s.ReadBoolean("AlwaysInsertNewRecord", true);
  m_EditRecordIfExists = s.ReadBoolean("EditRecordIfExists", false);
  m_InsertRecordIfNotExists = s.ReadBoolean("InsertRecordIfNotExists", true);
  m_AssertRecordExists = s.ReadBoolean("AssertRecordExists", false);
}

void TQXDDestRSData::StoreData(IKVStorage& s) {
  TQXDRecordsetData::StoreData(s);
  KVWriteBooleanIfDiffers(s, "AlwaysInsertNewRecord", m_AlwaysInsertNewRecord, true);
  KVWriteBooleanIfDiffers(s, "EditRecordIfExists", m_EditRecordIfExists, false);
  KVWriteBooleanIfDiffers(s, "InsertRecordIfNotExists", m_InsertRecordIfNotExists, true);
  KVWriteBooleanIfDiffers(s, "AssertRecordExists", m_AssertRecordExists, false);
}

// --- Destination fields ----------------------------------------------------------------------------------

#define QXD_SETTER(Class, Name, Type)                                     \
  void Class::Set##Name(Type v) {                                         \
    SetIfDiffers(m_##Name, v, [this] { Changed(); });                     \
  }

QXD_SETTER(TQXDDestFieldData, DestFieldname, const std::string&)
QXD_SETTER(TQXDDestFieldData, SourceRecordsetFieldname, const std::string&)
QXD_SETTER(TQXDDestFieldData, DestRecordsetName, const std::string&)
QXD_SETTER(TQXDDestFieldData, DestRecordsetFieldname, const std::string&)
QXD_SETTER(TQXDDestFieldData, AssignValueWhenEditing, bool)
QXD_SETTER(TQXDDestFieldData, AssignValueWhenInserting, bool)
QXD_SETTER(TQXDDestFieldData, MatchCase, bool)
QXD_SETTER(TQXDDestFieldData, FixedValue, const std::string&)
QXD_SETTER(TQXDDestFieldData, IgnoreRecordIfNULL, bool)
#undef QXD_SETTER

void TQXDDestFieldData::SetFieldValueorigin(int v) {
  SetIfDiffers(m_FieldValueorigin, ClampEnum<TQXFieldValueOrigin>(v, 2), [this] { Changed(); });
}

void TQXDDestFieldData::SetMatchKind(int v) {
  SetIfDiffers(m_MatchKind, ClampEnum<TQXMatchKind>(v, 1), [this] { Changed(); });
}

void TQXDDestFieldData::SetAssignMode(int v) {
  SetIfDiffers(m_AssignMode, ClampEnum<TQXAssignMode>(v, 3), [this] { Changed(); });
}

void TQXDDestFieldData::SetLocateWithValue(bool v) {
  SetIfDiffers(m_LocateWithValue, v, [this] {
    UpdateImages();
    Changed();
  });
}

void TQXDDestFieldData::ResetRunState() {
  RunValue = TKVVariant::Null();
  RunInfo = {0, static_cast<int32_t>(0x80000000u), 0, 0};
}

void TQXDDestFieldData::LoadData(IKVStorage& s) {
  TQXDDataBase::LoadData(s);
  m_DestFieldname = s.ReadString("DestFieldname", "");
  m_SourceRecordsetFieldname = s.ReadString("SourceRecordsetFieldname", "");
  m_FieldValueorigin = ClampEnum<TQXFieldValueOrigin>(s.ReadInteger("FieldValueorigin", 0), 2);
  m_DestRecordsetName = s.ReadString("DestRecordsetName", "");
  m_DestRecordsetFieldname = s.ReadString("DestRecordsetFieldname", "");
  m_AssignValueWhenEditing = s.ReadBoolean("AssignValueWhenEditing", true);
  m_AssignValueWhenInserting = s.ReadBoolean("AssignValueWhenInserting", true);
  m_LocateWithValue = s.ReadBoolean("LocateWithValue", false);
  m_MatchKind = ClampEnum<TQXMatchKind>(s.ReadInteger("MatchKind", 0), 1);
  m_MatchCase = s.ReadBoolean("MatchCase", false);
  m_AssignMode = ClampEnum<TQXAssignMode>(s.ReadInteger("AssignMode", 0), 3);
  m_FixedValue = s.ReadString("FixedValue", "");
  m_IgnoreRecordIfNULL = s.ReadBoolean("IgnoreRecordIfNULL", false);
  UpdateImages();
}

void TQXDDestFieldData::StoreData(IKVStorage& s) {
  TQXDDataBase::StoreData(s);
  KVWriteStringIfDiffers(s, "DestFieldname", m_DestFieldname, "");
  KVWriteStringIfDiffers(s, "SourceRecordsetFieldname", m_SourceRecordsetFieldname, "");
  KVWriteIntegerIfDiffers(s, "FieldValueorigin", m_FieldValueorigin, 0);
  KVWriteStringIfDiffers(s, "DestRecordsetName", m_DestRecordsetName, "");
  KVWriteStringIfDiffers(s, "DestRecordsetFieldname", m_DestRecordsetFieldname, "");
  KVWriteBooleanIfDiffers(s, "AssignValueWhenEditing", m_AssignValueWhenEditing, true);
  KVWriteBooleanIfDiffers(s, "AssignValueWhenInserting", m_AssignValueWhenInserting, true);
  KVWriteBooleanIfDiffers(s, "LocateWithValue", m_LocateWithValue, false);
  KVWriteIntegerIfDiffers(s, "MatchKind", m_MatchKind, 0);
  KVWriteBooleanIfDiffers(s, "MatchCase", m_MatchCase, false);
  KVWriteIntegerIfDiffers(s, "AssignMode", m_AssignMode, 0);
  KVWriteStringIfDiffers(s, "FixedValue", m_FixedValue, "");
  KVWriteBooleanIfDiffers(s, "IgnoreRecordIfNULL", m_IgnoreRecordIfNULL, false);
}

// --- Functions -------------------------------------------------------------------------------------------

// --- Schema hints ----------------------------------------------------------------------------------------

namespace {
std::atomic<IQXSchemaHintSource*> g_SchemaHints{nullptr};

// The data source name a schema page of the database node above `item` is known by.
std::string DataSourceAbove(const TKVTreeItem* item) {
  for (const TKVTreeItem* p = item ? item->Parent() : nullptr; p; p = p->Parent())
    if (auto* c = p->DataAs<TQXDConnectionData>())
      return KVDataSourceNameOfConnectionString(c->Connection().Properties().ConnectionString());
  return {};
}
}  // namespace

IQXSchemaHintSource* QXSetSchemaHintSource(IQXSchemaHintSource* source) { return g_SchemaHints.exchange(source); }
IQXSchemaHintSource* QXSchemaHintSource() { return g_SchemaHints.load(); }

std::string TQXDRecordsetData::GetHintText() const {
  IQXSchemaHintSource* hints = QXSchemaHintSource();
  if (!hints || !Item()) return {};
  return hints->TableHint(DataSourceAbove(Item()), Item()->Title()).value_or(std::string());
}

std::string TQXDDestFieldData::GetHintText() const {
  IQXSchemaHintSource* hints = QXSchemaHintSource();
  const TKVTreeItem* rs = Item() ? Item()->Parent() : nullptr;
  if (!hints || !rs) return {};
  return hints->ColumnHint(DataSourceAbove(rs), rs->Title(), Item()->Title()).value_or(std::string());
}

std::string TQXDFieldFuncData::GetHintText() const { return m_Function ? m_Function->Description : std::string(); }

std::unique_ptr<TFVFuncArgument> TQXDFieldFuncData::NewArgument(const TKVVariant& value) {
  return std::make_unique<TFVFuncArgument>(value);
}

TFVFuncArgument& TQXDFieldFuncData::AppendArgument(const TKVVariant& value) {
  m_Arguments.push_back(NewArgument(value));
  Changed();
  return *m_Arguments.back();
}

void TQXDFieldFuncData::SetArgumentValue(size_t index, const TKVVariant& value) {
  if (index >= m_Arguments.size())
    throw EKVException("Argument index out of range", this, "TQXDFieldFuncData.SetArgumentValue");
  // The argument keeps the type it was created with (its parameter's default, else the value it holds), so
  // a text typed into an integer argument is stored as the integer; a value that does not convert raises
  // and the argument keeps its value.
  uint16_t created = m_Function && index < m_Function->Parameters.size() ? m_Function->Parameters[index].Default.VarType()
                                                                          : m_Arguments[index]->Value().VarType();
  if (created == varEmpty || created == value.VarType() || value.IsEmptyOrNull()) {
    m_Arguments[index]->SetValue(value);
  } else {
    TKVVariant converted;
    try {
      converted = value.ChangeType(created);
    } catch (const std::exception&) {
      throw EKVException("The value \"" + value.AsString() + "\" cannot be converted to the type of the argument " +
                             std::to_string(index + 1),
                         this, "TQXDFieldFuncData.SetArgumentValue");
    }
    m_Arguments[index]->SetValue(converted);
  }
  Changed();
}

void TQXDFieldFuncData::ClearArguments() {
  if (m_Arguments.empty()) return;
  m_Arguments.clear();
  Changed();
}

void TQXDFieldFuncData::SetFunctionId(const TGUID& id) {
  if (id == m_FunctionId) return;
  ApplyFunctionId(id);
}

void TQXDFieldFuncData::ApplyFunctionId(const TGUID& id) {
  m_FunctionId = id;
  m_Function = QXFindFunction(id);
  if (m_Function) {
    if (TKVTreeItem* item = Item()) item->SetTitle(m_Function->Name);
    m_Arguments.clear();
    for (const auto& p : m_Function->Parameters) m_Arguments.push_back(NewArgument(p.Default));
  }
  Changed();
}

TKVVariant TQXDFieldFuncData::CallFunction(const TKVVariant& value, const IQXCancelCheck* cancel) {
  if (!m_Function)
    throw EKVException("No plugin has registered a function with id " + m_FunctionId.ToString(), this,
                       "TQXDFieldFuncData.CallFunction");
  return m_Function->Call(*this, value, cancel);
}

bool TQXDFieldFuncData::CanLeave() { return m_Function ? m_Function->CheckArguments(*this) : true; }

TQXValidationResult TQXDFieldFuncData::ValidateFunction() {
  if (m_Function) return m_Function->Validate(*this);
  TQXValidationResult r;
  r.Message = "Function \"" + Title() +
              "\" not found in any loaded plugin. This function will not be called when executing a data "
              "reorganization.";
  r.Severity = TKVSeverity::Warning;
  return r;
}

void TQXDFieldFuncData::LoadData(IKVStorage& s) {
  TQXDDataBase::LoadData(s);
  TGUID id = TGUID::TryParse(s.ReadString("FunctionId", "")).value_or(TGUID{});
  // The lookup is redone even for an id equal to the current one: the node may have been made before the
  // plug-ins were registered.
  ApplyFunctionId(id);
  for (const std::string& name : s.ReadValueNames()) {
    constexpr size_t prefixLen = 8;  // "Argument"
    if (name.size() < prefixLen || !KVSameText(name.substr(0, prefixLen), "Argument")) continue;
    TKVVariant value = s.ReadVariant(name, TKVVariant());
    std::string rest = name.substr(prefixLen);
    int32_t index = -1;
    bool digits = !rest.empty() && std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits && KVTryParseInt32(rest, index) && index >= 0 && static_cast<size_t>(index) < m_Arguments.size())
      m_Arguments[static_cast<size_t>(index)]->SetValue(value);
    else
      m_Arguments.push_back(NewArgument(value));
  }
  UpdateActive();
}

void TQXDFieldFuncData::StoreData(IKVStorage& s) {
  TQXDDataBase::StoreData(s);
  s.WriteString("FunctionId", m_FunctionId.ToString());
  char name[32];
  for (size_t i = 0; i < m_Arguments.size(); ++i) {
    std::snprintf(name, sizeof name, "Argument%.3d", static_cast<int>(i));
    s.WriteVariant(name, m_Arguments[i]->Value());
  }
}

// --- Node kind table -------------------------------------------------------------------------------------

namespace {
template <class T>
bool IsA(const TKVTreeNodeData* d) {
  return dynamic_cast<const T*>(d) != nullptr;
}
bool NeverParent(const TKVTreeNodeData*) { return false; }

const std::array<TQXDNodeKind, 6> kNodeKinds = {{
    {0, "TQXDSourceConnectionData", nullptr, "{0CD214F3-96EB-4e8a-9575-7A2A61646294}", "Source Database", 0,
     &IsA<TQXDSourceConnectionData>, &NeverParent},
    {1, "TQXDSourceRSData", "TQXDSourceConnectionData", "{6888FD40-297B-4410-A477-555E72A61965}", "Source Recordset",
     1, &IsA<TQXDSourceRSData>, &IsA<TQXDSourceConnectionData>},
    {2, "TQXDDestConnectionData", "TQXDSourceRSData", "{B500968A-FC37-4d67-A948-B4AAD6436A66}",
     "Destination Database", 2, &IsA<TQXDDestConnectionData>, &IsA<TQXDSourceRSData>},
    {3, "TQXDDestRSData", "TQXDDestConnectionData", "{E02B92A7-762B-4e5c-BBA8-9196DB36F369}",
     "Destination Recordset", 3, &IsA<TQXDDestRSData>, &IsA<TQXDDestConnectionData>},
    {4, "TQXDDestFieldData", "TQXDDestRSData", "{677308A7-6233-4bf8-873F-AC31055214A8}", "Destination Field", 4,
     &IsA<TQXDDestFieldData>, &IsA<TQXDDestRSData>},
    {5, "TQXDFieldFuncData", "TQXDDestFieldData", "{F1289A8D-6005-478f-A26F-DC802354B31D}", "Function Arguments", 5,
     &IsA<TQXDFieldFuncData>, &IsA<TQXDDestFieldData>},
}};
}  // namespace

bool TQXDNodeKind::AllowsParent(const TKVTreeItem* parent) const {
  if (!parent) return AllowsTopLevel();
  return parent->Data() && IsParent(parent->Data());
}

const std::array<TQXDNodeKind, 6>& QXDNodeKinds() { return kNodeKinds; }

const TQXDNodeKind* QXDFindNodeKind(const TKVTreeNodeData* data) {
  if (!data) return nullptr;
  for (const auto& k : kNodeKinds)
    if (k.IsInstance(data)) return &k;
  return nullptr;
}

const TQXDNodeKind* QXDFindNodeKind(const TKVTreeItem* item) { return item ? QXDFindNodeKind(item->Data()) : nullptr; }

const TQXDNodeKind* QXDFindNodeKindByFormat(const std::string& formatName) {
  for (const auto& k : kNodeKinds)
    if (KVSameText(k.ClipboardFormat, formatName)) return &k;
  return nullptr;
}

std::string QXDDetailCaption(const TKVTreeItem* item) {
  if (!item) return "General";
  const TQXDNodeKind* kind = QXDFindNodeKind(item);
  std::string title = item->Title();
  title = std::string(KVTrim(std::string_view(title).substr(0, title.find('<')), " "));
  return std::string(kind ? kind->Caption : "") + ": " + title;
}

// --- Class registry --------------------------------------------------------------------------------------

namespace {
struct TRegistry {
  std::mutex Lock;
  std::map<std::string, TQXDNodeDataCreator> Classes;  // by upper-case name
};

template <class T>
std::unique_ptr<TKVTreeNodeData> Make() {
  return std::make_unique<T>();
}

TRegistry& Registry() {
  static TRegistry* r = [] {
    auto* reg = new TRegistry;
    auto add = [&](const char* name, TQXDNodeDataCreator c) { reg->Classes[KVUpperCase(name)] = c; };
    add("TKVRefLifeObject", nullptr);  // an ancestor, but not tree node data
    add("TKVTreeNodeData", &Make<TKVTreeNodeData>);
    add("TQXDDataBase", &Make<TQXDDataBase>);
    add("TQXDConnectionData", &Make<TQXDConnectionData>);
    add("TQXDSourceConnectionData", &Make<TQXDSourceConnectionData>);
    add("TQXDDestConnectionData", &Make<TQXDDestConnectionData>);
    add("TQXDRecordsetData", &Make<TQXDRecordsetData>);
    add("TQXDSourceRSData", &Make<TQXDSourceRSData>);
    add("TQXDSourceTableData", &Make<TQXDSourceTableData>);
    add("TQXDSourceSysTableData", &Make<TQXDSourceSysTableData>);
    add("TQXDSourceViewData", &Make<TQXDSourceViewData>);
    add("TQXDSourceProcData", &Make<TQXDSourceProcData>);
    add("TQXDDestRSData", &Make<TQXDDestRSData>);
    add("TQXDDestFieldData", &Make<TQXDDestFieldData>);
    add("TQXDFieldFuncData", &Make<TQXDFieldFuncData>);
    return reg;
  }();
  return *r;
}
}  // namespace

std::unique_ptr<TKVTreeNodeData> QXDCreateNodeData(const std::string& className) {
  TQXDNodeDataCreator creator = nullptr;
  {
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> guard(r.Lock);
    auto it = r.Classes.find(KVUpperCase(className));
    if (it == r.Classes.end()) return nullptr;
    creator = it->second;
  }
  return creator ? creator() : nullptr;
}

bool QXDIsNodeClass(const std::string& className) {
  TRegistry& r = Registry();
  std::lock_guard<std::mutex> guard(r.Lock);
  auto it = r.Classes.find(KVUpperCase(className));
  return it != r.Classes.end() && it->second != nullptr;
}

void QXDRegisterNodeClass(const std::string& className, TQXDNodeDataCreator creator) {
  TRegistry& r = Registry();
  std::lock_guard<std::mutex> guard(r.Lock);
  r.Classes[KVUpperCase(className)] = creator;
}

// --- Tree-wide helpers -----------------------------------------------------------------------------------

TQXDDataBase* QXDData(const TKVTreeItem* item) { return item ? item->DataAs<TQXDDataBase>() : nullptr; }

namespace {
// Pre-order with a stack of our own: trees nest deeper than the call stack allows.
void VisitSubtree(TKVTreeItem& item, const std::function<void(TKVTreeItem&)>& visit) {
  visit(item);
  std::vector<std::pair<TKVTreeItem*, size_t>> levels{{&item, 0}};
  while (!levels.empty()) {
    auto& [parent, next] = levels.back();
    if (next >= parent->ChildCount()) {
      levels.pop_back();
      continue;
    }
    TKVTreeItem& child = *parent->Child(next++);
    visit(child);
    levels.emplace_back(&child, 0);
  }
}
}  // namespace

void QXDUpdateSubtreeActive(TKVTreeItem& item) {
  VisitSubtree(item, [](TKVTreeItem& it) {
    if (TQXDDataBase* d = QXDData(&it)) d->UpdateActive();
  });
}

void QXDSetSubtreeOpen(TKVTreeItem* start, bool open, bool withSiblings) {
  for (TKVTreeItem* item = start; item; item = withSiblings ? item->NextSiblingItem() : nullptr) {
    VisitSubtree(*item, [open](TKVTreeItem& it) {
      TQXDDataBase* d = QXDData(&it);
      if (!d || !d->Active()) return;
      if (open) {
        d->Open();
      } else {
        try {
          d->Close();
        } catch (...) {
        }
      }
    });
  }
}

std::string QXDNodePath(const TKVTreeItem& item) {
  std::string path = item.Title();
  for (const TKVTreeItem* p = item.Parent(); p; p = p->Parent()) path = p->Title() + "." + path;
  return path;
}

namespace {
TKVTreeItem* FindPath(const TKVTreeModel& model, TKVTreeItem* parent, const std::string& rest) {
  size_t count = parent ? parent->ChildCount() : model.TopLevelCount();
  for (size_t i = 0; i < count; ++i) {
    TKVTreeItem* child = parent ? parent->Child(i) : model.TopLevel(i);
    const std::string& title = child->Title();
    if (rest.size() < title.size() || !KVSameText(rest.substr(0, title.size()), title)) continue;
    if (rest.size() == title.size()) return child;
    if (rest[title.size()] != '.') continue;
    if (TKVTreeItem* found = FindPath(model, child, rest.substr(title.size() + 1))) return found;
  }
  return nullptr;
}
}  // namespace

TKVTreeItem* QXDFindNodeByPath(const TKVTreeModel& model, const std::string& path) {
  return FindPath(model, nullptr, path);
}
