#include "definition/QXDFKSort.h"

#include <algorithm>
#include <vector>

#include "db/KVOdbcRowWriter.h"
#include "db/KVOdbcSchemaRecordset.h"
#include "definition/QXDTree.h"
#include "definition/QXDTreeOps.h"
#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "foundation/KVTrace.h"

namespace {

constexpr const char* kRoutine = "AssignFKSortOrderToSubnodes";

// One recordset node taking part in the sort.
struct TTopoSortItem {
  std::string Name;                       // the node's title
  std::vector<std::string> Dependencies;  // referenced titles, each once (letter case ignored)
  TQXDDataBase* Node;

  void AddDependency(const std::string& name) {
    for (const auto& d : Dependencies)
      if (KVSameText(d, name)) return;
    Dependencies.push_back(name);
  }
};

bool ContainsName(const std::vector<TTopoSortItem>& items, const std::string& name) {
  return std::any_of(items.begin(), items.end(), [&](const TTopoSortItem& i) { return KVSameText(i.Name, name); });
}

// Opens the connection for the duration and returns it to its previous state on every way out.
class TConnectionKeeper {
 public:
  explicit TConnectionKeeper(TKVOdbcConnection& connection)
      : m_Connection(connection), m_WasActive(connection.Active()) {
    if (!m_WasActive) m_Connection.Activate();
  }
  ~TConnectionKeeper() {
    if (m_WasActive) return;
    try {
      m_Connection.Deactivate();
    } catch (const std::exception& e) {
      KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
    }
  }
  TConnectionKeeper(const TConnectionKeeper&) = delete;
  TConnectionKeeper& operator=(const TConnectionKeeper&) = delete;

 private:
  TKVOdbcConnection& m_Connection;
  bool m_WasActive;
};

// The tables `table` references through its foreign keys, as the database names them.
std::vector<std::string> ReferencedTables(TKVOdbcSchemaRecordset& rs, const TKVTableName& table) {
  std::vector<std::string> names;
  TKVSchemaProperties& schema = rs.SchemaData();
  // The foreign-key side names the table, the primary-key side is left open: the keys the table holds.
  schema.SetKind(slForeignKeys);
  schema.SetDatabase(TKVSchemaProperties::kNone);
  schema.SetSchema(TKVSchemaProperties::kNone);
  schema.SetTableName(TKVSchemaProperties::kNone);
  schema.SetFKDatabase(table.Catalog.Text.empty() ? TKVSchemaProperties::kNone : table.Catalog.Text);
  schema.SetFKSchema(table.Schema.Text.empty() ? TKVSchemaProperties::kNone : table.Schema.Text);
  schema.SetFKTableName(table.Table.Text);
  rs.Open();
  try {
    for (; rs.HasCurrentRecord(); rs.MoveToNext()) {
      TKVOdbcField& pkTable = rs.Field(2);  // PKTABLE_NAME
      if (!pkTable.IsNull()) names.push_back(pkTable.Value().AsString());
    }
  } catch (...) {
    rs.Close();
    throw;
  }
  rs.Close();
  return names;
}

}  // namespace

bool AssignFKSortOrderToSubnodes(TKVTreeItem& databaseNode) {
  auto* database = databaseNode.DataAs<TQXDConnectionData>();
  if (!database) return false;

  TConnectionKeeper keeper(database->Connection());
  auto rs = KVMakeRef<TKVOdbcSchemaRecordset>(database->ConnectionRef());
  rs->SetSimplestConfiguration();
  rs->SchemaData().SetReexecuteOnChange(false);

  std::vector<TTopoSortItem> all, pending, current;
  for (size_t c = 0; c < databaseNode.ChildCount(); ++c) {
    TKVTreeItem* child = databaseNode.Child(c);
    if (auto* node = QXDData(child)) node->SetSortOrder(0);
    auto* recordset = child->DataAs<TQXDRecordsetData>();
    if (!recordset) continue;
    std::string tableText = recordset->TableName();
    // Several tables (a join written with commas) have no single place in the order.
    if (tableText.find(',') != std::string::npos) continue;
    TKVTableName table = KVLeadingTableName(tableText);
    TTopoSortItem item{child->Title(), {}, recordset};
    std::vector<std::string> referenced;
    if (!table.Table.Text.empty()) referenced = ReferencedTables(*rs, table);
    for (const auto& name : referenced)
      if (!name.empty() && !KVSameText(name, item.Name) && !KVSameText(name, table.Table.Text))
        item.AddDependency(name);
    all.push_back(std::move(item));
  }

  // A reference to a table that has no node here can never be satisfied by this sort: that table is not
  // written below this database node, so it cannot hold up the node that references it.
  for (auto& item : all)
    std::erase_if(item.Dependencies, [&](const std::string& d) { return !ContainsName(all, d); });
  for (auto& item : all) (item.Dependencies.empty() ? current : pending).push_back(std::move(item));

  int level = 0;
  while (!current.empty()) {
    for (auto& item : current) item.Node->SetSortOrder(level);
    std::vector<TTopoSortItem> next;
    for (size_t i = pending.size(); i-- > 0;) {
      auto& deps = pending[i].Dependencies;
      std::erase_if(deps, [&](const std::string& d) { return ContainsName(current, d); });
      if (deps.empty()) {
        next.push_back(std::move(pending[i]));
        pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
    current = std::move(next);
    ++level;
  }
  if (!pending.empty()) throw EKVException("Cyclic foreign key dependencies", database, kRoutine);
  if (level > 0) databaseNode.Model().NotifyChanged(databaseNode, TKVItemChange::Data, true);
  return level > 0;
}

bool QXDSortTablesByDependency(TQXDTreeView& tree, TKVTreeItem& databaseNode) {
  bool assigned = AssignFKSortOrderToSubnodes(databaseNode);
  if (assigned) tree.SortChildrenBySortOrder(&databaseNode);
  return assigned;
}
