// What the channel editor's tests share: the editor in a panel as the main
// window has it, its controls by name, and answering its modal dialogs and
// menus.
#pragma once

#include "curves/widgets/channelmodifier.h"

#include "curves/widgets/curvesscene.h"
#include "curves/widgets/tabulatedcurvedlg.h"
#include "curves/widgets/tabulatedcurvexydlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDataStream>
#include <QDoubleSpinBox>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <functional>
#include <memory>

namespace {

// Runs `act` on the next modal widget of type W once the event loop of the
// dialog about to run has started. Gives up after about 5 s.
template <typename W>
void onNextModal(std::function<void(W*)> act)
{
    auto* timer = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, act, tries] {
        if (auto* w = qobject_cast<W*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            act(w);
        } else if (++*tries > 500) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(10);
}

// The texts of the next popup menu's actions ("|" for a separator); the
// action named `trigger` is triggered, else the menu is closed.
inline void onNextMenu(QStringList* texts, bool* shown, const QString& trigger = {})
{
    QTimer::singleShot(50, [=] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        *shown = menu != nullptr;
        if (!menu) return;
        QAction* chosen = nullptr;
        for (QAction* a : menu->actions()) {
            texts->append(a->isSeparator() ? QStringLiteral("|") : a->text());
            if (a->text() == trigger) chosen = a;
        }
        if (chosen) menu->setActiveAction(chosen), chosen->trigger();
        menu->close();
    });
}

inline QList<double> signalValues(const QSignalSpy& spy)
{
    QList<double> out;
    for (const QList<QVariant>& args : spy) out.append(args.at(0).toDouble());
    return out;
}

} // namespace

// The fixture: each test class runs initCase() once and makeEditor() before,
// dropEditor() after each test.
class ChannelModifierFixture : public QObject {
protected:
    // The modifier sits in a panel, as in the main window.
    std::unique_ptr<QWidget> panel;
    ChannelModifier* m = nullptr;

    template <typename T>
    T* child(const char* name) const
    {
        T* w = m->findChild<T*>(QString::fromLatin1(name));
        if (!w) qFatal("no child %s", name);
        return w;
    }
    QComboBox* familyBox() const { return child<QComboBox>("comboFamily"); }
    QComboBox* correlateBox() const { return child<QComboBox>("comboCorrelates"); }
    QDoubleSpinBox* spinValue() const { return child<QDoubleSpinBox>("spinValue"); }
    QDoubleSpinBox* spinOffset() const { return child<QDoubleSpinBox>("spinOffset"); }
    QSlider* sliderValue() const { return child<QSlider>("sliderValue"); }
    QSlider* sliderOffset() const { return child<QSlider>("sliderOffset"); }
    QToolButton* lockButton() const { return child<QToolButton>("lockButton"); }
    QToolButton* dataButton() const { return child<QToolButton>("btnData"); }

    // A modifier like the main window's corr_2.
    void makeCorrelateEditor()
    {
        m->setFamilies(287);
        m->setCorrelates({"C - chroma", "M - colorfulness", "s - saturation"});
    }

    // Selects a family the way a user does, through the family selector.
    void chooseFamily(int family)
    {
        const int index = familyBox()->findData(family);
        QVERIFY(index >= 0);
        familyBox()->setCurrentIndex(index);
    }

    static void initCase()
    {
        Q_INIT_RESOURCE(tonemolder);
        QVERIFY(registerCurveFamilyPlugin());
    }
    void makeEditor()
    {
        panel = std::make_unique<QWidget>();
        m = new ChannelModifier(panel.get());
        m->setLabel(QStringLiteral("C"));
    }
    void dropEditor() { panel.reset(); }
};
