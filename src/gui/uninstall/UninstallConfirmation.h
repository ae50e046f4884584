#pragma once

#include <QCoro/QCoroTask>
#include <QtCore/QString>
#include <QtCore/QStringList>

class QMessageBox;

// The question before the uninstall: what goes, and what the name sweep would move to the trash
// (how many items, the first five paths).
class UninstallConfirmation {
public:
    // What happens to the program itself.
    enum class Application { moved, keptByPackageManager, keptDevelopmentBuild };

    static constexpr int kListedPaths = 5;

    // Shows the modal alert (object name "uninstallConfirmation"); true for "Uninstall".
    static QCoro::Task<bool> ask(Application application, const QStringList &sweepMatches);

    static QString informativeText(Application application, const QStringList &sweepMatches);
    // The path with the home as "~" and a long middle cut out.
    static QString shortPath(const QString &path);
};
