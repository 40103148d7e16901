#include "ui/KVSchemaPages.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDataStream>
#include <QDialogButtonBox>
#include <QDir>
#include <QDrag>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "db/KVConnectionString.h"
#include "db/KVOdbcDrivers.h"
#include "db/KVOdbcRecordset.h"
#include "db/KVOdbcSchemaRecordset.h"
#include "db/KVSchemaCatalog.h"
#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "foundation/KVTrace.h"
#include "ui/KVDataEditor.h"
#include "ui/QXDetailAreas.h"
#include "ui/QXMainWindow.h"
#include "ui/QXUiCommon.h"

namespace {

TKVSchemaDataEditor& DataEditor() {
  static TKVSchemaDataEditor editor;
  return editor;
}

// The node classes of the lists and of their items, by schema kind.
const char* const kListClass[kSchemaListCount] = {
    "TSTSysTablesData",     "TSTTablesData",     "TSTViewsData",        "TSTProceduresData",
    "TSTTablePrivilegsData", "TSTColumnPrivilegsData", "TSTStatisticsData", "TSTColumnsData",
    "TSTProcColumnsData",   "TSTPrimaryKeysData", "TSTForeignKeysData",  "TSTTypeInfoData"};
const char* const kItemClass[kSchemaListCount] = {
    "TSTSysTableData",       "TSTTableData",          "TSTViewData",      "TSTProcedureData",
    "TSTTablePrivilegData",  "TSTColumnPrivilegData", "TSTStatisticData", "TSTColumnData",
    "TSTColumnData",         "TSTLDataBase",          "TSTLDataBase",     "TSTLDataBase"};

// Items of these kinds hold columns (tables, system tables, views, procedures, privileges, statistics).
bool IsColumnContainerKind(int kind) { return kind >= slSystemTables && kind <= slStatistics; }

QString ListCaption(int kind, int count) { return QString("%1: %2").arg(KVSchemaListCaption(kind)).arg(count); }

QTreeWidgetItem* NewListNode(int kind) {
  auto* node = new QTreeWidgetItem;
  node->setData(0, snrClass, QString(kListClass[kind]));
  node->setData(0, snrKind, kind);
  node->setData(0, snrTitle, QString(KVSchemaListCaption(kind)));
  node->setData(0, snrIsList, true);
  node->setText(0, ListCaption(kind, 0));
  node->setIcon(0, QApplication::style()->standardIcon(QStyle::SP_DirIcon));
  return node;
}

QTreeWidgetItem* NewItemNode(int kind, const QString& title, const QString& hint) {
  auto* node = new QTreeWidgetItem;
  node->setData(0, snrClass, QString(kItemClass[kind]));
  node->setData(0, snrKind, kind);
  node->setData(0, snrTitle, title);
  node->setData(0, snrHint, hint);
  node->setData(0, snrIsList, false);
  node->setText(0, title);
  node->setToolTip(0, hint.isEmpty() ? title : QString(hint).replace('\r', '\n'));
  node->setIcon(0, QApplication::style()->standardIcon(kind >= slColumns ? QStyle::SP_FileIcon
                                                                         : QStyle::SP_FileDialogDetailedView));
  return node;
}

int CountOf(QTreeWidgetItem* list) { return list->childCount(); }

// A name of a storage directory: backslashes separate directories there.
std::string DirName(const std::string& name) {
  std::string s = name;
  for (char& c : s)
    if (c == '\\') c = '_';
  return s.empty() ? std::string("_") : s;
}

}  // namespace

void KVSetSchemaDataEditor(TKVSchemaDataEditor editor) { DataEditor() = std::move(editor); }

// --- Drag payload ----------------------------------------------------------------------------------------

namespace {
void WriteItem(QDataStream& out, const TQXDSchemaItem& item) {
  out << qint32(item.Kind) << QXStr(item.Name) << QXStr(item.TableName) << QXStr(item.DataSourceName);
  bool hasProps = item.ConnectProperties != nullptr;
  out << hasProps;
  if (hasProps) {
    const TKVOdbcConnectProperties& p = *item.ConnectProperties;
    out << QXStr(p.ConnectionString()) << QXStr(p.UserName()) << QXStr(p.Password()) << qint32(p.AccessMode())
        << qint32(p.LoginTimeout()) << qint32(p.StatementTimeout()) << qint32(p.CursorOrigin())
        << quint32(p.TransactionIsolation()) << quint32(p.Attributes()) << qint32(p.DriverDialogs());
  }
  QStringList columns;
  for (const auto& c : item.Columns) columns << QXStr(c);
  out << columns << qint32(item.Children.size());
  for (const auto& child : item.Children) WriteItem(out, child);
}

bool ReadItem(QDataStream& in, TQXDSchemaItem& item, int depth) {
  if (depth > 4) return false;
  qint32 kind = 0;
  QString name, table, source;
  bool hasProps = false;
  in >> kind >> name >> table >> source >> hasProps;
  if (kind < 0 || kind > int(TQXDSchemaItemKind::Column)) return false;
  item.Kind = TQXDSchemaItemKind(kind);
  item.Name = QXStd(name);
  item.TableName = QXStd(table);
  item.DataSourceName = QXStd(source);
  if (hasProps) {
    QString cs, user, password;
    qint32 access, login, timeout, cursor, dialogs;
    quint32 isolation, attributes;
    in >> cs >> user >> password >> access >> login >> timeout >> cursor >> isolation >> attributes >> dialogs;
    auto p = KVMakeRef<TKVOdbcConnectProperties>();
    p->SetConnectionString(QXStd(cs));
    p->SetUserName(QXStd(user));
    p->SetPassword(QXStd(password));
    p->SetAccessMode(access);
    p->SetLoginTimeout(login);
    p->SetStatementTimeout(timeout);
    p->SetCursorOrigin(cursor);
    p->SetTransactionIsolation(isolation);
    p->SetAttributes(attributes);
    p->SetDriverDialogs(dialogs);
    item.ConnectProperties = p;
  }
  QStringList columns;
  qint32 children = 0;
  in >> columns >> children;
  for (const QString& c : columns) item.Columns.push_back(QXStd(c));
  if (children < 0 || children > 1000000) return false;
  for (qint32 i = 0; i < children && in.status() == QDataStream::Ok; ++i) {
    item.Children.emplace_back();
    if (!ReadItem(in, item.Children.back(), depth + 1)) return false;
  }
  return in.status() == QDataStream::Ok;
}
}  // namespace

QMimeData* KVSchemaItemMimeData(const TQXDSchemaItem& item) {
  QByteArray bytes;
  QDataStream out(&bytes, QIODevice::WriteOnly);
  WriteItem(out, item);
  auto* data = new QMimeData;
  data->setData(kKVSchemaMime, bytes);
  data->setText(QXStr(item.Name));
  return data;
}

bool KVSchemaItemFromMimeData(const QMimeData* data, TQXDSchemaItem& item) {
  if (!data || !data->hasFormat(kKVSchemaMime)) return false;
  QByteArray bytes = data->data(kKVSchemaMime);
  QDataStream in(bytes);
  TQXDSchemaItem read;
  if (!ReadItem(in, read, 0)) return false;
  item = std::move(read);
  return true;
}

std::string KVSchemaDataSourceName(const TKVOdbcConnectProperties& properties) {
  const std::string& cs = properties.ConnectionString();
  std::string name = KVDataSourceNameOfConnectionString(cs);
  if (!name.empty()) return name;
  TKVConnectionStringParser parser(cs);
  std::string database = parser.Value("Database");
  if (database.empty()) database = parser.Value("DB");
  if (!database.empty()) {
    QFileInfo info(QXStr(database));
    return QXStd(info.fileName().isEmpty() ? QXStr(database) : info.fileName());
  }
  std::string driver = parser.Value("Driver");
  return driver.empty() ? std::string("ODBC") : driver;
}

// --- Loading ---------------------------------------------------------------------------------------------

// Reads catalog lists into the tree of a page, on the user interface thread: between rows the events are
// processed, so the window repaints and Escape reaches the page.
class TKVSchemaTreeArea::TLoader {
 public:
  TLoader(TKVSchemaTreeArea& page) : m_Page(page) {
    m_Connection = KVMakeRef<TKVOdbcConnection>();
    m_Connection->Properties().Assign(*page.m_Properties);
    m_Connection->Properties().SetAccessMode(amReadonly);
    m_Connection->Properties().SetDriverDialogs(ddNoDriverDialogs);
  }
  ~TLoader() {
    m_Schema = nullptr;
    m_Count = nullptr;
    try {
      m_Connection->Deactivate();
    } catch (const std::exception&) {
    }
  }

  void Open() {
    m_Connection->Activate();
    m_Schema = KVMakeRef<TKVOdbcSchemaRecordset>(m_Connection);
    m_Schema->PerformOperation(roSetSimplestConfiguration);
    m_Count = KVMakeRef<TKVOdbcRecordset>(m_Connection);
    m_Count->PerformOperation(roSetSimplestConfiguration);
  }

  // Loads root list `kind` (a new list node at its place in kind order).
  void LoadRootList(int kind) {
    QTreeWidgetItem* list = NewListNode(kind);
    InsertRootList(m_Page.m_Tree, list, kind);
    std::vector<QString> titles;
    ReadRows(kind, "%", list, [&](int) {
      QString title = QXStr(KVFieldText(KVFieldByOrdinal(*m_Schema, KVSchemaListNameColumn(kind))));
      titles.push_back(title);
      list->addChild(NewItemNode(kind, title, QString()));
      list->setText(0, ListCaption(kind, CountOf(list)));
    });
    // Counted after the catalog cursor is closed: some drivers allow one open cursor per connection.
    for (int i = 0; i < list->childCount() && !m_Page.m_Stop; ++i) {
      QTreeWidgetItem* item = list->child(i);
      if (kind <= slViews) {
        QString hint = RecordHint(QXStd(item->data(0, snrTitle).toString()));
        item->setData(0, snrHint, hint);
        if (!hint.isEmpty()) item->setToolTip(0, hint);
      }
      KeepResponsive();
    }
    for (int i = 0; i < list->childCount() && !m_Page.m_Stop; ++i) {
      QTreeWidgetItem* item = list->child(i);
      if (kind <= slViews) LoadColumns(item, slColumns);
      else if (kind == slProcedures) LoadColumns(item, slProcedureColumns);
    }
  }

  static void InsertRootList(QTreeWidget* tree, QTreeWidgetItem* list, int kind) {
    int at = 0;
    while (at < tree->topLevelItemCount() && tree->topLevelItem(at)->data(0, snrKind).toInt() < kind) ++at;
    tree->insertTopLevelItem(at, list);
  }

 private:
  template <class F>
  void ReadRows(int kind, const std::string& object, QTreeWidgetItem* list, F row) {
    try {
      m_Schema->Close();
      TKVSchemaProperties& p = m_Schema->SchemaData();
      p.SetKind(TKVSchemaList(kind));
      p.SetTableName(object);
      m_Schema->Open();
      for (int n = 0; m_Schema->HasCurrentRecord() && !m_Page.m_Stop; m_Schema->MoveToNext(), ++n) {
        row(n);
        KeepResponsive();
      }
      m_Schema->Close();
    } catch (const std::exception& e) {
      // The list keeps what it got; the caption already shows the count reached.
      try {
        m_Schema->Close();
      } catch (const std::exception&) {
      }
      m_Page.SetError(QString("%1: %2").arg(list->text(0), QXStr(KVMessageText(e.what()))));
    }
  }

  void LoadColumns(QTreeWidgetItem* item, int kind) {
    QTreeWidgetItem* list = NewListNode(kind);
    item->addChild(list);
    const bool proc = kind == slProcedureColumns;
    const int type = proc ? 7 : 6, size = proc ? 9 : 8, nullable = proc ? 12 : 11;
    ReadRows(kind, QXStd(item->data(0, snrTitle).toString()), list, [&](int) {
      auto text = [&](int column) { return KVFieldText(KVFieldByOrdinal(*m_Schema, column)); };
      std::string name = text(4);
      QString hint = QXStr(KVSchemaColumnHint(name, text(type), text(size), text(nullable)));
      list->addChild(NewItemNode(kind, QXStr(name), hint));
      list->setText(0, ListCaption(kind, CountOf(list)));
    });
  }

  QString RecordHint(const std::string& table) {
    if (m_Quote.empty()) m_Quote = KVIdentifierQuote(*m_Connection);
    return QXStr(KVSchemaRecordHint(*m_Count, m_Quote, table));
  }

  void KeepResponsive() {
    if (++m_Rows % 16 == 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }

  TKVSchemaTreeArea& m_Page;
  TKVRef<TKVOdbcConnection> m_Connection;
  TKVRef<TKVOdbcSchemaRecordset> m_Schema;
  TKVRef<TKVOdbcRecordset> m_Count;
  std::string m_Quote;
  int m_Rows = 0;
};

// --- Page ------------------------------------------------------------------------------------------------

TKVSchemaTreeArea::TKVSchemaTreeArea(const TKVOdbcConnectProperties& properties, TQXDocument* document,
                                     QWidget* parent)
    : QWidget(parent), m_Properties(KVMakeRef<TKVOdbcConnectProperties>()), m_Document(document) {
  m_Properties->Assign(properties);
  m_DataSourceName = KVSchemaDataSourceName(properties);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  m_Origin = new QComboBox(this);
  m_Origin->addItems({"Load from ODBC Data Source", "Load from current document"});
  layout->addWidget(m_Origin);

  auto* bar = new QHBoxLayout;
  bar->setSpacing(2);
  struct TCmd {
    QString Caption, Hint;
    QStyle::StandardPixmap Icon;
  };
  auto showHide = [](int kind) { return QString("Show/Hide %1 in the schema tree").arg(KVSchemaListCaption(kind)); };
  const TCmd cmds[kCommandCount] = {
      {showHide(0), showHide(0), QStyle::SP_ComputerIcon},
      {showHide(1), showHide(1), QStyle::SP_FileDialogDetailedView},
      {showHide(2), showHide(2), QStyle::SP_FileDialogContentsView},
      {showHide(3), showHide(3), QStyle::SP_CommandLink},
      {"Close Schema Page", "Close this schema page", QStyle::SP_DialogCloseButton},
      {"Store Schema Data",
       "Store Schema data into the currently opened data reorganization definition file. This allows to "
       "continue using the Schema even if the ODBC data source is not available",
       QStyle::SP_DialogSaveButton},
      {"Remove Schema Data", "Remove Schema data from the currently opened data reorganization definition file",
       QStyle::SP_TrashIcon},
      {"Refresh Schema Tree", "Refresh the schema tree", QStyle::SP_BrowserReload},
      {"Edit Data", "Edit the data", QStyle::SP_FileDialogInfoView}};
  for (int c = 0; c < kCommandCount; ++c) {
    auto* action = new QAction(style()->standardIcon(cmds[c].Icon), cmds[c].Caption, this);
    action->setToolTip(cmds[c].Hint);
    action->setStatusTip(cmds[c].Hint);
    auto* button = new QToolButton(this);
    button->setDefaultAction(action);
    button->setAutoRaise(true);
    connect(action, &QAction::triggered, this, [this, c] { RunCommand(c); });
    m_Buttons[c] = button;
    bar->addWidget(button);
    if (c == scShowProcedures || c == scClosePage || c == scRemoveSchema) bar->addSpacing(8);
  }
  bar->addStretch();
  layout->addLayout(bar);

  m_Tree = new QTreeWidget(this);
  m_Tree->setHeaderHidden(true);
  m_Tree->setDragEnabled(true);
  m_Tree->setSelectionMode(QAbstractItemView::SingleSelection);
  m_Tree->installEventFilter(this);
  m_Tree->viewport()->installEventFilter(this);
  layout->addWidget(m_Tree, 1);
  m_Status = new QLabel(this);
  m_Status->setWordWrap(true);
  m_Status->setStyleSheet("color: #a00000");
  m_Status->hide();
  layout->addWidget(m_Status);

  connect(m_Tree, &QTreeWidget::currentItemChanged, this, [this] { UpdateCommands(); });
  connect(m_Origin, &QComboBox::activated, this, [this](int index) { SetSchemaLoadOrigin(index); });
  UpdateCommands();
}

TKVSchemaTreeArea::~TKVSchemaTreeArea() { m_Stop = true; }

QString TKVSchemaTreeArea::LastError() const { return m_LastError; }

void TKVSchemaTreeArea::SetError(const QString& text) {
  m_LastError = text;
  m_Status->setText(text);
  m_Status->setVisible(!text.isEmpty());
}

uint32_t TKVSchemaTreeArea::LoadedSchemaLists() const {
  uint32_t set = 0;
  for (int i = 0; i < m_Tree->topLevelItemCount(); ++i) {
    int kind = m_Tree->topLevelItem(i)->data(0, snrKind).toInt();
    if (kind >= 0 && kind <= slStatistics) set |= 1u << kind;
  }
  return set;
}

QTreeWidgetItem* TKVSchemaTreeArea::RootList(int kind) const {
  for (int i = 0; i < m_Tree->topLevelItemCount(); ++i)
    if (m_Tree->topLevelItem(i)->data(0, snrKind).toInt() == kind) return m_Tree->topLevelItem(i);
  return nullptr;
}

void TKVSchemaTreeArea::SetSchemaLoadOrigin(int origin) {
  if (origin != soDataSource && origin != soDocument) return;
  uint32_t lists = LoadedSchemaLists();
  m_LoadOrigin = origin;
  if (m_Origin->currentIndex() != origin) m_Origin->setCurrentIndex(origin);
  LoadPage(lists ? lists : (1u << slTables) | (1u << slViews));
}

bool TKVSchemaTreeArea::LoadPage(uint32_t lists) {
  if (m_Loading) return false;
  m_Tree->clear();
  SetError({});
  return m_LoadOrigin == soDocument ? LoadFromDocument(lists) : LoadFromDataSource(lists);
}

bool TKVSchemaTreeArea::LoadFromDataSource(uint32_t lists) {
  m_Stop = false;
  m_Loading = true;
  UpdateCommands();
  emit LoadingChanged(true);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  bool ok = true;
  QPointer<TKVSchemaTreeArea> alive(this);
  try {
    TLoader loader(*this);
    loader.Open();
    for (int kind = slSystemTables; kind <= slStatistics && !m_Stop; ++kind)
      if (lists & (1u << kind)) loader.LoadRootList(kind);
  } catch (const std::exception& e) {
    ok = false;
    if (alive) SetError(QXStr(KVMessageText(e.what())));
  }
  QApplication::restoreOverrideCursor();
  if (!alive) return false;
  ok = ok && !m_Stop;
  m_Loading = false;
  UpdateCommands();
  emit LoadingChanged(false);
  return ok;
}

// --- Stored schema data

namespace {
void StoreNode(IKVStorage& storage, QTreeWidgetItem* node, int& counter) {
  char name[16];
  std::snprintf(name, sizeof name, "%.5d", counter++);
  TKVVsdDirPathKeeper keeper(storage, std::string(name), true);
  storage.WriteString("ClassName", QXStd(node->data(0, snrClass).toString()));
  storage.WriteInteger("Kind", node->data(0, snrKind).toInt());
  storage.WriteString("Title", QXStd(node->data(0, snrTitle).toString()));
  if (!node->data(0, snrIsList).toBool()) storage.WriteString("HintText", QXStd(node->data(0, snrHint).toString()));
  for (int i = 0; i < node->childCount(); ++i) StoreNode(storage, node->child(i), counter);
}

QTreeWidgetItem* LoadNode(IKVStorage& storage) {
  std::string cls = storage.ReadString("ClassName", "");
  int kind = storage.ReadInteger("Kind", -1);
  if (kind < 0 || kind >= kSchemaListCount) return nullptr;
  bool list = cls == kListClass[kind];
  QTreeWidgetItem* node = list ? NewListNode(kind)
                               : NewItemNode(kind, QXStr(storage.ReadString("Title", "")),
                                             QXStr(storage.ReadString("HintText", "")));
  TKVStringArray dirs = storage.ReadSubDirNames();
  std::sort(dirs.begin(), dirs.end());
  for (const auto& d : dirs) {
    TKVVsdDirPathKeeper keeper(storage, d, false);
    if (!keeper.Opened()) continue;
    if (QTreeWidgetItem* child = LoadNode(storage)) node->addChild(child);
  }
  if (list) node->setText(0, ListCaption(kind, node->childCount()));
  return node;
}
}  // namespace

bool TKVSchemaTreeArea::HasStoredSchema() const {
  if (!m_Document) return false;
  try {
    IKVStorage& s = m_Document->Storage();
    std::lock_guard lock(s.CriticalSection());
    return s.DirExists("\\Schemata\\" + DirName(m_DataSourceName));
  } catch (const std::exception&) {
    return false;
  }
}

void TKVSchemaTreeArea::StoreSchemaData() {
  if (!m_Document) return;
  IKVStorage& s = m_Document->Storage();
  std::lock_guard lock(s.CriticalSection());
  TKVVsdDirPathKeeper keep(s);
  const std::string dir = "\\Schemata\\" + DirName(m_DataSourceName);
  s.DeleteDir(dir);
  if (!s.OpenDir(dir, true)) throw EKVException("Cannot create the storage directory \"" + dir + "\"", m_DataSourceName,
                                            ClassName(), "TKVSchemaTreeArea.StoreSchemaData");
  int counter = 0;
  for (int i = 0; i < m_Tree->topLevelItemCount(); ++i) StoreNode(s, m_Tree->topLevelItem(i), counter);
  m_Document->SetModified(true);
  UpdateCommands();
}

void TKVSchemaTreeArea::RemoveSchemaData() {
  if (!m_Document) return;
  IKVStorage& s = m_Document->Storage();
  std::lock_guard lock(s.CriticalSection());
  TKVVsdDirPathKeeper keep(s);
  if (s.DeleteDir("\\Schemata\\" + DirName(m_DataSourceName))) m_Document->SetModified(true);
  UpdateCommands();
}

bool TKVSchemaTreeArea::LoadFromDocument(uint32_t lists) {
  if (!HasStoredSchema()) {
    SetError(QString("The document holds no schema data of \"%1\"").arg(QXStr(m_DataSourceName)));
    return false;
  }
  IKVStorage& s = m_Document->Storage();
  std::lock_guard lock(s.CriticalSection());
  TKVVsdDirPathKeeper keep(s, "\\Schemata\\" + DirName(m_DataSourceName), false);
  TKVStringArray dirs = s.ReadSubDirNames();
  std::sort(dirs.begin(), dirs.end());
  for (const auto& d : dirs) {
    TKVVsdDirPathKeeper node(s, d, false);
    if (!node.Opened()) continue;
    QTreeWidgetItem* list = LoadNode(s);
    if (!list) continue;
    int kind = list->data(0, snrKind).toInt();
    if (kind > slStatistics || !(lists & (1u << kind)) || RootList(kind)) {
      delete list;
      continue;
    }
    TLoader::InsertRootList(m_Tree, list, kind);
  }
  UpdateCommands();
  return true;
}

void TKVSchemaTreeArea::ToggleList(int kind) {
  if (kind < slSystemTables || kind > slStatistics || m_Loading) return;
  if (QTreeWidgetItem* list = RootList(kind)) {
    delete list;
    UpdateCommands();
    return;
  }
  if (m_LoadOrigin == soDocument) {
    uint32_t lists = LoadedSchemaLists() | (1u << kind);
    LoadPage(lists);
    return;
  }
  // Only the new list is read; the others stay as they are.
  m_Stop = false;
  m_Loading = true;
  SetError({});
  UpdateCommands();
  QApplication::setOverrideCursor(Qt::WaitCursor);
  QPointer<TKVSchemaTreeArea> alive(this);
  try {
    TLoader loader(*this);
    loader.Open();
    loader.LoadRootList(kind);
  } catch (const std::exception& e) {
    if (alive) SetError(QXStr(KVMessageText(e.what())));
  }
  QApplication::restoreOverrideCursor();
  if (!alive) return;
  m_Loading = false;
  UpdateCommands();
}

bool TKVSchemaTreeArea::CommandEnabled(int command) const {
  if (m_Loading) return false;
  switch (command) {
    case scStoreSchema: return m_Document != nullptr;
    case scRemoveSchema: return HasStoredSchema();
    case scEditData: {
      QTreeWidgetItem* cur = m_Tree->currentItem();
      return DataEditor() && cur && !cur->data(0, snrIsList).toBool() &&
             IsColumnContainerKind(cur->data(0, snrKind).toInt());
    }
    default: return command >= 0 && command < kCommandCount;
  }
}

void TKVSchemaTreeArea::UpdateCommands() {
  for (int c = 0; c < kCommandCount; ++c) m_Buttons[c]->defaultAction()->setEnabled(CommandEnabled(c));
  m_Origin->setEnabled(!m_Loading);
}

void TKVSchemaTreeArea::RunCommand(int command) {
  if (!CommandEnabled(command)) return;
  try {
    switch (command) {
      case scShowSysTables: case scShowTables: case scShowViews: case scShowProcedures: ToggleList(command); break;
      case scClosePage: emit CloseRequested(this); break;
      case scStoreSchema: StoreSchemaData(); break;
      case scRemoveSchema: RemoveSchemaData(); break;
      case scRefresh: Refresh(); break;
      case scEditData: {
        std::string table = QXStd(m_Tree->currentItem()->data(0, snrTitle).toString());
        auto recordset = KVMakeRef<TKVOdbcRecordsetProperties>();
        DataEditor()(*m_Properties, *recordset, "SELECT * FROM " + table);
        break;
      }
    }
  } catch (const std::exception& e) {
    KVHandleException(e);
  }
}

QTreeWidgetItem* TKVSchemaTreeArea::LocateNode(const std::string& table, const std::string& column) const {
  for (int kind = slSystemTables; kind <= slProcedures; ++kind) {
    QTreeWidgetItem* list = RootList(kind);
    if (!list) continue;
    for (int i = 0; i < list->childCount(); ++i) {
      QTreeWidgetItem* item = list->child(i);
      if (!KVSameText(QXStd(item->data(0, snrTitle).toString()), table)) continue;
      if (column.empty()) return item;
      for (int j = 0; j < item->childCount(); ++j) {
        QTreeWidgetItem* cols = item->child(j);
        for (int k = 0; k < cols->childCount(); ++k)
          if (KVSameText(QXStd(cols->child(k)->data(0, snrTitle).toString()), column)) return cols->child(k);
      }
      return nullptr;
    }
  }
  return nullptr;
}

std::optional<TQXDSchemaItem> TKVSchemaTreeArea::SchemaItemOf(QTreeWidgetItem* node) const {
  if (!node) return std::nullopt;
  TQXDSchemaItem item;
  item.DataSourceName = m_DataSourceName;
  item.ConnectProperties = m_Properties;
  item.Name = QXStd(node->data(0, snrTitle).toString());
  const int kind = node->data(0, snrKind).toInt();
  const bool list = node->data(0, snrIsList).toBool();
  auto columnsOf = [](QTreeWidgetItem* tableNode) {
    std::vector<std::string> columns;
    for (int j = 0; j < tableNode->childCount(); ++j) {
      QTreeWidgetItem* cols = tableNode->child(j);
      if (cols->data(0, snrKind).toInt() != slColumns) continue;
      for (int k = 0; k < cols->childCount(); ++k) columns.push_back(QXStd(cols->child(k)->data(0, snrTitle).toString()));
    }
    return columns;
  };
  if (list) {
    static const TQXDSchemaItemKind folders[] = {TQXDSchemaItemKind::SysTablesFolder, TQXDSchemaItemKind::TablesFolder,
                                                 TQXDSchemaItemKind::ViewsFolder, TQXDSchemaItemKind::ProceduresFolder};
    if (kind <= slProcedures) {
      item.Kind = folders[kind];
    } else if (kind == slColumns && node->parent()) {
      item.Kind = TQXDSchemaItemKind::ColumnsFolder;
      item.TableName = QXStd(node->parent()->data(0, snrTitle).toString());
    } else {
      return std::nullopt;
    }
    for (int i = 0; i < node->childCount(); ++i)
      if (auto child = SchemaItemOf(node->child(i))) item.Children.push_back(std::move(*child));
    return item;
  }
  static const TQXDSchemaItemKind items[] = {TQXDSchemaItemKind::SysTable, TQXDSchemaItemKind::Table,
                                             TQXDSchemaItemKind::View, TQXDSchemaItemKind::Procedure};
  if (kind <= slProcedures) {
    item.Kind = items[kind];
    item.Columns = columnsOf(node);
    return item;
  }
  if (kind == slColumns && node->parent() && node->parent()->parent()) {
    item.Kind = TQXDSchemaItemKind::Column;
    item.TableName = QXStd(node->parent()->parent()->data(0, snrTitle).toString());
    return item;
  }
  return std::nullopt;
}

void TKVSchemaTreeArea::StartDrag() {
  auto item = SchemaItemOf(m_Tree->currentItem());
  if (!item) return;
  auto* drag = new QDrag(this);
  drag->setMimeData(KVSchemaItemMimeData(*item));
  drag->setPixmap(m_Tree->currentItem()->icon(0).pixmap(16, 16));
  drag->exec(Qt::CopyAction, Qt::CopyAction);
}

bool TKVSchemaTreeArea::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && m_Loading) {
    StopLoading();
    return true;
  }
  if (watched == m_Tree->viewport()) {
    if (event->type() == QEvent::MouseButtonPress) {
      m_PressPos = static_cast<QMouseEvent*>(event)->position().toPoint();
    } else if (event->type() == QEvent::MouseMove) {
      auto* me = static_cast<QMouseEvent*>(event);
      if ((me->buttons() & Qt::LeftButton) &&
          (me->position().toPoint() - m_PressPos).manhattanLength() >= QApplication::startDragDistance()) {
        StartDrag();
        return true;
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TKVSchemaTreeArea::StorePageState(IKVStorage& storage) {
  storage.WriteString("ClassName", ClassName());
  storage.WriteInteger("SchemaLoadOrigin", m_LoadOrigin);
  storage.WriteInteger("LoadedSchemaLists", int32_t(LoadedSchemaLists()));
  int selected = -1;
  if (QTreeWidgetItem* cur = m_Tree->currentItem()) {
    int index = 0;
    for (QTreeWidgetItemIterator it(m_Tree); *it; ++it, ++index)
      if (*it == cur) selected = index;
  }
  storage.WriteInteger("SelectedNodeIdx", selected);
  TKVVsdDirPathKeeper keeper(storage, "ConnectProperties", true);
  m_Properties->StoreData(storage);
}

void TKVSchemaTreeArea::LoadPageState(IKVStorage& storage) {
  int origin = storage.ReadInteger("SchemaLoadOrigin", soDataSource);
  uint32_t lists = uint32_t(storage.ReadInteger("LoadedSchemaLists", (1 << slTables) | (1 << slViews)));
  int selected = storage.ReadInteger("SelectedNodeIdx", -1);
  m_LoadOrigin = origin == soDocument ? soDocument : soDataSource;
  m_Origin->setCurrentIndex(m_LoadOrigin);
  if (!LoadPage(lists) && !m_LastError.isEmpty()) throw EKVException(QXStd(m_LastError), m_DataSourceName, ClassName(),
                                                                       "TKVSchemaTreeArea.LoadPageState");
  int index = 0;
  for (QTreeWidgetItemIterator it(m_Tree); *it; ++it, ++index)
    if (index == selected) m_Tree->setCurrentItem(*it);
}

// --- Dialog ----------------------------------------------------------------------------------------------

TKVSchemaPagesDlg::TKVSchemaPagesDlg(TQXDocument* document, QWidget* parent)
    : QDialog(parent), m_Document(document) {
  setWindowTitle("Schema");
  setObjectName("TKVSchemaPagesDlg");
  setModal(false);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  m_Tabs = new QTabWidget(this);
  m_Tabs->setTabsClosable(true);
  m_Tabs->setMovable(false);
  layout->addWidget(m_Tabs);
  connect(m_Tabs, &QTabWidget::tabCloseRequested, this, [this](int i) { ClosePage(Page(i)); });
  resize(380, 560);
  m_PreviousHints = QXSetSchemaHintSource(this);
}

TKVSchemaPagesDlg::~TKVSchemaPagesDlg() {
  if (QXSchemaHintSource() == this) QXSetSchemaHintSource(m_PreviousHints);
}

int TKVSchemaPagesDlg::PageCount() const { return m_Tabs->count(); }
TKVSchemaTreeArea* TKVSchemaPagesDlg::Page(int index) const {
  return qobject_cast<TKVSchemaTreeArea*>(m_Tabs->widget(index));
}

TKVSchemaTreeArea* TKVSchemaPagesDlg::FindPage(const std::string& dataSourceName) const {
  for (int i = 0; i < PageCount(); ++i)
    if (KVSameText(Page(i)->DataSourceName(), dataSourceName)) return Page(i);
  return nullptr;
}

TKVSchemaTreeArea* TKVSchemaPagesDlg::AddPage(const TKVOdbcConnectProperties& properties) {
  auto* page = new TKVSchemaTreeArea(properties, m_Document, m_Tabs);
  m_Tabs->addTab(page, QXStr(page->DataSourceName()));
  connect(page, &TKVSchemaTreeArea::CloseRequested, this, [this](TKVSchemaTreeArea* p) { ClosePage(p); });
  return page;
}

TKVSchemaTreeArea* TKVSchemaPagesDlg::OpenPage(const TKVOdbcConnectProperties& properties) {
  if (TKVSchemaTreeArea* page = FindPage(KVSchemaDataSourceName(properties))) {
    m_Tabs->setCurrentWidget(page);
    show();
    raise();
    return page;
  }
  TKVSchemaTreeArea* page = AddPage(properties);
  m_Tabs->setCurrentWidget(page);
  show();
  raise();
  page->LoadPage((1u << slTables) | (1u << slViews));
  return page;
}

void TKVSchemaPagesDlg::ClosePage(TKVSchemaTreeArea* page) {
  if (!page) return;
  page->StopLoading();
  m_Tabs->removeTab(m_Tabs->indexOf(page));
  page->deleteLater();
}

void TKVSchemaPagesDlg::StoreData(IKVStorage& storage) {
  storage.WriteString("ClassName", ClassName());
  storage.WriteInteger("SelectedPageIdx", m_Tabs->currentIndex());
  for (int i = 0; i < PageCount(); ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%s%.5d", "Page", i);
    TKVVsdDirPathKeeper keeper(storage, std::string(name), true);
    Page(i)->StorePageState(storage);
  }
}

void TKVSchemaPagesDlg::LoadData(IKVStorage& storage) {
  while (PageCount() > 0) ClosePage(Page(0));
  int selected = storage.ReadInteger("SelectedPageIdx", 0);
  TKVStringArray dirs = storage.ReadSubDirNames();
  std::sort(dirs.begin(), dirs.end());
  for (const auto& d : dirs) {
    if (d.rfind("Page", 0) != 0) continue;
    TKVVsdDirPathKeeper keeper(storage, d, false);
    if (!keeper.Opened()) continue;
    TKVSchemaTreeArea* page = nullptr;
    try {
      if (storage.ReadString("ClassName", "TKVSchemaTreeArea") != "TKVSchemaTreeArea")
        throw EKVException("Unknown schema page class \"" + storage.ReadString("ClassName", "") + "\"",
                          "", ClassName(), "TKVSchemaPagesDlg.LoadData");
      auto props = KVMakeRef<TKVOdbcConnectProperties>();
      {
        TKVVsdDirPathKeeper p(storage, "ConnectProperties", false);
        if (p.Opened()) props->LoadData(storage);
      }
      page = AddPage(*props);
      page->LoadPageState(storage);
    } catch (const std::exception& e) {
      if (page) ClosePage(page);
      std::string text = KVMessageText(e.what());
      if (text.empty() || (text.back() != '.' && text.back() != '!' && text.back() != '?')) text += ".";
      if (KVMessageDialog(text + "\r\n\r\nContinue loading the remaining Pages?", TKVSeverity::Confirmation,
                          TKVMsgButtons::YesNo) != KV_IDYES)
        throw;
    }
  }
  if (selected >= 0 && selected < PageCount()) m_Tabs->setCurrentIndex(selected);
}

std::optional<std::string> TKVSchemaPagesDlg::TableHint(const std::string& dataSourceName,
                                                         const std::string& table) const {
  TKVSchemaTreeArea* page = FindPage(dataSourceName);
  QTreeWidgetItem* node = page ? page->LocateNode(table) : nullptr;
  if (!node) return std::nullopt;
  return QXStd(node->data(0, snrHint).toString());
}

std::optional<std::string> TKVSchemaPagesDlg::ColumnHint(const std::string& dataSourceName, const std::string& table,
                                                          const std::string& column) const {
  TKVSchemaTreeArea* page = FindPage(dataSourceName);
  QTreeWidgetItem* node = page ? page->LocateNode(table, column) : nullptr;
  if (!node) return std::nullopt;
  return QXStd(node->data(0, snrHint).toString());
}

// --- Connect dialog --------------------------------------------------------------------------------------

namespace {
std::vector<std::string> InstalledDrivers() {
  std::vector<std::string> drivers;
  try {
    for (const TKVOdbcDriverInfo& d : KVInstalledOdbcDrivers()) drivers.push_back(d.Description);
  } catch (const std::exception& e) {
    // The driver box stays empty; the user can still type a connection string.
    KVTrace(TKVTraceCategory::Warning, std::string("installed drivers: ") + e.what());
  }
  return drivers;
}

enum TDriverFamily { dfOther, dfSQLite, dfPostgreSQL, dfMariaDB };
TDriverFamily FamilyOf(const QString& driver) {
  if (driver.contains("SQLite", Qt::CaseInsensitive)) return dfSQLite;
  if (driver.contains("PostgreSQL", Qt::CaseInsensitive) || driver.contains("psql", Qt::CaseInsensitive))
    return dfPostgreSQL;
  if (driver.contains("MariaDB", Qt::CaseInsensitive) || driver.contains("MySQL", Qt::CaseInsensitive))
    return dfMariaDB;
  return dfOther;
}

QString AdministratorProgram() {
  for (const char* name : {"ODBCManageDataSourcesQ5", "ODBCManageDataSourcesQ4"}) {
    QString path = QStandardPaths::findExecutable(name);
    if (!path.isEmpty()) return path;
  }
  return {};
}

QString OdbcIniLocations() {
  QString user = qEnvironmentVariable("ODBCINI");
  if (user.isEmpty()) user = QDir::homePath() + "/.odbc.ini";
  QString sys = qEnvironmentVariable("ODBCSYSINI");
  QString system = sys.isEmpty() ? QString("/etc/odbc.ini") : sys + "/odbc.ini";
  return QString("No ODBC data source administrator is installed. User data sources are defined in %1, "
                 "system data sources in %2.")
      .arg(user, system);
}
}  // namespace

TKVOdbcConnectDlg::TKVOdbcConnectDlg(QWidget* parent)
    : QDialog(parent), m_Properties(KVMakeRef<TKVOdbcConnectProperties>()) {
  setWindowTitle("Connect to ODBC Database");
  auto* layout = new QVBoxLayout(this);

  auto* sourcesBox = new QGroupBox("Data sources", this);
  auto* sl = new QVBoxLayout(sourcesBox);
  m_Sources = new QListWidget(sourcesBox);
  auto environment = KVMakeRef<TKVOdbcEnvironment>();
  auto add = [this](const char* kind) {
    return [this, kind](const std::string& line) {
      auto* item = new QListWidgetItem(QXStr(line) + "  (" + kind + ")", m_Sources);
      std::string name = line.substr(0, line.find(" - "));
      item->setData(Qt::UserRole, QXStr(name));
    };
  };
  try {
    environment->EnumDataSources(dsnUser, "%s - %s", add("user"));
    environment->EnumDataSources(dsnSystem, "%s - %s", add("system"));
  } catch (const std::exception& e) {
    new QListWidgetItem(QXStr(KVMessageText(e.what())), m_Sources);
  }
  m_Sources->setMaximumHeight(110);
  sl->addWidget(m_Sources);
  auto* adminRow = new QHBoxLayout;
  QString admin = AdministratorProgram();
  if (!admin.isEmpty()) {
    auto* adminButton = new QPushButton("ODBC Data Source Administrator ...", sourcesBox);
    connect(adminButton, &QPushButton::clicked, this, [admin] { QProcess::startDetached(admin, {}); });
    adminRow->addWidget(adminButton);
    adminRow->addStretch();
  } else {
    auto* hint = new QLabel(OdbcIniLocations(), sourcesBox);
    hint->setWordWrap(true);
    adminRow->addWidget(hint);
  }
  sl->addLayout(adminRow);
  layout->addWidget(sourcesBox);

  auto* builderBox = new QGroupBox("Connect through a driver", this);
  auto* bl = new QVBoxLayout(builderBox);
  m_Driver = new QComboBox(builderBox);
  m_Driver->addItem("");
  for (const auto& d : InstalledDrivers()) m_Driver->addItem(QXStr(d));
  auto* driverRow = new QFormLayout;
  driverRow->addRow("Driver:", m_Driver);
  bl->addLayout(driverRow);
  m_DriverFields = new QStackedWidget(builderBox);
  m_DriverFields->addWidget(new QWidget);
  auto* fileBox = new QWidget;
  auto* fl = new QHBoxLayout(fileBox);
  fl->setContentsMargins(0, 0, 0, 0);
  File = new QLineEdit(fileBox);
  auto* browse = new QPushButton("...", fileBox);
  fl->addWidget(new QLabel("Database file:"));
  fl->addWidget(File, 1);
  fl->addWidget(browse);
  connect(browse, &QPushButton::clicked, this, [this] {
    QString f = QFileDialog::getOpenFileName(this, "SQLite database file", File->text(),
                                             "SQLite databases (*.db *.sqlite *.sqlite3);;All Files (*)");
    if (!f.isEmpty()) File->setText(f);
  });
  m_DriverFields->addWidget(fileBox);
  auto* serverBox = new QWidget;
  auto* sf = new QFormLayout(serverBox);
  sf->setContentsMargins(0, 0, 0, 0);
  Server = new QLineEdit("127.0.0.1", serverBox);
  Port = new QSpinBox(serverBox);
  Port->setRange(0, 65535);
  Database = new QLineEdit(serverBox);
  User = new QLineEdit(serverBox);
  Password = new QLineEdit(serverBox);
  Password->setEchoMode(QLineEdit::Password);
  sf->addRow("Server:", Server);
  sf->addRow("Port:", Port);
  sf->addRow("Database:", Database);
  sf->addRow("User:", User);
  sf->addRow("Password:", Password);
  m_DriverFields->addWidget(serverBox);
  bl->addWidget(m_DriverFields);
  layout->addWidget(builderBox);

  auto* propsBox = new QGroupBox("Connection properties", this);
  auto* pl = new QVBoxLayout(propsBox);
  m_Area = new TQXConnectPropertyArea(propsBox);
  m_Properties->SetDriverDialogs(ddNoDriverDialogs);
  m_Area->Load(*m_Properties);
  pl->addWidget(m_Area);
  layout->addWidget(propsBox, 1);

  auto* testRow = new QHBoxLayout;
  m_Test = new QPushButton("Test connection", this);
  m_Result = new QLabel(this);
  m_Result->setWordWrap(true);
  testRow->addWidget(m_Test);
  testRow->addWidget(m_Result, 1);
  layout->addLayout(testRow);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  layout->addWidget(buttons);

  connect(m_Sources, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
    if (!item || item->data(Qt::UserRole).toString().isEmpty()) return;
    m_Area->ConnectionString->setText("DSN=" + item->data(Qt::UserRole).toString());
  });
  connect(m_Driver, &QComboBox::currentIndexChanged, this, [this] { DriverChanged(); });
  for (QLineEdit* e : {File, Server, Database, User, Password})
    connect(e, &QLineEdit::textEdited, this, [this] { BuildConnectionString(); });
  connect(File, &QLineEdit::textChanged, this, [this] { BuildConnectionString(); });
  connect(Port, &QSpinBox::valueChanged, this, [this] { BuildConnectionString(); });
  connect(m_Test, &QPushButton::clicked, this, [this] { TestConnection(); });
  connect(buttons, &QDialogButtonBox::accepted, this, [this] {
    m_Area->Store(*m_Properties);
    if (m_Properties->ConnectionString().empty()) {
      m_Result->setText("Choose a data source or enter a connection string.");
      return;
    }
    accept();
  });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  resize(520, 720);
}

void TKVOdbcConnectDlg::DriverChanged() {
  TDriverFamily f = FamilyOf(m_Driver->currentText());
  m_DriverFields->setCurrentIndex(f == dfSQLite ? 1 : (f == dfPostgreSQL || f == dfMariaDB) ? 2 : 0);
  if (f == dfPostgreSQL && Port->value() == 0) Port->setValue(5432);
  if (f == dfMariaDB && Port->value() == 0) Port->setValue(3306);
  BuildConnectionString();
}

void TKVOdbcConnectDlg::BuildConnectionString() {
  QString driver = m_Driver->currentText();
  if (driver.isEmpty()) return;
  TKVConnectionStringParser cs;
  cs.SetValue("Driver", QXStd(driver));
  switch (FamilyOf(driver)) {
    case dfSQLite: cs.SetValue("Database", QXStd(File->text())); break;
    case dfPostgreSQL:
      cs.SetValue("Servername", QXStd(Server->text()));
      cs.SetValue("Port", std::to_string(Port->value()));
      cs.SetValue("Database", QXStd(Database->text()));
      cs.SetValue("Username", QXStd(User->text()));
      cs.SetValue("Password", QXStd(Password->text()));
      break;
    case dfMariaDB:
      cs.SetValue("Server", QXStd(Server->text()));
      cs.SetValue("Port", std::to_string(Port->value()));
      cs.SetValue("Database", QXStd(Database->text()));
      cs.SetValue("Uid", QXStd(User->text()));
      cs.SetValue("Pwd", QXStd(Password->text()));
      break;
    case dfOther: break;
  }
  m_Area->ConnectionString->setText(QXStr(cs.Text()));
}

bool TKVOdbcConnectDlg::TestConnection() {
  m_Area->Store(*m_Properties);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  bool ok = false;
  try {
    auto c = KVMakeRef<TKVOdbcConnection>();
    c->Properties().Assign(*m_Properties);
    c->Properties().SetDriverDialogs(ddNoDriverDialogs);
    c->Activate();
    c->Deactivate();
    ok = true;
    m_Result->setText("Connection succeeded.");
    m_Result->setStyleSheet("color: #006000");
  } catch (const std::exception& e) {
    m_Result->setText(QXStr(KVMessageText(e.what())));
    m_Result->setStyleSheet("color: #a00000");
  }
  QApplication::restoreOverrideCursor();
  return ok;
}

// --- Wiring ----------------------------------------------------------------------------------------------

TKVSchemaPagesDlg* KVSchemaPages(TQXMainWindow& window, bool create) {
  auto* dlg = window.findChild<TKVSchemaPagesDlg*>(QString(), Qt::FindDirectChildrenOnly);
  if (!dlg && create) {
    dlg = new TKVSchemaPagesDlg(&window.Document(), &window);
    dlg->setWindowFlag(Qt::Tool, true);
  }
  return dlg;
}

void KVInstallSchemaPages(TQXMainWindow& window, std::function<bool(TKVOdbcConnectProperties&)> chooser) {
  // "Edit Data" opens the program's data editor on the table the SQL text reads.
  // The editor outlives a window it was installed by: its parent is looked up when it opens.
  QPointer<QWidget> parent(&window);
  KVSetSchemaDataEditor([parent](const TKVOdbcConnectProperties& connection,
                                  const TKVOdbcRecordsetProperties& recordset, const std::string& sql) {
    KVShowDataEditor(connection, recordset, sql, parent.data());
  });
  window.OnConnectToDatabase = [&window, chooser] {
    auto properties = KVMakeRef<TKVOdbcConnectProperties>();
    if (chooser) {
      if (!chooser(*properties)) return;
    } else {
      TKVOdbcConnectDlg dlg(&window);
      if (dlg.exec() != QDialog::Accepted) return;
      properties->Assign(dlg.Properties());
    }
    KVSchemaPages(window, true)->OpenPage(*properties);
  };
}

int KVSchemaToolWindowCount(const TQXMainWindow& window) {
  auto* dlg = window.findChild<TKVSchemaPagesDlg*>(QString(), Qt::FindDirectChildrenOnly);
  return dlg && dlg->PageCount() > 0 ? 1 : 0;
}

void KVStoreSchemaToolWindow(TQXMainWindow& window, IKVStorage& storage) {
  if (TKVSchemaPagesDlg* dlg = KVSchemaPages(window, false)) dlg->StoreData(storage);
}

bool KVLoadSchemaToolWindow(TQXMainWindow& window, const std::string& className, IKVStorage& storage) {
  if (className != "TKVSchemaPagesDlg") return false;
  TKVSchemaPagesDlg* dlg = KVSchemaPages(window, true);
  dlg->show();
  dlg->LoadData(storage);
  return true;
}

void KVCloseSchemaPages(TQXMainWindow& window) {
  if (TKVSchemaPagesDlg* dlg = KVSchemaPages(window, false)) {
    for (int i = 0; i < dlg->PageCount(); ++i) dlg->Page(i)->StopLoading();
    dlg->hide();
    dlg->setParent(nullptr);
    dlg->deleteLater();
  }
}
