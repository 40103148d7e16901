#include "ui/QXDTreeItemModel.h"

#include <QFont>

#include "engine/QXValidate.h"
#include "ui/QXUiCommon.h"

TQXDTreeItemModel::TQXDTreeItemModel(QObject* parent) : QAbstractItemModel(parent) {}

TQXDTreeItemModel::~TQXDTreeItemModel() {
  if (m_Tree) m_Tree->RemoveObserver(this);
}

void TQXDTreeItemModel::SetTree(TQXDTreeView* tree) {
  beginResetModel();
  if (m_Tree) m_Tree->RemoveObserver(this);
  m_Tree = tree;
  if (m_Tree) m_Tree->AddObserver(this);
  m_PendingRemoves = 0;
  endResetModel();
}

TKVTreeItem* TQXDTreeItemModel::ItemOf(const QModelIndex& index) {
  return index.isValid() ? static_cast<TKVTreeItem*>(index.internalPointer()) : nullptr;
}

QModelIndex TQXDTreeItemModel::IndexOf(const TKVTreeItem* item) const {
  if (!item || !m_Tree || &item->Model() != m_Tree) return {};
  return createIndex(int(item->Index()), 0, const_cast<TKVTreeItem*>(item));
}

QModelIndex TQXDTreeItemModel::index(int row, int column, const QModelIndex& parent) const {
  if (!m_Tree || column != 0 || row < 0) return {};
  TKVTreeItem* p = ItemOf(parent);
  size_t count = p ? p->ChildCount() : m_Tree->TopLevelCount();
  if (size_t(row) >= count) return {};
  return createIndex(row, 0, p ? p->Child(size_t(row)) : m_Tree->TopLevel(size_t(row)));
}

QModelIndex TQXDTreeItemModel::parent(const QModelIndex& child) const {
  TKVTreeItem* item = ItemOf(child);
  return item ? IndexOf(item->Parent()) : QModelIndex();
}

int TQXDTreeItemModel::rowCount(const QModelIndex& parent) const {
  if (!m_Tree || parent.column() > 0) return 0;
  TKVTreeItem* p = ItemOf(parent);
  return int(p ? p->ChildCount() : m_Tree->TopLevelCount());
}

int TQXDTreeItemModel::columnCount(const QModelIndex&) const { return 1; }

QVariant TQXDTreeItemModel::data(const QModelIndex& index, int role) const {
  TKVTreeItem* item = ItemOf(index);
  if (!item) return {};
  TQXDDataBase* d = QXDData(item);
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole: return QXStr(item->Title());
    case Qt::DecorationRole: {
      int image = d ? d->NodeImage() : item->ImageIndex();
      return QXNodeIcon(image);
    }
    case StateImageRole: return item->StateImageIndex();
    case Qt::ForegroundRole:
      if (!d) return {};
      return QXColor(d->Active() ? QXSeverityColor(d->ValidationSeverity()) : kQXInactiveColor);
    case Qt::FontRole:
      if (item->State() & tisBold) {
        QFont f;
        f.setBold(true);
        return f;
      }
      return {};
    case Qt::ToolTipRole:
      if (!m_ShowHints) return {};
      {
        std::string hint = item->Data() ? item->Data()->GetHintText() : std::string();
        if (hint.empty()) return {};
        return QXStr(hint);
      }
    default: return {};
  }
}

bool TQXDTreeItemModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  TKVTreeItem* item = ItemOf(index);
  if (!item || role != Qt::EditRole || !m_Tree) return false;
  return m_Tree->EditLabel(*item, QXStd(value.toString()));
}

Qt::ItemFlags TQXDTreeItemModel::flags(const QModelIndex& index) const {
  TKVTreeItem* item = ItemOf(index);
  if (!item) return Qt::ItemIsDropEnabled;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled;
  if (m_Tree && m_Tree->CanEditLabel(*item)) f |= Qt::ItemIsEditable;
  return f;
}

// The model announces its changes after the fact; the row numbers Qt needs are still right at that
// moment, because each announcement concerns one item.
void TQXDTreeItemModel::ItemInserted(TKVTreeItem& item) {
  int row = int(item.Index());
  beginInsertRows(IndexOf(item.Parent()), row, row);
  endInsertRows();
}

void TQXDTreeItemModel::ItemRemoving(TKVTreeItem& item) {
  int row = int(item.Index());
  ++m_PendingRemoves;
  beginRemoveRows(IndexOf(item.Parent()), row, row);
}

void TQXDTreeItemModel::ItemMoved(TKVTreeItem& item) {
  QModelIndex parent = IndexOf(item.Parent());
  emit layoutAboutToBeChanged({QPersistentModelIndex(parent)});
  const QModelIndexList old = persistentIndexList();
  QModelIndexList now;
  for (const QModelIndex& i : old) now << IndexOf(ItemOf(i));
  changePersistentIndexList(old, now);
  emit layoutChanged({QPersistentModelIndex(parent)});
}

void TQXDTreeItemModel::ItemChanged(TKVTreeItem& item, TKVItemChange) {
  QModelIndex i = IndexOf(&item);
  emit dataChanged(i, i);
}

void TQXDTreeItemModel::ModelModified() {
  while (m_PendingRemoves > 0) {
    --m_PendingRemoves;
    endRemoveRows();
  }
  emit TreeModified();
}
