#include "core/api/VorlantaApiClient.h"
#include "gui/shell/NotificationCenter.h"
#include "gui/shell/WorkWindow.h"
#include "gui/windows/QuickProjectView.h"
#include "support/Await.h"
#include "support/DataRows.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"

#include <QtCore/QMimeData>
#include <QtCore/QProcess>
#include <QtGui/QDropEvent>
#include <QtTest/QSignalSpy>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>

using namespace TestSupport;
using namespace Qt::StringLiterals;

class TestQuickProjectView : public QObject {
    Q_OBJECT
    SandboxProcess m_sandbox;
    const QDir m_dir{TestSupport::root()};
    QUrl file(const QString &name, const QByteArray &bytes = "data")
    {
        QDir().mkpath(QFileInfo(m_dir.filePath(name)).path());
        QFile out(m_dir.filePath(name));
        void(!bytes.isEmpty() && out.open(QIODevice::WriteOnly) && out.write(bytes));
        return QUrl::fromLocalFile(out.fileName());
    }
    auto *at(QObject *v, const char *n) { return v->findChild<QPushButton *>(QLatin1String(n)); }

private slots:
    void submission_data()
    {
        columns<QString, QString, bool, int, bool>("token", "notes", "hide", "days", "close");
        row("token rejected: no channel, no submit", "wrong", "", false, 3, false);
        row("hidden notes, day left", "", "Cut the intro", true, 3, false);
        row("no notes, today picked, closed while sending", "", "", false, 0, true);
        row("shown notes, past day", "", "Loud", false, -2, false);
    }
    void submission()
    {
        const auto [token, notes, hide, days, close] =
            fetch<QString, QString, bool, int, bool>("token", "notes", "hide", "days", "close");
        const QString clip = m_dir.filePath(u"clip.mp4"_s);
        const QString ffmpeg = u"-v quiet -y -f lavfi -i color=red:s=64x48:d=1 "_s + clip;
        QCOMPARE(QProcess::execute(u"ffmpeg"_s, QProcess::splitCommand(ffmpeg)), 0);
        file(u"dir/.hidden"_s), file(u"dir/sub/d.mp4"_s), file(u"dir/c.txt"_s);
        const QString base = m_sandbox.baseUrl().toString();
        auto *view = new QuickProjectView({QUrl::fromLocalFile(clip)}, [&, token] {
            return VorlantaApiClient::make(base, {token.isEmpty() ? m_sandbox.token() : token, {}});
        });
        QPointer<WorkWindow> window =
            new WorkWindow(view, u"Quick Project"_s, {600, 800}, [view] { return view->isBusy(); });
        std::unique_ptr<WorkWindow> owner(window);
        connect(view, &QuickProjectView::idle, window, &WorkWindow::viewBecameIdle);
        window->show();
        QMimeData mime;
        mime.setUrls({file(u"Clip.MP4"_s), file(u"b.mp4"_s), file(u"b.mp4"_s), file(u"gone"_s, {}),
                      QUrl(u"https://a.b/c.mp4"_s), file(u"dir"_s, {})});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(view, &enter), QApplication::sendEvent(view, &drop);
        const auto labels = view->findChildren<QLabel *>(u"thumbnail"_s); // red video+play, icon
        QTRY_VERIFY(!labels[0]->pixmap().isNull() && !labels[1]->pixmap().isNull()); // no hang
        const QImage f = labels[0]->pixmap().toImage();
        QVERIFY((f.pixel(2, 2) & 0xF0F0F0) == 0xF00000 && f.pixel(40, 28) != f.pixel(2, 2));
        QVERIFY(labels[1]->pixmap().toImage().pixel(40, 28) != qRgb(0, 122, 255)); // not blue fill
        QTRY_VERIFY(at(view, "channel")->isEnabled()); // the list has come, or failed
        view->findChild<QObject *>(u"title"_s)->setProperty("text", u" "_s); // a space counts
        QCOMPARE(at(view, "channel")->text(),
                 token.isEmpty() ? u"Kitchen Table Cooking"_s : u"Channel Name"_s);
        QCOMPARE(at(view, "submit")->isEnabled(), token.isEmpty());
        if (!token.isEmpty()) {
            return;
        }
        view->findChild<QObject *>(u"notes"_s)->setProperty("plainText", notes);
        at(view, "notesToggle")->setChecked(!hide); // typed, maybe hidden again
        QCOMPARE(at(view, "delivery")->text(), u"Delivery In 3 Days"_s);
        at(view, "delivery")->click();
        QMetaObject::invokeMethod(view->findChild<QObject *>(u"dueDate"_s), "clicked",
                                  Q_ARG(QDate, QDate::currentDate().addDays(days)));
        QCOMPARE(at(view, "delivery")->text(), u"Delivery In %1 Days"_s.arg(days));
        QSignalSpy idle(view, &QuickProjectView::idle);
        QSignalSpy finish(view, &QuickProjectView::finishRequested);
        at(view, "submit")->click();
        QVERIFY(view->isBusy());
        if (close) { // only hidden: the upload goes on, and its end still leads to the dashboard
            window->close();
            QVERIFY(!window.isNull() && !window->isVisible());
        }
        QVERIFY(idle.wait(20000));
        QCOMPARE(finish.size(), int(close));
        if (close) {
            QTRY_VERIFY(window.isNull()); // gone once idle
            owner.release();
        }
        QVERIFY(close || at(view, "submit")->text() == u"100% Done!"_s);
        const auto sent =
            JsonRead::parse(await(VorlantaApiClient::make(base, {m_sandbox.token(), {}})
                                      ->getRaw(u"api/v1/creator/projects/"_s)))["data"][0];
        const QString due = QDate::currentDate().addDays(days).toString(u"dd/MM/yyyy"_s);
        QCOMPARE(QString::fromStdString(sent["due_date"]), due);
        QCOMPARE(QString::fromStdString(sent["notes_for_editor"]), notes);
        QCOMPARE(sent["files"].size(), size_t(3)); // clip.mp4, b.mp4, c.txt
        if (close) {
            return;
        }
        at(view, "submit")->click();
        QCOMPARE(finish.size(), 1);
        NotificationCenter::defaultCenter().post(
            u"AddFilesToQuickProject"_s,
            {{u"files"_s, QVariant::fromValue(QList{file(u"more.mp4"_s)})}});
        QCOMPARE(at(view, "submit")->text(), u"Upload && Submit"_s); // "&&" shows one "&"
    }
};

VORLANTA_TEST_MAIN(TestQuickProjectView)
#include "tst_QuickProjectView.moc"
