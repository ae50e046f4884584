#pragma once

#include "TestPrograms.h"
#include "core/shell/Logger.h"
#include "support/BundleTestFiles.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QPointer>
#include <QtCore/QProcess>
#include <QtCore/QTimer>
#include <QtTest/QTest>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

// Bundles, signed releases and answers to the updater's questions, for the update tests.
namespace UpdateTest {

inline const QString kBundleName = QStringLiteral("Vorlanta Creator.app");

inline bool writeFile(const QString &path, const QByteArray &bytes,
                      QFileDevice::Permissions permissions = QFileDevice::ReadOwner |
                                                             QFileDevice::WriteOwner |
                                                             QFileDevice::ReadGroup |
                                                             QFileDevice::ReadOther)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size() && file.setPermissions(permissions);
}

// A bundle <parent>/<name>: bin/vorlanta-creator with the given content, Info.json with the
// version (none when empty), a resource file and a link to it.
inline QString makeBundle(const QString &parent, const QString &version,
                          const QByteArray &executable, const QString &name = kBundleName)
{
    const QString bundle = QDir(parent).filePath(name);
    const auto exec = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                      QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                      QFileDevice::ExeOther;
    writeFile(bundle + QStringLiteral("/bin/vorlanta-creator"), executable, exec);
    if (!version.isEmpty()) {
        writeFile(bundle + QStringLiteral("/Info.json"),
                  "{\"version\": \"" + version.toUtf8() + "\"}\n");
    }
    writeFile(bundle + QStringLiteral("/share/resources/readme.txt"),
              "resource of " + version.toUtf8());
    QFile::link(QStringLiteral("resources/readme.txt"),
                bundle + QStringLiteral("/share/readme-link.txt"));
    return bundle;
}

// An executable that appends "started <version>" to the marker file when run.
inline QByteArray markerExecutable(const QString &markerPath, const QString &version)
{
    return "#!/bin/sh\necho \"started " + version.toUtf8() + "\" >> '" + markerPath.toUtf8() +
           "'\n";
}

// Packs and signs a release with the release tool and the test key; the archive's path.
inline QString packRelease(const QString &bundle, const QString &version, const QString &outDir,
                           const QString &fileName = QString())
{
    QStringList arguments{QStringLiteral("--bundle"),
                          bundle,
                          QStringLiteral("--version"),
                          version,
                          QStringLiteral("--key"),
                          QString::fromUtf8(TestPrograms::kTestDataDir) +
                              QStringLiteral("/update-signing/test-key.pem"),
                          QStringLiteral("--out"),
                          outDir,
                          QStringLiteral("--base-url"),
                          QStringLiteral("http://127.0.0.1/releases/")};
    if (!fileName.isEmpty()) {
        arguments << QStringLiteral("--filename") << fileName;
    }
    QProcess tool;
    tool.start(QString::fromUtf8(TestPrograms::kRelease), arguments);
    tool.waitForFinished(60000);
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        qWarning("release tool failed: %s", tool.readAllStandardError().constData());
        return {};
    }
    const QString name = fileName.isEmpty() ? QStringLiteral("Vorlanta-Creator-") + version +
                                                  QStringLiteral(".tar.gz")
                                            : fileName;
    return QDir(outDir).filePath(name);
}

using BundleTestFiles::testPublicKey;

// Everything the logger kept in memory, once its queue has written it.
inline QString loggedText()
{
    Logger::flush();
    return Logger::joinedMemoryBuffer();
}

// Answers the modal message boxes of this process as they appear.
class AlertAnswerer : public QObject {
public:
    struct Seen {
        QString title;
        QString text;
        QStringList buttons;
        QString icon;
    };

    // answer: the text of the button to press; empty presses the default button.
    explicit AlertAnswerer(QString answer = QString()) : m_answer(std::move(answer))
    {
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        m_timer.start(20);
    }

    void setAnswer(const QString &answer) { m_answer = answer; }
    const QList<Seen> &seen() const { return m_seen; }
    QStringList titles() const
    {
        QStringList result;
        for (const Seen &alert : m_seen) {
            result.append(alert.title);
        }
        return result;
    }

private:
    void poll()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box == m_lastBox) {
            return;
        }
        m_lastBox = box;
        Seen alert{box->windowTitle(), box->informativeText(), {}, {}};
        switch (box->icon()) {
        case QMessageBox::Information:
            alert.icon = QStringLiteral("information");
            break;
        case QMessageBox::Warning:
            alert.icon = QStringLiteral("warning");
            break;
        case QMessageBox::Critical:
            alert.icon = QStringLiteral("critical");
            break;
        default:
            alert.icon = QStringLiteral("other");
        }
        QAbstractButton *press = box->defaultButton();
        for (QAbstractButton *button : box->buttons()) {
            alert.buttons.append(button->text());
            if (!m_answer.isEmpty() && button->text() == m_answer) {
                press = button;
            }
        }
        m_seen.append(alert);
        if (press) {
            QTimer::singleShot(0, press, [press] { press->click(); });
        }
    }

    QString m_answer;
    QTimer m_timer;
    QPointer<QMessageBox> m_lastBox;
    QList<Seen> m_seen;
};

// chattr +i / -i: a path even root cannot remove or rename. False when not supported here.
inline bool setImmutable(const QString &path, bool on)
{
    return QProcess::execute(QStringLiteral("chattr"),
                             {on ? QStringLiteral("+i") : QStringLiteral("-i"), path}) == 0;
}

} // namespace UpdateTest
