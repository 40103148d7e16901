#pragma once
// The definition tree as the tree view edits it: the tree model plus the view values a document keeps
// ("SelectedNodeIdx", "VScrollPos", "HScrollPos"), the selected item, and the tree operations with the
// document's rules and titles — adding nodes by command, dropping schema items and functions, moving among
// siblings, deleting with confirmation, adding all destination fields, unique titles, label editing and
// the check box.
//
// Every operation that changes the tree's content reaches the observers' ModelModified (the document
// marks itself modified there). A refused operation changes nothing and answers false or null; the GUI
// beeps or shows the no-drop cursor for it. Questions go through KVMessageDialog.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "definition/KVTreeModel.h"
#include "definition/QXDTree.h"

// The user settings the tree operations read. The settings file implements it; tests and headless tools
// may give their own.
class IQXDTreeSettings {
 public:
  virtual ~IQXDTreeSettings() = default;
  // "Do you want to delete the node '%s' and all it's subnodes ?" is asked first.
  virtual bool ConfirmSingleDelete() = 0;
  // "Do you want to delete all nodes ?" is asked first.
  virtual bool ConfirmMultiDelete() = 0;
  // Loads the user's default recordset properties ("\GeneralSettings\DefaultRecordsetProperties") into
  // `properties`; nothing when there are none.
  virtual void LoadDefaultRecordsetProperties(TKVOdbcRecordsetProperties& properties) = 0;
};

// The settings read from a settings storage: "ConfirmSingleDelete"/"ConfirmMultiDelete" of
// "\GeneralSettings" (default true) and the directory "\GeneralSettings\DefaultRecordsetProperties".
// The storage's current directory is kept.
class TQXDStorageTreeSettings : public IQXDTreeSettings {
 public:
  explicit TQXDStorageTreeSettings(IKVStorage& storage) : m_Storage(storage) {}
  bool ConfirmSingleDelete() override;
  bool ConfirmMultiDelete() override;
  void LoadDefaultRecordsetProperties(TKVOdbcRecordsetProperties& properties) override;

 private:
  IKVStorage& m_Storage;
};

// The commands that add one node.
enum class TQXDAddCommand {
  AddSourceDatabase,        // top level, "New Source Database"
  AddSourceRecordset,       // under a selected source database, "New Source Recordset"
  AddDestinationDatabase,   // under a selected source recordset, "New Destination Database"
  AddDestinationRecordset,  // under a selected destination database, "New Destination Recordset"
  AddDestinationField,      // under a selected destination recordset, "New Destination Field"
  AddFunction,              // under a selected destination field, titled with the function's name
};

// An entry of a schema tree page being dropped onto the definition.
enum class TQXDSchemaItemKind {
  TablesFolder, SysTablesFolder, ViewsFolder, ProceduresFolder,  // top-level folders of a schema
  ColumnsFolder,                                                 // the column folder of one table
  Table, SysTable, View, Procedure, Column
};

struct TQXDSchemaItem {
  TQXDSchemaItemKind Kind = TQXDSchemaItemKind::Table;
  // The table, view, procedure or column name (folders: unused).
  std::string Name;
  // For a column and a column folder: the table it belongs to.
  std::string TableName;
  // The data source of the schema page the entry comes from.
  std::string DataSourceName;
  // The schema page's connection properties, copied into a database node created for the drop (null:
  // the new node keeps its defaults).
  TKVRef<TKVOdbcConnectProperties> ConnectProperties;
  // The entries of a folder; for a table or view the names of its columns, in schema order (used by a
  // drop with Shift, which adds all destination fields).
  std::vector<TQXDSchemaItem> Children;
  std::vector<std::string> Columns;
};

class TQXDTreeView : public TKVTreeModel, private IKVTreeModelObserver {
 public:
  // `settings` may be null: confirmations are then asked and no default recordset properties apply.
  explicit TQXDTreeView(IQXDTreeSettings* settings = nullptr);
  ~TQXDTreeView();

  IQXDTreeSettings* Settings() const { return m_Settings; }
  void SetSettings(IQXDTreeSettings* settings) { m_Settings = settings; }

  // --- view values kept with the document
  TKVTreeItem* Selected() const { return m_Selected; }
  // Selects an item (null: none). Asks the selected node's CanLeave first; false when it refused.
  bool Select(TKVTreeItem* item);
  // Called after the selection changed.
  std::function<void(TKVTreeItem*)> OnSelectionChanged;
  int32_t VScrollPos() const { return m_VScrollPos; }
  int32_t HScrollPos() const { return m_HScrollPos; }
  void SetScrollPos(int32_t vertical, int32_t horizontal);

  // Storage positioned at the document's "\QXD" directory. LoadData reads the view values, appends the
  // stored nodes (unknown classes load as plain items) and selects the stored item when the index is
  // within the tree. StoreViewValues writes "SelectedNodeIdx" (pre-order index of the selected item,
  // 0x80000000 = none), "VScrollPos", "HScrollPos" (elided at their defaults); StoreData writes them and
  // then the nodes.
  void LoadData(IKVStorage& storage);
  void StoreViewValues(IKVStorage& storage);
  void StoreData(IKVStorage& storage);

  // --- adding nodes
  // Whether the command can run with the current selection.
  bool CommandEnabled(TQXDAddCommand command) const;
  // Runs the command: appends the node, InitNewNode, selects it. AddFunction needs the function's id
  // (SetFunctionId). Null when the command is disabled now.
  TKVTreeItem* AddNodeByCommand(TQXDAddCommand command, const TGUID& functionId = TGUID{});
  // Appends a node of a class (with the class's image) under `parent` (null: top level) without checking
  // the structure; InitNewNode is the caller's.
  TKVTreeItem& AppendNode(TKVTreeItem* parent, std::unique_ptr<TQXDDataBase> data, const std::string& title);
  // Checked, Active and images; recordset nodes get the user's default recordset properties, the parent
  // database node's connection and the column list "*".
  void InitNewNode(TKVTreeItem& item);

  // Drops a schema entry on `target` (null: empty space, meaning the first top-level node). Returns the
  // last node created, null when no rule accepts the drop (nothing changed). `shift`: a table or view
  // dropped on a destination also gets all destination fields (from the item's Columns).
  TKVTreeItem* DropSchemaItem(const TQXDSchemaItem& item, TKVTreeItem* target, bool shift = false);
  // Whether DropSchemaItem would accept the drop (the drag feedback).
  bool CanDropSchemaItem(const TQXDSchemaItem& item, TKVTreeItem* target) const;

  // Drops a registered function on a destination field or a function node (meaning its field): appends a
  // function node titled with the function's name. Null when refused.
  TKVTreeItem* DropFunction(const TGUID& functionId, TKVTreeItem* target);

  // Moves `dragged` directly before `target`; only between siblings. False when refused.
  bool CanMoveNode(const TKVTreeItem& dragged, const TKVTreeItem& target) const;
  bool MoveNode(TKVTreeItem& dragged, TKVTreeItem& target);

  // "Delete selected node" / "Delete all nodes", with the confirmation the settings ask for. False when
  // there was nothing to delete or the user said No.
  bool DeleteSelected();
  bool DeleteAll();

  // "Add all destination fields": for each column without a destination field child of that title
  // (case-insensitive), a new field titled with it, DestFieldname and SourceRecordsetFieldname set to it;
  // then the recordset is expanded. Returns the number of fields added; a node that is not a destination
  // recordset adds none.
  int AddAllDestinationFields(TKVTreeItem& destRecordset, const std::vector<std::string>& columns);

  // `base`, or `base` followed by a number so that no child of `parent` (null: top level) holds the
  // title; one pass over the children in order (Orders, Orders2, Orders3, ...).
  std::string MakeUniqueChildTitle(const TKVTreeItem* parent, const std::string& base) const;

  // In-place title editing: allowed for connection, recordset and destination field nodes.
  bool CanEditLabel(const TKVTreeItem& item) const;
  // Sets the title as typed; false when editing is not allowed.
  bool EditLabel(TKVTreeItem& item, const std::string& text);

  // The check box: toggles Checked and recomputes Active for the subtree.
  void ToggleChecked(TKVTreeItem& item);
  void ToggleExpanded(TKVTreeItem& item);
  void Expand(TKVTreeItem& item) { item.SetStateBits(tisExpanded, true); }

  // Sorts the children of `parent` (null: top level) by the nodes' SortOrder, keeping the order of equal
  // ones (nodes without definition data count as 0).
  void SortChildrenBySortOrder(TKVTreeItem* parent);

 private:
  void ItemRemoving(TKVTreeItem& item) override;
  // With `apply` false only decides. `last` receives the last node created.
  bool DropSchemaItemImpl(const TQXDSchemaItem& item, TKVTreeItem* target, bool shift, bool apply,
                          TKVTreeItem*& last);
  TKVTreeItem* FindOrCreateDatabase(TKVTreeItem* parent, bool source, const TQXDSchemaItem& item);

  IQXDTreeSettings* m_Settings;
  TKVTreeItem* m_Selected = nullptr;
  int32_t m_VScrollPos = 0, m_HScrollPos = 0;
};

// The column names of `table` as the catalog of the database node's data source lists them (SQLColumns),
// in catalog order. The connection is opened for the call when it is closed, and closed again afterwards.
// Errors of the driver pass on; the tree is not changed.
std::vector<std::string> QXDReadTableColumns(TQXDConnectionData& database, const std::string& table);
