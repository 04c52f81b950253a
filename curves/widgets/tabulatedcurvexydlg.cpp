#include "curves/widgets/tabulatedcurvexydlg.h"

#include "curves/core/curvedatatext.h"
#include "ui_tabulatedcurvexydlg.h"

#include <QHeaderView>
#include <QMenu>

#include <utility>

namespace {

enum Column { ColumnX = 0, ColumnY = 1 };

QString cellText(const QTableWidget* table, int row, int column)
{
    const QTableWidgetItem* item = table->item(row, column);
    return item ? item->text() : QString();
}

} // namespace

TabulatedCurveXYDlg::TabulatedCurveXYDlg(QMap<float, float>& points, bool& normalized, QWidget* parent)
    : QDialog(parent)
    , ui_(std::make_unique<Ui::tabulatedCurveXYDialog>())
    , points_(points)
    , normalized_(normalized)
{
    ui_->setupUi(this);
    ui_->btnPlus->setDefaultAction(ui_->actionAdd);
    ui_->btnMinus->setDefaultAction(ui_->actionDelete);

    QTableWidget* table = ui_->listValuesXY;
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    table->setRowCount(int(points_.size()));
    int row = 0;
    for (auto it = points_.cbegin(); it != points_.cend(); ++it, ++row) {
        table->setItem(row, ColumnX, new QTableWidgetItem(formatCurveNumber(it.key())));
        table->setItem(row, ColumnY, new QTableWidgetItem(formatCurveNumber(it.value())));
    }
    ui_->cbNormalize->setChecked(normalized_);

    connect(ui_->actionAdd, &QAction::triggered, this, [this] { add(); });
    connect(ui_->actionDelete, &QAction::triggered, this, &TabulatedCurveXYDlg::remove);
    connect(ui_->actionClearAll, &QAction::triggered, this, &TabulatedCurveXYDlg::clear);
    connect(table, &QWidget::customContextMenuRequested, this, &TabulatedCurveXYDlg::showContextMenu);
    connect(ui_->btnClose, &QPushButton::clicked, this, &TabulatedCurveXYDlg::close);

    QAbstractItemModel* rows = table->model();
    connect(rows, &QAbstractItemModel::rowsInserted, this, &TabulatedCurveXYDlg::updateActions);
    connect(rows, &QAbstractItemModel::rowsRemoved, this, &TabulatedCurveXYDlg::updateActions);
    connect(rows, &QAbstractItemModel::modelReset, this, &TabulatedCurveXYDlg::updateActions);
    updateActions();
}

TabulatedCurveXYDlg::~TabulatedCurveXYDlg()
{
    // The rows go after the actions when the children are deleted.
    ui_->listValuesXY->model()->disconnect(this);
}

void TabulatedCurveXYDlg::updateActions()
{
    const bool rows = ui_->listValuesXY->rowCount() > 0;
    ui_->actionDelete->setEnabled(rows);
    ui_->actionClearAll->setEnabled(rows);
}

void TabulatedCurveXYDlg::add(float x, float y, bool edit)
{
    QTableWidget* table = ui_->listValuesXY;
    const int row = table->rowCount();
    table->insertRow(row);
    table->setItem(row, ColumnX, new QTableWidgetItem(formatCurveNumber(x)));
    table->setItem(row, ColumnY, new QTableWidgetItem(formatCurveNumber(y)));
    table->setCurrentCell(row, ColumnX);
    if (edit) table->editItem(table->item(row, ColumnX));
}

void TabulatedCurveXYDlg::remove()
{
    QTableWidget* table = ui_->listValuesXY;
    const int row = table->currentRow() >= 0 ? table->currentRow() : table->rowCount() - 1;
    if (row >= 0) table->removeRow(row);
}

void TabulatedCurveXYDlg::clear()
{
    // The column headers stay.
    ui_->listValuesXY->setRowCount(0);
}

void TabulatedCurveXYDlg::close()
{
    const QTableWidget* table = ui_->listValuesXY;
    QList<std::pair<QString, QString>> rows;
    rows.reserve(table->rowCount());
    for (int row = 0; row < table->rowCount(); ++row)
        rows.append({cellText(table, row, ColumnX), cellText(table, row, ColumnY)});
    points_ = readCurvePoints(rows);
    normalized_ = ui_->cbNormalize->isChecked();
    accept();
}

void TabulatedCurveXYDlg::showContextMenu(QPoint pos)
{
    updateActions();
    QMenu menu(this);
    menu.addAction(ui_->actionAdd);
    menu.addAction(ui_->actionDelete);
    menu.addAction(ui_->actionClearAll);
    menu.exec(ui_->listValuesXY->viewport()->mapToGlobal(pos));
}
