#include "core/shell/Paths.h"

#include <QtCore/QStandardPaths>

#include <array>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace Paths {
namespace {

struct Values {
    QString base;
    QString inbox;
    QString config;
    QString queue;
    QString logs;
    QString cache;
    QString outbox;
    QString processed;
};

QString joined(const QString &dir, const char *name)
{
    return dir + QLatin1Char('/') + QLatin1String(name);
}

// Function-local static: the compiler guards its one-time initialisation across threads.
const Values &values()
{
    static const Values v = [] {
        Values r;
        const QString root = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        r.base = joined(root, "VorlantaClient");
        r.inbox = joined(r.base, "Inbox");
        r.config = joined(r.base, "Config");
        r.queue = joined(r.base, "Queue");
        r.logs = joined(r.base, "Logs");
        r.cache = joined(r.base, "Cache");
        r.outbox = joined(r.base, "Outbox");
        r.processed = joined(r.base, "Processed");
        return r;
    }();
    return v;
}

} // namespace

const QString &baseDir()
{
    return values().base;
}
const QString &inboxDir()
{
    return values().inbox;
}
const QString &configDir()
{
    return values().config;
}
const QString &queueDir()
{
    return values().queue;
}
const QString &logsDir()
{
    return values().logs;
}
const QString &cacheDir()
{
    return values().cache;
}
const QString &outboxDir()
{
    return values().outbox;
}
const QString &processedDir()
{
    return values().processed;
}

void ensureAll()
{
    const Values &v = values();
    const std::array<const QString *, 7> dirs = {&v.config, &v.queue,     &v.logs, &v.cache,
                                                 &v.outbox, &v.processed, &v.inbox};
    for (const QString *dir : dirs) {
        const std::filesystem::path path(dir->toStdString());
        std::error_code ec;
        // create_directories tolerates a concurrent creator; an existing directory is no error.
        std::filesystem::create_directories(path, ec);
        if (ec) {
            // Standard output only: the logger depends on this function.
            const std::string line =
                "Failed to create directory " + path.string() + ": " + ec.message() + "\n";
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
        }
    }
}

} // namespace Paths
