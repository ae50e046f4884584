#include "core/persistence/PersistenceController.h"

#include "core/shell/Logger.h"
#include "core/shell/Paths.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlError>
#include <QtSql/QSqlQuery>

#include <atomic>

namespace {

QString nextConnectionName()
{
    static std::atomic_int counter{0};
    return QStringLiteral("Vorlanta_Quick_Projects-%1").arg(counter++);
}

} // namespace

PersistenceController &PersistenceController::shared()
{
    // Never destroyed: the SQL driver must not be torn down after the application object.
    static PersistenceController *instance = new PersistenceController(defaultStorePath());
    return *instance;
}

QString PersistenceController::defaultStorePath()
{
    return Paths::baseDir() + QStringLiteral("/Vorlanta_Quick_Projects.sqlite");
}

PersistenceController::PersistenceController(const QString &storePath)
    : m_storePath(storePath), m_connectionName(nextConnectionName())
{
    QDir().mkpath(QFileInfo(storePath).absolutePath());
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    db.setDatabaseName(storePath);
    // A store that cannot be opened is logged and left closed: nothing depends on it, so it
    // must not stop the application.
    if (!db.open()) {
        Logger::error(QStringLiteral("[Persistence] Cannot open store ") + storePath +
                      QStringLiteral(": ") + db.lastError().text());
        return;
    }
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS Item ("
                                   "id INTEGER PRIMARY KEY AUTOINCREMENT, "
                                   "timestamp TEXT)"))) {
        Logger::error(QStringLiteral("[Persistence] Cannot prepare store ") + storePath +
                      QStringLiteral(": ") + query.lastError().text());
        db.close();
        return;
    }
    m_open = true;
}

PersistenceController::~PersistenceController()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool PersistenceController::addItem(const QDateTime &timestamp)
{
    if (!m_open) {
        return false;
    }
    QSqlQuery query(QSqlDatabase::database(m_connectionName, false));
    query.prepare(QStringLiteral("INSERT INTO Item (timestamp) VALUES (?)"));
    query.addBindValue(timestamp.toUTC().toString(Qt::ISODateWithMs));
    return query.exec();
}

qint64 PersistenceController::itemCount() const
{
    if (!m_open) {
        return -1;
    }
    QSqlQuery query(QSqlDatabase::database(m_connectionName, false));
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM Item")) || !query.next()) {
        return -1;
    }
    return query.value(0).toLongLong();
}
