#include "core/upload/UploadActivity.h"

UploadActivity &UploadActivity::instance()
{
    static UploadActivity *activity = new UploadActivity; // outlives every observer
    return *activity;
}

void UploadActivity::reportStarted(const QUuid &id, const QString &fileName)
{
    Q_EMIT started(id, fileName);
}

void UploadActivity::reportProgress(const QUuid &id, double progress)
{
    Q_EMIT progressed(id, progress);
}

void UploadActivity::reportFinished(const QUuid &id, bool succeeded)
{
    Q_EMIT finished(id, succeeded);
}
