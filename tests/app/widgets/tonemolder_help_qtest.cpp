// The Help menu: the user manual beside the program, and the update check,
// which says so when the update page cannot be reached.
#include "app/core/appinfo.h"
#include "app/widgets/tonemolder.h"

#include <QAction>
#include <QDesktopServices>
#include <QFile>
#include <QMessageBox>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

// Records the addresses the window asks the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened.append(url); }
};

// Reads and closes every message box that comes up while it lives; the boxes
// of the update check come from a network answer, not from the call itself.
class BoxCloser : public QObject {
public:
    QStringList texts;
    BoxCloser()
    {
        connect(&timer_, &QTimer::timeout, this, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts.append(box->text());
                box->close();
            }
        });
        timer_.start(10);
    }

private:
    QTimer timer_;
};

// A web server on the loopback address that answers every request with one
// fixed status and counts the requests.
class TinyServer : public QObject {
public:
    int requests = 0;
    explicit TinyServer(QByteArray status) : status_(std::move(status))
    {
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    if (!s->readAll().contains("\r\n\r\n")) return;
                    ++requests;
                    s->write("HTTP/1.1 " + status_ + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                    s->disconnectFromHost();
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
        server_.listen(QHostAddress::LocalHost);
    }
    quint16 port() const { return server_.serverPort(); }

private:
    QTcpServer server_;
    QByteArray status_;
};

class TonemolderHelpTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void userManualOpensTheManualBesideTheProgram();
    void missingManualSaysWhereItWasLookedFor();
    void updateCheckOpensThePageWhenAServerAnswers_data();
    void updateCheckOpensThePageWhenAServerAnswers();
    void updateCheckWithoutNetworkSaysSo();
    void updatePageThatIsNoWebAddressIsRefused();

private:
    QAction* action(const char* name) const { return window_->findChild<QAction*>(QString::fromLatin1(name)); }
    QString manualPath() const { return AppInfo::userManualPath(QCoreApplication::applicationDirPath()); }

    QTemporaryDir configDir_;
    std::unique_ptr<QSettings> settings_;
    std::unique_ptr<Tonemolder> window_;
    UrlCatcher catcher_;
};

void TonemolderHelpTest::initTestCase()
{
    Q_INIT_RESOURCE(tonemolder);
    QVERIFY(configDir_.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir_.path());
    QCoreApplication::setOrganizationName(AppInfo::OrganizationName);
    QCoreApplication::setApplicationName(AppInfo::ApplicationName);
    for (const char* scheme : {"http", "https", "file"}) QDesktopServices::setUrlHandler(scheme, &catcher_, "open");
    // The build puts the real manual beside the program, not beside this test.
    QVERIFY(!QFile::exists(manualPath()));
}

void TonemolderHelpTest::cleanupTestCase()
{
    for (const char* scheme : {"http", "https", "file"}) QDesktopServices::unsetUrlHandler(scheme);
    QFile::remove(manualPath());
    Q_CLEANUP_RESOURCE(tonemolder);
}

void TonemolderHelpTest::init()
{
    settings_ = std::make_unique<QSettings>();
    settings_->clear();
    window_ = std::make_unique<Tonemolder>(settings_.get());
    catcher_.opened.clear();
}

void TonemolderHelpTest::cleanup()
{
    window_.reset();
    settings_.reset();
}

void TonemolderHelpTest::userManualOpensTheManualBesideTheProgram()
{
    QFile manual(manualPath());
    QVERIFY(manual.open(QIODevice::WriteOnly));
    manual.write("%PDF-1.4\n");
    manual.close();

    BoxCloser boxes;
    QCOMPARE(action("actionUser_manual")->shortcut(), QKeySequence(QKeySequence::HelpContents));
    window_->show();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    QTest::keyClick(window_.get(), Qt::Key_F1);
    QFile::remove(manualPath());

    QCOMPARE(catcher_.opened, QList<QUrl>{QUrl::fromLocalFile(manualPath())});
    QVERIFY(boxes.texts.isEmpty());
}

void TonemolderHelpTest::missingManualSaysWhereItWasLookedFor()
{
    BoxCloser boxes;
    action("actionUser_manual")->trigger();
    QVERIFY(catcher_.opened.isEmpty());
    QCOMPARE(boxes.texts.size(), 1);
    QVERIFY(boxes.texts[0].startsWith("The user manual was not found."));
    QVERIFY(boxes.texts[0].contains(QDir::toNativeSeparators(manualPath())));
}

void TonemolderHelpTest::updateCheckOpensThePageWhenAServerAnswers_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::newRow("page there") << QByteArray("200 OK");
    // The server answers; the browser shows what it says.
    QTest::newRow("page missing") << QByteArray("404 Not Found");
}

void TonemolderHelpTest::updateCheckOpensThePageWhenAServerAnswers()
{
    QFETCH(QByteArray, status);
    TinyServer server(status);
    QVERIFY(server.port() != 0);
    const QString page = QString("http://127.0.0.1:%1/update.php").arg(server.port());
    settings_->setValue(AppInfo::UpdatePageKey, page);

    BoxCloser boxes;
    QAction* updates = action("actionCheck_for_updates");
    updates->trigger();
    QVERIFY(!updates->isEnabled());   // one check at a time
    QTRY_COMPARE(catcher_.opened.size(), 1);
    QCOMPARE(catcher_.opened[0], AppInfo::updateCheckUrl(page));
    QCOMPARE(server.requests, 1);
    QVERIFY(updates->isEnabled());
    QVERIFY(boxes.texts.isEmpty());
}

void TonemolderHelpTest::updateCheckWithoutNetworkSaysSo()
{
    // A loopback port with nobody listening answers like a machine offline.
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    settings_->setValue(AppInfo::UpdatePageKey, QString("http://127.0.0.1:%1/update.php").arg(port));

    BoxCloser boxes;
    action("actionCheck_for_updates")->trigger();
    QTRY_COMPARE(boxes.texts.size(), 1);
    QVERIFY(boxes.texts[0].startsWith(QString("Could not check for updates: http://127.0.0.1:%1/update.php cannot be reached.").arg(port)));
    QVERIFY(boxes.texts[0].contains("Check the network connection."));
    QVERIFY(catcher_.opened.isEmpty());
    QTRY_VERIFY(action("actionCheck_for_updates")->isEnabled());
}

void TonemolderHelpTest::updatePageThatIsNoWebAddressIsRefused()
{
    settings_->setValue(AppInfo::UpdatePageKey, "osterlane.example/update.php");
    BoxCloser boxes;
    action("actionCheck_for_updates")->trigger();
    QCOMPARE(boxes.texts.size(), 1);
    QCOMPARE(boxes.texts[0], QString("The update page \"osterlane.example/update.php\" in the settings (key \"updates/page\") "
                                     "is not a web address."));
    QVERIFY(catcher_.opened.isEmpty());
    QVERIFY(action("actionCheck_for_updates")->isEnabled());
}

QTEST_MAIN(TonemolderHelpTest)
#include "tonemolder_help_qtest.moc"
