#include "TestPrograms.h"
#include "core/api/VorlantaApiClient.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "core/shell/PendingServiceActions.h"
#include "core/shell/SingleInstanceManager.h"
#include "gui/shell/AppContext.h"
#include "gui/shell/NautilusScripts.h"
#include "gui/shell/NotificationCenter.h"
#include "gui/shell/ServiceProvider.h"
#include "gui/windows/QuickProjectView.h"
#include "support/DataRows.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDateTime>
#include <QtCore/QDirIterator>
#include <QtCore/QLockFile>
#include <QtCore/QProcess>

#include <csignal>

using namespace Qt::StringLiterals;
using TestSupport::root;

namespace {

// Files of the test's root: q/m as file URLs, i as items, l as the legacy name list beside a web
// link (skipped); e has no item list.
ServicePasteboard pasteboard(QChar kind, QStringList paths)
{
    paths.replaceInStrings(QRegularExpression(u"^"_s), root() + u'/');
    const QStringList urls =
        QStringList(paths).replaceInStrings(QRegularExpression(u"^"_s), u"file://"_s);
    return kind == u'l' ? ServicePasteboard{{QUrl(u"https://a.example"_s)}, paths, {}}
           : kind == u'i'
               ? ServicePasteboard{{}, {}, QList<std::optional<QString>>(urls.begin(), urls.end())}
           : kind == u'e' ? ServicePasteboard{}
                          : ServicePasteboard{QUrl::fromStringList(urls), {}, {}};
}

} // namespace

class TestWindowRouting : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        for (const char *name : {"a", "b", "c", "a.mov", "b.mov", "a b", "-x", "q'\"t"}) {
            QVERIFY(QFile(root() + u'/' + QString::fromUtf8(name)).open(QIODevice::WriteOnly));
        }
    }

    // Steps: "q:a,b" a quick-project request for those files (m missing files; l, i, e other
    // pasteboards), C the context takes the provider, N it gets none, Y the missing-files window
    // closes, F the quick view finishes.
    void requestsReachOneWindowPerKind_data()
    {
        TestSupport::columns<QString, QString, QString>("steps", "lines", "posted");
        TestSupport::row(
            "parked until ready, vanished file dropped", "q:a,gone,b C",
            "no longer exist.*stashing 2 .*pending Quick Project with 2 .*window created", "");
        TestSupport::row("two parked: the second wins", "q:a,b m:a q:c C",
                         "Quick Project window with 1 i.*Missing Files window with 1 i", "");
        TestSupport::row(
            "open window focused, handed files; legacy list, items, none", "C l:a,b i:c e:",
            "window with 2 initial.*Focusing window: Quick Project.*has no items.*exists",
            "AddFilesToQuickProject:c");
        TestSupport::row("closed windows made anew; finishing opens the dashboard",
                         "C m:a Y m:b q:a F q:",
                         "Files window with 1 i.*Files window with 1 i.*Project window with 0 i",
                         "OpenDashboardRequested:");
        TestSupport::row("no provider: dropped, not parked again", "q:a N",
                         "Project with 1 .*serviceProvider is nil", "");
    }
    void requestsReachOneWindowPerKind()
    {
        const auto [steps, lines, posted] =
            TestSupport::fetch<QString, QString, QString>("steps", "lines", "posted");
        const qsizetype mark = Logger::joinedMemoryBuffer().size();
        QStringList posts; // each notification's name and its first file
        const auto observer = connect(
            &NotificationCenter::defaultCenter(), &NotificationCenter::posted, this,
            [&](const QString &name, const QVariantMap &info) {
                posts << name + u':' +
                             info.value(u"files"_s).value<QList<QUrl>>().value(0).fileName();
            });
        ServiceProvider provider{AuthState{}};
        AppContext context;
        for (const QString &step : steps.split(u' ')) {
            const QStringList names = step.mid(2).split(u',', Qt::SkipEmptyParts);
            step == u"C"_s   ? context.setServiceProvider(&provider)
            : step == u"N"_s ? context.setServiceProvider(nullptr)
            : step == u"Y"_s ? void(context.missingFilesWindow()->close())
            : step == u"F"_s ? Q_EMIT context.quickProjectWindow()
                                   ->findChild<QuickProjectView *>()
                                   ->finishRequested()
            : step[0] == u'm' ? provider.sendMissingFiles(pasteboard(u'm', names))
                              : provider.quickProject(pasteboard(step[0], names));
            QTest::qWait(20);
        }
        disconnect(observer);
        QVERIFY2(
            Logger::joinedMemoryBuffer().mid(mark).contains(QRegularExpression(u"(?s)"_s + lines)),
            qPrintable(lines));
        QCOMPARE(posts.join(u'|'), posted);
        QVERIFY(!PendingServiceActions::shared().quickProjectPaths() &&
                !PendingServiceActions::shared().missingFilesPaths());
        QVERIFY(!context.quickProjectWindow() || context.quickProjectWindow()->isVisible());
    }

    void apiClientUsesTheTokenSavedSinceTheLastCall()
    {
        ServiceProvider provider{AuthState{u"old"_s, {}}};
        for (const QString &token : {u"tok-1"_s, u"tok-2"_s}) {
            AuthStore::save({token, {}});
            QVERIFY(provider.getApiClient()->defaultHeaders().contains(
                qMakePair(QByteArray("Authorization"), QByteArray("Bearer " + token.toUtf8()))));
        }
    }

    // The real programs: the client starts the application, then each file-manager entry's
    // command line (split as its launcher does, the files for %F) reaches it, names intact.
    void fileManagerEntriesReachTheStartedApplication()
    {
        qputenv("PATH", QFileInfo(QString::fromUtf8(TestPrograms::kCreator)).path().toUtf8() + ':' +
                            QFileInfo(QString::fromUtf8(TestPrograms::kService)).path().toUtf8() +
                            ':' + qgetenv("PATH"));
        const auto log = [] {
            return QString::fromUtf8(TestSupport::readFile(
                Paths::logsDir() + u'/' + Logger::dayFileName(QDateTime::currentSecsSinceEpoch())));
        };
        QList<QStringList> commands{{u"vorlanta-creator-service"_s, u"quickProject"_s, u"%F"_s}};
        for (QDirIterator it(QString::fromUtf8(TestPrograms::kTestDataDir) +
                                 u"/../../packaging/linux"_s,
                             QDir::Files);
             it.hasNext();) {
            for (const QString &line : QString::fromUtf8(TestSupport::readFile(it.next()))
                                           .split(u'\n')
                                           .filter(u"Exec=vorlanta-creator-ser"_s)) {
                commands << QProcess::splitCommand(line.mid(5));
            }
        }
        for (qsizetype i = 0; i < commands.size(); ++i) {
            QStringList arguments = commands[i];
            const QString program = arguments.takeFirst();
            QVERIFY(arguments.removeAll(u"%F"_s) == 1);
            QProcess process;
            process.setWorkingDirectory(root());
            process.start(program, arguments + (i ? QStringList{u"a b"_s, u"-x"_s, u"q'\"t"_s}
                                                  : QStringList{u"a.mov"_s, u"b.mov"_s}));
            QVERIFY2(process.waitForFinished(20000) && process.exitCode() == 0,
                     process.readAllStandardError().constData());
            if (i == 0) { // started: its window opens, and it writes the Nautilus scripts
                QTRY_VERIFY(log().contains(
                    QRegularExpression(u"(?s)b.mov.*window with 2 initial.*created"_s)));
                QTRY_COMPARE(QDir(NautilusScripts::directory()).entryList(QDir::Files).size(), 2);
                for (const QString &script :
                     QDir(NautilusScripts::directory()).entryList(QDir::Files)) {
                    commands << QStringList{NautilusScripts::directory() + u'/' + script, u"%F"_s};
                }
            }
        }
        QCOMPARE(commands.size(), 8); // the client, Open With, Dolphin and Nemo (2), Nautilus (2)
        for (const QString &file : {u"1: %1/a b\n"_s, u"2: %1/-x\n"_s, u"3: %1/q'\"t\n"_s}) {
            QTRY_COMPARE(log().count(u" file "_s + file.arg(root())), 7);
        }
        qint64 pid = 0; // the application the client started
        QVERIFY(
            QLockFile(SingleInstanceManager::lockFilePath()).getLockInfo(&pid, nullptr, nullptr) &&
            pid > 0);
        ::kill(pid_t(pid), SIGTERM);
    }
};

VORLANTA_TEST_MAIN(TestWindowRouting)
#include "tst_WindowRouting.moc"
