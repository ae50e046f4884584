#pragma once

#include "core/uninstall/Trash.h"

#include <QtCore/QByteArray>
#include <QtCore/QSet>
#include <QtCore/QStringList>

#include <functional>
#include <sys/types.h>

// Finds what carries the product's name under the home and a few of its folders and moves it to
// the trash, where the user can get back a folder of their own that merely shares the name. The
// walk looks at most five levels below a root, stays on the root's file system, never follows a
// symbolic link (a link is taken by its own name, its target is left alone), never enters the
// trash and never takes the running application or a folder holding it.
class NameSweep {
public:
    // Entries whose path below a root has more components are neither looked at nor entered.
    static constexpr int kMaxComponents = 5;

    struct Result {
        QStringList moved;
        QStringList failed; // "path: reason"
    };

    // roots: walked in this order; missing ones are skipped, ones that resolve to a folder
    // already walked are walked once. kept: paths never taken, nor any folder above them.
    NameSweep(QStringList roots, QStringList kept, Trash trash = Trash());

    // The home, the XDG data, config and cache folders, Documents and Downloads.
    static QStringList defaultRoots();
    // "Vorlanta Creator" or "vorlanta.creator" in the name, case-sensitive.
    static bool nameMatches(const QString &name);

    // What sweep() would take now, in its order.
    QStringList findMatches() const;
    Result sweep() const;

private:
    using Take = std::function<bool(const QString &path)>;
    // take answers whether the entry is gone, so that it is not walked into.
    void walk(const Take &take) const;
    void walkFolder(const QByteArray &folder, int components, dev_t device, const Take &take,
                    QSet<QString> &taken) const;
    bool isKept(const QString &path) const;

    QStringList m_roots;
    QStringList m_kept; // canonical, the trash among them
    Trash m_trash;
};
