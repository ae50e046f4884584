#pragma once

#include <QtWidgets/QWidget>

#include <functional>

// The page after sign-in: "You're all set!", how to send files, and two ways on.
class SetupWelcomeView : public QWidget {
    Q_OBJECT
public:
    explicit SetupWelcomeView(std::function<void()> onClose, QWidget *parent = nullptr);

    // The folder "Try sending a file" opens: the videos folder, else the home folder.
    static QString moviesFolder();

private:
    std::function<void()> m_onClose;
};
