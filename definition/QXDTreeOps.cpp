#include "definition/QXDTreeOps.h"

#include <algorithm>
#include <climits>

#include "db/KVOdbcSchemaRecordset.h"
#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"

namespace {

constexpr int32_t kNoSelection = INT32_MIN;  // 0x80000000

bool Ask(const std::string& question) {
  return KVMessageDialog(question, TKVSeverity::Confirmation, TKVMsgButtons::YesNo) == KV_IDYES;
}

// The title up to its first "#": destination recordsets of one table written twice are told apart by
// "Orders#2".
std::string TableOfTitle(const std::string& title) { return title.substr(0, title.find('#')); }

bool IsTableLike(TQXDSchemaItemKind k) {
  return k == TQXDSchemaItemKind::Table || k == TQXDSchemaItemKind::SysTable || k == TQXDSchemaItemKind::View ||
         k == TQXDSchemaItemKind::Procedure;
}

bool IsTopFolder(TQXDSchemaItemKind k) {
  return k == TQXDSchemaItemKind::TablesFolder || k == TQXDSchemaItemKind::SysTablesFolder ||
         k == TQXDSchemaItemKind::ViewsFolder || k == TQXDSchemaItemKind::ProceduresFolder;
}

std::unique_ptr<TQXDDataBase> SourceRecordsetFor(TQXDSchemaItemKind k) {
  switch (k) {
    case TQXDSchemaItemKind::SysTable: return std::make_unique<TQXDSourceSysTableData>();
    case TQXDSchemaItemKind::View: return std::make_unique<TQXDSourceViewData>();
    case TQXDSchemaItemKind::Procedure: return std::make_unique<TQXDSourceProcData>();
    default: return std::make_unique<TQXDSourceTableData>();
  }
}

// A destination recordset item for a drop target that is the recordset or one of its fields.
TKVTreeItem* DestRecordsetOf(TKVTreeItem* target) {
  if (!target) return nullptr;
  if (target->DataAs<TQXDDestRSData>()) return target;
  if (target->DataAs<TQXDDestFieldData>() && target->Parent() && target->Parent()->DataAs<TQXDDestRSData>())
    return target->Parent();
  return nullptr;
}

// Rule for columns: the recordset's title names the column's table (up to "#") and its database node is
// titled with the column's data source.
bool ColumnFits(const TQXDSchemaItem& column, const TKVTreeItem* destRs) {
  const TKVTreeItem* db = destRs->Parent();
  return db && db->DataAs<TQXDDestConnectionData>() && KVSameText(TableOfTitle(destRs->Title()), column.TableName) &&
         KVSameText(db->Title(), column.DataSourceName);
}

}  // namespace

// --- Settings from a storage -----------------------------------------------------------------------------

bool TQXDStorageTreeSettings::ConfirmSingleDelete() {
  std::lock_guard lock(m_Storage.CriticalSection());
  TKVVsdDirPathKeeper keeper(m_Storage, "\\GeneralSettings", false);
  return !keeper.Opened() || m_Storage.ReadBoolean("ConfirmSingleDelete", true);
}

bool TQXDStorageTreeSettings::ConfirmMultiDelete() {
  std::lock_guard lock(m_Storage.CriticalSection());
  TKVVsdDirPathKeeper keeper(m_Storage, "\\GeneralSettings", false);
  return !keeper.Opened() || m_Storage.ReadBoolean("ConfirmMultiDelete", true);
}

void TQXDStorageTreeSettings::LoadDefaultRecordsetProperties(TKVOdbcRecordsetProperties& properties) {
  KVVsdLoadData(m_Storage, "\\GeneralSettings\\DefaultRecordsetProperties", properties);
}

// --- Tree view -------------------------------------------------------------------------------------------

TQXDTreeView::TQXDTreeView(IQXDTreeSettings* settings) : m_Settings(settings) { AddObserver(this); }

TQXDTreeView::~TQXDTreeView() {
  RemoveObserver(this);
  m_Selected = nullptr;
}

void TQXDTreeView::ItemRemoving(TKVTreeItem& item) {
  if (m_Selected && (m_Selected == &item || item.IsAncestorOf(m_Selected))) {
    m_Selected = nullptr;
    if (OnSelectionChanged) OnSelectionChanged(nullptr);
  }
}

bool TQXDTreeView::Select(TKVTreeItem* item) {
  if (item == m_Selected) return true;
  if (TQXDDataBase* d = QXDData(m_Selected))
    if (!d->CanLeave()) return false;
  m_Selected = item;
  if (OnSelectionChanged) OnSelectionChanged(item);
  return true;
}

void TQXDTreeView::SetScrollPos(int32_t vertical, int32_t horizontal) {
  m_VScrollPos = vertical;
  m_HScrollPos = horizontal;
}

void TQXDTreeView::LoadData(IKVStorage& s) {
  int32_t selected = s.ReadInteger("SelectedNodeIdx", kNoSelection);
  m_VScrollPos = s.ReadInteger("VScrollPos", 0);
  m_HScrollPos = s.ReadInteger("HScrollPos", 0);
  LoadTree(s, [](const std::string& className) { return QXDCreateNodeData(className); });
  if (selected >= 0 && static_cast<size_t>(selected) < Count()) {
    m_Selected = nullptr;  // a stored selection is not left through CanLeave: the old one is gone
    Select(ItemAtPreOrder(selected));
  }
}

void TQXDTreeView::StoreViewValues(IKVStorage& s) {
  int32_t selected = m_Selected ? PreOrderIndex(m_Selected) : kNoSelection;
  if (selected < 0) selected = kNoSelection;
  KVWriteIntegerIfDiffers(s, "SelectedNodeIdx", selected, kNoSelection);
  KVWriteIntegerIfDiffers(s, "VScrollPos", m_VScrollPos, 0);
  KVWriteIntegerIfDiffers(s, "HScrollPos", m_HScrollPos, 0);
}

void TQXDTreeView::StoreData(IKVStorage& s) {
  TKVStorageUpdate update(s);
  StoreViewValues(s);
  StoreTree(s);
  update.Finish();
}

// --- Adding nodes ----------------------------------------------------------------------------------------

namespace {
struct TCommandRow {
  int KindRow;
  const char* Title;
};
TCommandRow CommandRow(TQXDAddCommand c) {
  switch (c) {
    case TQXDAddCommand::AddSourceDatabase: return {0, "New Source Database"};
    case TQXDAddCommand::AddSourceRecordset: return {1, "New Source Recordset"};
    case TQXDAddCommand::AddDestinationDatabase: return {2, "New Destination Database"};
    case TQXDAddCommand::AddDestinationRecordset: return {3, "New Destination Recordset"};
    case TQXDAddCommand::AddDestinationField: return {4, "New Destination Field"};
    case TQXDAddCommand::AddFunction: break;
  }
  return {5, ""};
}

std::unique_ptr<TQXDDataBase> NewDataOfRow(int row) {
  switch (row) {
    case 0: return std::make_unique<TQXDSourceConnectionData>();
    case 1: return std::make_unique<TQXDSourceRSData>();
    case 2: return std::make_unique<TQXDDestConnectionData>();
    case 3: return std::make_unique<TQXDDestRSData>();
    case 4: return std::make_unique<TQXDDestFieldData>();
    default: return std::make_unique<TQXDFieldFuncData>();
  }
}
}  // namespace

bool TQXDTreeView::CommandEnabled(TQXDAddCommand command) const {
  const TQXDNodeKind& kind = QXDNodeKinds()[static_cast<size_t>(CommandRow(command).KindRow)];
  if (kind.AllowsTopLevel()) return true;
  return m_Selected && kind.AllowsParent(m_Selected);
}

TKVTreeItem* TQXDTreeView::AddNodeByCommand(TQXDAddCommand command, const TGUID& functionId) {
  if (!CommandEnabled(command)) return nullptr;
  TCommandRow row = CommandRow(command);
  TKVTreeItem* parent = row.KindRow == 0 ? nullptr : m_Selected;
  std::string title = row.Title;
  if (command == TQXDAddCommand::AddFunction) {
    TQXFunctionRef f = QXFindFunction(functionId);
    if (!f) return nullptr;  // only registered functions are offered
    title = f->Name;
  }
  TKVTreeItem& item = AppendNode(parent, NewDataOfRow(row.KindRow), title);
  InitNewNode(item);
  if (auto* func = item.DataAs<TQXDFieldFuncData>()) func->SetFunctionId(functionId);
  if (parent) Expand(*parent);
  Select(&item);
  return &item;
}

TKVTreeItem& TQXDTreeView::AppendNode(TKVTreeItem* parent, std::unique_ptr<TQXDDataBase> data,
                                      const std::string& title) {
  TQXDDataBase* d = data.get();
  TKVTreeItem& item = Insert(parent, title, std::move(data));
  if (d) d->UpdateImages();
  return item;
}

void TQXDTreeView::InitNewNode(TKVTreeItem& item) {
  TQXDDataBase* d = QXDData(&item);
  if (!d) return;
  d->SetChecked(true);
  d->UpdateActive();
  d->UpdateImages();
  if (auto* rs = dynamic_cast<TQXDRecordsetData*>(d)) {
    if (m_Settings) {
      TKVOdbcRecordsetProperties defaults;
      m_Settings->LoadDefaultRecordsetProperties(defaults);
      rs->Recordset().Properties().Assign(defaults);
    }
    rs->BindToParentConnection();
    rs->SetColumnList("*");
  }
}

// --- Schema drops ----------------------------------------------------------------------------------------

TKVTreeItem* TQXDTreeView::FindOrCreateDatabase(TKVTreeItem* parent, bool source, const TQXDSchemaItem& item) {
  size_t n = parent ? parent->ChildCount() : TopLevelCount();
  for (size_t i = 0; i < n; ++i) {
    TKVTreeItem* c = parent ? parent->Child(i) : TopLevel(i);
    bool kindFits = source ? c->DataAs<TQXDSourceConnectionData>() != nullptr
                           : c->DataAs<TQXDDestConnectionData>() != nullptr;
    if (kindFits && KVSameText(c->Title(), item.DataSourceName)) return c;
  }
  std::unique_ptr<TQXDConnectionData> data;
  if (source)
    data = std::make_unique<TQXDSourceConnectionData>();
  else
    data = std::make_unique<TQXDDestConnectionData>();
  if (item.ConnectProperties) data->Connection().Properties().Assign(*item.ConnectProperties);
  TKVTreeItem& db = AppendNode(parent, std::move(data), item.DataSourceName);
  InitNewNode(db);
  return &db;
}

bool TQXDTreeView::DropSchemaItemImpl(const TQXDSchemaItem& item, TKVTreeItem* target, bool shift, bool apply,
                                      TKVTreeItem*& last) {
  const bool emptySpace = target == nullptr;
  TKVTreeItem* on = emptySpace ? FirstTopLevel() : target;
  auto dataIs = [](TKVTreeItem* it, auto* tag) {
    using T = std::remove_pointer_t<decltype(tag)>;
    return it && it->DataAs<T>() != nullptr;
  };

  // 1. Folders: every entry in turn, with the same target.
  bool topFolder = IsTopFolder(item.Kind) && (emptySpace || dataIs(on, static_cast<TQXDConnectionData*>(nullptr)));
  bool columnFolder = item.Kind == TQXDSchemaItemKind::ColumnsFolder && DestRecordsetOf(on) &&
                      ColumnFits(item, DestRecordsetOf(on));
  if (topFolder || columnFolder) {
    bool any = false;
    for (const TQXDSchemaItem& child : item.Children) {
      if (IsTopFolder(child.Kind) || child.Kind == TQXDSchemaItemKind::ColumnsFolder) continue;
      any = DropSchemaItemImpl(child, target, shift, apply, last) || any;
    }
    if (apply && last && last->Parent()) Expand(*last->Parent());
    return any;
  }

  // 2. A table, view or procedure onto empty space or a source database: a source recordset under the
  //    source database of the item's data source.
  if (IsTableLike(item.Kind) && (emptySpace || dataIs(on, static_cast<TQXDSourceConnectionData*>(nullptr)))) {
    if (!apply) return true;
    TKVTreeItem* db = FindOrCreateDatabase(nullptr, true, item);
    TKVTreeItem& rs = AppendNode(db, SourceRecordsetFor(item.Kind), item.Name);
    InitNewNode(rs);
    rs.DataAs<TQXDRecordsetData>()->SetTableName(item.Name);
    last = &rs;
    return true;
  }

  // 3. A table or view onto a destination database, a source recordset or a destination recordset: a
  //    destination recordset under the destination database of the item's data source.
  if ((item.Kind == TQXDSchemaItemKind::Table || item.Kind == TQXDSchemaItemKind::View) && on &&
      (on->DataAs<TQXDDestConnectionData>() || on->DataAs<TQXDSourceRSData>() || on->DataAs<TQXDDestRSData>())) {
    TKVTreeItem* t = on;
    if (t->DataAs<TQXDDestRSData>()) t = t->Parent();
    else if (t->DataAs<TQXDSourceRSData>() && t->FirstChildItem()) t = t->FirstChildItem();
    TKVTreeItem* sourceRs = t && t->DataAs<TQXDSourceRSData>() ? t : (t ? t->Parent() : nullptr);
    if (!sourceRs || !sourceRs->DataAs<TQXDSourceRSData>()) return false;
    if (!apply) return true;
    TKVTreeItem* db = FindOrCreateDatabase(sourceRs, false, item);
    TKVTreeItem& rs = AppendNode(db, std::make_unique<TQXDDestRSData>(), MakeUniqueChildTitle(db, item.Name));
    InitNewNode(rs);
    rs.DataAs<TQXDRecordsetData>()->SetTableName(item.Name);
    last = &rs;
    if (shift) AddAllDestinationFields(rs, item.Columns);
    return true;
  }

  // 4. A column onto the destination recordset of its table and data source.
  if (item.Kind == TQXDSchemaItemKind::Column) {
    TKVTreeItem* rs = DestRecordsetOf(on);
    if (!rs || !ColumnFits(item, rs)) return false;
    if (!apply) return true;
    TKVTreeItem& field = AppendNode(rs, std::make_unique<TQXDDestFieldData>(), item.Name);
    InitNewNode(field);
    field.DataAs<TQXDDestFieldData>()->SetDestFieldname(item.Name);
    last = &field;
    return true;
  }
  return false;
}

TKVTreeItem* TQXDTreeView::DropSchemaItem(const TQXDSchemaItem& item, TKVTreeItem* target, bool shift) {
  TKVTreeItem* last = nullptr;
  if (!DropSchemaItemImpl(item, target, shift, false, last)) return nullptr;
  DropSchemaItemImpl(item, target, shift, true, last);
  return last;
}

bool TQXDTreeView::CanDropSchemaItem(const TQXDSchemaItem& item, TKVTreeItem* target) const {
  TKVTreeItem* last = nullptr;
  // The decision alone changes nothing.
  return const_cast<TQXDTreeView*>(this)->DropSchemaItemImpl(item, target, false, false, last);
}

TKVTreeItem* TQXDTreeView::DropFunction(const TGUID& functionId, TKVTreeItem* target) {
  TKVTreeItem* field = target;
  if (field && field->DataAs<TQXDFieldFuncData>()) field = field->Parent();
  if (!field || !field->DataAs<TQXDDestFieldData>()) return nullptr;
  TQXFunctionRef f = QXFindFunction(functionId);
  if (!f) return nullptr;
  TKVTreeItem& item = AppendNode(field, std::make_unique<TQXDFieldFuncData>(), f->Name);
  item.DataAs<TQXDFieldFuncData>()->SetFunctionId(functionId);
  InitNewNode(item);
  return &item;
}

// --- Moving, deleting ------------------------------------------------------------------------------------

bool TQXDTreeView::CanMoveNode(const TKVTreeItem& dragged, const TKVTreeItem& target) const {
  return &dragged != &target && &dragged.Model() == this && &target.Model() == this &&
         dragged.Parent() == target.Parent();
}

bool TQXDTreeView::MoveNode(TKVTreeItem& dragged, TKVTreeItem& target) {
  if (!CanMoveNode(dragged, target)) return false;
  size_t from = dragged.Index(), to = target.Index();
  MoveTo(dragged, from < to ? to - 1 : to);
  return true;
}

bool TQXDTreeView::DeleteSelected() {
  if (!m_Selected) return false;
  bool confirm = m_Settings ? m_Settings->ConfirmSingleDelete() : true;
  if (confirm && !Ask("Do you want to delete the node '" + m_Selected->Title() + "' and all it's subnodes ?"))
    return false;
  Remove(*m_Selected);
  return true;
}

bool TQXDTreeView::DeleteAll() {
  if (Empty()) return false;
  bool confirm = m_Settings ? m_Settings->ConfirmMultiDelete() : true;
  if (confirm && !Ask("Do you want to delete all nodes ?")) return false;
  Clear();
  return true;
}

// --- Fields, titles, labels ------------------------------------------------------------------------------

int TQXDTreeView::AddAllDestinationFields(TKVTreeItem& destRecordset, const std::vector<std::string>& columns) {
  if (!destRecordset.DataAs<TQXDDestRSData>()) return 0;
  int added = 0;
  for (const std::string& column : columns) {
    bool exists = false;
    for (size_t i = 0; i < destRecordset.ChildCount() && !exists; ++i) {
      TKVTreeItem* c = destRecordset.Child(i);
      exists = c->DataAs<TQXDDestFieldData>() && KVSameText(c->Title(), column);
    }
    if (exists) continue;
    TKVTreeItem& field = AppendNode(&destRecordset, std::make_unique<TQXDDestFieldData>(), column);
    InitNewNode(field);
    auto* f = field.DataAs<TQXDDestFieldData>();
    f->SetDestFieldname(column);
    f->SetSourceRecordsetFieldname(column);
    ++added;
  }
  Expand(destRecordset);
  return added;
}

std::string TQXDTreeView::MakeUniqueChildTitle(const TKVTreeItem* parent, const std::string& base) const {
  std::string candidate = base;
  int counter = 1;
  size_t n = parent ? parent->ChildCount() : TopLevelCount();
  for (size_t i = 0; i < n; ++i) {
    const TKVTreeItem* c = parent ? parent->Child(i) : TopLevel(i);
    if (KVSameText(c->Title(), candidate)) candidate = base + std::to_string(++counter);
  }
  return candidate;
}

bool TQXDTreeView::CanEditLabel(const TKVTreeItem& item) const {
  return item.DataAs<TQXDConnectionData>() || item.DataAs<TQXDRecordsetData>() || item.DataAs<TQXDDestFieldData>();
}

bool TQXDTreeView::EditLabel(TKVTreeItem& item, const std::string& text) {
  if (!CanEditLabel(item)) return false;
  item.SetTitle(text);
  return true;
}

void TQXDTreeView::ToggleChecked(TKVTreeItem& item) {
  TQXDDataBase* d = QXDData(&item);
  if (!d) return;
  d->SetChecked(!d->Checked());
  QXDUpdateSubtreeActive(item);
}

void TQXDTreeView::ToggleExpanded(TKVTreeItem& item) {
  item.SetStateBits(tisExpanded, (item.State() & tisExpanded) == 0);
}

void TQXDTreeView::SortChildrenBySortOrder(TKVTreeItem* parent) {
  size_t n = parent ? parent->ChildCount() : TopLevelCount();
  std::vector<TKVTreeItem*> items;
  for (size_t i = 0; i < n; ++i) items.push_back(parent ? parent->Child(i) : TopLevel(i));
  auto order = [](TKVTreeItem* it) {
    TQXDDataBase* d = QXDData(it);
    return d ? d->SortOrder() : 0;
  };
  std::stable_sort(items.begin(), items.end(), [&](TKVTreeItem* a, TKVTreeItem* b) { return order(a) < order(b); });
  for (size_t i = 0; i < items.size(); ++i) MoveTo(*items[i], i);
}

// --- Catalog ---------------------------------------------------------------------------------------------

std::vector<std::string> QXDReadTableColumns(TQXDConnectionData& database, const std::string& table) {
  std::vector<std::string> columns;
  if (table.empty()) return columns;
  TKVOdbcConnection& connection = database.Connection();
  bool opened = false;
  if (!connection.Active()) {
    connection.Activate();
    opened = true;
  }
  try {
    auto schema = KVMakeRef<TKVOdbcSchemaRecordset>(database.ConnectionRef());
    schema->PerformOperation(roSetSimplestConfiguration);
    schema->SchemaData().SetKind(slColumns);
    schema->SchemaData().SetTableName(table);
    schema->Open();
    // COLUMN_NAME is the catalog result's fourth column.
    for (; schema->HasCurrentRecord(); schema->MoveToNext())
      columns.push_back(KVFieldText(KVFieldByOrdinal(*schema, 4)));
    schema->Close();
  } catch (...) {
    if (opened) connection.Deactivate();
    throw;
  }
  if (opened) connection.Deactivate();
  return columns;
}
