#pragma once
// The reorganization definition's node classes and the rules every other part of the definition reads:
// the node kind table (structure and subtree image formats), the class registry used when a document is
// loaded, the derived "active" state with its state image, opening and closing a subtree for a run, and
// node paths.
//
// The tree is a chain of six node kinds: source database > source recordset > destination database >
// destination recordset > destination field > field value function. Every node is a TKVTreeItem of a
// TKVTreeModel carrying one TQXDDataBase descendant; the item owns it.
//
// Persistence (node directory, after the item's "DataClassName", "State" and "Title"; values equal to
// their default are not written):
//   all nodes                   "Checked" (true)
//   connection nodes            subdirectory "ConnectProperties" (the connection's property set)
//   TQXDDestConnectionData      "TransactionSize" (0)
//   recordset nodes             subdirectory "RecordsetProperties" (the recordset's properties and "SQL")
//   TQXDSourceRSData and below  "MaxRecordsToRead" (0)
//   TQXDDestRSData              "AlwaysInsertNewRecord" (true), "EditRecordIfExists" (false),
//                               "InsertRecordIfNotExists" (true), "AssertRecordExists" (false)
//   TQXDDestFieldData           "DestFieldname", "SourceRecordsetFieldname", "FieldValueorigin" (0),
//                               "DestRecordsetName", "DestRecordsetFieldname", "AssignValueWhenEditing"
//                               (true), "AssignValueWhenInserting" (true), "LocateWithValue" (false),
//                               "MatchKind" (0), "MatchCase" (false), "AssignMode" (0), "FixedValue",
//                               "IgnoreRecordIfNULL" (false); the three enumerations are clamped on load
//   TQXDFieldFuncData           "FunctionId" (always), "Argument000", "Argument001", ... (always)
// Definition nodes store their title themselves, so "ImageIdx"/"SelectedImgIdx" are never written; the
// node sets its image when it is loaded or created.
//
// Property setters announce a change of the node (TKVItemChange::Data) to the model's observers, which
// marks the document modified, when the value differs and the node is in a tree.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/KVOdbcConnection.h"
#include "db/KVOdbcLocate.h"
#include "db/KVOdbcRecordset.h"
#include "definition/KVTreeModel.h"
#include "definition/QXDFunctions.h"

class TQXDConnectionData;

// --- Base of all definition nodes ----------------------------------------------------------------------

class TQXDDataBase : public TKVTreeNodeData {
 public:
  TQXDDataBase() = default;
  std::string ClassName() const override { return "TQXDDataBase"; }
  bool SkipsItemValues() const override { return true; }

  // The item's title (empty while the node is not in a tree).
  std::string Title() const;

  bool Checked() const { return m_Checked; }
  // Stores the value and refreshes the state image when it differs; callers then recompute Active for the
  // node's subtree (QXDUpdateSubtreeActive).
  virtual void SetChecked(bool checked);
  // Derived: checked, and no definition node above it unchecked. Only active nodes take part in a run.
  bool Active() const { return m_Active; }
  virtual void SetActive(bool active);
  // Recomputes Active from this node and its ancestors.
  void UpdateActive();
  // 1 active unchecked, 2 active checked, 3 inactive unchecked, 4 inactive checked.
  int StateImage() const { return 1 + 2 * (m_Active ? 0 : 1) + (m_Checked ? 1 : 0); }
  // The node image of this node's kind (the item's image and selected image are set to it).
  virtual int NodeImage() const { return -1; }
  // Puts the node image and the state image onto the item.
  void UpdateImages();

  // Validation result: severity 0..4 (TKVSeverity), and where the node's lines are in the report
  // (header start, header length, result start, result length; -1 when none).
  uint8_t ValidationSeverity() const { return m_ValidationSeverity; }
  void SetValidationSeverity(uint8_t severity);
  const std::array<int, 4>& ValidationReportRange() const { return m_ReportRange; }
  void SetValidationReportRange(const std::array<int, 4>& range) { m_ReportRange = range; }
  // Severity 0 and the range back to -1 (also removes the bold state the severity gave the item).
  void ClearValidation();
  // The foreign-key level given by the dependency sort (0 otherwise).
  int SortOrder() const { return m_SortOrder; }
  void SetSortOrder(int order) { m_SortOrder = order; }

  // Asked before the selection leaves the node; false keeps the selection.
  virtual bool CanLeave() { return true; }
  // Run preparation and clean-up. Close swallows every error and leaves the node usable for another run.
  virtual void Open() {}
  virtual void Close() {}

  // Base: "Checked", then Active and the images are brought up to date.
  void LoadData(IKVStorage& storage) override;
  void StoreData(IKVStorage& storage) override;

 protected:
  // Announces a property change (modifies the document) when the node is in a tree.
  void Changed();
  // The nearest connection node above this one (null when there is none).
  TQXDConnectionData* ParentConnectionNode() const;

 private:
  bool m_Checked = true;
  bool m_Active = false;
  uint8_t m_ValidationSeverity = 0;
  std::array<int, 4> m_ReportRange{-1, -1, -1, -1};
  int m_SortOrder = 0;
};

// --- Databases -----------------------------------------------------------------------------------------

// Owns a connection bound to the program's ODBC environment.
class TQXDConnectionData : public TQXDDataBase {
 public:
  TQXDConnectionData();
  ~TQXDConnectionData() override;
  std::string ClassName() const override { return "TQXDConnectionData"; }

  TKVOdbcConnection& Connection() const { return *m_Connection; }
  const TKVRef<TKVOdbcConnection>& ConnectionRef() const { return m_Connection; }

  // Opens the connection / closes it, swallowing any error.
  void Open() override;
  void Close() override;

  void LoadData(IKVStorage& storage) override;
  void StoreData(IKVStorage& storage) override;

 private:
  TKVRef<TKVOdbcConnection> m_Connection;
};

class TQXDSourceConnectionData : public TQXDConnectionData {
 public:
  std::string ClassName() const override { return "TQXDSourceConnectionData"; }
  int NodeImage() const override { return 0; }
};

class TQXDDestConnectionData : public TQXDConnectionData {
 public:
  std::string ClassName() const override { return "TQXDDestConnectionData"; }
  int NodeImage() const override { return 2; }

  // Modifying operations per transaction; 0 means autocommit.
  int32_t TransactionSize() const { return m_TransactionSize; }
  void SetTransactionSize(int32_t size);

  // Open: opens, then with a transaction size autocommit off and BeginTransaction, else autocommit on.
  // Close: with a transaction size commit (rolling back when that fails, every error swallowed), then
  // closes.
  void Open() override;
  void Close() override;

  void LoadData(IKVStorage& storage) override;
  void StoreData(IKVStorage& storage) override;

 private:
  int32_t m_TransactionSize = 0;
};

// --- Recordsets ----------------------------------------------------------------------------------------

// Owns a recordset whose column list is "*", bound to the connection of the database node above.
class TQXDRecordsetData : public TQXDDataBase {
 public:
  TQXDRecordsetData();
  ~TQXDRecordsetData() override;
  std::string ClassName() const override { return "TQXDRecordsetData"; }
  // The schema's hint of the table named like this node, while the schema of the database above is loaded.
  std::string GetHintText() const override;

  TKVOdbcRecordset& Recordset() const { return *m_Recordset; }

  // The table the recordset reads: the FROM clause of its SQL text. Setting it replaces that clause.
  std::string TableName() const;
  void SetTableName(const std::string& tableName);
  // The whole SQL text.
  std::string SQL() const;
  void SetSQL(const std::string& sql);
  // The select list of the SQL text ("*" for a new node).
  void SetColumnList(const std::string& columns);

  // Binds the recordset to the connection of the nearest database node above (none when there is none).
  // Refused while the recordset is open.
  void BindToParentConnection();

  // Open: keeps the SQL text in SavedSQL, then opens the recordset. Close: closes it (errors swallowed)
  // and, when it had been opened, puts SavedSQL back, so SQL changed during a run does not survive it.
  void Open() override;
  void Close() override;
  const std::string& SavedSQL() const { return m_SavedSQL; }
  bool Opened() const { return m_Opened; }

  // "RecordsetProperties" is loaded into fresh properties, which the recordset then takes over; the
  // recordset is bound to the parent database node's connection.
  void LoadData(IKVStorage& storage) override;
  void StoreData(IKVStorage& storage) override;

 private:
  TKVRef<TKVOdbcRecordset> m_Recordset;
  std::string m_SavedSQL;
  bool m_Opened = false;
};

// The free-SQL source recordset; the schema-derived ones below add nothing.
class TQXDSourceRSData : public TQXDRecordsetData {
 public:
  std::string ClassName() const override { return "TQXDSourceRSData"; }
  int NodeImage() const override { return 1; }

  // 0 reads every record.
  int32_t MaxRecordsToRead() const { return m_MaxRecordsToRead; }
  void SetMaxRecordsToRead(int32_t count);

  void LoadData(IKVStorage& storage) override;
  void StoreData(IKVStorage& storage) override;

 private:
  int32_t m_MaxRecordsToRead = 0;
};

class TQXDSourceTableData : public TQXDSourceRSData {
 public:
  std::string ClassName() const override { return "TQXDSourceTableData"; }
};
class TQXDSourceSysTableData : public TQXDSourceRSData {
 public:
  std::string ClassName() const override { return "TQXDSourceSysTableData"; }
};
class TQXDSourceViewData : public TQXDSourceRSData {
 public:
  std::string ClassName() const override { return "TQXDSourceViewData"; }
};
class TQXDSourceProcData : public TQXDSourceRSData {
 public:
  std::string ClassName() const override { return "TQXDSourceProcData"; }
};

// Receives the lines a run writes into the operation report (the engine supplies it).
class IQXReportSink {
 public:
  virtual ~IQXReportSink() = default;
  // `color` is a COLORREF (0x00BBGGRR).
  virtual void ReportLine(const std::string& text, uint32_t color) = 0;
};

class TQXDDestRSData : public TQXDRecordsetData {
 public:
  std::string ClassName() const override { return "TQXDDestRSData"; }
  int NodeImage() const override { return 3; }

  bool AlwaysInsertNewRecord() const { return m_AlwaysInsertNewRecord; }
  void SetAlwaysInsertNewRecord(bool on);
  bool EditRecordIfExists() const { return m_EditRecordIfExists; }
  void SetEditRecordIfExists(bool on);
  bool InsertRecordIfNotExists() const { return m_InsertRecordIfNotExists; }
  void SetInsertRecordIfNotExists(bool on);
  bool AssertRecordExists() const { return m_AssertRecordExists; }
  void SetAssertRecordExists(bool on);

  // Run statistics, zeroed by Open.
  int32_t RecordsInserted = 0, RecordsEdited = 0, RecordsSkipped = 0;
  uint8_t RunFlags = 0;
  // Where Close reports the statistics (null: not reported). Not owned.
  void SetReportSink(IQXReportSink* sink) { m_ReportSink = sink; }
  IQXReportSink* ReportSink() const { return m_ReportSink; }
  // The report line Close writes when records were inserted or edited (colour 0x800000).
  std::string StatisticsLine() const;

  void Open() override;
  void Close() override;

  void LoadData(IKVStorage& storage) override;
  void StoreData(IKVStorage& storage) override;

 private:
  bool m_AlwaysInsertNewRecord = true;
  bool m_EditRecordIfExists = false;
  bool m_InsertRecordIfNotExists = true;
  bool m_AssertRecordExists = false;
  IQXReportSink* m_ReportSink = nullptr;
};

// --- Destination fields --------------------------------------------------------------------------------

// Where a destination field's value comes from.
enum TQXFieldValueOrigin : uint8_t { fvoSourceRecordset = 0, fvoDestRecordset = 1, fvoFixedValue = 2 };
// The match kinds of a locate request: a destination field says how its value is looked for.
using TQXMatchKind = TKVMatchKind;
enum TQXAssignMode : uint8_t { amAssignValue = 0, amInsertAtBeginning = 1, amAppendToEnd = 2, amNumericAdd = 3 };

class TQXDDestFieldData : public TQXDDataBase {
 public:
  std::string ClassName() const override { return "TQXDDestFieldData"; }
  // The schema's hint of the column named like this node in the table named like its recordset, while the
  // schema of the destination database is loaded.
  std::string GetHintText() const override;
  // 4, or 6 when the value is used to find an existing record.
  int NodeImage() const override { return m_LocateWithValue ? 6 : 4; }

  const std::string& DestFieldname() const { return m_DestFieldname; }
  void SetDestFieldname(const std::string& v);
  const std::string& SourceRecordsetFieldname() const { return m_SourceRecordsetFieldname; }
  void SetSourceRecordsetFieldname(const std::string& v);
  TQXFieldValueOrigin FieldValueorigin() const { return m_FieldValueorigin; }
  void SetFieldValueorigin(int v);  // clamped into 0..2
  const std::string& DestRecordsetName() const { return m_DestRecordsetName; }
  void SetDestRecordsetName(const std::string& v);
  const std::string& DestRecordsetFieldname() const { return m_DestRecordsetFieldname; }
  void SetDestRecordsetFieldname(const std::string& v);
  bool AssignValueWhenEditing() const { return m_AssignValueWhenEditing; }
  void SetAssignValueWhenEditing(bool v);
  bool AssignValueWhenInserting() const { return m_AssignValueWhenInserting; }
  void SetAssignValueWhenInserting(bool v);
  // "Use value to find existing record"; switches the node image.
  bool LocateWithValue() const { return m_LocateWithValue; }
  void SetLocateWithValue(bool v);
  TQXMatchKind MatchKind() const { return m_MatchKind; }
  void SetMatchKind(int v);  // clamped into 0..1
  bool MatchCase() const { return m_MatchCase; }
  void SetMatchCase(bool v);
  TQXAssignMode AssignMode() const { return m_AssignMode; }
  void SetAssignMode(int v);  // clamped into 0..3
  const std::string& FixedValue() const { return m_FixedValue; }
  void SetFixedValue(const std::string& v);
  // "Skip record if source value is NULL".
  bool IgnoreRecordIfNULL() const { return m_IgnoreRecordIfNULL; }
  void SetIgnoreRecordIfNULL(bool v);

  // Run state owned by the engine; Open and Close reset it (value Null, info 0, 0x80000000, 0, 0).
  TKVVariant RunValue;
  std::array<int32_t, 4> RunInfo{0, static_cast<int32_t>(0x80000000u), 0, 0};
  void Open() override { ResetRunState(); }
  void Close() override { ResetRunState(); }

  void LoadData(IKVStorage& storage) override;
  void StoreData(IKVStorage& storage) override;

 private:
  void ResetRunState();
  std::string m_DestFieldname, m_SourceRecordsetFieldname;
  TQXFieldValueOrigin m_FieldValueorigin = fvoSourceRecordset;
  std::string m_DestRecordsetName, m_DestRecordsetFieldname;
  bool m_AssignValueWhenEditing = true, m_AssignValueWhenInserting = true;
  bool m_LocateWithValue = false;
  TQXMatchKind m_MatchKind = mkExactMatch;
  bool m_MatchCase = false;
  TQXAssignMode m_AssignMode = amAssignValue;
  std::string m_FixedValue;
  bool m_IgnoreRecordIfNULL = false;
};

// --- Field value functions -----------------------------------------------------------------------------

// One argument of a function node. The plug-in host may derive its own argument objects from it (see
// TQXDFieldFuncData::NewArgument).
class TFVFuncArgument {
 public:
  explicit TFVFuncArgument(TKVVariant value = {}) : m_Value(std::move(value)) {}
  virtual ~TFVFuncArgument() = default;
  const TKVVariant& Value() const { return m_Value; }
  virtual void SetValue(const TKVVariant& value) { m_Value = value; }

 private:
  TKVVariant m_Value;
};

class TQXDFieldFuncData : public TQXDDataBase {
 public:
  std::string ClassName() const override { return "TQXDFieldFuncData"; }
  int NodeImage() const override { return 5; }
  // The function's description; empty when the function is not registered.
  std::string GetHintText() const override;

  const TGUID& FunctionId() const { return m_FunctionId; }
  // When the id differs: stores it and looks the function up (QXFindFunction). When found, the title
  // becomes the function's name and the arguments are rebuilt, one per parameter with its default. When
  // not found, Function() is null and title and arguments stay as they are.
  void SetFunctionId(const TGUID& id);
  // The registered function, or null when no loaded plug-in supplies it.
  const TQXFunctionRef& Function() const { return m_Function; }

  size_t ArgumentCount() const { return m_Arguments.size(); }
  TFVFuncArgument& Argument(size_t index) const { return *m_Arguments[index]; }
  TFVFuncArgument& AppendArgument(const TKVVariant& value);
  void SetArgumentValue(size_t index, const TKVVariant& value);
  void ClearArguments();

  // Computes the function's value; `cancel` lets a long call stop early (EQXCallCancelled) when the run
  // making it is cancelled. A missing function raises EKVException naming the id.
  TKVVariant CallFunction(const TKVVariant& value, const IQXCancelCheck* cancel = nullptr);
  // Lets the function check the arguments (true when the function is missing).
  bool CanLeave() override;
  // The function's check of the arguments (TQXFunctionInfo::Validate); a missing function is a warning
  // that runs will not call it.
  TQXValidationResult ValidateFunction();

  // "FunctionId" (an unparsable text gives the zero id), SetFunctionId, then every "ArgumentNNN" value:
  // NNN a decimal index within the argument list sets that argument, anything else is appended.
  void LoadData(IKVStorage& storage) override;
  void StoreData(IKVStorage& storage) override;

 protected:
  // Makes the object for a new argument (the plug-in host may give its own).
  virtual std::unique_ptr<TFVFuncArgument> NewArgument(const TKVVariant& value);

 private:
  void ApplyFunctionId(const TGUID& id);
  TGUID m_FunctionId{};
  TQXFunctionRef m_Function;
  std::vector<std::unique_ptr<TFVFuncArgument>> m_Arguments;
};

// --- Schema hints --------------------------------------------------------------------------------------

// The loaded schemas of the schema pages, as far as the node hints need them. The program installs one;
// without it (headless tools) recordset and field nodes have no hint.
class IQXSchemaHintSource {
 public:
  virtual ~IQXSchemaHintSource() = default;
  // The hint of the table, view or procedure `table` in the loaded schema of the data source; nullopt when
  // that schema is not loaded or has no such entry.
  virtual std::optional<std::string> TableHint(const std::string& dataSourceName, const std::string& table) const = 0;
  // The hint of a column of a table, as above.
  virtual std::optional<std::string> ColumnHint(const std::string& dataSourceName, const std::string& table,
                                                const std::string& column) const = 0;
};
// Installs a source (null removes it) and returns the previous one; the caller keeps it alive meanwhile.
IQXSchemaHintSource* QXSetSchemaHintSource(IQXSchemaHintSource* source);
IQXSchemaHintSource* QXSchemaHintSource();

// --- Node kind table -----------------------------------------------------------------------------------

struct TQXDNodeKind {
  int Row;
  const char* ClassName;
  const char* ParentClassName;  // null: top level
  const char* ClipboardFormat;  // the subtree image's format name
  const char* Caption;          // heads the node's detail page
  int Image;
  // Whether a node's data is of this kind (an instance of ClassName or a descendant).
  bool (*IsInstance)(const TKVTreeNodeData* data);
  // Whether a node's data may be this kind's parent (null data never may; top level is AllowsTopLevel).
  bool (*IsParent)(const TKVTreeNodeData* data);
  bool AllowsTopLevel() const { return ParentClassName == nullptr; }
  // Whether `parent` (null: top level) may hold a node of this kind.
  bool AllowsParent(const TKVTreeItem* parent) const;
};

// The six rows, in row order: source database, source recordset, destination database, destination
// recordset, destination field, function.
const std::array<TQXDNodeKind, 6>& QXDNodeKinds();
// The first row whose class the data is an instance of; null for other data and for null.
const TQXDNodeKind* QXDFindNodeKind(const TKVTreeNodeData* data);
const TQXDNodeKind* QXDFindNodeKind(const TKVTreeItem* item);
// The row with that clipboard format name (case-insensitive); null when none.
const TQXDNodeKind* QXDFindNodeKindByFormat(const std::string& formatName);
// "Source Database": node title cut before its first "<", blanks trimmed; "General" without a node.
std::string QXDDetailCaption(const TKVTreeItem* item);

// --- Class registry ------------------------------------------------------------------------------------

// Makes node data for a stored class name: the nine concrete definition classes and their ancestors
// (TQXDDataBase, TQXDConnectionData, TQXDRecordsetData, TKVTreeNodeData), case-insensitive. Unknown names
// and registered classes that are not tree node data give null (the item then loads without data).
std::unique_ptr<TKVTreeNodeData> QXDCreateNodeData(const std::string& className);
// Whether the name is a registered node data class.
bool QXDIsNodeClass(const std::string& className);
// Adds a class to the registry (a later registration of the same name replaces the earlier one).
// `creator` null registers a class that is not tree node data.
using TQXDNodeDataCreator = std::unique_ptr<TKVTreeNodeData> (*)();
void QXDRegisterNodeClass(const std::string& className, TQXDNodeDataCreator creator);

// --- Tree-wide helpers ---------------------------------------------------------------------------------

// The definition node data of an item (null for items without definition data).
TQXDDataBase* QXDData(const TKVTreeItem* item);
// Recomputes Active (and the state image) of the item and everything below it, in pre-order.
void QXDUpdateSubtreeActive(TKVTreeItem& item);
// Visits `start` (with `withSiblings` also its following siblings) with all descendants in pre-order and
// opens every active definition node; with `open` false closes the active nodes instead, swallowing every
// error. An error while opening passes on (nodes opened so far stay open; a following close handles them).
void QXDSetSubtreeOpen(TKVTreeItem* start, bool open, bool withSiblings);
// Titles from the top-level node down to the item, joined with ".".
std::string QXDNodePath(const TKVTreeItem& item);
// The item with that node path (titles case-insensitive; titles holding "." are matched whole); null
// when none.
TKVTreeItem* QXDFindNodeByPath(const TKVTreeModel& model, const std::string& path);
// The nearest item at or above `item` whose data is of the class (null when none).
template <class T>
TKVTreeItem* QXDFindAncestorItem(TKVTreeItem* item) {
  for (TKVTreeItem* p = item; p; p = p->Parent())
    if (p->DataAs<T>()) return p;
  return nullptr;
}
