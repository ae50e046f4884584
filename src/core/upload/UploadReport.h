#pragma once

#include <QtCore/QString>
#include <QtCore/QUuid>

#include <chrono>
#include <memory>
#include <optional>

class QTimer;

// One file's entry in UploadActivity, for as long as the engine works on the file: started when
// made, progress at most every kProgressInterval (the last value is sent when the pause is over),
// failed when dropped without finish() (a cancelled or abandoned upload).
class UploadReport {
public:
    static constexpr std::chrono::milliseconds kProgressInterval{100};

    explicit UploadReport(const QString &fileName);
    ~UploadReport();
    UploadReport(const UploadReport &) = delete;
    UploadReport &operator=(const UploadReport &) = delete;

    void progress(double value);
    void finish(bool succeeded);

private:
    void sendPending();

    QUuid m_id = QUuid::createUuid();
    bool m_finished = false;
    std::optional<double> m_pending;
    std::optional<std::chrono::steady_clock::time_point> m_lastSent;
    std::unique_ptr<QTimer> m_flush; // ends the pause that holds m_pending
};
