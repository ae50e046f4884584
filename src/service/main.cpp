#include "core/shell/ServicePasteboard.h"
#include "service/ServiceRequestSender.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QFileInfo>
#include <QtCore/QJsonDocument>

#include <cstdio>

namespace {

void printError(const QString &message)
{
    std::fprintf(stderr, "vorlanta-creator-service: %s\n", message.toLocal8Bit().constData());
}

// One request line: the service message, the files as file URLs, and what lets the window come
// up in front of the file manager.
QByteArray requestLine(const QString &message, const QStringList &files)
{
    ServicePasteboard pasteboard;
    for (const QString &file : files) {
        // The running application has another working directory.
        pasteboard.urls.append(QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath()));
    }
    const QJsonObject request{
        {QStringLiteral("command"), QStringLiteral("service")},
        {QStringLiteral("message"), message},
        {QStringLiteral("pasteboard"), pasteboard.toJson()},
        {QStringLiteral("startupId"), qEnvironmentVariable("DESKTOP_STARTUP_ID")},
        {QStringLiteral("activationToken"), qEnvironmentVariable("XDG_ACTIVATION_TOKEN")}};
    return QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    const QString message = arguments.isEmpty() ? QString() : arguments.takeFirst();
    if (message != QLatin1String("quickProject") && message != QLatin1String("sendMissingFiles")) {
        std::fputs("usage: vorlanta-creator-service quickProject|sendMissingFiles [FILE]...\n"
                   "Opens the Vorlanta Creator window for the files, starting the application "
                   "when it is not running.\n",
                   stderr);
        return 2;
    }
    // Everything after the message is a file, even a name that starts with a dash.
    ServiceRequestSender sender(requestLine(message, arguments));
    if (!sender.deliver()) {
        printError(sender.error());
        return 1;
    }
    return 0;
}
