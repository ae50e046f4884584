#include "WebViewModel.h"

void WebViewModel::loadUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty()) {
        return;
    }
    urlToLoad = url;
    Q_EMIT changed();
}

void WebViewModel::refresh()
{
    shouldRefresh = true;
    Q_EMIT changed();
}
