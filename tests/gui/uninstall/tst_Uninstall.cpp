#include "core/api/AuthStore.h"
#include "core/queue/MissingFilesWatcher.h"
#include "core/shell/LaunchAgent.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "core/uninstall/MimeAppsList.h"
#include "core/uninstall/NameSweep.h"
#include "gui/shell/NautilusScripts.h"
#include "gui/uninstall/UninstallConfirmation.h"
#include "gui/uninstall/Uninstaller.h"
#include "support/Await.h"
#include "support/DataRows.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDirIterator>
#include <QtCore/QProcess>
#include <QtCore/QSettings>
#include <QtCore/QStandardPaths>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

using namespace TestSupport;
using namespace Qt::StringLiterals;

namespace {

const QString kOurs = u"com.vorlanta.creator.desktop"_s;

QString home(const QString &relative)
{
    return QDir::homePath() + u'/' + relative;
}

void makeFile(const QString &path, const QByteArray &content = "x")
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
}

// Items secret-tool finds for the saved credentials.
int storedItemCount()
{
    QProcess tool;
    tool.start(u"secret-tool"_s,
               {u"search"_s, u"--all"_s, u"user"_s, QString::fromLatin1(AuthStore::kKey),
                u"server"_s, u"com.vorlanta.creator"_s});
    const bool ran = tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit;
    return ran ? int(QByteArray("\n" + tool.readAllStandardOutput()).count("\n[")) : -1;
}

// The alert with this object name once it shows as a window of its own.
QMessageBox *shownBox(const QString &objectName)
{
    QMessageBox *box = nullptr;
    (void)QTest::qWaitFor([&] {
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (window->objectName() == objectName && window->isVisible()) {
                box = qobject_cast<QMessageBox *>(window);
            }
        }
        return box != nullptr;
    });
    return box;
}

QAbstractButton *button(QMessageBox *box, const QString &text)
{
    const QList<QAbstractButton *> buttons = box->buttons();
    const auto found = std::find_if(buttons.begin(), buttons.end(),
                                    [&](QAbstractButton *b) { return b->text() == text; });
    return found == buttons.end() ? nullptr : *found;
}

// Where the trash keeps what was at the path: files/<name>, found through its info file.
QString trashedAs(const QString &original)
{
    const QString trash = Trash().directory();
    const QByteArray wanted = "\nPath=" + QFile::encodeName(original).toPercentEncoding("/") + '\n';
    for (QDirIterator it(trash + u"/info"_s, {u"*.trashinfo"_s}, QDir::Files); it.hasNext();) {
        const QByteArray info = readFile(it.next());
        static const QRegularExpression date(
            u"\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n"_s);
        if (info.startsWith("[Trash Info]") && info.contains(wanted) &&
            date.match(QString::fromUtf8(info)).hasMatch()) {
            return trash + u"/files/"_s + it.fileInfo().completeBaseName();
        }
    }
    return {};
}

} // namespace

class TestUninstall : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(u"Vorlanta"_s);
        QCoreApplication::setApplicationName(u"Vorlanta Creator"_s);
    }

    // About → "Uninstall..." → "Uninstall" to the end. Runs before the sweep's own tree exists,
    // so that its sweep meets only what a row made.
    void uninstall_data()
    {
        columns<bool>("populated");
        addRow("nothing present", false);
        addRow("everything present", true);
    }
    void uninstall()
    {
        const auto [populated] = fetch<bool>("populated");
        const QString mimeApps = MimeAppsList::userFiles().constLast();
        const QByteArray otherLine = "text/plain=gedit.desktop\n";
        if (populated) {
            LaunchAgent::installLaunchAgentIfNeeded();
            NautilusScripts::installIfMissing();
            Paths::ensureAll();
            AuthStore::save(AuthState{u"token-to-remove"_s, std::nullopt});
            QCOMPARE(storedItemCount(), 1);
            makeFile(QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + u"/c"_s);
            makeFile(MissingFilesWatcher::defaultInboxDir() + u"/missing.queue"_s);
            makeFile(home(u"Applications/Vorlanta Creator.app/bin/vorlanta-creator"_s));
            makeFile(home(u"Downloads/Vorlanta Creator Projects/a.mov"_s), "source video");
            makeFile(mimeApps, "[Default Applications]\nx-scheme-handler/vorlanta-creator=" +
                                   kOurs.toUtf8() + ";\n" + otherLine);
        }
        QStringList calls;
        Uninstaller uninstaller({[&] { calls << u"workers"_s; }, [&] { calls << u"drag"_s; },
                                 [&] { calls << u"popover"_s; }, [&] { calls << u"quit"_s; }});
        QCoro::Task<> steps = uninstaller.showUninstallConfirmation();
        // The question lists only what the sweep takes, not what the steps remove by name.
        QMessageBox *question = shownBox(u"uninstallConfirmation"_s);
        QVERIFY(question);
        QCOMPARE(question->informativeText().contains(
                     u"1 item named after the app, such as:\n    ~/Downloads/Vorlanta Creator "
                     "Projects\n\n"_s),
                 populated);
        button(question, u"Uninstall"_s)->click();
        QMessageBox *alert = shownBox(u"uninstallComplete"_s);
        QVERIFY(alert);
        QCOMPARE(alert->text(), u"Uninstall Complete"_s);
        const QString said = alert->informativeText();
        button(alert, u"Quit"_s)->click();
        await(std::move(steps));
        QCOMPARE(calls, QStringList({u"popover"_s, u"workers"_s, u"drag"_s, u"quit"_s}));
        QVERIFY(said.contains(u"• Start at login entry\n"_s) &&
                said.contains(u"• Saved credentials (Secret Service)\n"_s));
        QCOMPARE(said.contains(u"• 1 item named after the app (moved to the trash)"_s), populated);
        // A stop line after the data folder is gone must not bring it back.
        Logger::info(u"[JobWorker] stopped"_s);
        Logger::flush();
        for (const QString &gone :
             QStringList{LaunchAgent::installedFile(),
                         NautilusScripts::directory() + u"/Quick Project in Vorlanta Creator"_s,
                         Paths::baseDir(), QSettings().fileName(),
                         QStandardPaths::writableLocation(QStandardPaths::CacheLocation),
                         QFileInfo(MissingFilesWatcher::defaultInboxDir()).path(),
                         home(u"Applications/Vorlanta Creator.app"_s)}) {
            QVERIFY2(!QFileInfo::exists(gone), qPrintable(gone));
        }
        QCOMPARE(storedItemCount(), 0);
        if (populated) {
            QCOMPARE(readFile(mimeApps), "[Default Applications]\n" + otherLine);
            QCOMPARE(
                readFile(trashedAs(home(u"Downloads/Vorlanta Creator Projects"_s)) + u"/a.mov"_s),
                QByteArray("source video"));
        }
    }

    void mimeAppsList_data()
    {
        columns<QByteArray, QByteArray>("before", "after");
        addRow("the only handler: the key goes",
               QByteArray("[Default Applications]\nx-scheme-handler/vorlanta-creator=com.vorlanta."
                          "creator.desktop\nimage/png=eog.desktop\n"),
               QByteArray("[Default Applications]\nimage/png=eog.desktop\n"));
        addRow("among others, in their order",
               QByteArray("[Added Associations]\nvideo/mp4=vlc.desktop;com.vorlanta.creator."
                          "desktop;mpv.desktop;\n"),
               QByteArray("[Added Associations]\nvideo/mp4=vlc.desktop;mpv.desktop;\n"));
        addRow("other lines byte for byte",
               QByteArray("# mine\r\n[Default Applications]\r\nx = com.vorlanta.creator.desktop ;"
                          "\r\n\r\nimage/png = eog.desktop\r\n[Removed Associations]\nlast=a"),
               QByteArray("# mine\r\n[Default Applications]\r\n\r\nimage/png = eog.desktop\r\n"
                          "[Removed Associations]\nlast=a"));
        addRow("similar ids stay",
               QByteArray("v=com.vorlanta.creator.desktop.bak;xcom.vorlanta.creator.desktop\n"),
               QByteArray("v=com.vorlanta.creator.desktop.bak;xcom.vorlanta.creator.desktop\n"));
    }
    void mimeAppsList()
    {
        const auto [before, after] = fetch<QByteArray, QByteArray>("before", "after");
        const QString path = root() + u"/mimeapps-row.list"_s;
        makeFile(path, before);
        QVERIFY(MimeAppsList::removeDesktopId(path, kOurs.toUtf8()));
        QCOMPARE(readFile(path), after);
    }

    void confirmation_data()
    {
        columns<QString, int, bool>("click", "matches", "confirmed");
        row("cancel, seven items to the trash", "Cancel", 7, false);
        row("uninstall, nothing to the trash", "Uninstall", 0, true);
    }
    void confirmation()
    {
        const auto [click, count, confirmed] =
            fetch<QString, int, bool>("click", "matches", "confirmed");
        QStringList matches;
        for (int i = 1; i <= count; ++i) {
            matches << home(u"Downloads/Vorlanta Creator %1"_s.arg(i));
        }
        QCoro::Task<bool> asking =
            UninstallConfirmation::ask(UninstallConfirmation::Application::moved, matches);
        QMessageBox *box = shownBox(u"uninstallConfirmation"_s);
        QVERIFY(box);
        QCOMPARE(box->text(), u"Uninstall Vorlanta Creator?"_s);
        QString sweep;
        if (count) {
            sweep =
                u"Also moved to the trash, not deleted: 7 items named after the app, such as:\n"_s;
            for (int i = 1; i <= 5; ++i) {
                sweep += u"    ~/Downloads/Vorlanta Creator %1\n"_s.arg(i);
            }
            sweep += u"    and 2 more\n\n"_s;
        }
        QCOMPARE(box->informativeText(),
                 u"This will remove:\n\n• The application\n• Start at login entry\n• Saved "
                 "credentials (Secret Service)\n• All app data and caches\n• File manager actions "
                 "(if any)\n• Desktop entries and preferences\n\n"_s +
                     sweep + u"This action cannot be undone."_s);
        QCOMPARE(box->defaultButton()->text(), u"Cancel"_s);
        QCOMPARE(box->buttonRole(button(box, u"Uninstall"_s)), QMessageBox::DestructiveRole);
        button(box, click)->click();
        QCOMPARE(await(std::move(asking)), confirmed);
    }

    void nameSweep_data()
    {
        columns<QString, bool>("path", "taken");
        row("a folder in Downloads", "Downloads/Vorlanta Creator", true);
        row("lower case with a blank", "Downloads/vorlanta creator.txt", false);
        row("five levels down", "Documents/a/b/c/d/Vorlanta Creator", true);
        row("six levels down", "Documents/a/b/c/d/e/Vorlanta Creator", false);
        row("the running bundle", "Downloads/Apps/Vorlanta Creator.app", false);
        row("inside the running bundle",
            "Downloads/Apps/Vorlanta Creator.app/com.vorlanta.creator.desktop", false);
        row("behind a link out of the roots", "../outside/Vorlanta Creator", false);
        row("already in the trash", "../data/Trash/files/Vorlanta Creator", false);
    }
    void nameSweep()
    {
        const auto [relative, taken] = fetch<QString, bool>("path", "taken");
        static const auto run = [] {
            for (const char *path :
                 {"Downloads/Vorlanta Creator/x", "Downloads/vorlanta creator.txt",
                  "Documents/a/b/c/d/Vorlanta Creator/x", "Documents/a/b/c/d/e/Vorlanta Creator/x",
                  "Downloads/Apps/Vorlanta Creator.app/com.vorlanta.creator.desktop",
                  "../outside/Vorlanta Creator/x", "../data/Trash/files/Vorlanta Creator/x"}) {
                makeFile(home(QString::fromLatin1(path)), "clip");
            }
            QFile::link(root() + u"/outside"_s, home(u"Downloads/outside"_s));
            QFile::link(u"."_s, home(u"Downloads/loop"_s));
            const NameSweep sweep(NameSweep::defaultRoots(),
                                  {home(u"Downloads/Apps/Vorlanta Creator.app"_s)});
            const QStringList matches = sweep.findMatches();
            return std::pair(matches, sweep.sweep());
        }();
        const QString path = QDir::cleanPath(home(relative));
        QCOMPARE(run.first.contains(path), taken); // the confirmation lists what the sweep takes
        QCOMPARE(run.second.moved.contains(path), taken);
        QCOMPARE(QFileInfo::exists(path), !taken);
        if (taken) {
            QCOMPARE(readFile(trashedAs(path) + u"/x"_s), QByteArray("clip"));
        }
    }
};

VORLANTA_TEST_MAIN(TestUninstall)
#include "tst_Uninstall.moc"
