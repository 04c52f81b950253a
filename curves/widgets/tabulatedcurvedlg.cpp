#include "curves/widgets/tabulatedcurvedlg.h"

#include "curves/core/curvedatatext.h"
#include "curves/core/curvefamily.h"
#include "curves/widgets/spinnedslider.h"
#include "ui_tabulatedcurvedlg.h"

#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QMimeData>
#include <QSignalBlocker>

namespace {

// The smoothing strength: 0 to 10 in tenths, the slider in hundredths.
ParameterControl smoothingControl()
{
    ParameterControl c;
    c.shown = c.configured = true;
    c.minimum = 0.0;
    c.maximum = 10.0;
    c.step = 0.1;
    c.defaultValue = 0.0;
    c.scaleMode = LinearHundredthsAlt;
    c.sliderMinimum = 0;
    c.sliderMaximum = 1000;
    return c;
}

} // namespace

TabulatedCurveDlg::TabulatedCurveDlg(QList<float>& values, bool& normalized, double& smoothing,
                                     QWidget* parent)
    : QDialog(parent)
    , ui_(std::make_unique<Ui::tabulatedCurveDialog>())
    , values_(values)
    , normalized_(normalized)
    , smoothing_(smoothing)
{
    ui_->setupUi(this);
    ui_->btnPlus->setDefaultAction(ui_->actionAdd);
    ui_->btnMinus->setDefaultAction(ui_->actionDelete);

    for (float v : values_) {
        auto* item = new QListWidgetItem(formatCurveNumber(v), ui_->listValues);
        item->setFlags(item->flags() | Qt::ItemIsEditable);
    }

    smoothPair_ = new SpinnedSlider(ui_->spinSmooth, ui_->sliderSmooth, this);
    {
        const QSignalBlocker spin(ui_->spinSmooth);
        const QSignalBlocker slider(ui_->sliderSmooth);
        smoothPair_->configure(smoothingControl());
    }
    ui_->spinSmooth->setValue(smoothing_);
    ui_->cbNormalize->setChecked(normalized_);

    connect(ui_->actionAdd, &QAction::triggered, this, [this] { add(); });
    connect(ui_->actionDelete, &QAction::triggered, this, &TabulatedCurveDlg::remove);
    connect(ui_->actionClearAll, &QAction::triggered, this, &TabulatedCurveDlg::clear);
    connect(ui_->listValues, &QWidget::customContextMenuRequested, this, &TabulatedCurveDlg::showContextMenu);
    connect(ui_->btnClose, &QPushButton::clicked, this, &TabulatedCurveDlg::close);

    QAbstractItemModel* rows = ui_->listValues->model();
    connect(rows, &QAbstractItemModel::rowsInserted, this, &TabulatedCurveDlg::updateActions);
    connect(rows, &QAbstractItemModel::rowsRemoved, this, &TabulatedCurveDlg::updateActions);
    connect(rows, &QAbstractItemModel::modelReset, this, &TabulatedCurveDlg::updateActions);
    updateActions();
}

TabulatedCurveDlg::~TabulatedCurveDlg()
{
    // The rows go after the actions when the children are deleted.
    ui_->listValues->model()->disconnect(this);
}

void TabulatedCurveDlg::updateActions()
{
    const bool rows = ui_->listValues->count() > 0;
    ui_->actionDelete->setEnabled(rows);
    ui_->actionClearAll->setEnabled(rows);
}

void TabulatedCurveDlg::add(float v, bool edit)
{
    auto* item = new QListWidgetItem(formatCurveNumber(v), ui_->listValues);
    item->setFlags(item->flags() | Qt::ItemIsEditable);
    ui_->listValues->setCurrentItem(item);
    if (edit) ui_->listValues->editItem(item);
}

void TabulatedCurveDlg::remove()
{
    QListWidget* list = ui_->listValues;
    const int row = list->currentRow() >= 0 ? list->currentRow() : list->count() - 1;
    if (row >= 0) delete list->takeItem(row);
}

void TabulatedCurveDlg::clear()
{
    ui_->listValues->clear();
}

void TabulatedCurveDlg::close()
{
    QStringList rows;
    rows.reserve(ui_->listValues->count());
    for (int i = 0; i < ui_->listValues->count(); ++i) rows.append(ui_->listValues->item(i)->text());
    values_ = readCurveValues(rows);
    normalized_ = ui_->cbNormalize->isChecked();
    smoothing_ = ui_->spinSmooth->value();
    accept();
}

void TabulatedCurveDlg::paste()
{
    importText(QGuiApplication::clipboard()->text());
}

void TabulatedCurveDlg::importText(const QString& text)
{
    if (text.isEmpty()) return;
    ui_->listValues->clear();
    // Rows from text keep the text as it came and are not edited in place.
    ui_->listValues->addItems(splitCurveText(text));
}

void TabulatedCurveDlg::showContextMenu(QPoint pos)
{
    updateActions();
    QMenu menu(this);
    menu.addAction(ui_->actionAdd);
    menu.addAction(ui_->actionDelete);
    menu.addAction(ui_->actionClearAll);
    menu.addSeparator();
    menu.addAction(tr("Paste"), this, &TabulatedCurveDlg::paste);
    menu.exec(ui_->listValues->viewport()->mapToGlobal(pos));
}

void TabulatedCurveDlg::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasText()) {
        event->setDropAction(Qt::LinkAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void TabulatedCurveDlg::dragMoveEvent(QDragMoveEvent* event)
{
    if (event->mimeData()->hasText()) {
        event->setDropAction(Qt::LinkAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void TabulatedCurveDlg::dropEvent(QDropEvent* event)
{
    if (!event->mimeData()->hasText()) {
        event->ignore();
        return;
    }
    importText(event->mimeData()->text());
    event->setDropAction(Qt::LinkAction);
    event->accept();
}
