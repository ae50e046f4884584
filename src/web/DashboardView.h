#pragma once

#include <QtCore/QUrl>
#include <QtWidgets/QWidget>

#include <functional>
#include <optional>

class WebViewContainer;
class WebViewModel;

// The dashboard window: the web application in a 1200x800 window, identifier "dashboard".
class DashboardView : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize kSize{1200, 800};
    static constexpr QSize kMinimumSize{800, 600};

    DashboardView(QUrl webRoot, const std::optional<QString> &authToken,
                  std::function<void(const QString &)> printLine);

    WebViewContainer *webView() const { return m_webView; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    QUrl m_webRoot;
    WebViewModel *m_webViewModel;
    WebViewContainer *m_webView;
    bool m_loaded = false;
};
