#include "ui/QXDetailAreas.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <climits>

#include "db/KVConnectionString.h"
#include "foundation/KVVariant.h"
#include "ui/QXUiCommon.h"

// --- Base ------------------------------------------------------------------------------------------------

void TQXDetailAreaBase::ShowNode(TKVTreeItem* item) {
  m_Node = item;
  m_Filling = true;
  try {
    if (item && Accepts(item)) {
      setEnabled(true);
      Fill();
    } else {
      Clear();
      setEnabled(item == nullptr ? isEnabled() : false);
    }
  } catch (const std::exception& e) {
    m_Filling = false;
    KVHandleException(e);
  }
  m_Filling = false;
}

void TQXDetailAreaBase::Write(const std::function<void()>& write, const QString& newTitle) {
  if (m_Filling || !m_Node || !Accepts(m_Node)) return;
  try {
    write();
    emit PropertyChanged(newTitle);
  } catch (const std::exception& e) {
    KVHandleException(e);
    ShowNode(m_Node);  // the controls show what the node holds
  }
}

namespace {
QSpinBox* IntField(int min, int max) {
  auto* s = new QSpinBox;
  s->setRange(min, max);
  s->setAccelerated(true);
  s->setMaximumWidth(180);
  return s;
}
QComboBox* Choice(std::initializer_list<const char*> items) {
  auto* c = new QComboBox;
  for (const char* i : items) c->addItem(i);
  return c;
}
QLabel* Caption(const QString& text) { return new QLabel(text); }
}  // namespace

// --- Kind 0 ----------------------------------------------------------------------------------------------

TQXDfltDetailArea::TQXDfltDetailArea(QWidget* parent) : TQXDetailAreaBase(parent) {
  auto* box = new QGroupBox("How to start");
  auto* text = new QLabel(
      "Connect to an ODBC database. This will open a schema tree of that database. Then drag tables and fields "
      "from the schema tree into the empty area on the left side of this window.\n\nThey get sources or "
      "destinations depending on where you drop them.\n\nYou can connect to as many different databases as you "
      "like.");
  text->setWordWrap(true);
  m_Connect = new QPushButton(QXImageIcon("cmd_connect"), "Connect to ODBC Database ...");
  auto* bl = new QVBoxLayout(box);
  bl->addWidget(text);
  auto* row = new QHBoxLayout;
  row->addWidget(m_Connect);
  row->addStretch();
  bl->addLayout(row);
  auto* l = new QVBoxLayout(this);
  l->addWidget(box);
  l->addStretch();
  connect(m_Connect, &QPushButton::clicked, this, &TQXDfltDetailArea::ConnectRequested);
}

// --- Connection properties -------------------------------------------------------------------------------

namespace {
const uint32_t kIsolationBits[] = {tiReadUncommitted, tiReadCommitted, tiRepeatableRead, tiSerializable};
}

TQXConnectPropertyArea::TQXConnectPropertyArea(QWidget* parent) : QWidget(parent) {
  ConnectionString = new QLineEdit;
  UserName = new QLineEdit;
  Password = new QLineEdit;
  Password->setEchoMode(QLineEdit::Password);
  LoginTimeout = IntField(0, INT_MAX);
  OperationTimeout = IntField(0, INT_MAX);
  OperationTimeout->setToolTip("[s]   0 = infinite");
  LoginTimeout->setToolTip("[s]   0 = infinite");
  AccessMode = Choice({"Read/Write", "Readonly"});
  CursorOrigin = Choice({"coUseODBCCursorsIfNeeded", "coUseODBCCursors", "coUseDriverCursors"});
  Isolation = Choice({"Read Uncommitted", "Read Committed", "Repeatable Read", "Serializable"});
  DriverDialogs = Choice({"No Driver Dialogs", "Promt only if Incomplete", "Always Promt",
                          "Always Promt for reqired Properties Only"});
  Autocommit = new QCheckBox("Autocommit Transactions");
  CaseSensitive = new QCheckBox("Casesensitive Catalog Names");
  CompleteConnectionString = new QCheckBox("Complete Connectionstring");
  Asynchron = new QCheckBox("Asynchron Operations");

  auto* form = new QFormLayout(this);
  form->setContentsMargins(0, 0, 0, 0);
  form->addRow("Connection String:", ConnectionString);
  form->addRow("User Name:", UserName);
  form->addRow("Password:", Password);
  form->addRow("Login Timeout:", LoginTimeout);
  form->addRow("Operation Timeout:", OperationTimeout);
  form->addRow("Access Mode:", AccessMode);
  form->addRow("Cursor Origin:", CursorOrigin);
  form->addRow("Isolation:", Isolation);
  form->addRow("Driver Dialogs:", DriverDialogs);
  form->addRow(Autocommit);
  form->addRow(CaseSensitive);
  form->addRow(CompleteConnectionString);
  form->addRow(Asynchron);

  for (QLineEdit* e : {ConnectionString, UserName, Password})
    connect(e, &QLineEdit::textEdited, this, &TQXConnectPropertyArea::Edited);
  for (QSpinBox* s : {LoginTimeout, OperationTimeout})
    connect(s, &QSpinBox::valueChanged, this, &TQXConnectPropertyArea::Edited);
  for (QComboBox* c : {AccessMode, CursorOrigin, Isolation, DriverDialogs})
    connect(c, &QComboBox::activated, this, &TQXConnectPropertyArea::Edited);
  for (QCheckBox* c : {Autocommit, CaseSensitive, CompleteConnectionString, Asynchron})
    connect(c, &QCheckBox::toggled, this, &TQXConnectPropertyArea::Edited);
}

void TQXConnectPropertyArea::Load(const TKVOdbcConnectProperties& p) {
  QSignalBlocker b1(LoginTimeout), b2(OperationTimeout), b3(Autocommit), b4(CaseSensitive),
      b5(CompleteConnectionString), b6(Asynchron);
  ConnectionString->setText(QXStr(p.ConnectionString()));
  UserName->setText(QXStr(p.UserName()));
  Password->setText(QXStr(p.Password()));
  LoginTimeout->setValue(p.LoginTimeout());
  OperationTimeout->setValue(p.StatementTimeout());
  AccessMode->setCurrentIndex(p.AccessMode());
  CursorOrigin->setCurrentIndex(p.CursorOrigin());
  int iso = 1;
  for (int i = 0; i < 4; ++i)
    if (p.TransactionIsolation() & kIsolationBits[i]) iso = i;
  Isolation->setCurrentIndex(iso);
  DriverDialogs->setCurrentIndex(p.DriverDialogs());
  Autocommit->setChecked(p.HasAttribute(caAutocommitTransactions));
  CaseSensitive->setChecked(p.HasAttribute(caCasesensitiveCatalogNames));
  CompleteConnectionString->setChecked(p.HasAttribute(caCompleteConnectionstring));
  Asynchron->setChecked(p.HasAttribute(caAsynchronOperations));
}

void TQXConnectPropertyArea::Store(TKVOdbcConnectProperties& p) const {
  if (p.ConnectionString() != QXStd(ConnectionString->text())) p.SetConnectionString(QXStd(ConnectionString->text()));
  if (p.UserName() != QXStd(UserName->text())) p.SetUserName(QXStd(UserName->text()));
  if (p.Password() != QXStd(Password->text())) p.SetPassword(QXStd(Password->text()));
  if (p.LoginTimeout() != LoginTimeout->value()) p.SetLoginTimeout(LoginTimeout->value());
  if (p.StatementTimeout() != OperationTimeout->value()) p.SetStatementTimeout(OperationTimeout->value());
  if (p.AccessMode() != AccessMode->currentIndex()) p.SetAccessMode(AccessMode->currentIndex());
  if (p.CursorOrigin() != CursorOrigin->currentIndex()) p.SetCursorOrigin(CursorOrigin->currentIndex());
  uint32_t iso = kIsolationBits[qBound(0, Isolation->currentIndex(), 3)];
  if (p.TransactionIsolation() != iso) p.SetTransactionIsolation(iso);
  if (p.DriverDialogs() != DriverDialogs->currentIndex()) p.SetDriverDialogs(DriverDialogs->currentIndex());
  uint32_t a = p.Attributes();
  auto flag = [&a](uint32_t bit, bool on) { a = on ? (a | bit) : (a & ~bit); };
  flag(caAutocommitTransactions, Autocommit->isChecked());
  flag(caCasesensitiveCatalogNames, CaseSensitive->isChecked());
  flag(caCompleteConnectionstring, CompleteConnectionString->isChecked());
  flag(caAsynchronOperations, Asynchron->isChecked());
  if (a != p.Attributes()) p.SetAttributes(a);
}

// --- Recordset properties --------------------------------------------------------------------------------

TQXRecordsetPropertyArea::TQXRecordsetPropertyArea(QWidget* parent) : QWidget(parent) {
  CursorType = Choice({"Forward Only", "Dynamic", "Keyset Driven", "Static"});
  UpdateStrategy = Choice({"ReadOnly", "MinimalLock", "CompareRecordVersionBeforeWrite", "CompareValuesBeforeWrite"});
  Simulation = Choice({"Allow Non-Unique Update", "Try Unique Update", "Guarantee Unique Update"});
  Sensitivity = Choice({"Unspecified", "Insensitive", "ReflectChanges"});
  Compression = Choice({"No compression", "Fastest compression", "Medium compression", "Maximum compression"});
  KeysetSize = IntField(0, INT_MAX);
  MaxRows = IntField(0, INT_MAX);
  MaxLength = IntField(0, INT_MAX);
  MaxRows->setToolTip("0 = all");
  MaxLength->setToolTip("0 = no limit");
  for (const char* t : {"AutoSaveChanges", "AutoEdit", "ConfrimDeletions", "BookmarksEnabled", "ExposeBookmarkColumn"})
    Attributes.push_back(new QCheckBox(t));
  for (const char* t : {"Use Count From ODBC Driver", "Use Select Count(*) Statement", "Count by Logarithmic Positioning"})
    CountStrategies.push_back(new QCheckBox(t));

  auto* form = new QFormLayout(this);
  form->setContentsMargins(0, 0, 0, 0);
  form->addRow("Cursor Type:", CursorType);
  form->addRow("Update Strategy:", UpdateStrategy);
  form->addRow("Positioned Update:", Simulation);
  form->addRow("Cursor Sensitivity:", Sensitivity);
  form->addRow("Keyset Size:", KeysetSize);
  form->addRow("Returned Records:", MaxRows);
  form->addRow("Max Data Size:", MaxLength);
  form->addRow("BLOB Compression:", Compression);
  auto* attr = new QGroupBox("Attributes");
  auto* al = new QVBoxLayout(attr);
  for (QCheckBox* c : Attributes) al->addWidget(c);
  auto* count = new QGroupBox("Record Count");
  auto* cl = new QVBoxLayout(count);
  for (QCheckBox* c : CountStrategies) cl->addWidget(c);
  auto* boxes = new QHBoxLayout;
  boxes->addWidget(attr);
  boxes->addWidget(count);
  form->addRow(boxes);

  for (QComboBox* c : {CursorType, UpdateStrategy, Simulation, Sensitivity, Compression})
    connect(c, &QComboBox::activated, this, &TQXRecordsetPropertyArea::Edited);
  for (QSpinBox* s : {KeysetSize, MaxRows, MaxLength})
    connect(s, &QSpinBox::valueChanged, this, &TQXRecordsetPropertyArea::Edited);
  for (auto* list : {&Attributes, &CountStrategies})
    for (QCheckBox* c : *list) connect(c, &QCheckBox::toggled, this, &TQXRecordsetPropertyArea::Edited);
}

void TQXRecordsetPropertyArea::Load(const TKVOdbcRecordsetProperties& p) {
  std::vector<QSignalBlocker> blockers;
  for (QObject* o : std::initializer_list<QObject*>{KeysetSize, MaxRows, MaxLength}) blockers.emplace_back(o);
  for (QCheckBox* c : Attributes) blockers.emplace_back(c);
  for (QCheckBox* c : CountStrategies) blockers.emplace_back(c);
  CursorType->setCurrentIndex(p.CursorType());
  UpdateStrategy->setCurrentIndex(p.UpdateStrategy());
  Simulation->setCurrentIndex(p.PositionedUpdateSimulation());
  Sensitivity->setCurrentIndex(p.CursorSensitivity());
  Compression->setCurrentIndex(p.BLOBCompressionKind());
  KeysetSize->setValue(p.KeysetSize());
  MaxRows->setValue(p.MaximumRecordsReturned());
  MaxLength->setValue(p.MaximumFieldDataSize());
  for (size_t i = 0; i < Attributes.size(); ++i) Attributes[i]->setChecked(p.Attributes() & (1u << i));
  for (size_t i = 0; i < CountStrategies.size(); ++i) CountStrategies[i]->setChecked(p.CountStrategies() & (1u << i));
}

void TQXRecordsetPropertyArea::Store(TKVOdbcRecordsetProperties& p) const {
  if (p.CursorType() != CursorType->currentIndex()) p.SetCursorType(CursorType->currentIndex());
  if (p.UpdateStrategy() != UpdateStrategy->currentIndex()) p.SetUpdateStrategy(UpdateStrategy->currentIndex());
  if (p.PositionedUpdateSimulation() != Simulation->currentIndex())
    p.SetPositionedUpdateSimulation(Simulation->currentIndex());
  if (p.CursorSensitivity() != Sensitivity->currentIndex()) p.SetCursorSensitivity(Sensitivity->currentIndex());
  if (p.BLOBCompressionKind() != Compression->currentIndex()) p.SetBLOBCompressionKind(Compression->currentIndex());
  if (p.KeysetSize() != KeysetSize->value()) p.SetKeysetSize(KeysetSize->value());
  if (p.MaximumRecordsReturned() != MaxRows->value()) p.SetMaximumRecordsReturned(MaxRows->value());
  if (p.MaximumFieldDataSize() != MaxLength->value()) p.SetMaximumFieldDataSize(MaxLength->value());
  uint32_t a = 0, c = 0;
  for (size_t i = 0; i < Attributes.size(); ++i)
    if (Attributes[i]->isChecked()) a |= 1u << i;
  for (size_t i = 0; i < CountStrategies.size(); ++i)
    if (CountStrategies[i]->isChecked()) c |= 1u << i;
  if (a != p.Attributes()) p.SetAttributes(a);
  if (c != p.CountStrategies()) p.SetCountStrategies(c);
}

// --- Kinds 1 and 2 ---------------------------------------------------------------------------------------

TQXConnectionDetailArea::TQXConnectionDetailArea(bool destination, QWidget* parent)
    : TQXDetailAreaBase(parent), m_Destination(destination) {
  auto* l = new QVBoxLayout(this);
  m_Connected = new QCheckBox("Connected to Database");
  l->addWidget(m_Connected);
  if (destination) {
    auto* row = new QFormLayout;
    m_TransactionSize = IntField(0, INT_MAX);
    m_TransactionSize->setToolTip("The number of modifying operations after which changes are commited.");
    row->addRow("Transaction Size:", m_TransactionSize);
    l->addLayout(row);
    m_AssignToAll = new QPushButton("Assign to all destination databases");
    m_AssignToAll->setToolTip("Assign the above values to all destination datadases in this subtree");
    auto* br = new QHBoxLayout;
    br->addWidget(m_AssignToAll);
    br->addStretch();
    l->addLayout(br);
    connect(m_TransactionSize, &QSpinBox::valueChanged, this, [this](int v) {
      Write([this, v] { Node()->DataAs<TQXDDestConnectionData>()->SetTransactionSize(v); });
    });
    connect(m_AssignToAll, &QPushButton::clicked, this, &TQXConnectionDetailArea::AssignToAllDestinations);
  }
  auto* box = new QGroupBox("Connection Properties");
  auto* bl = new QVBoxLayout(box);
  m_Properties = new TQXConnectPropertyArea;
  bl->addWidget(m_Properties);
  l->addWidget(box);
  l->addStretch();
  connect(m_Connected, &QCheckBox::clicked, this, &TQXConnectionDetailArea::OnCheckBoxConnectedClick);
  connect(m_Properties, &TQXConnectPropertyArea::Edited, this, [this] {
    auto* d = Node() ? Node()->DataAs<TQXDConnectionData>() : nullptr;
    if (!d) return;
    std::string before = d->Connection().Properties().ConnectionString();
    std::string name = KVDataSourceNameOfConnectionString(QXStd(m_Properties->ConnectionString->text()));
    // A new data source names the node, as a database dropped from a schema page is named.
    QString title = before != QXStd(m_Properties->ConnectionString->text()) && !name.empty() ? QXStr(name) : QString();
    Write([this, d] { m_Properties->Store(d->Connection().Properties()); }, title);
  });
  // The check box follows the connection when it opens or closes elsewhere (a run, validation).
  m_Follow = new QTimer(this);
  m_Follow->setInterval(500);
  connect(m_Follow, &QTimer::timeout, this, &TQXConnectionDetailArea::FollowConnection);
  m_Follow->start();
}

bool TQXConnectionDetailArea::Accepts(TKVTreeItem* item) const {
  return m_Destination ? item->DataAs<TQXDDestConnectionData>() != nullptr
                       : item->DataAs<TQXDSourceConnectionData>() != nullptr;
}

void TQXConnectionDetailArea::Fill() {
  auto* d = Node()->DataAs<TQXDConnectionData>();
  m_Connected->setChecked(d->Connection().Active());
  if (m_TransactionSize) m_TransactionSize->setValue(Node()->DataAs<TQXDDestConnectionData>()->TransactionSize());
  m_Properties->Load(d->Connection().Properties());
}

void TQXConnectionDetailArea::FollowConnection() {
  if (!isVisible() || !Node() || !Accepts(Node())) return;
  bool active = Node()->DataAs<TQXDConnectionData>()->Connection().Active();
  if (m_Connected->isChecked() != active) {
    QSignalBlocker b(m_Connected);
    m_Connected->setChecked(active);
  }
}

void TQXConnectionDetailArea::OnCheckBoxConnectedClick() {
  auto* d = Node() ? Node()->DataAs<TQXDConnectionData>() : nullptr;
  if (!d || Filling()) return;
  try {
    if (m_Connected->isChecked())
      d->Connection().Activate();
    else
      d->Connection().Deactivate();
  } catch (const std::exception& e) {
    KVHandleException(e);
  }
  QSignalBlocker b(m_Connected);
  m_Connected->setChecked(d->Connection().Active());
  // Completing the connection string may have changed the properties.
  m_Properties->Load(d->Connection().Properties());
}

void TQXConnectionDetailArea::AssignToAllDestinations() {
  TKVTreeItem* shown = Node();
  auto* from = shown ? shown->DataAs<TQXDDestConnectionData>() : nullptr;
  TKVTreeItem* source = shown ? QXDFindAncestorItem<TQXDSourceConnectionData>(shown) : nullptr;
  if (!from || !source) return;
  std::vector<TKVTreeItem*> targets;
  source->Model().ForEach([&](TKVTreeItem& item) {
    if (&item != shown && source->IsAncestorOf(&item) && item.DataAs<TQXDDestConnectionData>()) targets.push_back(&item);
    return true;
  });
  const TKVOdbcConnectProperties& props = from->Connection().Properties();
  for (TKVTreeItem* t : targets) {
    auto* d = t->DataAs<TQXDDestConnectionData>();
    try {
      d->Close();
      d->Connection().Properties().Assign(props);
      std::string name = KVDataSourceNameOfConnectionString(props.ConnectionString());
      if (!name.empty()) t->SetTitle(name);
      emit PropertyChanged(QString());
    } catch (const std::exception& e) {
      KVHandleException(e);
    }
  }
}

// --- Kinds 3 and 4 ---------------------------------------------------------------------------------------

TQXRecordsetDetailArea::TQXRecordsetDetailArea(bool destination, QWidget* parent)
    : TQXDetailAreaBase(parent), m_Destination(destination) {
  auto* l = new QVBoxLayout(this);
  m_Tabs = new QTabWidget;
  l->addWidget(m_Tabs);
  m_Properties = new TQXRecordsetPropertyArea;
  if (destination) {
    auto* page = new QWidget;
    auto* pl = new QVBoxLayout(page);
    AlwaysInsert = new QRadioButton("Always insert new record");
    TryFind = new QRadioButton("Try to find existing record");
    EditIfExists = new QCheckBox("Edit record if exists");
    InsertIfNotExists = new QCheckBox("Insert new record if not exists");
    AssertExists = new QCheckBox("Assert that a matching record is always found");
    pl->addWidget(AlwaysInsert);
    pl->addWidget(TryFind);
    for (QCheckBox* c : {EditIfExists, InsertIfNotExists, AssertExists}) {
      auto* row = new QHBoxLayout;
      row->addSpacing(24);
      row->addWidget(c);
      pl->addLayout(row);
    }
    pl->addStretch();
    m_Tabs->addTab(page, "Manipulation");
    auto rs = [this] { return Node()->DataAs<TQXDDestRSData>(); };
    connect(AlwaysInsert, &QRadioButton::toggled, this, [this, rs](bool on) {
      Write([rs, on] { rs()->SetAlwaysInsertNewRecord(on); });
      UpdateEnabling();
    });
    connect(EditIfExists, &QCheckBox::toggled, this,
            [this, rs](bool on) { Write([rs, on] { rs()->SetEditRecordIfExists(on); }); });
    connect(InsertIfNotExists, &QCheckBox::toggled, this, [this, rs](bool on) {
      Write([rs, on] { rs()->SetInsertRecordIfNotExists(on); });
      UpdateEnabling();
    });
    connect(AssertExists, &QCheckBox::toggled, this,
            [this, rs](bool on) { Write([rs, on] { rs()->SetAssertRecordExists(on); }); });
  }
  auto* props = new QWidget;
  auto* pl = new QVBoxLayout(props);
  if (!destination) {
    auto* form = new QFormLayout;
    m_RecordsToRead = IntField(0, INT_MAX);
    m_RecordsToRead->setToolTip("Maximum number of records to read");
    form->addRow("Records to read:", m_RecordsToRead);
    pl->addLayout(form);
    connect(m_RecordsToRead, &QSpinBox::valueChanged, this, [this](int v) {
      Write([this, v] { Node()->DataAs<TQXDSourceRSData>()->SetMaxRecordsToRead(v); });
    });
  }
  pl->addWidget(m_Properties);
  pl->addStretch();
  auto* scroll = new QScrollArea;
  scroll->setWidget(props);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  m_Tabs->addTab(scroll, "Properties");
  m_SQL = new QPlainTextEdit;
  QFont fixed("Courier New");
  fixed.setStyleHint(QFont::TypeWriter);
  fixed.setFixedPitch(true);
  if (!QFontInfo(fixed).fixedPitch()) fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  m_SQL->setFont(fixed);
  m_SQL->setLineWrapMode(QPlainTextEdit::NoWrap);
  m_Tabs->addTab(m_SQL, "SQL");
  connect(m_SQL, &QPlainTextEdit::textChanged, this, [this] {
    Write([this] { Node()->DataAs<TQXDRecordsetData>()->SetSQL(QXStd(m_SQL->toPlainText())); });
  });
  connect(m_Properties, &TQXRecordsetPropertyArea::Edited, this, [this] {
    Write([this] { m_Properties->Store(Node()->DataAs<TQXDRecordsetData>()->Recordset().Properties()); });
  });
}

bool TQXRecordsetDetailArea::Accepts(TKVTreeItem* item) const {
  return m_Destination ? item->DataAs<TQXDDestRSData>() != nullptr : item->DataAs<TQXDSourceRSData>() != nullptr;
}

void TQXRecordsetDetailArea::Fill() {
  auto* d = Node()->DataAs<TQXDRecordsetData>();
  if (m_Destination) {
    auto* rs = Node()->DataAs<TQXDDestRSData>();
    AlwaysInsert->setChecked(rs->AlwaysInsertNewRecord());
    TryFind->setChecked(!rs->AlwaysInsertNewRecord());
    EditIfExists->setChecked(rs->EditRecordIfExists());
    InsertIfNotExists->setChecked(rs->InsertRecordIfNotExists());
    AssertExists->setChecked(rs->AssertRecordExists());
    UpdateEnabling();
  } else {
    m_RecordsToRead->setValue(Node()->DataAs<TQXDSourceRSData>()->MaxRecordsToRead());
  }
  m_Properties->Load(d->Recordset().Properties());
  QString sql = QXStr(d->SQL());
  if (m_SQL->toPlainText() != sql) m_SQL->setPlainText(sql);
}

void TQXRecordsetDetailArea::UpdateEnabling() {
  if (!m_Destination) return;
  bool find = TryFind->isChecked();
  EditIfExists->setEnabled(find);
  InsertIfNotExists->setEnabled(find);
  AssertExists->setEnabled(find && !InsertIfNotExists->isChecked());
}

// --- Kind 5 ----------------------------------------------------------------------------------------------

void TQXPickerCombo::showPopup() {
  if (count() == 0 && OnFill) OnFill();
  QComboBox::showPopup();
}

TQXDstFieldDetailArea::TQXDstFieldDetailArea(QWidget* parent) : TQXDetailAreaBase(parent) {
  auto* l = new QVBoxLayout(this);
  auto* src = new QGroupBox("Source Value");
  auto* sg = new QGridLayout(src);
  FromSource = new QRadioButton("From source recordset");
  FromOtherDest = new QRadioButton("From other destination recordset");
  Fixed = new QRadioButton("Fixed Value");
  auto* group = new QButtonGroup(this);
  group->addButton(FromSource, 0);
  group->addButton(FromOtherDest, 1);
  group->addButton(Fixed, 2);
  auto picker = [] {
    auto* c = new TQXPickerCombo;
    c->setEditable(true);
    c->setInsertPolicy(QComboBox::NoInsert);
    c->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return c;
  };
  SourceField = picker();
  DestRecordset = new TQXPickerCombo;
  DestField = picker();
  SourceFieldLabel = Caption("Fieldname");
  DestRecordsetLabel = Caption("Recordset");
  DestFieldLabel = Caption("Fieldname");
  FixedValue = new QLineEdit;
  SkipIfNull = new QCheckBox("Skip record if source value is NULL");
  int r = 0;
  sg->addWidget(FromSource, r++, 0, 1, 3);
  sg->addWidget(SourceFieldLabel, r, 1);
  sg->addWidget(SourceField, r++, 2);
  sg->addWidget(FromOtherDest, r++, 0, 1, 3);
  sg->addWidget(DestRecordsetLabel, r, 1);
  sg->addWidget(DestRecordset, r++, 2);
  sg->addWidget(DestFieldLabel, r, 1);
  sg->addWidget(DestField, r++, 2);
  sg->addWidget(Fixed, r++, 0, 1, 3);
  sg->addWidget(FixedValue, r++, 1, 1, 2);
  sg->addWidget(SkipIfNull, r++, 0, 1, 3);
  sg->setColumnMinimumWidth(0, 16);
  sg->setColumnStretch(2, 1);
  l->addWidget(src);

  auto* dst = new QGroupBox("Destination Value");
  auto* dl = new QGridLayout(dst);
  AssignWhenEditing = new QCheckBox("Assign value to destination field when editing the record");
  AssignWhenInserting = new QCheckBox("Assign value to destination field when inserting a new record");
  AssignMode = Choice({"Assign Value to Field", "String: Insert Value at Beginning", "String: Append Value to End",
                       "Numeric: Add Value"});
  AssignModeLabel = Caption("Assign mode");
  dl->addWidget(AssignWhenEditing, 0, 0, 1, 2);
  dl->addWidget(AssignWhenInserting, 1, 0, 1, 2);
  dl->addWidget(AssignModeLabel, 2, 0);
  dl->addWidget(AssignMode, 2, 1);
  dl->setColumnStretch(1, 1);
  l->addWidget(dst);

  auto* look = new QGroupBox("Record lookup");
  auto* ll = new QGridLayout(look);
  LocateWithValue = new QCheckBox("Use value to find existing record");
  MatchKind = Choice({"Exact Match", "Closest Match"});
  MatchKindLabel = Caption("Match Kind");
  MatchCase = new QCheckBox("Match case");
  ll->addWidget(LocateWithValue, 0, 0, 1, 2);
  ll->addWidget(MatchKindLabel, 1, 0);
  ll->addWidget(MatchKind, 1, 1);
  ll->addWidget(MatchCase, 2, 0, 1, 2);
  ll->setColumnStretch(1, 1);
  l->addWidget(look);
  l->addStretch();

  auto f = [this] { return Node()->DataAs<TQXDDestFieldData>(); };
  connect(group, &QButtonGroup::idToggled, this, [this, f](int id, bool on) {
    if (!on) return;
    Write([f, id] { f()->SetFieldValueorigin(id); });
    UpdateEnabling();
  });
  connect(SourceField, &QComboBox::currentTextChanged, this, [this, f](const QString& t) {
    Write([f, t] { f()->SetSourceRecordsetFieldname(QXStd(t)); });
  });
  connect(DestRecordset, &QComboBox::currentTextChanged, this, [this, f](const QString& t) {
    Write([f, t] { f()->SetDestRecordsetName(QXStd(t)); });
    if (!Filling()) {
      QSignalBlocker b(DestField);
      DestField->clear();
      FillDestFields(false);
      DestField->setEditText(QXStr(f()->DestRecordsetFieldname()));
    }
  });
  connect(DestField, &QComboBox::currentTextChanged, this, [this, f](const QString& t) {
    Write([f, t] { f()->SetDestRecordsetFieldname(QXStd(t)); });
  });
  SourceField->OnFill = [this] { FillSourceFields(true); };
  DestField->OnFill = [this] { FillDestFields(true); };
  connect(FixedValue, &QLineEdit::textEdited, this,
          [this, f](const QString& t) { Write([f, t] { f()->SetFixedValue(QXStd(t)); }); });
  connect(SkipIfNull, &QCheckBox::toggled, this,
          [this, f](bool on) { Write([f, on] { f()->SetIgnoreRecordIfNULL(on); }); });
  connect(AssignWhenEditing, &QCheckBox::toggled, this, [this, f](bool on) {
    Write([f, on] { f()->SetAssignValueWhenEditing(on); });
    UpdateEnabling();
  });
  connect(AssignWhenInserting, &QCheckBox::toggled, this, [this, f](bool on) {
    Write([f, on] { f()->SetAssignValueWhenInserting(on); });
    UpdateEnabling();
  });
  connect(AssignMode, &QComboBox::activated, this, [this, f](int i) { Write([f, i] { f()->SetAssignMode(i); }); });
  connect(LocateWithValue, &QCheckBox::toggled, this, [this, f](bool on) {
    Write([f, on] { f()->SetLocateWithValue(on); });
    UpdateEnabling();
  });
  connect(MatchKind, &QComboBox::activated, this, [this, f](int i) { Write([f, i] { f()->SetMatchKind(i); }); });
  connect(MatchCase, &QCheckBox::toggled, this, [this, f](bool on) { Write([f, on] { f()->SetMatchCase(on); }); });
}

bool TQXDstFieldDetailArea::Accepts(TKVTreeItem* item) const { return item->DataAs<TQXDDestFieldData>() != nullptr; }

std::vector<TKVTreeItem*> TQXDstFieldDetailArea::PrecedingRecordsets(TKVTreeItem& field) {
  std::vector<TKVTreeItem*> list;
  TKVTreeItem* own = field.Parent();
  TKVTreeItem* db = own ? own->Parent() : nullptr;
  if (!own || !db) return list;
  for (size_t i = 0; i < db->ChildCount(); ++i) {
    TKVTreeItem* c = db->Child(i);
    if (c == own || !c->DataAs<TQXDDestRSData>()) break;
    list.push_back(c);
  }
  return list;
}

void TQXDstFieldDetailArea::Fill() {
  auto* f = Node()->DataAs<TQXDDestFieldData>();
  DestRecordset->clear();
  for (TKVTreeItem* rs : PrecedingRecordsets(*Node()))
    DestRecordset->addItem(QXStr(rs->Title()), QVariant::fromValue(static_cast<void*>(rs)));
  SourceField->clear();
  DestField->clear();
  FromSource->setChecked(f->FieldValueorigin() == fvoSourceRecordset);
  FromOtherDest->setChecked(f->FieldValueorigin() == fvoDestRecordset);
  Fixed->setChecked(f->FieldValueorigin() == fvoFixedValue);
  SourceField->setEditText(QXStr(f->SourceRecordsetFieldname()));
  int at = DestRecordset->findText(QXStr(f->DestRecordsetName()), Qt::MatchFixedString);
  DestRecordset->setCurrentIndex(at);
  DestField->setEditText(QXStr(f->DestRecordsetFieldname()));
  FixedValue->setText(QXStr(f->FixedValue()));
  SkipIfNull->setChecked(f->IgnoreRecordIfNULL());
  AssignWhenEditing->setChecked(f->AssignValueWhenEditing());
  AssignWhenInserting->setChecked(f->AssignValueWhenInserting());
  AssignMode->setCurrentIndex(f->AssignMode());
  LocateWithValue->setChecked(f->LocateWithValue());
  MatchKind->setCurrentIndex(f->MatchKind());
  MatchCase->setChecked(f->MatchCase());
  UpdateEnabling();
}

void TQXDstFieldDetailArea::UpdateEnabling() {
  bool fromSource = FromSource->isChecked();
  SourceField->setEnabled(fromSource);
  SourceFieldLabel->setEnabled(fromSource);
  FixedValue->setEnabled(Fixed->isChecked());
  bool otherPossible = DestRecordset->count() > 0;
  FromOtherDest->setEnabled(otherPossible);
  bool other = otherPossible && FromOtherDest->isChecked();
  for (QWidget* w : std::initializer_list<QWidget*>{DestRecordset, DestField, DestRecordsetLabel, DestFieldLabel})
    w->setEnabled(other);
  bool assign = AssignWhenEditing->isChecked() || AssignWhenInserting->isChecked();
  AssignMode->setEnabled(assign);
  AssignModeLabel->setEnabled(assign);
  TKVTreeItem* rs = Node() ? Node()->Parent() : nullptr;
  auto* rsData = rs ? rs->DataAs<TQXDDestRSData>() : nullptr;
  bool locate = rsData && !rsData->AlwaysInsertNewRecord();
  LocateWithValue->setEnabled(locate);
  bool match = locate && LocateWithValue->isChecked();
  MatchKind->setEnabled(match);
  MatchKindLabel->setEnabled(match);
  MatchCase->setEnabled(match);
}

namespace {
void FillPicker(QComboBox* combo, const std::vector<std::string>& names, const QString& keep) {
  QSignalBlocker b(combo);
  combo->clear();
  for (const std::string& n : names) combo->addItem(QXStr(n));
  combo->setEditText(keep);
}
}  // namespace

void TQXDstFieldDetailArea::FillSourceFields(bool ask) {
  TKVTreeItem* field = Node();
  if (!field || !m_Columns) return;
  TKVTreeItem* srs = QXDFindAncestorItem<TQXDSourceRSData>(field);
  TKVTreeItem* sdb = srs ? QXDFindAncestorItem<TQXDSourceConnectionData>(srs) : nullptr;
  if (!srs || !sdb) return;
  FillPicker(SourceField, m_Columns(*sdb, srs->Title(), ask), SourceField->currentText());
}

void TQXDstFieldDetailArea::FillDestFields(bool ask) {
  TKVTreeItem* field = Node();
  if (!field || !m_Columns) return;
  auto* rs = static_cast<TKVTreeItem*>(DestRecordset->currentData().value<void*>());
  TKVTreeItem* ddb = rs ? rs->Parent() : nullptr;
  if (!rs || !ddb) return;
  FillPicker(DestField, m_Columns(*ddb, rs->Title(), ask), DestField->currentText());
}

// --- Kind 6 ----------------------------------------------------------------------------------------------

TQXArgumentControl QXArgumentControlKind(uint16_t t) {
  switch (t) {
    case 2: case 3: case 17: return TQXArgumentControl::Integer;
    case 4: case 5: case 6: case 7: case 8: case 12: case 0x100: return TQXArgumentControl::Text;
    case 11: return TQXArgumentControl::Boolean;
    default: return TQXArgumentControl::None;
  }
}

TQXFVFuncDetailArea::TQXFVFuncDetailArea(QWidget* parent) : TQXDetailAreaBase(parent) {
  auto* l = new QVBoxLayout(this);
  m_Description = new QLabel;
  m_Description->setWordWrap(true);
  l->addWidget(m_Description);
  auto* box = new QGroupBox("Arguments");
  m_Panel = box;
  m_Rows = new QVBoxLayout(box);
  l->addWidget(box);
  l->addStretch();
}

bool TQXFVFuncDetailArea::Accepts(TKVTreeItem* item) const { return item->DataAs<TQXDFieldFuncData>() != nullptr; }

void TQXFVFuncDetailArea::Clear() {
  for (QWidget* w : m_Panel->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) delete w;
  while (QLayoutItem* i = m_Rows->takeAt(0)) delete i;
  m_Controls.clear();
  m_Description->clear();
}

// The created type of an argument: the type of its parameter's default, else (an argument restored from
// a document beyond the parameters) the type of the value it holds.
static uint16_t CreatedTypeOf(const TQXDFieldFuncData& node, size_t index) {
  if (const TQXFunctionRef& f = node.Function(); f && index < f->Parameters.size())
    return f->Parameters[index].Default.VarType();
  return node.Argument(index).Value().VarType();
}

void TQXFVFuncDetailArea::Fill() {
  Clear();
  auto* node = Node()->DataAs<TQXDFieldFuncData>();
  const TQXFunctionRef& f = node->Function();
  m_Description->setText(f ? QXStr(f->Description)
                           : QXStr("Function \"" + Node()->Title() + "\" not found in any loaded plugin."));
  for (size_t i = 0; i < node->ArgumentCount(); ++i) {
    std::string name = f && i < f->Parameters.size() ? f->Parameters[i].Name : "Argument" + std::to_string(i + 1);
    std::string desc = f && i < f->Parameters.size() ? f->Parameters[i].Description : std::string();
    const TKVVariant& v = node->Argument(i).Value();
    bool blank = v.IsEmpty() || v.IsNull();
    QWidget* control = nullptr;
    auto* row = new QWidget(m_Panel);
    auto* rl = new QHBoxLayout(row);
    rl->setContentsMargins(0, 0, 0, 0);
    switch (QXArgumentControlKind(CreatedTypeOf(*node, i))) {
      case TQXArgumentControl::Integer: {
        auto* s = IntField(INT_MIN, INT_MAX);
        if (!blank) s->setValue(int(v.AsInt64()));
        connect(s, &QSpinBox::valueChanged, this, [this, i](int n) { ArgumentEdited(i, TKVVariant(int32_t(n))); });
        control = s;
        break;
      }
      case TQXArgumentControl::Text: {
        auto* e = new QLineEdit;
        if (!blank) e->setText(QXStr(v.AsString()));
        connect(e, &QLineEdit::textEdited, this, [this, i](const QString& t) { ArgumentEdited(i, TKVVariant(QXStd(t))); });
        control = e;
        break;
      }
      case TQXArgumentControl::Boolean: {
        auto* c = new QCheckBox(QXStr(name));
        if (!blank) c->setChecked(v.AsBoolean());
        connect(c, &QCheckBox::toggled, this, [this, i](bool on) { ArgumentEdited(i, TKVVariant(on)); });
        control = c;
        break;
      }
      case TQXArgumentControl::None: break;
    }
    m_Controls.push_back(control);
    if (!control) {
      delete row;
      continue;
    }
    if (!qobject_cast<QCheckBox*>(control)) {
      auto* label = new QLabel(QXStr(name) + ":");
      label->setMinimumWidth(120);
      rl->addWidget(label);
    }
    rl->addWidget(control, 1);
    if (!desc.empty()) control->setToolTip("<b>" + QXStr(name).toHtmlEscaped() + "</b><br>" + QXStr(desc).toHtmlEscaped());
    m_Rows->addWidget(row);
  }
  if (m_Controls.empty()) m_Rows->addWidget(new QLabel("This function has no arguments.", m_Panel));
}

void TQXFVFuncDetailArea::ArgumentEdited(size_t index, const TKVVariant& value) {
  Write([this, index, value] { Node()->DataAs<TQXDFieldFuncData>()->SetArgumentValue(index, value); });
}
