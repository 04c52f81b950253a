// The editor of a Tabulated curve: its list of values, the normalise flag and
// the smoothing strength. Rows can be added, removed, reordered by dragging,
// edited in place, and replaced by text pasted from the clipboard or dropped
// on the dialog. The caller's data change only when "Close" is pressed.
#pragma once

#include <QDialog>
#include <QList>
#include <QPoint>

#include <memory>

class SpinnedSlider;

namespace Ui {
class tabulatedCurveDialog;
}

class TabulatedCurveDlg : public QDialog {
    Q_OBJECT

public:
    // Edits the three in place; the dialog keeps the references.
    TabulatedCurveDlg(QList<float>& values, bool& normalized, double& smoothing, QWidget* parent = nullptr);
    ~TabulatedCurveDlg() override;

protected slots:
    // Appends a row showing v; opens an editor on it, or makes it current.
    void add(float v = 0, bool edit = true);
    // Removes the current row, or the last when none is current.
    void remove();
    void clear();
    // Writes the rows, the flag and the smoothing back and closes.
    void close();
    // Replaces the rows by the clipboard's text.
    void paste();
    void showContextMenu(QPoint pos);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // Delete and Clear all act only on a list with rows.
    void updateActions();
    // Cuts text into rows that replace the list; no text changes nothing.
    void importText(const QString& text);

    std::unique_ptr<Ui::tabulatedCurveDialog> ui_;
    SpinnedSlider* smoothPair_ = nullptr;
    QList<float>& values_;
    bool& normalized_;
    double& smoothing_;
};
