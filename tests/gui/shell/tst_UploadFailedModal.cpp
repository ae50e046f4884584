#include "core/shell/DiagnosticReport.h"
#include "core/shell/Logger.h"
#include "gui/shell/UploadFailedModal.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDateTime>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QRegularExpression>
#include <QtCore/QTimer>
#include <QtGui/QClipboard>
#include <QtGui/QGuiApplication>
#include <QtTest/QTest>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QApplication>
#include <QtWidgets/QDialog>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

#include <functional>

namespace {

enum class Answer { EscapeKey, ReturnKey, ClickCancel, ClickCopy };

const QString kCopy = QStringLiteral("Copy Error Log");
const QString kCancel = QStringLiteral("Cancel");

// What the modal alert showed, read while it was open.
struct SeenAlert {
    bool appeared = false;
    bool timedOut = false;
    bool closedByAnswer = false;
    int unexpectedModals = 0;
    bool modal = false;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString text;
    QString informativeText;
    QStringList buttons;
    QString defaultButton;
    QString escapeButton;
    QMessageBox::ButtonRole copyRole = QMessageBox::InvalidRole;
    QMessageBox::ButtonRole cancelRole = QMessageBox::InvalidRole;
};

QAbstractButton *buttonWithText(QMessageBox *box, const QString &text)
{
    for (QAbstractButton *button : box->buttons()) {
        if (button->text() == text) {
            return button;
        }
    }
    return nullptr;
}

void answer(QMessageBox *box, Answer how)
{
    // Keys go where the user's keys would: the widget holding the alert's focus.
    QWidget *keyTarget = box->focusWidget() ? box->focusWidget() : box;
    switch (how) {
    case Answer::EscapeKey:
        QTest::keyClick(keyTarget, Qt::Key_Escape);
        break;
    case Answer::ReturnKey:
        QTest::keyClick(keyTarget, Qt::Key_Return);
        break;
    case Answer::ClickCancel:
    case Answer::ClickCopy:
        if (QAbstractButton *button =
                buttonWithText(box, how == Answer::ClickCopy ? kCopy : kCancel)) {
            QTest::mouseClick(button, Qt::LeftButton);
        }
        break;
    }
}

// Closes every visible top-level dialog.
void rejectVisibleDialogs()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *dialog = qobject_cast<QDialog *>(widget); dialog && dialog->isVisible()) {
            dialog->reject();
        }
    }
}

// Runs showUploadFailedModal() and answers its alert from inside the alert's own event loop.
// The alert is polled for, since it only appears once the call has started. The poll stays on
// until the call returns, rejecting whatever else turns up modally and, past a deadline, any
// dialog at all, so that a misbehaving alert fails the test instead of hanging it.
SeenAlert runAlert(const QString &description, Answer how)
{
    SeenAlert seen;
    QTimer poll;
    poll.setInterval(10);
    const QDeadlineTimer deadline(10000);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (deadline.hasExpired()) {
            seen.timedOut = true;
            rejectVisibleDialogs();
            return;
        }
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal) {
            return;
        }
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (!box || seen.appeared) {
            ++seen.unexpectedModals;
            if (auto *dialog = qobject_cast<QDialog *>(modal)) {
                dialog->reject();
            } else {
                modal->close();
            }
            return;
        }
        seen.appeared = true;
        seen.modal = box->isModal();
        seen.icon = box->icon();
        seen.text = box->text();
        seen.informativeText = box->informativeText();
        for (QAbstractButton *button : box->buttons()) {
            seen.buttons.append(button->text());
        }
        seen.defaultButton = box->defaultButton() ? box->defaultButton()->text() : QString();
        seen.escapeButton = box->escapeButton() ? box->escapeButton()->text() : QString();
        if (QAbstractButton *copy = buttonWithText(box, kCopy)) {
            seen.copyRole = box->buttonRole(copy);
        }
        if (QAbstractButton *cancel = buttonWithText(box, kCancel)) {
            seen.cancelRole = box->buttonRole(cancel);
        }
        answer(box, how);
        seen.closedByAnswer = !box->isVisible();
        if (!seen.closedByAnswer) {
            box->reject();
        }
    });
    poll.start();
    Logger::showUploadFailedModal(description);
    poll.stop();
    return seen;
}

} // namespace

class TestUploadFailedModal : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void answerDecidesClipboard_data();
    void answerDecidesClipboard();
};

void TestUploadFailedModal::initTestCase()
{
    Logger::info(QStringLiteral("[Upload] Starting upload of clip.mp4"));
    Logger::warn(QStringLiteral("[Upload] Chunk 3 retried"));
    Logger::error(QStringLiteral("[Upload] Server answered 503"));
}

void TestUploadFailedModal::answerDecidesClipboard_data()
{
    QTest::addColumn<Answer>("how");
    QTest::addColumn<QString>("description");
    QTest::addColumn<bool>("expectCopied");

    QTest::newRow("escape key") << Answer::EscapeKey
                                << QStringLiteral("The network connection was lost.") << false;
    QTest::newRow("cancel clicked")
        << Answer::ClickCancel << QStringLiteral("Request timed out (-1001)") << false;
    QTest::newRow("return key takes the default")
        << Answer::ReturnKey << QStringLiteral("HTTP 503: Service Unavailable") << true;
    QTest::newRow("copy clicked") << Answer::ClickCopy
                                  << QStringLiteral(
                                         "Disk full\nwhile writing part 2 of 5 (\"clip.mp4\")")
                                  << true;
}

void TestUploadFailedModal::answerDecidesClipboard()
{
    QFETCH(Answer, how);
    QFETCH(QString, description);
    QFETCH(bool, expectCopied);

    QClipboard *clipboard = QGuiApplication::clipboard();
    const QString sentinel = QStringLiteral("clipboard before the alert: ") +
                             QString::fromLatin1(QTest::currentDataTag());
    clipboard->setText(sentinel);
    QCOMPARE(clipboard->text(), sentinel);
    Logger::info(QStringLiteral("[Upload] Failed: ") + description);

    const QString logBefore = Logger::joinedMemoryBuffer();
    const QDateTime shownFrom = QDateTime::currentDateTimeUtc();
    const SeenAlert seen = runAlert(description, how);
    const QDateTime shownUntil = QDateTime::currentDateTimeUtc();

    QVERIFY2(!seen.timedOut, "the call did not return in time");
    QVERIFY2(seen.appeared, "no modal message box appeared");
    QCOMPARE(seen.unexpectedModals, 0);
    QVERIFY(seen.modal);
    QCOMPARE(seen.icon, QMessageBox::Critical);
    QCOMPARE(seen.text, QStringLiteral("Upload Failed"));
    QCOMPARE(seen.informativeText,
             QStringLiteral("The upload could not be completed.\n\nError: ") + description +
                 QStringLiteral("\n\nYou can copy the full diagnostic log to share with support."));
    QCOMPARE(seen.buttons, (QStringList{kCopy, kCancel}));
    QCOMPARE(seen.copyRole, QMessageBox::AcceptRole);
    QCOMPARE(seen.cancelRole, QMessageBox::RejectRole);
    QCOMPARE(seen.defaultButton, kCopy);
    QCOMPARE(seen.escapeButton, kCancel);
    QVERIFY2(seen.closedByAnswer, "the answer did not close the alert");

    const QString clip = clipboard->text();
    if (!expectCopied) {
        QCOMPARE(clip, sentinel);
        return;
    }

    QVERIFY2(clip.startsWith(QStringLiteral("=== System Information ===\nApp Version: ")),
             qPrintable(clip));
    const QString errorToLog = QStringLiteral("\n\n=== Error ===\n") + description +
                               QStringLiteral("\n\n=== Full Log ===\n");
    const qsizetype errorAt = clip.indexOf(errorToLog);
    QVERIFY2(errorAt > 0, qPrintable(clip));
    // The log section is this process's log as it stood when the alert was shown.
    QCOMPARE(clip.mid(errorAt + errorToLog.size()), logBefore);

    // The header carries this build and system and the moment of copying.
    static const QRegularExpression dateLine(QStringLiteral("\\nDate: ([^\\n]*)\\n"));
    const QRegularExpressionMatch date = dateLine.match(clip);
    QVERIFY2(date.hasMatch(), qPrintable(clip));
    const QDateTime copiedAt = QDateTime::fromString(date.captured(1), Qt::ISODate);
    QVERIFY2(copiedAt.isValid(), qPrintable(date.captured(1)));
    QCOMPARE(copiedAt.timeSpec(), Qt::UTC);
    QVERIFY(copiedAt >= shownFrom.addMSecs(-shownFrom.time().msec()));
    QVERIFY(copiedAt <= shownUntil);
    QCOMPARE(clip, DiagnosticReport::build(DiagnosticReport::currentSystem(), copiedAt, description,
                                           logBefore));
}

VORLANTA_TEST_MAIN(TestUploadFailedModal)
#include "tst_UploadFailedModal.moc"
