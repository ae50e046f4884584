#include "gui/shell/NotificationCenter.h"
#include "gui/windows/MissingFilesDetailView.h"
#include "gui/windows/MissingFilesView.h"
#include "gui/windows/ProjectPickerView.h"
#include "support/DataRows.h"
#include "support/QueueFiles.h"
#include "support/SandboxProcess.h"

#include <QtCore/QTemporaryDir>
#include <QtTest/QSignalSpy>
#include <QtWidgets/QLabel>

using namespace TestSupport;
using namespace Qt::StringLiterals;

class TestMissingFilesView : public QObject {
    Q_OBJECT
    std::unique_ptr<SandboxProcess> m_sandbox;
    std::shared_ptr<VorlantaApiClient> m_client;
    QTemporaryDir m_dir;

    QUrl url(const QString &name) const { return QUrl::fromLocalFile(m_dir.filePath(name)); }
    static void choose(MissingFilesView &view, const QString &title)
    {
        QTRY_COMPARE(view.viewModel()->statusText(), QString());
        QTest::keyClicks(view.findChild<QWidget *>(u"searchField"_s), title);
        QTRY_COMPARE(view.pickerView()->cards().size(), 1);
        QTest::mouseClick(view.pickerView()->cards().first(), Qt::LeftButton);
        QVERIFY(view.detailView() && view.detailView()->isVisible());
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TZ", "UTC"); // the sandbox's due dates count from today in UTC
        m_sandbox = std::make_unique<SandboxProcess>();
        QVERIFY2(m_sandbox->isRunning(), qPrintable(m_sandbox->startError()));
        AuthStore::save(AuthState{m_sandbox->token(), std::nullopt});
        m_client =
            VorlantaApiClient::make(m_sandbox->baseUrl().toString(), {m_sandbox->token(), {}});
        QVERIFY(QueueFiles::plant(m_dir.path(),
                                  u"clip.mp4=1|b.mov=2|c.mov=3|dir/x.mov=4|"
                                  u"dir/.h.mov=5|dir/d/y.mov=6|o/CLIP.MP4=7|late.mov=8"_s));
    }

    // Files routed before the choice wait for it, during the form each is added once.
    void detailForm_data()
    {
        columns<QString, QString>("title", "delivery");
        row("due yesterday", "sOURdough", "Overdue");
        row("due today", "Ultra Trail", "Due Today");
        row("due tomorrow", "Gear Review", "Delivery In 1 Day");
        row("in two days", "Behind the", "Delivery In 2 Days");
        row("no date", "Retro Console", "No Due Date");
    }
    void detailForm()
    {
        const auto [title, delivery] = fetch<QString, QString>("title", "delivery");
        const QUrl a = url(u"clip.mp4"_s), b = url(u"b.mov"_s), c = url(u"c.mov"_s);
        const auto notify = [](const QList<QUrl> &files) {
            NotificationCenter::defaultCenter().post(u"AddFilesToMissingFiles"_s,
                                                     {{u"files"_s, QVariant::fromValue(files)}});
        };
        MissingFilesView view({a, url(u"gone.mov"_s)}, [this] { return m_client; });
        view.show();
        QTRY_COMPARE(view.pickerView()->pageText(), u"Page 1 of 2"_s);
        QTest::mouseClick(view.findChild<QWidget *>(u"nextPageButton"_s), Qt::LeftButton);
        QCOMPARE(view.pickerView()->cards().size(), 5);
        notify({b});
        choose(view, title);
        QCOMPARE(view.detailView()->findChild<QLabel *>(u"deliveryLabel"_s)->text(), delivery);
        QCOMPARE(view.detailView()->selectedFiles(), QList<QUrl>({a, b}));
        notify({c, a, url(u"dir"_s)});
        QCOMPARE(view.detailView()->selectedFiles(), QList<QUrl>({a, b, c, url(u"dir/x.mov"_s)}));
        QSignalSpy idle(&view, &MissingFilesView::idle);
        auto *submit = view.detailView()->findChild<QWidget *>(u"submitButton"_s);
        QTest::mouseClick(submit, Qt::LeftButton);
        QVERIFY(view.isBusy());
        notify({url(u"late.mov"_s)}); // not in this upload: stays for the next
        QTRY_COMPARE(idle.size(), 1);
        QCOMPARE(view.detailView()->selectedFiles(), QList<QUrl>({url(u"late.mov"_s)}));
        QTest::mouseClick(submit, Qt::LeftButton);
        QTRY_COMPARE(submit->property("text").toString(), u"100% Done!"_s);
        QTest::mouseClick(submit, Qt::LeftButton);
        choose(view, title);
        view.detailView()->appendFiles({url(u"o/CLIP.MP4"_s)});
        QCOMPARE(view.detailView()->selectedFiles(), QList<QUrl>());
        QCOMPARE(view.detailView()->statusText(),
                 u"File CLIP.MP4 already exists in this project."_s);
    }
};

VORLANTA_TEST_MAIN(TestMissingFilesView)
#include "tst_MissingFilesView.moc"
