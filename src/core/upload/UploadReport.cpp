#include "core/upload/UploadReport.h"

#include "core/upload/UploadActivity.h"

#include <QtCore/QTimer>

UploadReport::UploadReport(const QString &fileName) : m_flush(std::make_unique<QTimer>())
{
    m_flush->setSingleShot(true);
    m_flush->callOnTimeout([this] { sendPending(); });
    UploadActivity::instance().reportStarted(m_id, fileName);
}

UploadReport::~UploadReport()
{
    finish(false);
}

void UploadReport::progress(double value)
{
    if (m_finished) {
        return;
    }
    m_pending = value;
    const auto now = std::chrono::steady_clock::now();
    if (!m_lastSent || now - *m_lastSent >= kProgressInterval) {
        sendPending();
    } else if (!m_flush->isActive()) {
        m_flush->start(
            std::chrono::ceil<std::chrono::milliseconds>(kProgressInterval - (now - *m_lastSent)));
    }
}

void UploadReport::sendPending()
{
    m_flush->stop();
    if (!m_pending || m_finished) {
        return;
    }
    m_lastSent = std::chrono::steady_clock::now();
    UploadActivity::instance().reportProgress(m_id, *m_pending);
    m_pending.reset();
}

void UploadReport::finish(bool succeeded)
{
    if (m_finished) {
        return;
    }
    if (!succeeded) {
        sendPending(); // the row keeps how far the file got
    }
    m_finished = true;
    m_flush->stop();
    UploadActivity::instance().reportFinished(m_id, succeeded);
}
