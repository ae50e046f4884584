#pragma once

#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtCore/QUuid>

// Every file the upload workflows of this process send: when it starts, how far it got, how it
// ended. Process-wide and main thread only, so that the signed-in state can list recent uploads
// without the workflows knowing about it.
class UploadActivity : public QObject {
    Q_OBJECT
public:
    static UploadActivity &instance();

    void reportStarted(const QUuid &id, const QString &fileName);
    void reportProgress(const QUuid &id, double progress);
    void reportFinished(const QUuid &id, bool succeeded);

Q_SIGNALS:
    void started(const QUuid &id, const QString &fileName);
    // progress: share of the file's bytes sent, 0 to 1.
    void progressed(const QUuid &id, double progress);
    void finished(const QUuid &id, bool succeeded);

private:
    UploadActivity() = default;
};
