// The profile selector over a folder of real profiles: built-ins first, the
// folder's profiles after them, the choice kept under its two settings keys,
// the folder button, drops, icons, tooltips and change notifications.
#include "profiles/widgets/iccprofileselector.h"

#include "app/core/recipe.h"
#include "profiles/core/builtinspaces.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QStringList RgbBuiltins = {"*srgb",     "*argb",        "*colormatchrgb", "*applergb", "*srgblin", "*argblin",
                                 "*prophoto", "*prophotolin", "*ecirgb",        "*oprgb",    "*bt2020",  "*dcip3"};
const QStringList GrayBuiltins = {"*gray10", "*gray18", "*gray22", "*gray30"};

// A selector whose folder button answers with a given folder.
class TestSelector : public ICCProfileSelector {
public:
    QString answer;
    QString askedWith;
    int asked = 0;

    using ICCProfileSelector::selectDirectory;

protected:
    QString askDirectory(const QString& start) override
    {
        ++asked;
        askedWith = start;
        return answer;
    }
};

QImage iconImage(const QIcon& icon)
{
    return icon.pixmap(QSize(32, 40)).toImage().convertToFormat(QImage::Format_ARGB32);
}

}   // namespace

class ICCProfileSelectorTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    QString folder_;        // RGB and CMYK profiles, a named-colour one, junk and an own recipe
    QString other_;         // a gray and an RGB profile
    QString dataHome_;

    QString inFolder(const QString& name) const { return folder_ + QLatin1Char('/') + name; }

    static QComboBox* listOf(ICCProfileSelector& s) { return s.findChild<QComboBox*>(); }

    static QStringList names(const ICCProfileSelector& s)
    {
        QStringList n;
        for (const ProfileEntry& e : s.entries()) n.append(e.name);
        return n;
    }

    std::unique_ptr<QSettings> freshSettings(const QString& name)
    {
        QFile::remove(dir_.filePath(name));
        auto settings = std::make_unique<QSettings>(dir_.filePath(name), QSettings::IniFormat);
        settings->clear();
        return settings;
    }

    static void copy(const char* from, const QString& to) { QVERIFY2(QFile::copy(QString::fromLatin1(from), to), from); }

private slots:
    void initTestCase()
    {
        Q_INIT_RESOURCE(tonemolder);
        QVERIFY(registerCurveFamilyPlugin());
        QVERIFY(dir_.isValid());
        const QDir root(dir_.path());
        QVERIFY(root.mkpath("profiles") && root.mkpath("others") && root.mkpath("data/icc"));
        folder_ = QDir(root.filePath("profiles")).canonicalPath();
        other_ = QDir(root.filePath("others")).canonicalPath();
        // The system colour directory the selectors default to.
        dataHome_ = QDir(root.filePath("data")).canonicalPath();
        qputenv("XDG_DATA_HOME", dataHome_.toLocal8Bit());

        copy("/usr/share/color/icc/colord/sRGB.icc", inFolder("sRGB.icc"));
        copy("/usr/share/color/icc/colord/AdobeRGB1998.icc", inFolder("AdobeRGB1998.icc"));
        copy("/usr/share/color/icc/ghostscript/default_cmyk.icc", inFolder("default_cmyk.icc"));
        copy("/usr/share/color/argyll/ref/sRGB.icm", inFolder("sRGB.icm"));
        copy("/usr/share/color/argyll/ref/lab2lab.icm", inFolder("lab2lab.icm"));
        copy("/usr/share/color/icc/colord/x11-colors.icc", inFolder("x11-colors.icc"));
        QFile junk(inFolder("readme.icc"));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("not a profile");
        junk.close();
        ProfilePtr own = adoptProfile(openProfileByName(QStringLiteral("*lab")));
        QVERIFY(own && storeRecipe(own.get(), Recipe{}));
        QVERIFY(saveToFile(own.get(), inFolder("own.icc").toLocal8Bit().constData()));

        copy("/usr/share/color/icc/ghostscript/sgray.icc", other_ + "/sgray.icc");
        copy("/usr/share/color/icc/colord/sRGB.icc", other_ + "/sRGB.icc");
        copy("/usr/share/color/icc/colord/sRGB.icc", dataHome_ + "/icc/system-sRGB.icc");
    }

    void builtinsFirstThenTheFolder()
    {
        ICCProfileSelector s;
        s.setPclass(25);
        s.setSpace(2);
        QVERIFY(s.setSelection(folder_, "*srgb"));
        QStringList expected = RgbBuiltins;
        QStringList files;
        for (const QString& n : names(s).mid(RgbBuiltins.size())) files.append(QFileInfo(n).fileName());
        QCOMPARE(names(s).mid(0, RgbBuiltins.size()), expected);
        files.sort();
        QCOMPARE(files, (QStringList{"AdobeRGB1998.icc", "sRGB.icc", "sRGB.icm"}));

        // The list shows the descriptions, in the entries' order.
        QComboBox* list = listOf(s);
        QCOMPARE(list->count(), s.entries().size());
        for (int i = 0; i < list->count(); ++i) QCOMPARE(list->itemText(i), s.entries()[i].description);
        QCOMPARE(list->currentIndex(), 0);
        QCOMPARE(s.currentName(), QString("*srgb"));
        QCOMPARE(s.currentDescription(), QString("sRGB-like color space"));
        QCOMPARE(s.currentSpaceCode(), 2);
        QVERIFY(!s.currentIsTableBased());

        // All classes and spaces: the gray built-ins and "*lab" too, the
        // press and input profiles and the own recipe; never the named colours.
        s.setPclass(31);
        s.setSpace(31);
        QVERIFY(s.setSelection(folder_, "*srgb"));
        QCOMPARE(names(s).mid(0, 17), RgbBuiltins + QStringList{"*lab"} + GrayBuiltins);
        files.clear();
        for (const QString& n : names(s).mid(17)) files.append(QFileInfo(n).fileName());
        files.sort();
        QCOMPARE(files, (QStringList{"AdobeRGB1998.icc", "default_cmyk.icc", "lab2lab.icm", "own.icc", "sRGB.icc",
                                     "sRGB.icm"}));

        // Abstract only: "*lab" and the own recipe.
        s.setPclass(4);
        QVERIFY(s.setSelection(folder_, "*lab"));
        QCOMPARE(names(s), (QStringList{"*lab", inFolder("own.icc")}));
    }

    void propertiesAsTheFormsSetThem()
    {
        ICCProfileSelector s;
        QVERIFY(s.setProperty("pclass", 27));
        QVERIFY(s.setProperty("space", 6));
        QVERIFY(s.setProperty("prompt", "Image in:"));
        QVERIFY(s.setProperty("showDir", false));
        QVERIFY(s.setProperty("icons", false));
        QVERIFY(s.setProperty("builtins", QStringList{"*bypass", "*srgb"}));
        QCOMPARE(s.pclass(), 27);
        QCOMPARE(s.space(), 6);
        QCOMPARE(s.prompt(), QString("Image in:"));
        QCOMPARE(s.findChild<QLabel*>()->text(), QString("Image in:"));
        QCOMPARE(s.property("showDir").toBool(), false);
        QVERIFY(s.findChild<QPushButton*>()->isHidden());
        QCOMPARE(s.icons(), false);
        QCOMPARE(s.builtins(), (QStringList{"*bypass", "*srgb"}));
        QCOMPARE(ICCProfileSelector().builtins(), BuiltinSpaces::selectorNames());

        // With no icons the list sizes freely; with icons it is 40 high.
        QComboBox* list = listOf(s);
        QCOMPARE(list->maximumHeight(), QWIDGETSIZE_MAX);
        s.setIcons(true);
        QCOMPARE(list->minimumSize(), QSize(100, 40));
        QCOMPARE(list->maximumHeight(), 40);
        QCOMPARE(list->iconSize(), QSize(32, 40));

        // "*bypass" is its own entry, whatever the masks; no built-in is CMYK.
        s.setSpace(4);
        QVERIFY(s.setSelection(other_, "*bypass"));
        QCOMPARE(names(s), (QStringList{"*bypass"}));
        QCOMPARE(s.currentDescription(), QString("Unused slot"));
        QCOMPARE(s.currentSpaceCode(), 8);
        QVERIFY(listOf(s)->itemIcon(0).isNull());

        QPushButton* button = s.findChild<QPushButton*>();
        QCOMPARE(button->toolTip(), QString("Profiles folder: Select here the main repository for your ICC profiles."));
        QCOMPARE(button->size(), QSize(32, 32));
        QVERIFY(button->isFlat());
        QVERIFY(s.acceptDrops());
    }

    void selectionPersistsUnderItsTwoKeys()
    {
        auto settings = freshSettings("persist.ini");
        settings->setValue("proof_dir", folder_);
        settings->setValue("proof_prf", "default_cmyk.icc");
        {
            ICCProfileSelector s;
            s.setPclass(25);
            QVERIFY(s.bindSettings(settings.get(), "proof_dir", "proof_prf"));
            QCOMPARE(s.folder(), folder_);
            QCOMPARE(s.currentName(), inFolder("default_cmyk.icc"));
            QCOMPARE(s.currentFileName(), QString("default_cmyk.icc"));
            QCOMPARE(s.currentSpaceCode(), 4);
            QVERIFY(s.currentIsTableBased());

            // The user picks another; closing stores it under the file key only.
            const int adobe = names(s).indexOf(inFolder("AdobeRGB1998.icc"));
            QVERIFY(adobe >= 0);
            listOf(s)->setCurrentIndex(adobe);
            s.storeSelection();
            QCOMPARE(settings->value("proof_prf").toString(), QString("AdobeRGB1998.icc"));
            QCOMPARE(settings->value("proof_dir").toString(), folder_);
        }
        {
            ICCProfileSelector s;
            s.setPclass(25);
            QVERIFY(s.bindSettings(settings.get(), "proof_dir", "proof_prf"));
            QCOMPARE(s.currentName(), inFolder("AdobeRGB1998.icc"));
            QVERIFY(!s.currentIsTableBased());

            // A built-in is stored by its name.
            listOf(s)->setCurrentIndex(names(s).indexOf("*argb"));
            s.storeSelection();
            QCOMPARE(settings->value("proof_prf").toString(), QString("*argb"));
        }
        ICCProfileSelector s;
        s.setPclass(25);
        QVERIFY(s.bindSettings(settings.get(), "proof_dir", "proof_prf"));
        QCOMPARE(s.currentName(), QString("*argb"));
    }

    void defaultsWithNothingStored()
    {
        auto settings = freshSettings("defaults.ini");
        ICCProfileSelector s;
        s.setPclass(25);
        QVERIFY(s.bindSettings(settings.get(), "lut_dir", "lut_prf"));
        QCOMPARE(s.folder(), dataHome_ + "/icc");
        QCOMPARE(s.currentName(), QString("*srgb"));
        QVERIFY(names(s).contains(dataHome_ + "/icc/system-sRGB.icc"));
        QVERIFY(!settings->contains("lut_dir"));   // reading writes nothing

        // An abstract-profile selector starts with no choice.
        ICCProfileSelector abstract;
        abstract.setPclass(4);
        QVERIFY(abstract.bindSettings(settings.get(), "outgen/abstract_dir", "outgen/abstract_prf"));
        QCOMPARE(abstract.currentIndex(), -1);
        QCOMPARE(abstract.currentName(), QString());
        QCOMPARE(abstract.currentFileName(), QString());
        QCOMPARE(abstract.currentSpaceCode(), 0);
        QCOMPARE(listOf(abstract)->toolTip(), QString("No profile selected"));
        QCOMPARE(names(abstract).value(0), QString("*lab"));
        abstract.storeSelection();
        QCOMPARE(settings->value("outgen/abstract_prf").toString(), QString());
    }

    // A stored file that is gone, or that the filter now rejects, leaves the
    // built-ins and the stored folder listed with "*srgb" chosen, and the
    // owner learns which file it was.
    void storedFileNoLongerAvailable()
    {
        for (const char* stored : {"deleted.icc", "x11-colors.icc", "default_cmyk.icc", "readme.icc"}) {
            auto settings = freshSettings("gone.ini");
            settings->setValue("img_dir", folder_);
            settings->setValue("img_prf", stored);
            ICCProfileSelector s;
            s.setPclass(25);
            s.setSpace(2);   // default_cmyk.icc is filtered out
            QSignalSpy changed(&s, &ICCProfileSelector::valueChanged);
            QVERIFY(!s.bindSettings(settings.get(), "img_dir", "img_prf"));
            QCOMPARE(s.unavailableStoredFile(), inFolder(stored));
            QCOMPARE(s.folder(), folder_);
            QCOMPARE(names(s).mid(0, RgbBuiltins.size()), RgbBuiltins);
            QVERIFY(names(s).contains(inFolder("sRGB.icc")));
            QCOMPARE(s.currentName(), QString("*srgb"));
            QVERIFY(changed.count() >= 1);
            QCOMPARE(settings->value("img_prf").toString(), QString::fromLatin1(stored));   // untouched

            // A stored choice that opens is no longer reported.
            settings->setValue("img_prf", "sRGB.icc");
            QVERIFY(s.bindSettings(settings.get(), "img_dir", "img_prf"));
            QVERIFY(s.unavailableStoredFile().isEmpty());
            QCOMPARE(s.currentName(), inFolder("sRGB.icc"));
        }

        // A folder that is gone as well: the built-ins alone.
        auto settings = freshSettings("gone.ini");
        settings->setValue("proof_dir", dir_.filePath("no-such-folder"));
        settings->setValue("proof_prf", "press.icc");
        ICCProfileSelector s;
        s.setPclass(25);
        QVERIFY(!s.bindSettings(settings.get(), "proof_dir", "proof_prf"));
        QCOMPARE(s.unavailableStoredFile(), dir_.filePath("no-such-folder/press.icc"));
        QCOMPARE(s.currentName(), QString("*srgb"));
        QVERIFY(names(s).contains("*gray22"));
    }

    // Two entries that read the same are told apart by their files.
    void clashingDescriptionsShowTheirFiles()
    {
        QTemporaryDir twins;
        QVERIFY(QFile::copy(inFolder("sRGB.icc"), twins.filePath("one.icc")));
        QVERIFY(QFile::copy(inFolder("sRGB.icc"), twins.filePath("two.icc")));
        QVERIFY(QFile::copy(inFolder("AdobeRGB1998.icc"), twins.filePath("adobe.icc")));
        ICCProfileSelector s;
        s.setPclass(25);
        s.setSpace(2);
        QVERIFY(s.setSelection(twins.path(), "two.icc"));
        const QString folder = QDir(twins.path()).canonicalPath();
        const int one = names(s).indexOf(folder + "/one.icc");
        const int two = names(s).indexOf(folder + "/two.icc");
        const int adobe = names(s).indexOf(folder + "/adobe.icc");
        QVERIFY(one >= 0 && two >= 0 && adobe >= 0);
        const QString description = s.entries()[one].description;
        QComboBox* list = listOf(s);
        QCOMPARE(list->itemText(one), description + " (one.icc)");
        QCOMPARE(list->itemText(two), description + " (two.icc)");
        QCOMPARE(list->itemText(adobe), s.entries()[adobe].description);   // no clash, no file name
        QCOMPARE(s.currentName(), folder + "/two.icc");
        QCOMPARE(list->currentText(), description + " (two.icc)");
    }

    // A profile dropped from another folder comes back as that very file,
    // not as a file of the same name in the stored folder.
    void aDroppedProfileComesBackByItsPath()
    {
        auto settings = freshSettings("dropped.ini");
        settings->setValue("proof_dir", folder_);
        settings->setValue("proof_prf", "AdobeRGB1998.icc");
        {
            ICCProfileSelector s;
            s.setPclass(25);
            QVERIFY(s.bindSettings(settings.get(), "proof_dir", "proof_prf"));
            QVERIFY(s.setSelection(other_, "sRGB.icc"));   // as a drop does
            s.storeSelection();
        }
        ICCProfileSelector again;
        again.setPclass(25);
        QVERIFY(again.bindSettings(settings.get(), "proof_dir", "proof_prf"));
        QCOMPARE(again.currentName(), other_ + "/sRGB.icc");
        QCOMPARE(settings->value("proof_dir").toString(), folder_);
    }

    // The system colour directory keeps its profiles in a folder per maker:
    // they are listed one level down, under a heading per folder; a folder
    // of the user's stays flat.
    void theSystemDirectoryListsItsSubfolders()
    {
        const QString system = dataHome_ + "/icc";
        QVERIFY(QDir(system).mkpath("maker") && QDir(system).mkpath("press"));
        copy("/usr/share/color/icc/colord/AdobeRGB1998.icc", system + "/maker/AdobeRGB1998.icc");
        copy("/usr/share/color/icc/ghostscript/default_cmyk.icc", system + "/press/cmyk.icc");
        auto settings = freshSettings("system.ini");
        ICCProfileSelector s;
        s.setPclass(25);
        QVERIFY(s.bindSettings(settings.get(), "proof_dir", "proof_prf"));
        QCOMPARE(s.folder(), system);
        const QStringList listed = names(s);
        const int top = listed.indexOf(system + "/system-sRGB.icc");
        const int maker = listed.indexOf(system + "/maker/AdobeRGB1998.icc");
        const int press = listed.indexOf(system + "/press/cmyk.icc");
        QVERIFY(top >= 0 && top < maker && maker < press);

        // Each subfolder's files follow a heading that cannot be chosen.
        QComboBox* list = listOf(s);
        const int heading = list->findText("maker/");
        QVERIFY(heading > 0);
        QCOMPARE(list->itemText(heading + 1), s.entries()[maker].description);
        QVERIFY(!(qobject_cast<QStandardItemModel*>(list->model())->item(heading)->flags() & Qt::ItemIsEnabled));
        QVERIFY(list->findText("press/") > heading);

        // Chosen and stored by its path in the folder, found again.
        list->setCurrentIndex(list->findText(s.entries()[press].description));
        QCOMPARE(s.currentName(), system + "/press/cmyk.icc");
        QCOMPARE(s.currentIndex(), press);
        QCOMPARE(s.currentSpaceCode(), 4);
        s.storeSelection();
        QCOMPARE(settings->value("proof_prf").toString(), QString("press/cmyk.icc"));
        ICCProfileSelector again;
        again.setPclass(25);
        QVERIFY(again.bindSettings(settings.get(), "proof_dir", "proof_prf"));
        QCOMPARE(again.currentName(), system + "/press/cmyk.icc");
        // A recipe names it by its file alone.
        QVERIFY(again.selectByName("*srgb"));
        QVERIFY(again.selectByName("cmyk.icc"));
        QCOMPARE(again.currentName(), system + "/press/cmyk.icc");

        // A folder of the user's with subfolders lists its own files only.
        ICCProfileSelector flat;
        flat.setPclass(25);
        QVERIFY(flat.setSelection(dir_.path() + "/data", "*srgb"));
        QVERIFY(!names(flat).contains(system + "/maker/AdobeRGB1998.icc"));
        QCOMPARE(listOf(flat)->findText("icc/"), -1);
        QVERIFY(QDir(system + "/maker").removeRecursively() && QDir(system + "/press").removeRecursively());
    }

    void setSelectionAndSelectByName()
    {
        ICCProfileSelector s;
        QSignalSpy changed(&s, &ICCProfileSelector::valueChanged);
        QVERIFY(s.setSelection(folder_, "sRGB.icm"));
        QCOMPARE(s.currentName(), inFolder("sRGB.icm"));
        QVERIFY(changed.count() >= 1);

        // Refused requests change nothing and say nothing.
        changed.clear();
        const QStringList before = names(s);
        QVERIFY(!s.setSelection(folder_, "missing.icc"));
        QVERIFY(!s.setSelection(folder_, "readme.icc"));
        QVERIFY(!s.setSelection(folder_, "x11-colors.icc"));
        QVERIFY(!s.setSelection(other_, "sRGB.icm"));
        QCOMPARE(changed.count(), 0);
        QCOMPARE(names(s), before);
        QCOMPARE(s.folder(), folder_);
        QCOMPARE(s.currentName(), inFolder("sRGB.icm"));

        // Empty values: the empty folder (the current directory) with "*srgb".
        QVERIFY(s.setSelection(QString(), "x.icc"));
        QCOMPARE(s.folder(), QString());
        QCOMPARE(s.currentName(), QString("*srgb"));

        QVERIFY(s.setSelection(folder_, "*srgb"));
        QVERIFY(s.selectByName("default_cmyk.icc"));
        QCOMPARE(s.currentName(), inFolder("default_cmyk.icc"));
        QVERIFY(s.selectByName("*gray22"));
        QCOMPARE(s.currentName(), QString("*gray22"));
        QVERIFY(!s.selectByName("missing.icc"));
        QCOMPARE(s.currentIndex(), 0);
        QVERIFY(!s.selectByName("*SRGB"));
        QCOMPARE(s.currentName(), QString("*srgb"));
    }

    void choosingAnotherEntryNotifiesAndRetitles()
    {
        ICCProfileSelector s;
        QVERIFY(s.setSelection(folder_, "*srgb"));
        QSignalSpy changed(&s, &ICCProfileSelector::valueChanged);
        QComboBox* list = listOf(s);
        QCOMPARE(list->toolTip(), QString("sRGB-like color space"));

        const int file = names(s).indexOf(inFolder("sRGB.icc"));
        list->setCurrentIndex(file);
        QCOMPARE(changed.count(), 1);
        const ProfileEntry& e = s.entries()[file];
        QCOMPARE(list->toolTip(), e.description + "\n" + e.copyright + "\n\n" + inFolder("sRGB.icc"));
        QCOMPARE(s.currentCopyright(), e.copyright);

        list->setCurrentIndex(file);   // no change, no notification
        QCOMPARE(changed.count(), 1);
    }

    void folderButtonChangesTheFolder()
    {
        auto settings = freshSettings("button.ini");
        settings->setValue("proof_dir", folder_);
        settings->setValue("proof_prf", "sRGB.icc");
        TestSelector s;
        s.setPclass(25);
        QVERIFY(s.bindSettings(settings.get(), "proof_dir", "proof_prf"));
        QSignalSpy changed(&s, &ICCProfileSelector::valueChanged);

        // Cancelled: nothing changes.
        s.answer.clear();
        s.findChild<QPushButton*>()->click();
        QCOMPARE(s.asked, 1);
        QCOMPARE(s.askedWith, folder_);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(s.folder(), folder_);

        // Another folder: listed with its first entry chosen; the folder and
        // the file chosen until then are stored; owners are told.
        s.answer = other_;
        s.findChild<QPushButton*>()->click();
        QVERIFY(changed.count() >= 1);
        QCOMPARE(s.folder(), other_);
        QCOMPARE(settings->value("proof_dir").toString(), other_);
        QCOMPARE(settings->value("proof_prf").toString(), QString("sRGB.icc"));
        QCOMPARE(s.currentIndex(), 0);
        QCOMPARE(s.currentName(), QString("*srgb"));
        QVERIFY(names(s).contains(other_ + "/sgray.icc"));
        QVERIFY(names(s).contains(other_ + "/sRGB.icc"));
        QVERIFY(!names(s).contains(inFolder("sRGB.icc")));

        // A built-in is stored by its name.
        listOf(s)->setCurrentIndex(names(s).indexOf("*gray22"));
        s.answer = folder_;
        s.selectDirectory();
        QCOMPARE(s.folder(), folder_);
        QCOMPARE(settings->value("proof_prf").toString(), QString("*gray22"));
        QCOMPARE(s.currentName(), QString("*srgb"));

        // A fresh selector on the same keys comes back to that folder.
        ICCProfileSelector again;
        again.setPclass(25);
        QVERIFY(again.bindSettings(settings.get(), "proof_dir", "proof_prf"));
        QCOMPARE(again.folder(), folder_);
        QCOMPARE(again.currentName(), QString("*gray22"));
    }

    void dropsOfFoldersAndFiles()
    {
        ICCProfileSelector s;
        s.setPclass(25);
        QVERIFY(s.setSelection(folder_, "sRGB.icc"));

        const auto drop = [&s](const QList<QUrl>& urls, const QString& text = {}) {
            QMimeData mime;
            if (!urls.isEmpty()) mime.setUrls(urls);
            if (!text.isEmpty()) mime.setText(text);
            QDragEnterEvent enter(QPoint(5, 5), Qt::LinkAction | Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(&s, &enter);
            QDropEvent dropped(QPointF(5, 5), Qt::LinkAction | Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(&s, &dropped);
            return std::make_pair(enter.isAccepted(), dropped.isAccepted());
        };

        // Text is refused at the door.
        QCOMPARE(drop({}, "hello").first, false);

        // A folder: "*srgb" in it.
        auto [entered, accepted] = drop({QUrl("https://example.org/a.icc"), QUrl::fromLocalFile(other_)});
        QVERIFY(entered && accepted);
        QCOMPARE(s.folder(), other_);
        QCOMPARE(s.currentName(), QString("*srgb"));

        // A file: its folder, that file; later URLs are ignored.
        std::tie(entered, accepted) = drop({QUrl::fromLocalFile(inFolder("default_cmyk.icc")), QUrl::fromLocalFile(other_)});
        QVERIFY(accepted);
        QCOMPARE(s.folder(), folder_);
        QCOMPARE(s.currentName(), inFolder("default_cmyk.icc"));

        // Filtered out or not a profile: refused, nothing changes.
        for (const char* refused : {"lab2lab.icm", "readme.icc", "x11-colors.icc"}) {
            std::tie(entered, accepted) = drop({QUrl::fromLocalFile(inFolder(refused))});
            QVERIFY(entered);
            QVERIFY2(!accepted, refused);
            QCOMPARE(s.currentName(), inFolder("default_cmyk.icc"));
        }
    }

    void iconsByKind()
    {
        ICCProfileSelector s;
        s.setPclass(31);
        QVERIFY(s.setSelection(folder_, "*srgb"));
        QComboBox* list = listOf(s);
        const auto iconAt = [&](const QString& name) {
            const int i = names(s).indexOf(name);
            return i >= 0 ? iconImage(list->itemIcon(i)) : QImage();
        };
        const QImage builtin = iconImage(QIcon(":/iccb.png"));
        const QImage own = iconImage(QIcon(":/iccAbsLnk.png"));
        const QImage v4 = iconImage(QIcon(":/icc4.png"));
        const QImage v2 = iconImage(QIcon(":/icc2.png"));
        QVERIFY(!builtin.isNull() && !own.isNull() && !v4.isNull() && !v2.isNull());
        QVERIFY(own != v4 && v4 != v2 && builtin != own);

        QCOMPARE(iconAt("*srgb"), builtin);
        QCOMPARE(iconAt("*lab"), builtin);
        QCOMPARE(iconAt(inFolder("own.icc")), own);
        QCOMPARE(iconAt(inFolder("sRGB.icc")), v4);
        QCOMPARE(iconAt(inFolder("sRGB.icm")), v2);
        QCOMPARE(iconAt(inFolder("default_cmyk.icc")), v2);

        s.setIcons(false);
        for (int i = 0; i < list->count(); ++i) QVERIFY(list->itemIcon(i).isNull());
        QVERIFY(s.setSelection(folder_, "*srgb"));
        for (int i = 0; i < list->count(); ++i) QVERIFY(list->itemIcon(i).isNull());
        s.setIcons(true);
        QCOMPARE(iconAt(inFolder("own.icc")), own);
    }

    void folderIcons()
    {
        ICCProfileSelector s;
        QPushButton* button = s.findChild<QPushButton*>();
        s.setFolderIconLight(true);
        QCOMPARE(iconImage(button->icon()), iconImage(QIcon(":/folder_white.png")));
        s.setFolderIconLight(false);
        QCOMPARE(iconImage(button->icon()), iconImage(QIcon(":/folder_black.png")));
    }
};

QTEST_MAIN(ICCProfileSelectorTest)
#include "iccprofileselector_qtest.moc"
