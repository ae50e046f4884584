#pragma once

#include <QtWidgets/QWidget>

#include <functional>

// A top-level window around one work view (quick project, missing files). Closing it while the
// view uploads only hides it: the upload finishes, and the window goes once the view is idle.
class WorkWindow : public QWidget {
    Q_OBJECT
public:
    // isBusy tells whether the view's upload runs; the view's idle signal is to be connected
    // to viewBecameIdle().
    WorkWindow(QWidget *view, const QString &title, const QSize &size,
               std::function<bool()> isBusy);

    void viewBecameIdle();

Q_SIGNALS:
    // The user closed the window; it is no longer the one requests go to.
    void willClose(WorkWindow *window);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    std::function<bool()> m_isBusy;
    bool m_closed = false;
};
