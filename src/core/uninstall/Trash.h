#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QDateTime>
#include <QtCore/QString>

#include <optional>

// The user's home trash as freedesktop.org describes it: the item goes into files/ under a name
// of its own and info/<name>.trashinfo says where it was and when, so that file managers can put
// it back. Items are only ever renamed into it, never copied and deleted: one on another file
// system than the trash stays where it is.
class Trash {
public:
    // $XDG_DATA_HOME/Trash
    Trash();
    explicit Trash(QString directory);

    const QString &directory() const { return m_directory; }

    // Moves the file, folder or symbolic link (the link itself) into the trash. The name it got
    // in files/, or nothing with the reason in *error.
    std::optional<QString> moveToTrash(const QString &path, QString *error = nullptr) const;

    // The info file of an item that was at the absolute path.
    static QByteArray trashInfo(const QString &path, const QDateTime &deletedAt);

private:
    QString m_directory;
};
