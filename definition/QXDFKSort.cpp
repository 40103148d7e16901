#include "definition/QXDFKSort.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "db/KVOdbcSchemaRecordset.h"
#include "definition/QXDTree.h"
#include "definition/QXDTreeOps.h"
#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "foundation/KVTrace.h"

namespace {

constexpr const char* kRoutine = "AssignFKSortOrderToSubnodes";

// A table name as the FROM clause holds it, split into catalog, schema and table ("" for parts not
// given): identifiers may be quoted with "", `` or [], and an alias after the name is dropped.
struct TTableName {
  std::string Catalog, Schema, Table;
};

TTableName SplitTableName(const std::string& text) {
  std::vector<std::string> parts;
  size_t i = 0, n = text.size();
  while (i < n && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  while (i < n) {
    std::string part;
    char open = text[i];
    char close = open == '"' ? '"' : open == '`' ? '`' : open == '[' ? ']' : '\0';
    if (close) {
      for (++i; i < n; ++i) {
        if (text[i] == close) {
          if (close != ']' && i + 1 < n && text[i + 1] == close) {  // doubled quote inside the name
            part += close;
            ++i;
            continue;
          }
          ++i;
          break;
        }
        part += text[i];
      }
    } else {
      while (i < n && text[i] != '.' && !std::isspace(static_cast<unsigned char>(text[i]))) part += text[i++];
    }
    parts.push_back(part);
    if (i < n && text[i] == '.') {
      ++i;
      continue;
    }
    break;  // blank (an alias follows) or the end
  }
  TTableName name;
  if (!parts.empty()) name.Table = parts.back();
  if (parts.size() >= 2) name.Schema = parts[parts.size() - 2];
  if (parts.size() >= 3) name.Catalog = parts[parts.size() - 3];
  return name;
}

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
std::vector<std::string> ReferencedTables(TKVOdbcSchemaRecordset& rs, const TTableName& table) {
  std::vector<std::string> names;
  TKVSchemaProperties& schema = rs.SchemaData();
  // The foreign-key side names the table, the primary-key side is left open: the keys the table holds.
  schema.SetKind(slForeignKeys);
  schema.SetDatabase(TKVSchemaProperties::kNone);
  schema.SetSchema(TKVSchemaProperties::kNone);
  schema.SetTableName(TKVSchemaProperties::kNone);
  schema.SetFKDatabase(table.Catalog.empty() ? TKVSchemaProperties::kNone : table.Catalog);
  schema.SetFKSchema(table.Schema.empty() ? TKVSchemaProperties::kNone : table.Schema);
  schema.SetFKTableName(table.Table);
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
    TTableName table = SplitTableName(tableText);
    TTopoSortItem item{child->Title(), {}, recordset};
    std::vector<std::string> referenced;
    if (!table.Table.empty()) referenced = ReferencedTables(*rs, table);
    for (const auto& name : referenced)
      if (!name.empty() && !KVSameText(name, item.Name) && !KVSameText(name, table.Table)) item.AddDependency(name);
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
