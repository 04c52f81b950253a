// The editor of a point-list curve: a two-column table of x and y and the
// normalise flag. The caller's data change only when "Close" is pressed.
#pragma once

#include <QDialog>
#include <QMap>
#include <QPoint>

#include <memory>

namespace Ui {
class tabulatedCurveXYDialog;
}

class TabulatedCurveXYDlg : public QDialog {
    Q_OBJECT

public:
    // Edits both in place; the dialog keeps the references.
    TabulatedCurveXYDlg(QMap<float, float>& points, bool& normalized, QWidget* parent = nullptr);
    ~TabulatedCurveXYDlg() override;

protected slots:
    // Appends a row showing (x, y); opens an editor on its x, or makes it current.
    void add(float x = 0, float y = 0, bool edit = true);
    // Removes the current row, or the last when none is current.
    void remove();
    void clear();
    // Writes the points and the flag back and closes.
    void close();
    void showContextMenu(QPoint pos);

private:
    void updateActions();

    std::unique_ptr<Ui::tabulatedCurveXYDialog> ui_;
    QMap<float, float>& points_;
    bool& normalized_;
};
