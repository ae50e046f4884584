#include "gui/uninstall/UninstallConfirmation.h"

#include <QCoro/QCoroSignal>
#include <QtCore/QDir>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

namespace {

constexpr qsizetype kPathLength = 64;

QString applicationLine(UninstallConfirmation::Application application)
{
    switch (application) {
    case UninstallConfirmation::Application::keptByPackageManager:
        return QStringLiteral("• The application's files for your account (the package itself "
                              "stays installed)");
    case UninstallConfirmation::Application::keptDevelopmentBuild:
        return QStringLiteral("• The application's files for your account (this development "
                              "build stays in place)");
    case UninstallConfirmation::Application::moved:
        break;
    }
    return QStringLiteral("• The application");
}

QString sweepLines(const QStringList &matches)
{
    if (matches.isEmpty()) {
        return {};
    }
    QString lines = QStringLiteral("Also moved to the trash, not deleted: %1 named after the app, "
                                   "such as:\n")
                        .arg(matches.size() == 1 ? QStringLiteral("1 item")
                                                 : QStringLiteral("%1 items").arg(matches.size()));
    for (const QString &path :
         matches.first(std::min<qsizetype>(matches.size(), UninstallConfirmation::kListedPaths))) {
        lines += QStringLiteral("    ") + UninstallConfirmation::shortPath(path) + u'\n';
    }
    if (matches.size() > UninstallConfirmation::kListedPaths) {
        lines += QStringLiteral("    and %1 more\n")
                     .arg(matches.size() - UninstallConfirmation::kListedPaths);
    }
    return lines + u'\n';
}

} // namespace

QString UninstallConfirmation::shortPath(const QString &path)
{
    const QString home = QDir::homePath();
    QString shown = path;
    if (path == home || path.startsWith(home + u'/')) {
        shown = u'~' + path.mid(home.size());
    }
    if (shown.size() > kPathLength) {
        const qsizetype head = kPathLength / 3;
        shown = shown.left(head) + u'…' + shown.right(kPathLength - head - 1);
    }
    return shown;
}

QString UninstallConfirmation::informativeText(Application application,
                                               const QStringList &sweepMatches)
{
    return QStringLiteral("This will remove:\n\n") + applicationLine(application) +
           QStringLiteral("\n• Start at login entry\n• Saved credentials (Secret Service)\n"
                          "• All app data and caches\n• File manager actions (if any)\n"
                          "• Desktop entries and preferences\n\n") +
           sweepLines(sweepMatches) + QStringLiteral("This action cannot be undone.");
}

QCoro::Task<bool> UninstallConfirmation::ask(Application application,
                                             const QStringList &sweepMatches)
{
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Uninstall Vorlanta Creator"),
                                QStringLiteral("Uninstall Vorlanta Creator?"));
    box->setObjectName(QStringLiteral("uninstallConfirmation"));
    box->setWindowModality(Qt::ApplicationModal);
    box->setInformativeText(informativeText(application, sweepMatches));
    // Paths are the user's: never read as markup.
    if (auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"))) {
        label->setTextFormat(Qt::PlainText);
    }
    QPushButton *cancel = box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    QPushButton *uninstall =
        box->addButton(QStringLiteral("Uninstall"), QMessageBox::DestructiveRole);
    // Cancel answers Return and Escape: the safe answer is the default one.
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    box->show();
    // Deleted only after the answer: a box deleted on close would take the queued wake-up of
    // this coroutine with it.
    co_await qCoro(box, &QMessageBox::finished);
    const bool confirmed = box->clickedButton() == uninstall;
    box->deleteLater();
    co_return confirmed;
}
