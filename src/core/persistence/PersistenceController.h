#pragma once

#include <QtCore/QDateTime>
#include <QtCore/QString>

// The local object store "Vorlanta_Quick_Projects": one SQLite file with a single entity, Item,
// holding a timestamp. Opened at start; no workflow uses it. Main thread only.
class PersistenceController {
public:
    static PersistenceController &shared();

    // Opens (creating when missing) the store at the given file.
    explicit PersistenceController(const QString &storePath);
    ~PersistenceController();

    PersistenceController(const PersistenceController &) = delete;
    PersistenceController &operator=(const PersistenceController &) = delete;

    static QString defaultStorePath();

    bool isOpen() const { return m_open; }
    const QString &storePath() const { return m_storePath; }
    QString connectionName() const { return m_connectionName; }

    bool addItem(const QDateTime &timestamp);
    qint64 itemCount() const;

private:
    QString m_storePath;
    QString m_connectionName;
    bool m_open = false;
};
