#include "core/uninstall/MimeAppsList.h"

#include <QtCore/QFile>
#include <QtCore/QSaveFile>
#include <QtCore/QStandardPaths>

namespace MimeAppsList {
namespace {

// The line without the id, or nothing when no application is left on it; the line itself
// when it does not name the id.
std::optional<QByteArray> editedLine(const QByteArray &line, const QByteArray &desktopId)
{
    const QByteArray trimmed = line.trimmed();
    const qsizetype equals = line.indexOf('=');
    if (trimmed.startsWith('#') || trimmed.startsWith('[') || equals < 0) {
        return line;
    }
    // A line ending of "\r\n" stays with the line.
    const qsizetype end = line.endsWith('\r') ? line.size() - 1 : line.size();
    const QList<QByteArray> values = line.mid(equals + 1, end - equals - 1).split(';');
    QList<QByteArray> kept;
    for (const QByteArray &value : values) {
        if (value.trimmed() != desktopId) {
            kept.append(value);
        }
    }
    if (kept.size() == values.size()) {
        return line;
    }
    const bool anyLeft = std::any_of(kept.cbegin(), kept.cend(), [](const QByteArray &value) {
        return !value.trimmed().isEmpty();
    });
    if (!anyLeft) {
        return std::nullopt;
    }
    return line.left(equals + 1) + kept.join(';') + line.mid(end);
}

} // namespace

QStringList userFiles()
{
    return {QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                QStringLiteral("/mimeapps.list"),
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                QStringLiteral("/applications/mimeapps.list")};
}

QByteArray withoutDesktopId(const QByteArray &content, const QByteArray &desktopId)
{
    QByteArray result;
    result.reserve(content.size());
    qsizetype start = 0;
    while (start < content.size()) {
        const qsizetype newline = content.indexOf('\n', start);
        const qsizetype end = newline < 0 ? content.size() : newline;
        if (const std::optional<QByteArray> line =
                editedLine(content.mid(start, end - start), desktopId)) {
            result += *line;
            if (newline >= 0) {
                result += '\n';
            }
        }
        start = end + 1;
    }
    return result;
}

bool removeDesktopId(const QString &path, const QByteArray &desktopId)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return true; // nothing to edit
    }
    const QByteArray content = file.readAll();
    file.close();
    const QByteArray edited = withoutDesktopId(content, desktopId);
    if (edited == content) {
        return true;
    }
    QSaveFile out(path);
    return out.open(QIODevice::WriteOnly) && out.write(edited) == edited.size() && out.commit();
}

} // namespace MimeAppsList
