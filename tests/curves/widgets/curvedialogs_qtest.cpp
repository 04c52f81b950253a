// The free-form curve editors: rows shown and read back, adding, removing
// and clearing, text pasted or dropped, the context menus, and data written
// back only by "Close".
#include "curves/widgets/tabulatedcurvedlg.h"
#include "curves/widgets/tabulatedcurvexydlg.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDoubleSpinBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <memory>

namespace {

// The next popup menu's actions as "text" ("text (off)" when disabled, "|"
// for a separator); the action named `trigger` is triggered, else the menu
// is closed.
void onNextMenu(QStringList* texts, const QString& trigger = {})
{
    QTimer::singleShot(50, [=] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return;
        QAction* chosen = nullptr;
        for (QAction* a : menu->actions()) {
            texts->append(a->isSeparator() ? QStringLiteral("|") : a->text() + (a->isEnabled() ? "" : " (off)"));
            if (a->text() == trigger) chosen = a;
        }
        menu->close();
        if (chosen) chosen->trigger();
    });
}

void requestMenu(QAbstractItemView* view)
{
    QMetaObject::invokeMethod(view, "customContextMenuRequested", Q_ARG(QPoint, QPoint(4, 4)));
}

// Whether an editor is open on the view.
bool editing(QAbstractItemView* view)
{
    for (QLineEdit* e : view->viewport()->findChildren<QLineEdit*>())
        if (!e->isHidden()) return true;
    return false;
}

} // namespace

class CurveDialogsTest : public QObject {
    Q_OBJECT

private:
    // The data the tabulated dialog edits.
    QList<float> values;
    bool normalized = false;
    double smoothing = 0.0;
    std::unique_ptr<TabulatedCurveDlg> dialog;

    // The data the point-list dialog edits.
    QMap<float, float> points;
    std::unique_ptr<TabulatedCurveXYDlg> xyDialog;

    template <typename T>
    static T* child(QObject* parent, const char* name)
    {
        T* w = parent->findChild<T*>(QString::fromLatin1(name));
        if (!w) qFatal("no child %s", name);
        return w;
    }
    QListWidget* list() const { return child<QListWidget>(dialog.get(), "listValues"); }
    QTableWidget* table() const { return child<QTableWidget>(xyDialog.get(), "listValuesXY"); }
    QAction* action(QObject* d, const char* name) const { return child<QAction>(d, name); }

    QStringList rowTexts() const
    {
        QStringList out;
        for (int i = 0; i < list()->count(); ++i) out << list()->item(i)->text();
        return out;
    }

    void openTabulated(QList<float> v, bool n, double s)
    {
        values = std::move(v);
        normalized = n;
        smoothing = s;
        dialog = std::make_unique<TabulatedCurveDlg>(values, normalized, smoothing);
    }

    void openPoints(QMap<float, float> p, bool n)
    {
        points = std::move(p);
        normalized = n;
        xyDialog = std::make_unique<TabulatedCurveXYDlg>(points, normalized);
    }

private slots:
    void cleanup()
    {
        dialog.reset();
        xyDialog.reset();
    }

    // -----------------------------------------------------------------------
    // Tabulated curve
    // -----------------------------------------------------------------------

    void tabulatedOpensWithTheData()
    {
        openTabulated({0.0f, 0.5f, 1.0f / 3.0f, 2.0f}, true, 2.5);
        QCOMPARE(dialog->objectName(), QString("tabulatedCurveDialog"));
        QCOMPARE(dialog->windowTitle(), QString("Tabulated curve"));
        QCOMPARE(dialog->size(), QSize(567, 417));
        QVERIFY(dialog->isModal());
        QVERIFY(dialog->isSizeGripEnabled());
        QVERIFY(dialog->acceptDrops());

        QCOMPARE(rowTexts(), (QStringList{"0.000", "0.500", "0.333", "2.000"}));
        QVERIFY(list()->item(0)->flags() & Qt::ItemIsEditable);
        QCOMPARE(list()->dragDropMode(), QAbstractItemView::InternalMove);
        QVERIFY(list()->dragEnabled());
        QVERIFY(!list()->alternatingRowColors());
        QCOMPARE(list()->contextMenuPolicy(), Qt::CustomContextMenu);

        auto* check = child<QCheckBox>(dialog.get(), "cbNormalize");
        QCOMPARE(check->text(), QString("Normalize"));
        QVERIFY(check->isChecked());
        auto* spin = child<QDoubleSpinBox>(dialog.get(), "spinSmooth");
        auto* slider = child<QSlider>(dialog.get(), "sliderSmooth");
        QCOMPARE(spin->value(), 2.5);
        QCOMPARE(slider->value(), 250);
        QCOMPARE(spin->decimals(), 1);
        QCOMPARE(spin->maximum(), 10.0);
        QCOMPARE(spin->singleStep(), 0.1);
        QCOMPARE(slider->maximum(), 1000);
        QCOMPARE(slider->pageStep(), 5);
        QCOMPARE(child<QLabel>(dialog.get(), "smoothLabel")->text(), QString("Smooth:"));

        auto* close = child<QPushButton>(dialog.get(), "btnClose");
        QCOMPARE(close->text(), QString("Close"));
        QVERIFY(close->isDefault());
        QVERIFY(!close->autoDefault());
        auto* plus = child<QToolButton>(dialog.get(), "btnPlus");
        auto* minus = child<QToolButton>(dialog.get(), "btnMinus");
        QCOMPARE(plus->defaultAction(), action(dialog.get(), "actionAdd"));
        QCOMPARE(minus->defaultAction(), action(dialog.get(), "actionDelete"));
        QCOMPARE(plus->text(), QString("+"));
        QCOMPARE(minus->text(), QString("-"));
        QCOMPARE(plus->maximumSize(), QSize(24, 24));
        QCOMPARE(plus->minimumSize(), QSize(24, 24));
        QCOMPARE(action(dialog.get(), "actionAdd")->shortcut(), QKeySequence(Qt::Key_Insert));
        QCOMPARE(action(dialog.get(), "actionDelete")->shortcut(), QKeySequence(Qt::Key_Delete));
        QCOMPARE(action(dialog.get(), "actionClearAll")->text(), QString("Clear all"));
        QVERIFY(action(dialog.get(), "actionDelete")->isEnabled());
    }

    void closeWritesEverythingBack()
    {
        openTabulated({0.0f, 1.0f}, false, 0.0);
        list()->item(1)->setText("0.5");
        list()->addItem(" 1 ");
        child<QCheckBox>(dialog.get(), "cbNormalize")->setChecked(true);
        child<QSlider>(dialog.get(), "sliderSmooth")->setValue(370);
        child<QPushButton>(dialog.get(), "btnClose")->click();
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QCOMPARE(values, (QList<float>{0.0f, 0.5f, 1.0f}));
        QVERIFY(normalized);
        QCOMPARE(smoothing, 3.7);
    }

    void nonNumericRowsBecomeZero()
    {
        openTabulated({0.25f}, false, 0.0);
        list()->item(0)->setText("abc");
        list()->addItems({" 0.5 ", "", "1e40", "0,5"});
        child<QPushButton>(dialog.get(), "btnClose")->click();
        QCOMPARE(values, (QList<float>{0.0f, 0.5f, 0.0f, 0.0f, 0.0f}));
    }

    void dismissingWritesNothing()
    {
        for (const bool escape : {true, false}) {
            openTabulated({0.25f, 0.75f}, true, 1.5);
            list()->clear();
            list()->addItem("0.9");
            child<QCheckBox>(dialog.get(), "cbNormalize")->setChecked(false);
            child<QDoubleSpinBox>(dialog.get(), "spinSmooth")->setValue(8.0);
            if (escape)
                QTest::keyClick(dialog.get(), Qt::Key_Escape);
            else
                static_cast<QWidget*>(dialog.get())->close();   // the window's close button
            QCOMPARE(dialog->result(), int(QDialog::Rejected));
            QCOMPARE(values, (QList<float>{0.25f, 0.75f}));
            QVERIFY(normalized);
            QCOMPARE(smoothing, 1.5);
        }
    }

    void addRemoveAndClear()
    {
        openTabulated({0.1f, 0.2f, 0.3f}, false, 0.0);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        QAction* remove = action(dialog.get(), "actionDelete");
        QAction* clear = action(dialog.get(), "actionClearAll");

        QTest::mouseClick(child<QToolButton>(dialog.get(), "btnPlus"), Qt::LeftButton);
        QCOMPARE(rowTexts(), (QStringList{"0.100", "0.200", "0.300", "0.000"}));
        QCOMPARE(list()->currentRow(), 3);
        QVERIFY(editing(list()));
        QVERIFY(list()->item(3)->flags() & Qt::ItemIsEditable);

        // Without editing: the new row just becomes current.
        QVERIFY(QMetaObject::invokeMethod(dialog.get(), "add", Q_ARG(float, 0.75f), Q_ARG(bool, false)));
        QCOMPARE(list()->count(), 5);
        QCOMPARE(list()->item(4)->text(), QString("0.750"));
        QCOMPARE(list()->currentRow(), 4);

        // Delete takes the current row, or the last when none is current.
        list()->setCurrentRow(1);
        remove->trigger();
        QCOMPARE(rowTexts(), (QStringList{"0.100", "0.300", "0.000", "0.750"}));
        list()->setCurrentRow(-1);
        QCOMPARE(list()->currentRow(), -1);
        remove->trigger();
        QCOMPARE(rowTexts(), (QStringList{"0.100", "0.300", "0.000"}));

        QVERIFY(clear->isEnabled());
        clear->trigger();
        QCOMPARE(list()->count(), 0);
        QVERIFY(!remove->isEnabled());
        QVERIFY(!clear->isEnabled());
        remove->trigger();   // nothing left: nothing happens
        QCOMPARE(list()->count(), 0);

        action(dialog.get(), "actionAdd")->trigger();
        QVERIFY(remove->isEnabled());
        QVERIFY(clear->isEnabled());
    }

    void pastedTextReplacesTheRows()
    {
        openTabulated({0.9f}, false, 0.0);
        QGuiApplication::clipboard()->setText("0, 0.25,0.5\n0.75\t1");
        QStringList texts;
        onNextMenu(&texts, "Paste");
        requestMenu(list());
        QTest::qWait(100);
        QCOMPARE(texts, (QStringList{"Add", "Delete", "Clear all", "|", "Paste"}));
        QCOMPARE(rowTexts(), (QStringList{"0", " 0.25", "0.5", "0.75", "1"}));
        QVERIFY(!(list()->item(1)->flags() & Qt::ItemIsEditable));
        child<QPushButton>(dialog.get(), "btnClose")->click();
        QCOMPARE(values, (QList<float>{0.0f, 0.25f, 0.5f, 0.75f, 1.0f}));
    }

    void pastingOddTexts()
    {
        openTabulated({0.9f, 0.8f}, false, 0.0);
        QAction* remove = action(dialog.get(), "actionDelete");

        QGuiApplication::clipboard()->clear();   // no text: nothing happens
        QVERIFY(QMetaObject::invokeMethod(dialog.get(), "paste"));
        QCOMPARE(rowTexts(), (QStringList{"0.900", "0.800"}));

        QGuiApplication::clipboard()->setText("42");   // no separators: one row
        QVERIFY(QMetaObject::invokeMethod(dialog.get(), "paste"));
        QCOMPARE(rowTexts(), QStringList{"42"});

        QGuiApplication::clipboard()->setText(",\t\r\n,");   // only separators: an empty list
        QVERIFY(QMetaObject::invokeMethod(dialog.get(), "paste"));
        QCOMPARE(list()->count(), 0);
        QVERIFY(!remove->isEnabled());
        QVERIFY(!action(dialog.get(), "actionClearAll")->isEnabled());
    }

    void droppedTextReplacesTheRows()
    {
        openTabulated({0.9f}, false, 0.0);
        QMimeData text;
        text.setText("0.1\r\n0.2\r\n");
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction | Qt::LinkAction, &text, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(dialog.get(), &enter);
        QVERIFY(enter.isAccepted());
        QCOMPARE(enter.dropAction(), Qt::LinkAction);

        QMimeData other;
        other.setData("application/octet-stream", "0.5");
        QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction | Qt::LinkAction, &other, Qt::LeftButton,
                                Qt::NoModifier);
        QApplication::sendEvent(dialog.get(), &refused);
        QVERIFY(!refused.isAccepted());

        QDropEvent drop(QPointF(10, 10), Qt::CopyAction | Qt::LinkAction, &text, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(dialog.get(), &drop);
        QVERIFY(drop.isAccepted());
        QCOMPARE(drop.dropAction(), Qt::LinkAction);
        QCOMPARE(rowTexts(), (QStringList{"0.1", "0.2"}));

        QDropEvent wrong(QPointF(10, 10), Qt::CopyAction | Qt::LinkAction, &other, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(dialog.get(), &wrong);
        QCOMPARE(rowTexts(), (QStringList{"0.1", "0.2"}));
    }

    void reorderedRowsAreWrittenInTheirNewOrder()
    {
        openTabulated({0.0f, 0.25f, 0.5f, 1.0f}, false, 0.0);
        // What an internal drag does: the first row goes below the third.
        QVERIFY(list()->model()->moveRow(QModelIndex(), 0, QModelIndex(), 3));
        QCOMPARE(rowTexts(), (QStringList{"0.250", "0.500", "0.000", "1.000"}));
        child<QPushButton>(dialog.get(), "btnClose")->click();
        QCOMPARE(values, (QList<float>{0.25f, 0.5f, 0.0f, 1.0f}));
    }

    void contextMenuOfAnEmptyList()
    {
        openTabulated({}, false, 0.0);
        QStringList texts;
        onNextMenu(&texts);
        requestMenu(list());
        QTest::qWait(100);
        QCOMPARE(texts, (QStringList{"Add", "Delete (off)", "Clear all (off)", "|", "Paste"}));
    }

    // -----------------------------------------------------------------------
    // Point list
    // -----------------------------------------------------------------------

    void pointListOpensWithTheData()
    {
        openPoints({{1.0f, 1.0f}, {0.0f, 0.0f}, {0.25f, 0.6f}}, true);
        QCOMPARE(xyDialog->objectName(), QString("tabulatedCurveXYDialog"));
        QCOMPARE(xyDialog->windowTitle(), QString("Point list curve"));
        QCOMPARE(xyDialog->size(), QSize(567, 417));
        QVERIFY(xyDialog->isModal());
        QVERIFY(xyDialog->isSizeGripEnabled());
        QCOMPARE(table()->columnCount(), 2);
        QCOMPARE(table()->horizontalHeaderItem(0)->text(), QString("X"));
        QCOMPARE(table()->horizontalHeaderItem(1)->text(), QString("Y"));
        QVERIFY(table()->verticalHeader()->isHidden());
        QCOMPARE(table()->selectionMode(), QAbstractItemView::SingleSelection);
        QCOMPARE(table()->selectionBehavior(), QAbstractItemView::SelectItems);
        QCOMPARE(table()->contextMenuPolicy(), Qt::CustomContextMenu);
        QCOMPARE(table()->rowCount(), 3);
        const char* expected[3][2] = {{"0.000", "0.000"}, {"0.250", "0.600"}, {"1.000", "1.000"}};
        for (int row = 0; row < 3; ++row)
            for (int column = 0; column < 2; ++column)
                QCOMPARE(table()->item(row, column)->text(), QString(expected[row][column]));
        QVERIFY(child<QCheckBox>(xyDialog.get(), "cbNormalize")->isChecked());
        QVERIFY(xyDialog->findChild<QDoubleSpinBox*>() == nullptr);   // no smoothing here
    }

    void samePointTwiceKeepsTheLater()
    {
        openPoints({}, true);
        QVERIFY(QMetaObject::invokeMethod(xyDialog.get(), "add", Q_ARG(float, 0.5f), Q_ARG(float, 0.2f),
                                          Q_ARG(bool, false)));
        QVERIFY(QMetaObject::invokeMethod(xyDialog.get(), "add", Q_ARG(float, 0.5f), Q_ARG(float, 0.8f),
                                          Q_ARG(bool, false)));
        QCOMPARE(table()->currentRow(), 1);
        QVERIFY(QMetaObject::invokeMethod(xyDialog.get(), "add", Q_ARG(float, 0.0f), Q_ARG(float, 0.0f),
                                          Q_ARG(bool, false)));
        table()->item(2, 1)->setText("zero");
        child<QCheckBox>(xyDialog.get(), "cbNormalize")->setChecked(false);
        child<QPushButton>(xyDialog.get(), "btnClose")->click();
        QCOMPARE(xyDialog->result(), int(QDialog::Accepted));
        QCOMPARE(points, (QMap<float, float>{{0.0f, 0.0f}, {0.5f, 0.8f}}));
        QVERIFY(!normalized);
    }

    void pointRowsAddRemoveAndClear()
    {
        openPoints({{0.0f, 0.0f}, {0.5f, 0.5f}, {1.0f, 1.0f}}, false);
        xyDialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(xyDialog.get()));
        QAction* remove = action(xyDialog.get(), "actionDelete");

        QTest::mouseClick(child<QToolButton>(xyDialog.get(), "btnPlus"), Qt::LeftButton);
        QCOMPARE(table()->rowCount(), 4);
        QCOMPARE(table()->item(3, 0)->text(), QString("0.000"));
        QCOMPARE(table()->item(3, 1)->text(), QString("0.000"));
        QCOMPARE(table()->currentRow(), 3);
        QCOMPARE(table()->currentColumn(), 0);
        QVERIFY(editing(table()));

        table()->setCurrentCell(0, 1);
        remove->trigger();
        QCOMPARE(table()->rowCount(), 3);
        QCOMPARE(table()->item(0, 0)->text(), QString("0.500"));

        table()->setCurrentItem(nullptr);
        QCOMPARE(table()->currentRow(), -1);
        remove->trigger();
        QCOMPARE(table()->rowCount(), 2);
        QCOMPARE(table()->item(1, 0)->text(), QString("1.000"));

        action(xyDialog.get(), "actionClearAll")->trigger();
        QCOMPARE(table()->rowCount(), 0);
        QCOMPARE(table()->columnCount(), 2);
        QCOMPARE(table()->horizontalHeaderItem(1)->text(), QString("Y"));
        QVERIFY(!remove->isEnabled());

        QStringList texts;
        onNextMenu(&texts);
        requestMenu(table());
        QTest::qWait(100);
        QCOMPARE(texts, (QStringList{"Add", "Delete (off)", "Clear all (off)"}));
    }

    void dismissedPointListWritesNothing()
    {
        openPoints({{0.0f, 0.1f}, {1.0f, 0.9f}}, true);
        table()->item(0, 1)->setText("0.5");
        child<QCheckBox>(xyDialog.get(), "cbNormalize")->setChecked(false);
        QTest::keyClick(xyDialog.get(), Qt::Key_Escape);
        QCOMPARE(xyDialog->result(), int(QDialog::Rejected));
        QCOMPARE(points, (QMap<float, float>{{0.0f, 0.1f}, {1.0f, 0.9f}}));
        QVERIFY(normalized);
    }
};

QTEST_MAIN(CurveDialogsTest)
#include "curvedialogs_qtest.moc"
