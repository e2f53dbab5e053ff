#include "ui/main_window.h"

#include "ui/app_icon.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTextBlock>
#include <QTime>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <utility>

namespace quayside {

namespace {

QString fromBytes(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string toBytes(const QString& text) {
  return text.toUtf8().toStdString();
}

QLineEdit* addField(QGridLayout* form, int row, const char* label, const char* name) {
  auto* caption = new QLabel(QString::fromLatin1(label));
  caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  auto* field = new QLineEdit;
  field->setObjectName(QString::fromLatin1(name));
  caption->setBuddy(field);
  form->addWidget(caption, row, 0);
  form->addWidget(field, row, 1);
  return field;
}

// "charsetField", "maxSessionsField", "removePasswordField": an option's
// widget named after its key, for tests and accessibility tools.
QString fieldName(std::string_view key, std::string_view prefix = {}) {
  std::string name(prefix);
  bool upper = !name.empty();
  for (const char byte : key) {
    if (byte == '-') {
      upper = true;
      continue;
    }
    name += upper && byte >= 'a' && byte <= 'z' ? static_cast<char>(byte - 'a' + 'A') : byte;
    upper = false;
  }
  return fromBytes(name + "Field");
}

LocalTime localNow() {
  const QDateTime now = QDateTime::currentDateTime();
  const QTime time = now.time();
  const QDate date = now.date();
  const auto steady = std::chrono::steady_clock::now().time_since_epoch();
  return {std::chrono::duration_cast<std::chrono::seconds>(steady).count(),
          time.hour(),
          time.minute(),
          time.second(),
          date.year(),
          date.month(),
          date.day()};
}

QPushButton* addButton(QBoxLayout* row, const char* text, const char* name) {
  auto* button = new QPushButton(QString::fromLatin1(text));
  button->setObjectName(QString::fromLatin1(name));
  // Enter belongs to Add, whichever button has the focus.
  button->setAutoDefault(false);
  row->addWidget(button);
  return button;
}

}  // namespace

MainWindow::MainWindow(BridgeList& bridges, std::string settingsPath, Prompter* prompter,
                       BridgeTableLogic::RandomSource random, QWidget* parent)
    : QWidget(parent),
      bridges_(bridges),
      ownPrompter_(prompter == nullptr ? std::make_unique<MessageBoxPrompter>() : nullptr),
      prompter_(prompter == nullptr ? ownPrompter_.get() : prompter),
      post_(new RelayEventPost([this](RelayReport report) {
        // Once the window is destroyed Qt drops what is still queued to it.
        QMetaObject::invokeMethod(
            this, [this, report = std::move(report)] { logic_.relayReported(report); },
            Qt::QueuedConnection);
      })),
      listeners_(bridges, host_, post_),
      control_(listeners_),
      logic_(bridges, *this, control_, std::move(settingsPath), std::move(random), localNow) {
  host_.onAccept = [this](std::uint32_t acceptMessage) {
    relayStartedInAccept_ = false;
    listeners_.acceptClient(acceptMessage);
  };
  host_.onNote = [this](const Bridge& bridge, ListenerHost::AcceptNote note, std::uint32_t peer,
                        std::uint16_t peerPort, std::string_view reason) {
    // The post must outlive every relay that reports to it: each one
    // holds it from just before its start.
    if (note == ListenerHost::AcceptNote::kAccepted) {
      post_->relayStarting();
      relayStartedInAccept_ = true;
    } else if (note == ListenerHost::AcceptNote::kRelayNotStarted && relayStartedInAccept_) {
      post_->relayNotStarted();
      relayStartedInAccept_ = false;
    }
    logic_.acceptNoted(bridge, note, peer, peerPort, reason);
  };
  host_.onError = [this](const Bridge& bridge, std::string_view reason) {
    logic_.errorOpeningPort(bridge, reason);
  };
  host_.onUncheck = [this] { logic_.uncheckCurrentRow(); };
  buildWidgets();
}

MainWindow::~MainWindow() {
  post_->release();
  closeAllListeners();
}

void MainWindow::closeAllListeners() {
  for (Bridge& bridge : bridges_) {
    listeners_.closeListener(bridge);
  }
}

void MainWindow::buildWidgets() {
  setWindowTitle(fromBytes(kWindowCaption));
  setWindowIcon(applicationIcon());

  table_ = new QTableView;
  table_->setObjectName(QStringLiteral("bridgeTable"));
  table_->setModel(&model_);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setShowGrid(false);
  table_->setWordWrap(false);
  table_->verticalHeader()->hide();
  table_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->setColumnWidth(BridgeTableModel::kPortColumn, 65);
  table_->setColumnWidth(BridgeTableModel::kServerColumn, 215);
  table_->setMinimumWidth(420);

  // Checkbox changes, the window's own included, reach the logic before
  // setChecked returns: the self-change marker relies on it.
  connect(
      &model_, &BridgeTableModel::checkChanged, this,
      [this](int row, bool checked) { logic_.checkboxChanged(row, checked); },
      Qt::DirectConnection);
  connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          [this](const QItemSelection& selected, const QItemSelection&) {
            if (removingRow_) {
              return;
            }
            for (const QModelIndex& index : selected.indexes()) {
              if (index.column() == BridgeTableModel::kPortColumn) {
                logic_.rowSelected(index.row());
              }
            }
          });

  auto* form = new QGridLayout;
  server_ = addField(form, 0, "Server:", "serverField");
  server_->setMaxLength(static_cast<int>(kServerFieldLimit));
  channel_ = addField(form, 1, "Channel:", "channelField");
  channel_->setMaxLength(static_cast<int>(kChannelFieldLimit));
  port_ = addField(form, 2, "Port:", "portField");
  localAddress_ = addField(form, 3, "Local address:", "localAddressField");
  localAddress_->setReadOnly(true);
  // Wide enough for the longest Local address the client is told to use.
  const int fieldWidth =
      localAddress_->fontMetrics().horizontalAdvance(QStringLiteral("dchub://127.0.0.1:65535")) +
      24;
  for (QLineEdit* field : {server_, channel_, port_, localAddress_}) {
    field->setMinimumWidth(fieldWidth);
  }
  auto* copy = new QPushButton(QStringLiteral("Copy"));
  copy->setObjectName(QStringLiteral("copyButton"));
  copy->setAutoDefault(false);
  form->addWidget(copy, 3, 2);
  connect(port_, &QLineEdit::textChanged, this, [this] { logic_.portFieldChanged(); });

  auto* edits = new QHBoxLayout;
  QPushButton* add = addButton(edits, "Add", "addButton");
  QPushButton* update = addButton(edits, "Update", "updateButton");
  QPushButton* remove = addButton(edits, "Delete", "deleteButton");

  auto* side = new QVBoxLayout;
  side->addLayout(form);
  side->addLayout(buildOptionsEditor());
  side->addStretch();
  side->addLayout(edits);

  auto* top = new QHBoxLayout;
  top->addWidget(table_, 1);
  top->addLayout(side);

  log_ = new QPlainTextEdit;
  log_->setObjectName(QStringLiteral("eventLog"));
  log_->setReadOnly(true);
  log_->setLineWrapMode(QPlainTextEdit::NoWrap);
  log_->setMaximumBlockCount(static_cast<int>(SessionActivity::kLogLimit));
  log_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(log_, &QPlainTextEdit::customContextMenuRequested, this,
          [this](const QPoint& position) { logContextMenu(position); });
  trust_ = new QPushButton(QStringLiteral("Trust this certificate"));
  trust_->setObjectName(QStringLiteral("trustButton"));
  trust_->setAutoDefault(false);
  trust_->setToolTip(
      QStringLiteral("Fills in the fingerprint of the certificate refused on the chosen log "
                     "line; Update applies it"));
  trust_->setEnabled(false);
  connect(trust_, &QPushButton::clicked, this,
          [this] { trustCertificateAt(log_->textCursor().blockNumber()); });
  auto* logHeader = new QHBoxLayout;
  auto* logCaption = new QLabel(QStringLiteral("Events:"));
  logCaption->setBuddy(log_);
  logHeader->addWidget(logCaption);
  logHeader->addStretch();
  logHeader->addWidget(trust_);

  auto* separator = new QFrame;
  separator->setFrameShape(QFrame::HLine);
  separator->setFrameShadow(QFrame::Sunken);

  auto* commands = new QHBoxLayout;
  commands->addStretch();
  QPushButton* save = addButton(commands, "Save settings", "saveButton");
  commands->addSpacing(16);
  QPushButton* tray = addButton(commands, "Minimize to Tray", "trayButton");
  commands->addSpacing(16);
  QPushButton* exit = addButton(commands, "Exit", "exitButton");
  commands->addStretch();

  // The settings file may live beside the program or in the user's
  // configuration folder; say which.
  const QString path = fromBytes(logic_.settingsPath());
  auto* pathLine = new QLabel(QStringLiteral("Settings file: ") + path);
  pathLine->setObjectName(QStringLiteral("settingsPathLabel"));
  pathLine->setToolTip(path);
  pathLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
  pathLine->setTextFormat(Qt::PlainText);
  pathLine->setMinimumWidth(1);
  pathLine->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  save->setToolTip(path);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 3);
  layout->addLayout(logHeader);
  layout->addWidget(log_, 2);
  layout->addWidget(separator);
  layout->addLayout(commands);
  layout->addWidget(pathLine);

  connect(add, &QPushButton::clicked, this, [this] { logic_.add(); });
  connect(update, &QPushButton::clicked, this, [this] { logic_.update(); });
  connect(remove, &QPushButton::clicked, this, [this] { logic_.deleteSelected(); });
  connect(copy, &QPushButton::clicked, this, [this] { logic_.copy(); });
  connect(save, &QPushButton::clicked, this, [this] { logic_.saveSettingsCommand(); });
  connect(tray, &QPushButton::clicked, this, [this] { minimizeToTray(); });
  connect(exit, &QPushButton::clicked, this, [this] { logic_.exit(); });

  resize(940, 560);
}

QLayout* MainWindow::buildOptionsEditor() {
  auto* form = new QGridLayout;
  int row = 0;
  const std::vector<OptionField> defaults = optionFields({});
  for (std::size_t i = 0; i < kOptionRows.size(); ++i) {
    const OptionRow& optionRow = kOptionRows[i];
    const QString tip = fromBytes(optionRow.tip);
    OptionEditor editor{&optionRow, nullptr, nullptr};
    switch (optionRow.kind) {
      case OptionKind::kText:
      case OptionKind::kList:
        if (optionRow.choices.empty()) {
          auto* field = new QLineEdit;
          field->setPlaceholderText(tip);
          // A list's field is rarely empty, so its placeholder seldom shows.
          if (optionRow.kind == OptionKind::kList) {
            field->setToolTip(tip);
          }
          editor.field = field;
        } else {
          // Suggestions; any other text may be typed.
          auto* field = new QComboBox;
          field->setEditable(true);
          field->setInsertPolicy(QComboBox::NoInsert);
          for (const OptionChoice& choice : optionRow.choices) {
            field->addItem(fromBytes(choice.shown()));
          }
          field->setToolTip(tip);
          editor.field = field;
        }
        break;
      case OptionKind::kChoice: {
        auto* field = new QComboBox;
        for (const OptionChoice& choice : optionRow.choices) {
          field->addItem(fromBytes(choice.shown()));
        }
        field->setToolTip(tip);
        editor.field = field;
        break;
      }
      case OptionKind::kToggle:
        editor.field = new QCheckBox(fromBytes(optionRow.label));
        editor.field->setToolTip(tip);
        break;
      case OptionKind::kNumber: {
        auto* field = new QSpinBox;
        field->setRange(static_cast<int>(optionRow.least), static_cast<int>(optionRow.most));
        field->setToolTip(tip);
        editor.field = field;
        break;
      }
      case OptionKind::kSecret: {
        auto* field = new QLineEdit;
        field->setEchoMode(QLineEdit::Password);
        field->setToolTip(tip);
        editor.field = field;
        editor.remove =
            new QCheckBox(QStringLiteral("Remove ") + fromBytes(optionRow.label).toLower());
        editor.remove->setObjectName(fieldName(optionRow.key, "remove"));
        editor.remove->setToolTip(QStringLiteral("Update then lets DC clients in without one"));
        // A secret to remove is not typed as well.
        connect(editor.remove, &QCheckBox::toggled, this, [field](bool remove) {
          if (remove) {
            field->clear();
          }
          field->setEnabled(!remove);
        });
        break;
      }
    }
    editor.field->setObjectName(fieldName(optionRow.key));
    if (optionRow.kind == OptionKind::kToggle) {
      form->addWidget(editor.field, row++, 1);
    } else {
      auto* caption = new QLabel(fromBytes(optionRow.label) + QLatin1Char(':'));
      caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
      caption->setBuddy(editor.field);
      form->addWidget(caption, row, 0);
      form->addWidget(editor.field, row++, 1);
    }
    if (editor.remove != nullptr) {
      form->addWidget(editor.remove, row++, 1);
    }
    writeOption(editor, defaults[i]);
    optionEditors_.push_back(editor);
  }
  return form;
}

OptionField MainWindow::readOption(const OptionEditor& editor) const {
  const OptionRow& optionRow = *editor.optionRow;
  OptionField field;
  field.key = optionRow.key;
  switch (optionRow.kind) {
    case OptionKind::kText:
    case OptionKind::kList:
      if (const auto* combo = qobject_cast<const QComboBox*>(editor.field)) {
        field.text = toBytes(combo->currentText().trimmed());
      } else {
        field.text = toBytes(qobject_cast<const QLineEdit*>(editor.field)->text().trimmed());
      }
      break;
    case OptionKind::kChoice: {
      const int index = qobject_cast<const QComboBox*>(editor.field)->currentIndex();
      field.text = optionRow
                       .choices[static_cast<std::size_t>(
                           std::clamp(index, 0, static_cast<int>(optionRow.choices.size()) - 1))]
                       .value;
      break;
    }
    case OptionKind::kToggle:
      field.text = qobject_cast<const QCheckBox*>(editor.field)->isChecked() ? "on" : "off";
      break;
    case OptionKind::kNumber:
      field.text = std::to_string(qobject_cast<const QSpinBox*>(editor.field)->value());
      break;
    case OptionKind::kSecret: {
      const auto* line = qobject_cast<const QLineEdit*>(editor.field);
      // As typed: blanks are part of a password.
      field.text = toBytes(line->text());
      field.remove = editor.remove->isChecked();
      field.set = !line->placeholderText().isEmpty();
      break;
    }
  }
  return field;
}

void MainWindow::writeOption(const OptionEditor& editor, const OptionField& field) {
  const OptionRow& optionRow = *editor.optionRow;
  if (optionRow.kind == OptionKind::kSecret) {
    auto* line = qobject_cast<QLineEdit*>(editor.field);
    editor.remove->setChecked(field.remove);
    if (toBytes(line->text()) != field.text) {
      line->setText(fromBytes(field.text));
    }
    line->setPlaceholderText(field.set ? fromBytes(kSecretSetText) : QString());
    return;
  }
  // An unchanged field keeps what the user typed, blanks and caret included.
  if (readOption(editor).text == field.text) {
    return;
  }
  switch (optionRow.kind) {
    case OptionKind::kText:
    case OptionKind::kList:
      if (auto* combo = qobject_cast<QComboBox*>(editor.field)) {
        combo->setCurrentText(fromBytes(field.text));
      } else {
        qobject_cast<QLineEdit*>(editor.field)->setText(fromBytes(field.text));
      }
      break;
    case OptionKind::kChoice:
      for (std::size_t i = 0; i < optionRow.choices.size(); ++i) {
        if (optionRow.choices[i].value == field.text) {
          qobject_cast<QComboBox*>(editor.field)->setCurrentIndex(static_cast<int>(i));
        }
      }
      break;
    case OptionKind::kToggle:
      qobject_cast<QCheckBox*>(editor.field)->setChecked(field.text == "on");
      break;
    case OptionKind::kNumber:
      qobject_cast<QSpinBox*>(editor.field)->setValue(fromBytes(field.text).toInt());
      break;
    case OptionKind::kSecret:
      break;
  }
}

void MainWindow::trustCertificateAt(int line) {
  const std::optional<std::size_t> chosen =
      logic_.trustLine(line < 0 ? std::nullopt : std::optional<std::size_t>(line));
  if (chosen) {
    logic_.trustCertificate(*chosen);
  }
}

void MainWindow::logContextMenu(const QPoint& position) {
  const std::unique_ptr<QMenu> menu(log_->createStandardContextMenu(position));
  const auto line = static_cast<std::size_t>(log_->cursorForPosition(position).blockNumber());
  if (logic_.trustLine(line) == line) {
    QAction* trust = new QAction(QStringLiteral("Trust this certificate"), menu.get());
    connect(trust, &QAction::triggered, this,
            [this, line] { trustCertificateAt(static_cast<int>(line)); });
    menu->insertAction(menu->actions().value(0), trust);
    menu->insertSeparator(menu->actions().value(1));
  }
  menu->exec(log_->viewport()->mapToGlobal(position));
}

void MainWindow::refreshTrustButton() {
  trust_->setEnabled(logic_.trustLine(std::nullopt).has_value());
}

void MainWindow::minimizeToTray() {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    showMinimized();
    return;
  }
  if (tray_ == nullptr) {
    tray_ = new QSystemTrayIcon(windowIcon(), this);
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { trayActivated(reason); });
  }
  tray_->setToolTip(trayToolTip_);
  tray_->show();
  hide();
}

void MainWindow::trayActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::Context &&
      reason != QSystemTrayIcon::DoubleClick) {
    return;
  }
  if (tray_ != nullptr) {
    tray_->hide();
  }
  showNormal();
  raise();
  activateWindow();
}

bool MainWindow::trayIconShown() const {
  return tray_ != nullptr && tray_->isVisible();
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
      logic_.exit();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      // Enter on a focused button presses it; anywhere else it is Add.
      if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
        button->click();
      } else {
        logic_.add();
      }
      return;
    default:
      QWidget::keyPressEvent(event);
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (!ending_) {
    // The close box is Exit: it saves, and may be declined when that fails.
    inCloseEvent_ = true;
    logic_.exit();
    inCloseEvent_ = false;
  }
  if (ending_) {
    event->accept();
  } else {
    event->ignore();
  }
}

int MainWindow::rowCount() const {
  return model_.rowCount();
}

int MainWindow::insertRow(int position, Bridge* bridge, const std::string& portText) {
  return model_.insertBridgeRow(position, bridge, fromBytes(portText));
}

void MainWindow::setRow(int row, Bridge* bridge, const std::string& portText) {
  model_.setBridgeRow(row, bridge, fromBytes(portText));
}

void MainWindow::setServerText(int row, const std::string& text) {
  model_.setServerText(row, fromBytes(text));
}

void MainWindow::setRowChecked(int row, bool checked) {
  model_.setChecked(row, checked);
}

void MainWindow::setStateText(int row, const std::string& text) {
  model_.setStateText(row, fromBytes(text));
}

void MainWindow::removeRow(int row) {
  // A single-selection view selects a neighbour when the selected row goes;
  // that is not the user's choice and must not overwrite the fields.
  removingRow_ = true;
  model_.removeBridgeRow(row);
  table_->clearSelection();
  removingRow_ = false;
}

Bridge* MainWindow::bridgeAt(int row) const {
  return model_.bridgeAt(row);
}

int MainWindow::selectedRow() const {
  const QModelIndexList rows = table_->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : rows.first().row();
}

void MainWindow::selectRow(int row) {
  table_->selectRow(row);
}

BridgeFields MainWindow::fields() const {
  BridgeFields fields;
  fields.server = toBytes(server_->text());
  fields.channel = toBytes(channel_->text());
  fields.port = toBytes(port_->text());
  for (const OptionEditor& editor : optionEditors_) {
    fields.options.push_back(readOption(editor));
  }
  return fields;
}

void MainWindow::setFields(const BridgeFields& fields) {
  // An unchanged field keeps the user's caret and selection.
  const auto setText = [](QLineEdit* line, const std::string& text) {
    if (toBytes(line->text()) != text) {
      line->setText(fromBytes(text));
    }
  };
  setText(server_, fields.server);
  setText(channel_, fields.channel);
  setText(port_, fields.port);
  for (const OptionEditor& editor : optionEditors_) {
    if (const OptionField* field = fields.option(editor.optionRow->key); field != nullptr) {
      writeOption(editor, *field);
    }
  }
}

std::string MainWindow::localAddressField() const {
  return toBytes(localAddress_->text());
}

void MainWindow::setLocalAddressField(const std::string& text) {
  localAddress_->setText(fromBytes(text));
}

void MainWindow::appendLogLine(const std::string& text) {
  log_->appendPlainText(fromBytes(text));
  refreshTrustButton();
}

void MainWindow::showNotice(const Notice& notice) {
  const QString title = fromBytes(notice.title);
  const QString text = fromBytes(notice.text);
  if (tray_ != nullptr && tray_->isVisible()) {
    tray_->showMessage(title, text, QSystemTrayIcon::Warning);
  }
  emit noticeShown(title, text);
}

void MainWindow::setTrayToolTip(const std::string& text) {
  trayToolTip_ = fromBytes(text);
  if (tray_ != nullptr) {
    tray_->setToolTip(trayToolTip_);
  }
}

void MainWindow::copyToClipboard(const std::string& text) {
  QGuiApplication::clipboard()->setText(fromBytes(text), QClipboard::Clipboard);
}

void MainWindow::inform(std::string_view caption, std::string_view text, std::string_view detail) {
  prompter_->inform(this, caption, text, detail);
}

bool MainWindow::askYesNo(std::string_view caption, std::string_view text,
                          std::string_view detail) {
  return prompter_->askYesNo(this, caption, text, detail);
}

void MainWindow::endWindow() {
  ending_ = true;
  if (tray_ != nullptr) {
    tray_->hide();
  }
  if (!inCloseEvent_) {
    close();
  }
  emit windowEnded();
}

}  // namespace quayside
