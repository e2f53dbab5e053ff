#pragma once

#include "bridge/bridge.h"

#include <QAbstractTableModel>
#include <QString>

#include <deque>

namespace quayside {

// The Bridge table: column 0 "Port" with the row's checkbox, column 1
// "Server", column 2 "State". Each row carries its Bridge (not owned) and the texts it was
// given; the checkbox is the row's own state, as in a list view, and every
// change of it, by the user or by the program, is reported synchronously
// through checkChanged. Nothing is editable in place.
class BridgeTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  static constexpr int kPortColumn = 0;
  static constexpr int kServerColumn = 1;
  static constexpr int kStateColumn = 2;
  static constexpr int kBridgeRole = Qt::UserRole;

  using QAbstractTableModel::QAbstractTableModel;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // Inserts an unchecked row at `position` (clamped); returns its row.
  int insertBridgeRow(int position, Bridge* bridge, const QString& portText);
  void setBridgeRow(int row, Bridge* bridge, const QString& portText);
  void setServerText(int row, const QString& text);
  void setStateText(int row, const QString& text);
  void setChecked(int row, bool checked);
  void removeBridgeRow(int row);

  Bridge* bridgeAt(int row) const;
  bool isChecked(int row) const;

 signals:
  void checkChanged(int row, bool checked);

 private:
  struct Row {
    Bridge* bridge = nullptr;
    QString portText;
    QString serverText;
    QString stateText;
    bool checked = false;
  };

  bool validRow(int row) const { return row >= 0 && row < static_cast<int>(rows_.size()); }

  std::deque<Row> rows_;  // the loaded rows all go in at the top
};

}  // namespace quayside
