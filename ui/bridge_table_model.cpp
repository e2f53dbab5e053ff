#include "ui/bridge_table_model.h"

namespace quayside {

int BridgeTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int BridgeTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : 3;
}

QVariant BridgeTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || !validRow(index.row())) {
    return {};
  }
  const Row& row = rows_[static_cast<std::size_t>(index.row())];
  if (role == Qt::DisplayRole) {
    return index.column() == kPortColumn     ? row.portText
           : index.column() == kServerColumn ? row.serverText
                                             : row.stateText;
  }
  if (role == Qt::CheckStateRole && index.column() == kPortColumn) {
    return row.checked ? Qt::Checked : Qt::Unchecked;
  }
  if (role == kBridgeRole) {
    return QVariant::fromValue(static_cast<void*>(row.bridge));
  }
  return {};
}

bool BridgeTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  // Only the checkbox can be changed from the view; in-place text edits are refused.
  if (role != Qt::CheckStateRole || !index.isValid() || index.column() != kPortColumn ||
      !validRow(index.row())) {
    return false;
  }
  setChecked(index.row(), value.toInt() == Qt::Checked);
  return true;
}

QVariant BridgeTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  return section == kPortColumn     ? QStringLiteral("Port")
         : section == kServerColumn ? QStringLiteral("Server")
                                    : QStringLiteral("State");
}

Qt::ItemFlags BridgeTableModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) {
    return Qt::NoItemFlags;
  }
  Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == kPortColumn) {
    result |= Qt::ItemIsUserCheckable;
  }
  return result;
}

int BridgeTableModel::insertBridgeRow(int position, Bridge* bridge, const QString& portText) {
  const int count = static_cast<int>(rows_.size());
  position = position < 0 ? 0 : (position > count ? count : position);
  beginInsertRows(QModelIndex(), position, position);
  rows_.insert(rows_.begin() + position, Row{bridge, portText, QString(), QString(), false});
  endInsertRows();
  return position;
}

void BridgeTableModel::setBridgeRow(int row, Bridge* bridge, const QString& portText) {
  if (!validRow(row)) {
    return;
  }
  Row& target = rows_[static_cast<std::size_t>(row)];
  target.bridge = bridge;
  target.portText = portText;
  emit dataChanged(index(row, kPortColumn), index(row, kPortColumn));
}

void BridgeTableModel::setServerText(int row, const QString& text) {
  if (!validRow(row)) {
    return;
  }
  rows_[static_cast<std::size_t>(row)].serverText = text;
  emit dataChanged(index(row, kServerColumn), index(row, kServerColumn));
}

void BridgeTableModel::setStateText(int row, const QString& text) {
  if (!validRow(row) || rows_[static_cast<std::size_t>(row)].stateText == text) {
    return;
  }
  rows_[static_cast<std::size_t>(row)].stateText = text;
  emit dataChanged(index(row, kStateColumn), index(row, kStateColumn));
}

void BridgeTableModel::setChecked(int row, bool checked) {
  if (!validRow(row) || rows_[static_cast<std::size_t>(row)].checked == checked) {
    return;
  }
  rows_[static_cast<std::size_t>(row)].checked = checked;
  emit dataChanged(index(row, kPortColumn), index(row, kPortColumn), {Qt::CheckStateRole});
  emit checkChanged(row, checked);
}

void BridgeTableModel::removeBridgeRow(int row) {
  if (!validRow(row)) {
    return;
  }
  beginRemoveRows(QModelIndex(), row, row);
  rows_.erase(rows_.begin() + row);
  endRemoveRows();
}

Bridge* BridgeTableModel::bridgeAt(int row) const {
  return validRow(row) ? rows_[static_cast<std::size_t>(row)].bridge : nullptr;
}

bool BridgeTableModel::isChecked(int row) const {
  return validRow(row) && rows_[static_cast<std::size_t>(row)].checked;
}

}  // namespace quayside
