#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QStringList>

// The user's choices of default and associated applications (freedesktop.org mimeapps.list),
// edited line by line: only this application's desktop id leaves, every other byte stays.
namespace MimeAppsList {

// $XDG_CONFIG_HOME/mimeapps.list and the older $XDG_DATA_HOME/applications/mimeapps.list.
QStringList userFiles();

// The content with the id taken out of every value; a key left without applications is dropped.
QByteArray withoutDesktopId(const QByteArray &content, const QByteArray &desktopId);

// Rewrites the file atomically when it names the id. False only when a needed rewrite failed.
bool removeDesktopId(const QString &path, const QByteArray &desktopId);

} // namespace MimeAppsList
