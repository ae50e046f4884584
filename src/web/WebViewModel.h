#pragma once

#include <QtCore/QObject>
#include <QtCore/QUrl>

#include <optional>

// What the dashboard's web view is asked to do next: load a URL, or reload its page.
class WebViewModel : public QObject {
    Q_OBJECT
public:
    std::optional<QUrl> urlToLoad;
    bool shouldRefresh = false;

    // Sets urlToLoad when the text is a URL; otherwise nothing happens.
    void loadUrl(const QString &text);
    void refresh();

Q_SIGNALS:
    void changed();
};
