#pragma once
// The field value function list: every registered function in registry order, dragged from here onto
// destination fields of the definition tree.
#include <QDialog>
#include <QTreeWidget>

class QFrame;
class TQXSettings;

// The list itself: a drag source of function ids.
class TFVFListView : public QTreeWidget {
  Q_OBJECT
 public:
  using QTreeWidget::QTreeWidget;

 protected:
  QMimeData* mimeData(const QList<QTreeWidgetItem*>& items) const override;
  QStringList mimeTypes() const override;
};

class TFVFListForm : public QDialog {
  Q_OBJECT
 public:
  // `settings` (not owned) keeps the placement and the hint area's visibility in "\FVFListWindow".
  explicit TFVFListForm(TQXSettings* settings, QWidget* parent = nullptr);
  ~TFVFListForm() override;
  QTreeWidget* List() const { return m_List; }
  QFrame* HintArea() const { return m_Hint; }
  // Fills the rows from the registry.
  void Refill();

 protected:
  void closeEvent(QCloseEvent* e) override;
  void hideEvent(QHideEvent* e) override;

 private:
  void StoreState();
  TQXSettings* m_Settings;
  TFVFListView* m_List;
  QFrame* m_Hint = nullptr;
  bool m_Stored = false;
};

inline constexpr const char* kQXFVFListWindowDir = "\\FVFListWindow";
