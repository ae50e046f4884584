#pragma once

#include <QtCore/QPointer>
#include <QtWidgets/QWidget>

#include <optional>

class AppState;
class QAbstractButton;

// The sign-in page: the browser sign-in (recommended) or the in-app web login.
class SetupPageView : public QWidget {
    Q_OBJECT
public:
    explicit SetupPageView(AppState *appState, QWidget *parent = nullptr);
    ~SetupPageView() override;

    bool isLoading() const { return m_isLoading; }
    std::optional<int> hoveredButton() const { return m_hoveredButton; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QAbstractButton *optionCard(int index, const QString &title, const QString &badge,
                                const QString &description, const QString &symbol);
    void setLoading(bool loading);
    void autoLogin();
    void manualLogin();

    QPointer<AppState> m_appState;
    std::optional<int> m_hoveredButton;
    bool m_isLoading = false;
    QWidget *m_overlay = nullptr;
};
