#pragma once

#include <QtWebEngineWidgets/QWebEngineView>

#include <functional>
#include <optional>

class WebViewModel;

// The dashboard's web view: a page of the shared profile that writes the token into its storage
// at the start of every page of the main frame, and loads new-window requests in place.
class WebViewContainer : public QWebEngineView {
    Q_OBJECT
public:
    WebViewContainer(WebViewModel *webViewModel, const std::optional<QString> &authToken,
                     std::function<void(const QString &)> printLine, QWidget *parent = nullptr);

private:
    void update();

    WebViewModel *m_webViewModel;
};
