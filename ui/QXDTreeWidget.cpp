#include "ui/QXDTreeWidget.h"

#include <QApplication>
#include <QDrag>
#include <QDragEnterEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>

#include "foundation/KVGuid.h"
#include "ui/KVSchemaPages.h"
#include "ui/QXUiCommon.h"

// --- Delegate --------------------------------------------------------------------------------------------

void TQXDTreeItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
  int state = index.data(TQXDTreeItemModel::StateImageRole).toInt();
  QStyleOptionViewItem opt(option);
  if (state >= 1 && state <= 4) {
    qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    QPixmap pm = QXStatePixmap(state, dpr);
    QRect r(option.rect.left() + 1, option.rect.top() + (option.rect.height() - 16) / 2, 16, 16);
    painter->drawPixmap(r, pm);
    opt.rect.setLeft(opt.rect.left() + StateWidth);
  }
  // A selected node that does not take part in a run keeps its grey look on the highlight.
  TKVTreeItem* item = TQXDTreeItemModel::ItemOf(index);
  if (TQXDDataBase* d = QXDData(item); d && !d->Active() && (option.state & QStyle::State_Selected)) {
    bool focus = option.state & QStyle::State_HasFocus || (option.widget && option.widget->hasFocus());
    QColor c = QXColor(focus ? 0xC0C0C0 : 0x808080);
    opt.palette.setColor(QPalette::HighlightedText, c);
  }
  QStyledItemDelegate::paint(painter, opt, index);
}

QSize TQXDTreeItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QSize s = QStyledItemDelegate::sizeHint(option, index);
  return QSize(s.width() + StateWidth, qMax(s.height(), 18));
}

void TQXDTreeItemDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                                const QModelIndex& index) const {
  QStyleOptionViewItem opt(option);
  opt.rect.setLeft(opt.rect.left() + StateWidth);
  QStyledItemDelegate::updateEditorGeometry(editor, opt, index);
}

// --- View ------------------------------------------------------------------------------------------------

TQXDTreeWidget::TQXDTreeWidget(QWidget* parent) : QTreeView(parent), m_Model(new TQXDTreeItemModel(this)) {
  setModel(m_Model);
  setItemDelegate(new TQXDTreeItemDelegate(this));
  setHeaderHidden(true);
  // Long titles scroll sideways instead of being cut.
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  setTextElideMode(Qt::ElideNone);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
  setDragEnabled(true);
  setAcceptDrops(true);
  setDropIndicatorShown(true);
  setDragDropMode(QAbstractItemView::DragDrop);
  setDefaultDropAction(Qt::MoveAction);
  setUniformRowHeights(true);
  setIconSize(QSize(16, 16));
  setMouseTracking(true);
  // The expanded state is part of the stored item state.
  connect(this, &QTreeView::expanded, this, [this](const QModelIndex& i) {
    if (TKVTreeItem* it = TQXDTreeItemModel::ItemOf(i)) it->SetStateBits(tisExpanded | tisExpandedOnce, true);
  });
  connect(this, &QTreeView::collapsed, this, [this](const QModelIndex& i) {
    if (TKVTreeItem* it = TQXDTreeItemModel::ItemOf(i)) it->SetStateBits(tisExpanded, false);
  });
  // An item whose state says expanded (new fields under "Add all destination fields", loaded nodes)
  // opens in the view as well.
  connect(m_Model, &QAbstractItemModel::dataChanged, this, [this](const QModelIndex& a, const QModelIndex&) {
    if (TKVTreeItem* it = TQXDTreeItemModel::ItemOf(a)) {
      bool want = it->State() & tisExpanded;
      if (want != isExpanded(a)) setExpanded(a, want);
    }
  });
  connect(m_Model, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex& parent, int first, int) {
    QModelIndex i = m_Model->index(first, 0, parent);
    if (TKVTreeItem* it = TQXDTreeItemModel::ItemOf(i); it && (it->State() & tisExpanded)) setExpanded(i, true);
  });
}

void TQXDTreeWidget::SetTree(TQXDTreeView* tree) {
  m_Model->SetTree(tree);
  ApplyExpandedStates();
  SyncSelection();
}

void TQXDTreeWidget::ApplyExpandedStates() {
  TQXDTreeView* tree = Tree();
  if (!tree) return;
  tree->ForEach([this](TKVTreeItem& item) {
    if (item.State() & tisExpanded) setExpanded(m_Model->IndexOf(&item), true);
    return true;
  });
}

void TQXDTreeWidget::SyncSelection() {
  TQXDTreeView* tree = Tree();
  QModelIndex want = tree ? m_Model->IndexOf(tree->Selected()) : QModelIndex();
  if (want == currentIndex()) return;
  m_Syncing = true;
  if (want.isValid()) {
    setCurrentIndex(want);
    scrollTo(want);
  } else {
    selectionModel()->clear();
  }
  m_Syncing = false;
}

void TQXDTreeWidget::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
  QTreeView::currentChanged(current, previous);
  TQXDTreeView* tree = Tree();
  if (m_Syncing || !tree || m_Model->Removing()) return;
  TKVTreeItem* item = TQXDTreeItemModel::ItemOf(current);
  if (!tree->Select(item)) {
    // The node shown refused to be left: the view goes back to it once this change is over.
    QMetaObject::invokeMethod(this, [this] { SyncSelection(); }, Qt::QueuedConnection);
  }
}

QRect TQXDTreeWidget::StateImageRect(const QModelIndex& index) const {
  QRect r = visualRect(index);
  if (!r.isValid()) return {};
  return QRect(r.left() + 1, r.top() + (r.height() - 16) / 2, 16, 16);
}

void TQXDTreeWidget::ToggleCheck(const QModelIndex& index) {
  TKVTreeItem* item = TQXDTreeItemModel::ItemOf(index);
  if (!item || !Tree() || !QXDData(item)) return;
  Tree()->ToggleChecked(*item);
  setFocus();
  emit CheckToggled(item);
}

void TQXDTreeWidget::mousePressEvent(QMouseEvent* e) {
  QModelIndex i = indexAt(e->position().toPoint());
  if (e->button() == Qt::LeftButton && i.isValid() && StateImageRect(i).contains(e->position().toPoint())) {
    ToggleCheck(i);
    e->accept();
    return;
  }
  QTreeView::mousePressEvent(e);
}

TKVTreeItem* TQXDTreeWidget::ItemAt(const QPoint& pos) const { return TQXDTreeItemModel::ItemOf(indexAt(pos)); }

QMimeData* TQXDTreeWidget::NodeMimeData(TKVTreeItem* item) const {
  auto* data = new QMimeData;
  // The node is named by its position in this tree and the tree's address: a drag only moves nodes
  // within the view it started in.
  QByteArray payload = QByteArray::number(quintptr(Tree())) + ":" +
                       QByteArray::number(Tree() ? Tree()->PreOrderIndex(item) : -1);
  data->setData(kQXNodeMime, payload);
  return data;
}

void TQXDTreeWidget::startDrag(Qt::DropActions) {
  TKVTreeItem* item = TQXDTreeItemModel::ItemOf(currentIndex());
  if (!item) return;
  auto* drag = new QDrag(this);
  drag->setMimeData(NodeMimeData(item));
  drag->setPixmap(QXNodeIcon(QXDData(item) ? QXDData(item)->NodeImage() : -1).pixmap(16, 16));
  drag->exec(Qt::MoveAction | Qt::CopyAction, Qt::MoveAction);
}

namespace {
TKVTreeItem* DraggedNode(const QMimeData* data, TQXDTreeView* tree) {
  if (!data || !tree || !data->hasFormat(kQXNodeMime)) return nullptr;
  QList<QByteArray> parts = data->data(kQXNodeMime).split(':');
  if (parts.size() != 2 || parts[0].toULongLong() != quintptr(tree)) return nullptr;
  return tree->ItemAtPreOrder(parts[1].toInt());
}

bool FunctionId(const QMimeData* data, TGUID& id) {
  if (!data || !data->hasFormat(kQXFunctionMime)) return false;
  auto parsed = TGUID::TryParse(data->data(kQXFunctionMime).toStdString());
  if (parsed) id = *parsed;
  return parsed.has_value();
}

QStringList LocalFiles(const QMimeData* data) {
  QStringList files;
  if (data && data->hasUrls())
    for (const QUrl& u : data->urls())
      if (u.isLocalFile()) files << u.toLocalFile();
  return files;
}
}  // namespace

bool TQXDTreeWidget::CanDrop(const QMimeData* data, TKVTreeItem* target) const {
  TQXDTreeView* tree = Tree();
  if (!tree) return false;
  if (TKVTreeItem* dragged = DraggedNode(data, tree)) return target && tree->CanMoveNode(*dragged, *target);
  TGUID id;
  if (FunctionId(data, id)) {
    TKVTreeItem* field = target;
    if (field && field->DataAs<TQXDFieldFuncData>()) field = field->Parent();
    return field && field->DataAs<TQXDDestFieldData>() && QXFindFunction(id);
  }
  TQXDSchemaItem schemaItem;
  if (KVSchemaItemFromMimeData(data, schemaItem)) return tree->CanDropSchemaItem(schemaItem, target);
  return !LocalFiles(data).isEmpty();
}

bool TQXDTreeWidget::Drop(const QMimeData* data, TKVTreeItem* target) {
  TQXDTreeView* tree = Tree();
  if (!tree || !CanDrop(data, target)) return false;
  if (TKVTreeItem* dragged = DraggedNode(data, tree)) {
    bool moved = tree->MoveNode(*dragged, *target);
    if (moved) SyncSelection();
    return moved;
  }
  TGUID id;
  if (FunctionId(data, id)) {
    TKVTreeItem* added = tree->DropFunction(id, target);
    if (added) {
      setExpanded(m_Model->IndexOf(added->Parent()), true);
      scrollTo(m_Model->IndexOf(added));
    }
    return added != nullptr;
  }
  TQXDSchemaItem schemaItem;
  if (KVSchemaItemFromMimeData(data, schemaItem)) {
    // Shift: a table dropped as a destination gets all its destination fields.
    bool shift = QGuiApplication::keyboardModifiers().testFlag(Qt::ShiftModifier);
    TKVTreeItem* added = tree->DropSchemaItem(schemaItem, target, shift);
    if (added) {
      if (added->Parent()) setExpanded(m_Model->IndexOf(added->Parent()), true);
      scrollTo(m_Model->IndexOf(added));
    }
    return added != nullptr;
  }
  QStringList files = LocalFiles(data);
  if (files.isEmpty()) return false;
  // Opened after the drop has ended, so the file manager is not kept waiting by the questions.
  QMetaObject::invokeMethod(this, [this, files] { emit FilesDropped(files); }, Qt::QueuedConnection);
  return true;
}

void TQXDTreeWidget::dragEnterEvent(QDragEnterEvent* e) {
  const QMimeData* d = e->mimeData();
  if (d->hasFormat(kQXNodeMime) || d->hasFormat(kQXFunctionMime) || d->hasFormat(kKVSchemaMime) || d->hasUrls())
    e->acceptProposedAction();
  else
    e->ignore();
}

void TQXDTreeWidget::dragMoveEvent(QDragMoveEvent* e) {
  QTreeView::dragMoveEvent(e);
  if (CanDrop(e->mimeData(), ItemAt(e->position().toPoint()))) {
    e->setDropAction(e->mimeData()->hasUrls() ? Qt::CopyAction : e->proposedAction());
    e->accept();
  } else {
    e->ignore();  // the no-drop cursor
  }
}

void TQXDTreeWidget::dropEvent(QDropEvent* e) {
  bool ok = Drop(e->mimeData(), ItemAt(e->position().toPoint()));
  // The drop itself did the move; the source must not remove anything afterwards.
  e->setDropAction(Qt::CopyAction);
  if (ok)
    e->accept();
  else
    e->ignore();
  stopAutoScroll();
  setState(QAbstractItemView::NoState);
  viewport()->update();
}
