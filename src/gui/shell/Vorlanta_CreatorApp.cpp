#include "gui/shell/Vorlanta_CreatorApp.h"

#include "core/persistence/PersistenceController.h"
#include "core/shell/Console.h"
#include "core/shell/Logger.h"
#include "gui/shell/AppContext.h"
#include "gui/shell/AppDelegate.h"

Vorlanta_CreatorApp::Vorlanta_CreatorApp(const QStringList &arguments,
                                         const QStringList &launchUrls)
    : m_persistenceController(&PersistenceController::shared())
{
    // The delegate exists, fully initialised, before the bridge is made.
    m_appDelegate = std::make_unique<AppDelegate>(arguments, launchUrls);
    m_appContext = std::make_unique<AppContext>();
    ensureAppContextBridge(*m_appContext);
}

Vorlanta_CreatorApp::~Vorlanta_CreatorApp()
{
    // The delegate holds the context weakly; it goes first.
    m_appDelegate.reset();
    m_appContext.reset();
}

void Vorlanta_CreatorApp::ensureAppContextBridge(AppContext &context)
{
    if (m_appDelegate->appContext() == &context) {
        return;
    }
    Logger::info(QStringLiteral("[AppDelegate] appContext didSet, calling applyAppContextIfReady"));
    m_appDelegate->setAppContext(&context);
    Console::printLine(QStringLiteral("[Vorlanta_CreatorApp] Bridged AppContext to AppDelegate"));
}
