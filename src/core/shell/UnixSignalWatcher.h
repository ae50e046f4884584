#pragma once

#include <QtCore/QObject>

#include <initializer_list>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the thread that created the watcher, so
// that the application quits through its normal termination sequence.
class UnixSignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit UnixSignalWatcher(std::initializer_list<int> signalNumbers, QObject *parent = nullptr);
    ~UnixSignalWatcher() override;

signals:
    void signalReceived(int signalNumber);

private:
    QSocketNotifier *m_notifier = nullptr;
};
