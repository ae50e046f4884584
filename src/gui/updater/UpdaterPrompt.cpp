#include "gui/updater/UpdaterPrompt.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QThread>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

#include <atomic>
#include <future>
#include <memory>

namespace UpdaterPrompt {
namespace {

const QString kBoxName = QStringLiteral("UpdaterPromptBox");
std::atomic_bool g_dismissed = false;

// Shows the box without waiting; `answered` gets whether its first button was clicked, once.
void open(Style style, const QString &title, const QString &text, const QStringList &buttons,
          const std::function<void(bool)> &answered)
{
    if (g_dismissed) {
        answered(false);
        return;
    }
    auto *box = new QMessageBox;
    box->setObjectName(kBoxName);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    switch (style) {
    case Style::information:
        box->setIcon(QMessageBox::Information);
        break;
    case Style::warning:
        box->setIcon(QMessageBox::Warning);
        break;
    case Style::critical:
        box->setIcon(QMessageBox::Critical);
        break;
    }
    box->setWindowTitle(title);
    box->setText(title);
    box->setInformativeText(text);
    QPushButton *first = nullptr;
    for (const QString &label : buttons) {
        QPushButton *button =
            label.isEmpty()
                ? box->addButton(QMessageBox::Ok)
                : box->addButton(label, first ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
        first = first ? first : button;
    }
    box->setDefaultButton(first);
    QObject::connect(
        box, &QDialog::finished, box,
        [box, first, answered] { answered(box->clickedButton() == first); },
        Qt::SingleShotConnection);
    box->show();
}

// Opens the box on the main thread; from another thread, waits there for the answer.
bool ask(Style style, const QString &title, const QString &text, const QStringList &buttons)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application) {
        return false;
    }
    if (QThread::currentThread() == application->thread()) {
        open(style, title, text, buttons, [](bool) {});
        return false;
    }
    auto answer = std::make_shared<std::promise<bool>>();
    std::future<bool> answered = answer->get_future();
    QMetaObject::invokeMethod(
        application,
        [=] { open(style, title, text, buttons, [answer](bool yes) { answer->set_value(yes); }); },
        Qt::QueuedConnection);
    try {
        return answered.get();
    } catch (const std::future_error &) { // the application went away before showing it
        return false;
    }
}

} // namespace

bool confirmUpdate(const QString &version)
{
    // On the main thread the answer could only be awaited in a loop of its own.
    Q_ASSERT(!QCoreApplication::instance() ||
             QThread::currentThread() != QCoreApplication::instance()->thread());
    return ask(Style::information, QStringLiteral("Update Available"),
               QStringLiteral("Version ") + version +
                   QStringLiteral(" is available. Download and install now? The app will restart "
                                  "when installation finishes."),
               {QStringLiteral("Install"), QStringLiteral("Later")});
}

void showAlert(Style style, const QString &title, const QString &text, const QString &button)
{
    ask(style, title, text, {button});
}

void dismissAll()
{
    g_dismissed = true;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(widget);
            box && box->objectName() == kBoxName && box->isVisible()) {
            box->reject();
        }
    }
}

} // namespace UpdaterPrompt
