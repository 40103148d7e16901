#pragma once
// The definition tree view: a QTreeView over TQXDTreeItemModel that draws the check-box state image in
// front of each node, toggles it on a click, follows and drives the definition's selection (a node that
// refuses to be left keeps it), moves nodes among their siblings by drag and drop, accepts functions
// dragged from the function list and document files dragged from the file manager.
#include <QStringList>
#include <QStyledItemDelegate>
#include <QTreeView>

#include "ui/QXDTreeItemModel.h"

class TQXDTreeWidget : public QTreeView {
  Q_OBJECT
 public:
  explicit TQXDTreeWidget(QWidget* parent = nullptr);

  TQXDTreeItemModel* ItemModel() const { return m_Model; }
  void SetTree(TQXDTreeView* tree);
  TQXDTreeView* Tree() const { return m_Model->Tree(); }

  // Puts the view's current item on the definition's selected node.
  void SyncSelection();
  // Expands the items whose stored state says so.
  void ApplyExpandedStates();
  // The rectangle of an item's state image in viewport coordinates.
  QRect StateImageRect(const QModelIndex& index) const;
  // Toggles the check box of an item (the click on the state image).
  void ToggleCheck(const QModelIndex& index);

  // Whether a drag with this payload could be dropped on `target` (null: empty space).
  bool CanDrop(const QMimeData* data, TKVTreeItem* target) const;
  // Drops the payload on `target`; false when refused (nothing changed).
  bool Drop(const QMimeData* data, TKVTreeItem* target);
  // The payload of dragging a node of this view.
  QMimeData* NodeMimeData(TKVTreeItem* item) const;

 signals:
  // Document files dropped from the file manager, in drop order.
  void FilesDropped(const QStringList& files);
  // A check box was toggled by the user.
  void CheckToggled(TKVTreeItem* item);

 protected:
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
  void mousePressEvent(QMouseEvent* e) override;
  void startDrag(Qt::DropActions supportedActions) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dragMoveEvent(QDragMoveEvent* e) override;
  void dropEvent(QDropEvent* e) override;

 private:
  TKVTreeItem* ItemAt(const QPoint& pos) const;
  TQXDTreeItemModel* m_Model;
  bool m_Syncing = false;
};

// Draws the state image before the node image and text, and makes room for it.
class TQXDTreeItemDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  static constexpr int StateWidth = 18;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const override;
};
