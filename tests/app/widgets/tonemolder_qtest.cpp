// The main window with the program's own appearance: form, menus, wiring,
// title, About box and the help addresses.
#include "app/core/appinfo.h"
#include "app/widgets/qgraphicsviewmap.h"
#include "app/widgets/tonemolder.h"
#include "app/widgets/tonemolderapp.h"
#include "curves/widgets/channelmodifier.h"
#include "profiles/widgets/iccprofileselector.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

class TonemolderTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void newDocumentTitle();
    void styleSheetFollowsTheAppearanceSetting();
    void menusHoldTheirActionsInOrder_data();
    void menusHoldTheirActionsInOrder();
    void actionsCarryIconTextsAndShortcuts_data();
    void actionsCarryIconTextsAndShortcuts();
    void recipeTabs();
    void intentCombosOfferTheFourIntents();
    void labelsLeadToTheirControls();
    void viewsAreConfiguredForCurvesOrImages_data();
    void viewsAreConfiguredForCurvesOrImages();
    void imageControlsWaitForAnImage();
    void imageViewerHasTheImageMenu();
    void buttonsTriggerTheirActions();
    void resetAllResetsTheChannelsOnly();
    void resetCorrelatesResetsBothPanels();
    void destinationViewingConditionsFollowTheCheckBox();
    void aboutBoxShowsTheAboutPage();
    void aboutQtFollowsAnAcceptedAboutBox();
    void closingIsAllowed();

private:
    // Runs `inspect` on the modal dialog that `open` brings up.
    void withModal(const std::function<void()>& open, const std::function<void(QWidget*)>& inspect);

    QTemporaryDir configDir_;
    std::unique_ptr<QSettings> settings_;
    std::unique_ptr<Tonemolder> window_;
    template <class T> T* child(const char* name) const
    {
        T* w = window_->findChild<T*>(QString::fromLatin1(name));
        if (!w) qWarning("no child %s", name);
        return w;
    }
};

void TonemolderTest::initTestCase()
{
    Q_INIT_RESOURCE(tonemolder);
    QVERIFY(configDir_.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir_.path());
    QCoreApplication::setOrganizationName(AppInfo::OrganizationName);
    QCoreApplication::setApplicationName(AppInfo::ApplicationName);
}

void TonemolderTest::cleanupTestCase()
{
    Q_CLEANUP_RESOURCE(tonemolder);
}

void TonemolderTest::init()
{
    settings_ = std::make_unique<QSettings>();
    settings_->clear();
    window_ = std::make_unique<Tonemolder>(settings_.get());
}

void TonemolderTest::cleanup()
{
    window_.reset();
    settings_.reset();
}

void TonemolderTest::withModal(const std::function<void()>& open, const std::function<void(QWidget*)>& inspect)
{
    bool seen = false;
    QTimer::singleShot(0, this, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        QVERIFY(modal);
        seen = true;
        inspect(modal);
    });
    open();
    QVERIFY(seen);
}

void TonemolderTest::newDocumentTitle()
{
    QCOMPARE(window_->windowTitle(), QString("Osterlane Color Tonemolder"));
    QCOMPARE(window_->objectName(), QString("TonemolderClass"));
    QCOMPARE(window_->size(), QSize(1113, 606));
    QVERIFY(!window_->windowIcon().isNull());
    QCOMPARE(child<QLineEdit>("edit_description")->text(), QString("New abstract profile"));
    QCOMPARE(child<QLineEdit>("edit_copyright")->text(), QString("No copyright"));
}

void TonemolderTest::styleSheetFollowsTheAppearanceSetting()
{
    settings_->setValue("gui/undecorated", false);
    const QString dark = applicationStyleSheet(*settings_);
    QVERIFY(dark.contains("#1f1f1f"));
    QVERIFY(dark.contains("url(:/background.png)"));
    // Every picture the sheet names is a resource of the program.
    static const QRegularExpression url(R"(url\((:/[^)]+)\))");
    int pictures = 0;
    for (auto it = url.globalMatch(dark); it.hasNext(); ++pictures) {
        const QString path = it.next().captured(1);
        QVERIFY2(!QImage(path).isNull(), qPrintable(path));
    }
    QVERIFY(pictures >= 10);

    settings_->setValue("gui/undecorated", true);
    QVERIFY(applicationStyleSheet(*settings_).isEmpty());
}

void TonemolderTest::menusHoldTheirActionsInOrder_data()
{
    QTest::addColumn<QString>("menu");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("entries");   // "-" stands for a separator

    QTest::newRow("file") << "menu_File" << "&File"
                          << QStringList{"New", "Open", "Save", "Save as...", "Export image…", "-",
                                         "Recent profiles", "-", "&Quit"};
    QTest::newRow("edit") << "menuEdit" << "&Edit" << QStringList{"Undo", "Redo"};
    QTest::newRow("preview") << "menuPreview" << "Preview"
                             << QStringList{"Load preview image", "Paste preview image", "-", "View original image",
                                            "Preview across abstract profile", "-", "Zoom in", "Zoom out", "Fit", "100 %",
                                            "-", "Proof profile…", "Simulate paper", "Gamut warning",
                                            "Show look strength", "Show proof error", "Compare", "Colour readout"};
    QTest::newRow("settings") << "menuSettings" << "Settings" << QStringList{"Preferences"};
    QTest::newRow("tools") << "menu_Tools" << "&Tools"
                           << QStringList{"Embed to output profile...", "Convert to .CUBE file", "Make device link..."};
    QTest::newRow("help") << "menuAbout" << "Help"
                          << QStringList{"Check for updates", "-", "User manual", "About Osterlane Tonemolder..."};
}

void TonemolderTest::menusHoldTheirActionsInOrder()
{
    QFETCH(QString, menu);
    QFETCH(QString, title);
    QFETCH(QStringList, entries);

    auto* m = window_->findChild<QMenu*>(menu);
    QVERIFY(m);
    QCOMPARE(m->title(), title);
    QStringList texts;
    for (QAction* a : m->actions()) texts << (a->isSeparator() ? QString("-") : a->text());
    QCOMPARE(texts, entries);

    // The menu bar shows the menus in this order.
    QStringList bar;
    for (QAction* a : window_->menuBar()->actions()) bar << a->menu()->objectName();
    QCOMPARE(bar, (QStringList{"menu_File", "menuEdit", "menuPreview", "menuSettings", "menu_Tools", "menuAbout"}));
}

void TonemolderTest::actionsCarryIconTextsAndShortcuts_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("iconText");
    QTest::addColumn<QString>("shortcut");

    QTest::newRow("original") << "action_view_original" << "Original" << "Ctrl+A";
    QTest::newRow("abstract") << "action_view_abstract" << "Preview" << "Ctrl+S";
    QTest::newRow("zoom in") << "action_zoom_in" << "Zoom +" << "Ctrl++";
    QTest::newRow("zoom out") << "action_zoom_out" << "Zoom -" << "Ctrl+-";
    QTest::newRow("save") << "actionSave" << "Save" << "";
    // Conventional shortcuts where the preview's own leave them free.
    QTest::newRow("new") << "actionNew" << "New" << "Ctrl+N";
    QTest::newRow("open") << "actionOpen" << "Open" << "Ctrl+O";
    QTest::newRow("save as") << "actionSave_as" << "Save as" << "Ctrl+Shift+S";
    QTest::newRow("quit") << "action_Quit" << "Quit" << "Ctrl+Q";
    QTest::newRow("undo") << "actionUndo" << "Undo" << "Ctrl+Z";
    QTest::newRow("redo") << "actionRedo" << "Redo" << "Ctrl+Shift+Z";
    QTest::newRow("proof") << "actionProof_image" << "Proof" << "";
}

void TonemolderTest::actionsCarryIconTextsAndShortcuts()
{
    QFETCH(QString, action);
    QFETCH(QString, iconText);
    QFETCH(QString, shortcut);

    auto* a = window_->findChild<QAction*>(action);
    QVERIFY(a);
    QCOMPARE(a->iconText(), iconText);
    QCOMPARE(a->shortcut(), QKeySequence(shortcut));
}

void TonemolderTest::recipeTabs()
{
    auto* tabs = child<QTabWidget>("generator");
    QCOMPARE(tabs->count(), 3);
    QCOMPARE(tabs->currentIndex(), 0);
    const QStringList names{"tabAdjusts", "tabCAM", "tabLUT"};
    const QStringList titles{"Softproofing", "CIE CAM16", "Import LUT "};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(tabs->widget(i)->objectName(), names[i]);
        QCOMPARE(tabs->tabText(i), titles[i]);
    }
    QCOMPARE(child<QLabel>("titleLUT")->text(), QString("Select the file to use "));
    QCOMPARE(child<QPushButton>("selectLUTbutton")->minimumSize(), QSize(200, 32));
    QCOMPARE(child<ICCProfileSelector>("iccProfile")->prompt(), QString("Color space for adjusts:"));
    QCOMPARE(child<ICCProfileSelector>("iccProfileLUT")->prompt(), QString("Color space for adjusts:"));
    QCOMPARE(child<ICCProfileSelector>("iccProfile")->minimumHeight(), 60);

    auto* image = child<ICCProfileSelector>("iccPreviewImage");
    QCOMPARE(image->prompt(), QString("Image in:"));
    QVERIFY(image->showDir());
    QVERIFY(!image->icons());

    // Masks of the three selectors.
    QCOMPARE(child<ICCProfileSelector>("iccProfile")->pclass(), 25);
    QCOMPARE(child<ICCProfileSelector>("iccProfileLUT")->pclass(), 25);
    QCOMPARE(child<ICCProfileSelector>("iccProfileLUT")->space(), 2);
    QCOMPARE(image->pclass(), 27);

    // Every channel editor offers its families.
    for (const char* name : {"chan_1", "chan_2", "chan_3", "chan_4"})
        QCOMPARE(child<ChannelModifier>(name)->families(), 479);
    for (const char* name : {"corr_1", "corr_2", "corr_3"})
        QCOMPARE(child<ChannelModifier>(name)->families(), 287);
}

void TonemolderTest::intentCombosOfferTheFourIntents()
{
    const QStringList intents{"Perceptual", "Relative colorimetric",
                              "Relative colorimetric plus black point compensation", "Saturation"};
    for (const char* name : {"comboIntent", "comboIntentLUT"}) {
        auto* combo = child<QComboBox>(name);
        QStringList items;
        for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
        QCOMPARE(items, intents);
    }
    QVERIFY(child<QComboBox>("comboIntent")->toolTip().contains("FOGRA39"));
    // The eleven built-in viewing conditions; a new document starts on the first.
    for (const char* name : {"comboSourceVC", "comboDestVC"}) {
        QCOMPARE(child<QComboBox>(name)->count(), 11);
        QCOMPARE(child<QComboBox>(name)->itemText(0), QString("ICC Standard"));
        QCOMPARE(child<QComboBox>(name)->currentIndex(), 0);
    }
}

void TonemolderTest::labelsLeadToTheirControls()
{
    const QList<std::pair<const char*, const char*>> buddies{{"label_description", "edit_description"},
                                                             {"label_copyright", "edit_copyright"},
                                                             {"labelIntent", "comboIntent"},
                                                             {"labelIntentLUT", "comboIntentLUT"},
                                                             {"labelSourceVC", "comboSourceVC"}};
    for (const auto& [label, control] : buddies) {
        QVERIFY2(child<QLabel>(label)->buddy(), label);
        QCOMPARE(child<QLabel>(label)->buddy()->objectName(), QString(control));
    }
}

void TonemolderTest::viewsAreConfiguredForCurvesOrImages_data()
{
    QTest::addColumn<QString>("view");
    QTest::addColumn<bool>("image");

    QTest::newRow("curves") << "curvesGraphicsView" << false;
    QTest::newRow("correlates") << "correlatesGraphicsView" << false;
    QTest::newRow("preview") << "imageViewer" << true;
    QTest::newRow("lut dump") << "imageViewerLUT" << true;
}

void TonemolderTest::viewsAreConfiguredForCurvesOrImages()
{
    QFETCH(QString, view);
    QFETCH(bool, image);

    auto* v = window_->findChild<QGraphicsViewMap*>(view);
    QVERIFY(v);
    QCOMPARE(v->dragMode(), QGraphicsView::ScrollHandDrag);
    QCOMPARE(v->acceptDrops(), image);
    QCOMPARE(v->viewport()->acceptDrops(), image);
    if (image) {
        QCOMPARE(v->renderHints(), QPainter::RenderHints(QPainter::Antialiasing));
        QCOMPARE(v->cacheMode(), QGraphicsView::CacheMode(QGraphicsView::CacheNone));
        QCOMPARE(v->transformationAnchor(), QGraphicsView::AnchorUnderMouse);
    } else {
        QCOMPARE(v->renderHints(), QPainter::Antialiasing | QPainter::TextAntialiasing);
        QCOMPARE(v->cacheMode(), QGraphicsView::CacheMode(QGraphicsView::CacheBackground));
    }
}

void TonemolderTest::imageControlsWaitForAnImage()
{
    for (const char* name : {"btnOriginal", "btnPreview", "chkLive", "iccPreviewImage"})
        QVERIFY2(!child<QWidget>(name)->isEnabled(), name);
    for (const char* name : {"action_view_original", "action_view_abstract", "action_zoom_in", "action_zoom_out"})
        QVERIFY2(!child<QAction>(name)->isEnabled(), name);
    for (const char* name : {"actionLoad_image", "action_paste_image", "actionNew", "actionSave"})
        QVERIFY2(child<QAction>(name)->isEnabled(), name);
}

void TonemolderTest::imageViewerHasTheImageMenu()
{
    QMenu* menu = child<QGraphicsViewMap>("imageViewer")->contextMenu();
    QVERIFY(menu);
    QStringList texts;
    for (QAction* a : menu->actions()) texts << (a->isSeparator() ? QString("-") : a->text());
    QCOMPARE(texts, (QStringList{"Load preview image", "Paste preview image", "-", "View original image",
                                 "Preview across abstract profile", "-", "Zoom in", "Zoom out", "Fit", "100 %"}));
    // The same actions as the Preview menu, so they are enabled together.
    QVERIFY(menu->actions().contains(child<QAction>("action_view_original")));
    QVERIFY(!child<QGraphicsViewMap>("imageViewerLUT")->contextMenu());
}

void TonemolderTest::buttonsTriggerTheirActions()
{
    for (auto [button, action] : {std::pair{"btnOriginal", "action_view_original"},
                                  std::pair{"btnPreview", "action_view_abstract"}}) {
        child<QWidget>(button)->setEnabled(true);
        child<QAction>(action)->setEnabled(true);
        QSignalSpy spy(child<QAction>(action), &QAction::triggered);
        QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton);
        QCOMPARE(spy.count(), 1);
    }
}

void TonemolderTest::resetAllResetsTheChannelsOnly()
{
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (const char* name : {"chan_1", "chan_2", "chan_3", "chan_4", "corr_1", "corr_2", "corr_3"}) {
        child<ChannelModifier>(name)->setValue(2.5);
        spies.push_back(std::make_unique<QSignalSpy>(child<ChannelModifier>(name), &ChannelModifier::valueChanged));
    }
    QTest::mouseClick(child<QPushButton>("pushButtonResetAll"), Qt::LeftButton);
    for (int i = 0; i < 4; ++i) QVERIFY2(spies[i]->count() > 0, qPrintable(QString("chan_%1").arg(i + 1)));
    for (int i = 4; i < 7; ++i) QCOMPARE(spies[i]->count(), 0);
}

void TonemolderTest::resetCorrelatesResetsBothPanels()
{
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (const char* name : {"chan_1", "chan_2", "chan_3", "chan_4", "corr_1", "corr_2", "corr_3"}) {
        child<ChannelModifier>(name)->setValue(2.5);
        spies.push_back(std::make_unique<QSignalSpy>(child<ChannelModifier>(name), &ChannelModifier::valueChanged));
    }
    QTest::mouseClick(child<QPushButton>("btnResetCorrelates"), Qt::LeftButton);
    for (int i = 0; i < 7; ++i) QVERIFY2(spies[i]->count() > 0, qPrintable(QString::number(i)));
}

void TonemolderTest::destinationViewingConditionsFollowTheCheckBox()
{
    auto* check = child<QCheckBox>("cbDestVC");
    QCOMPARE(check->text(), QString("Destination viewing conditions:"));
    QVERIFY(!check->isChecked());
    QVERIFY(!child<QWidget>("comboDestVC")->isEnabled());
    QVERIFY(!child<QWidget>("btnEditDestVC")->isEnabled());

    check->setChecked(true);
    QVERIFY(child<QWidget>("comboDestVC")->isEnabled());
    QVERIFY(child<QWidget>("btnEditDestVC")->isEnabled());
    QVERIFY(child<QWidget>("btnEditSrcVC")->isEnabled());

    check->setChecked(false);
    QVERIFY(!child<QWidget>("comboDestVC")->isEnabled());
}

void TonemolderTest::aboutBoxShowsTheAboutPage()
{
    withModal([&] { window_->about(); },
              [](QWidget* modal) {
                  QCOMPARE(modal->objectName(), QString("about"));
                  QCOMPARE(modal->windowTitle(), QString("About Osterlane Tonemolder"));
                  QCOMPARE(modal->size(), QSize(651, 583));
                  const Qt::WindowFlags flags = modal->windowFlags();
                  QVERIFY(flags & Qt::WindowCloseButtonHint);
                  QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                                     Qt::WindowContextHelpButtonHint)));

                  auto* text = modal->findChild<QTextBrowser*>("textBrowser");
                  QVERIFY(text);
                  QCOMPARE(text->source(), QUrl("qrc:/about.htm"));
                  QVERIFY(text->toPlainText().contains("Osterlane Color Tonemolder"));
                  QVERIFY(text->styleSheet().isEmpty());   // the application's own sheet styles it

                  auto* button = modal->findChild<QPushButton*>("pushButton");
                  QVERIFY(button);
                  QCOMPARE(button->text(), QString("About Qt"));
                  static_cast<QDialog*>(modal)->reject();
              });
    QVERIFY(!QApplication::activeModalWidget());
}

void TonemolderTest::aboutQtFollowsAnAcceptedAboutBox()
{
    QString secondTitle;
    withModal([&] { window_->about(); },
              [&](QWidget* modal) {
                  // Pressing "About Qt" ends the box and brings the toolkit's own box.
                  QTimer::singleShot(0, this, [&] {
                      QWidget* next = QApplication::activeModalWidget();
                      QVERIFY(next);
                      secondTitle = next->windowTitle();
                      next->close();
                  });
                  QTest::mouseClick(modal->findChild<QPushButton*>("pushButton"), Qt::LeftButton);
              });
    QCOMPARE(secondTitle, QApplication::applicationDisplayName());
}

void TonemolderTest::closingIsAllowed()
{
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    QVERIFY(window_->close());
    QVERIFY(!window_->isVisible());
}

QTEST_MAIN(TonemolderTest)
#include "tonemolder_qtest.moc"
