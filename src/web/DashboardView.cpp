#include "DashboardView.h"

#include "WebViewContainer.h"
#include "WebViewModel.h"

#include <QtWidgets/QVBoxLayout>

DashboardView::DashboardView(QUrl webRoot, const std::optional<QString> &authToken,
                             std::function<void(const QString &)> printLine)
    : m_webRoot(std::move(webRoot)), m_webViewModel(new WebViewModel),
      m_webView(new WebViewContainer(m_webViewModel, authToken, std::move(printLine)))
{
    m_webViewModel->setParent(this);
    setObjectName(QStringLiteral("dashboard"));
    setWindowTitle(QStringLiteral("Vorlanta Creator"));
    setAttribute(Qt::WA_DeleteOnClose);
    setMinimumSize(kMinimumSize);
    resize(kSize);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_webView);
}

void DashboardView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The web application's root, once.
    if (!std::exchange(m_loaded, true)) {
        m_webViewModel->loadUrl(m_webRoot.resolved(QUrl(QStringLiteral("/"))).toString());
    }
}
