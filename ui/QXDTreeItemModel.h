#pragma once
// The definition tree as Qt's item views see it: an adapter over the definition's own tree model (no
// second copy of the tree). It follows the model through its observer interface and answers the view's
// questions from the items: titles, node images, state images, colours by severity and activity, bold for
// validated nodes, hints, and in-place title editing by the definition's rules.
#include <QAbstractItemModel>

#include "definition/QXDTreeOps.h"

class TQXDTreeItemModel : public QAbstractItemModel, private IKVTreeModelObserver {
  Q_OBJECT
 public:
  // The state image index (1..4) of an item.
  static constexpr int StateImageRole = Qt::UserRole + 1;

  explicit TQXDTreeItemModel(QObject* parent = nullptr);
  ~TQXDTreeItemModel() override;

  // Follows another tree (null: none); the view is reset.
  void SetTree(TQXDTreeView* tree);
  TQXDTreeView* Tree() const { return m_Tree; }

  QModelIndex IndexOf(const TKVTreeItem* item) const;
  static TKVTreeItem* ItemOf(const QModelIndex& index);

  // "Show Hints": while on, the tooltip shows the node's hint text.
  bool ShowHints() const { return m_ShowHints; }
  void SetShowHints(bool on) { m_ShowHints = on; }
  // Whether the model is in the middle of removing an item (the view must not move the selection then).
  bool Removing() const { return m_PendingRemoves > 0; }

  QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 signals:
  // After every change of the tree's content.
  void TreeModified();

 private:
  void ItemInserted(TKVTreeItem& item) override;
  void ItemRemoving(TKVTreeItem& item) override;
  void ItemMoved(TKVTreeItem& item) override;
  void ItemChanged(TKVTreeItem& item, TKVItemChange what) override;
  void ModelModified() override;

  TQXDTreeView* m_Tree = nullptr;
  bool m_ShowHints = true;
  int m_PendingRemoves = 0;
};
