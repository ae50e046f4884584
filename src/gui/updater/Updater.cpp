#include "gui/updater/Updater.h"

#include "BuildConfig.h"
#include "core/api/HttpTransport.h"
#include "core/shell/Logger.h"
#include "core/updater/BundleLocation.h"
#include "core/updater/BundleSignature.h"
#include "core/updater/UpdateInstaller.h"
#include "core/updater/UpdaterError.h"
#include "gui/updater/UpdaterPrompt.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QDir>
#include <QtCore/QPointer>
#include <QtCore/QThread>

namespace {

constexpr std::chrono::seconds kRequestTimeout{60};
constexpr std::chrono::seconds kResourceTimeout{300};
constexpr std::chrono::seconds kQuitWait{5};

} // namespace

Updater::Configuration Updater::Configuration::fromBuild()
{
    Configuration configuration;
    const QUrl site(QString::fromUtf8(BuildConfig::kDownloadSite));
    configuration.manifestURL = site.resolved(QUrl(QString::fromUtf8(BuildConfig::kManifestPath)));
    configuration.downloadSiteHost = site.host();
    configuration.downloadSite = site.toString();
    configuration.bundlePath = BundleLocation::runningBundle();
    configuration.publicKey =
        BundleSignature::publicKeyFromHex(QByteArray(BuildConfig::kUpdatePublicKeyHex));
    configuration.temporaryDirectory = QDir::tempPath();
    return configuration;
}

Updater::Updater(QObject *parent) : QObject(parent), m_configuration(Configuration::fromBuild())
{
    // A check that asked the application to quit still removes its temporary files; give it
    // the moment it needs before the process goes away.
    if (QCoreApplication *application = QCoreApplication::instance()) {
        connect(application, &QCoreApplication::aboutToQuit, this, [this] {
            UpdaterPrompt::dismissAll(); // the check may be waiting for an answer
            if (m_thread && m_thread->isRunning()) {
                m_thread->wait(QDeadlineTimer(kQuitWait));
            }
        });
    }
}

Updater &Updater::shared()
{
    static Updater *instance = new Updater;
    return *instance;
}

void Updater::setConfiguration(const Configuration &configuration)
{
    const std::lock_guard lock(m_mutex);
    m_configuration = configuration;
}

Updater::Configuration Updater::configuration() const
{
    const std::lock_guard lock(m_mutex);
    return m_configuration;
}

void Updater::checkForUpdatesOnLaunch()
{
    startCheck(false);
}

void Updater::checkForUpdatesManually()
{
    startCheck(true);
}

void Updater::startCheck(bool manual)
{
    // Two checks at once could start two installers racing for the same bundle.
    if (m_checking.exchange(true)) {
        Logger::info(QStringLiteral("[Updater] An update check is already running (manual: ") +
                     (manual ? QStringLiteral("true") : QStringLiteral("false")) +
                     QStringLiteral("); this one is skipped"));
        if (manual) {
            UpdaterPrompt::showAlert(
                UpdaterPrompt::Style::information, QStringLiteral("Update Check in Progress"),
                QStringLiteral("Vorlanta Creator is already checking for updates. Try again when "
                               "that check has finished."));
        }
        return;
    }
    QPointer<Updater> self = this;
    QThread *thread = QThread::create([self, manual] {
        if (!self) {
            return;
        }
        try {
            self->performUpdateCheck(manual);
        } catch (const std::exception &error) {
            self->routeError(error, manual);
        }
    });
    thread->setObjectName(QStringLiteral("UpdateCheck"));
    m_thread = thread;
    connect(thread, &QThread::finished, this, [this, thread] {
        m_checking = false;
        thread->deleteLater();
        Q_EMIT checkEnded();
    });
    thread->start(manual ? QThread::NormalPriority : QThread::LowPriority);
}

void Updater::performUpdateCheck(bool manual)
{
    const Configuration setup = configuration();
    // 1.
    Logger::info(QStringLiteral("[Updater] Checking for updates (manual: ") +
                 (manual ? QStringLiteral("true") : QStringLiteral("false")) + QLatin1Char(')'));
    if (setup.bundlePath.isEmpty()) {
        // A development build, or one installed by a package manager, has no bundle of its
        // own to replace.
        Logger::info(
            QStringLiteral("[Updater] Not running from an installed bundle; updates are off"));
        if (manual) {
            UpdaterPrompt::showAlert(
                UpdaterPrompt::Style::information, QStringLiteral("Cannot Update"),
                QStringLiteral("This copy of Vorlanta Creator cannot update itself. If "
                               "your system's package manager installed it, update it "
                               "there."));
        }
        return;
    }
    // 2.
    if (BundleLocation::isTranslocated(setup.bundlePath)) {
        Logger::warn(QStringLiteral("[Updater] App is running from translocated location"));
        UpdaterPrompt::showAlert(
            UpdaterPrompt::Style::warning, QStringLiteral("Cannot Auto-Update"),
            QStringLiteral("This app is running from a temporary location. Please move it to "
                           "the folder you install apps in (such as ~/Applications) first, "
                           "then relaunch to enable automatic updates."),
            QStringLiteral("OK"));
        return;
    }
    // 3.
    const ReleaseManifest manifest = fetchManifest();
    // 4.
    Logger::info(QStringLiteral("[Updater] Latest manifest version: ") + manifest.version);
    // 5.
    if (isManifestNewer(manifest.version)) {
        if (!UpdaterPrompt::confirmUpdate(manifest.version)) {
            Logger::info(QStringLiteral("[Updater] User deferred update"));
            return;
        }
        Logger::info(QStringLiteral("[Updater] Downloading update"));
        UpdateInstaller installer({setup.temporaryDirectory, setup.bundlePath, setup.publicKey,
                                   setup.downloadSite, QCoreApplication::applicationPid()});
        installer.install(manifest, [] {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [] { QCoreApplication::quit(); },
                Qt::QueuedConnection);
        });
        return;
    }
    // 6.
    Logger::info(QStringLiteral("[Updater] App is up to date"));
    if (manual) {
        const QString version = runningVersion().value_or(QStringLiteral("unknown"));
        UpdaterPrompt::showAlert(UpdaterPrompt::Style::information,
                                 QStringLiteral("You're Up to Date"),
                                 QStringLiteral("Vorlanta Creator ") + version +
                                     QStringLiteral(" is the latest version."));
    }
}

ReleaseManifest Updater::fetchManifest()
{
    // 1.
    HttpRequest request;
    request.url = manifestURL();
    request.timeout = kRequestTimeout;
    request.totalTimeout = kResourceTimeout;
    const HttpResponse response = HttpTransport::sendBlocking(request);
    // 2.
    if (response.statusCode < 200 || response.statusCode > 299) {
        throw UpdaterError::badStatus(response.statusCode);
    }
    // 3.
    return ReleaseManifest::decode(response.body);
}

std::optional<QString> Updater::runningVersion() const
{
    const QString bundle = configuration().bundlePath;
    if (bundle.isEmpty()) {
        return QString::fromUtf8(BuildConfig::kShortVersion);
    }
    return BundleLocation::shortVersion(bundle);
}

bool Updater::isManifestNewer(const QString &version) const
{
    return VersionComparison::isManifestNewer(version, runningVersion());
}

void Updater::routeError(const std::exception &error, bool manual)
{
    const auto *updaterError = dynamic_cast<const UpdaterError *>(&error);
    const UpdaterError::Kind kind =
        updaterError ? updaterError->kind() : UpdaterError::Kind::badStatus;
    const bool isUpdaterError = updaterError != nullptr;
    if (!manual) {
        if (isUpdaterError && kind == UpdaterError::Kind::installLocationNotWritable) {
            Logger::warn(QStringLiteral(
                "[Updater] Install location is not writable. Skipping auto-update."));
        } else {
            Logger::error(QStringLiteral("[Updater] Update failed: ") + errorTextualForm(error));
        }
        return;
    }
    if (isUpdaterError && kind == UpdaterError::Kind::codeSignatureInvalid) {
        const QString text =
            QStringLiteral("The downloaded update has an invalid code signature and cannot be "
                           "installed.\n\nReason: ") +
            updaterError->reason() +
            QStringLiteral("\n\nPlease download the latest version from ") +
            configuration().downloadSiteHost;
        UpdaterPrompt::showAlert(UpdaterPrompt::Style::critical, QStringLiteral("Update Failed"),
                                 text);
        return;
    }
    if (isUpdaterError && kind == UpdaterError::Kind::installLocationNotWritable) {
        UpdaterPrompt::showAlert(
            UpdaterPrompt::Style::warning, QStringLiteral("Cannot Update"),
            QStringLiteral("The install location is not writable. Try moving the app to a "
                           "folder you can write to (such as ~/Applications)."));
        return;
    }
    Logger::error(QStringLiteral("[Updater] Manual update check failed: ") +
                  errorTextualForm(error));
    const QString text = QStringLiteral("Could not check for updates: ") + errorDescription(error);
    UpdaterPrompt::showAlert(UpdaterPrompt::Style::warning, QStringLiteral("Update Check Failed"),
                             text);
}
