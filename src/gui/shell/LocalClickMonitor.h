#pragma once

#include <QtCore/QObject>
#include <QtCore/QPoint>

#include <functional>

class QWidget;

// Watches primary and secondary button presses in this application's own windows, installed on
// the application while it lives. Each press is reported once, with its screen position and the
// top-level widget it landed in; the event itself goes on to its window unchanged.
class LocalClickMonitor : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(const QPoint &globalPosition, QWidget *window)>;
    explicit LocalClickMonitor(Handler handler);
    ~LocalClickMonitor() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    Handler m_handler;
};
