// vorlanta-release: packs a bundle folder as a signed release archive with its manifest.

#include "InterruptFlag.h"
#include "ReleaseError.h"
#include "ReleaseOptions.h"
#include "ReleasePacker.h"

#include <QtCore/QCoreApplication>

#include <cstdio>
#include <exception>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const std::atomic_bool *interrupted = InterruptFlag::install();
    try {
        const ReleaseOptions options = ReleaseOptions::parse(QCoreApplication::arguments());
        if (options.help) {
            std::fputs(ReleaseOptions::usage().toLocal8Bit().constData(), stdout);
            return 0;
        }
        const QByteArray manifest = ReleasePacker(options, interrupted).run();
        std::fwrite(manifest.constData(), 1, size_t(manifest.size()), stdout);
        return std::fflush(stdout) == 0 ? 0 : ReleaseError::kFailed;
    } catch (const ReleaseError &error) {
        std::fprintf(stderr, "vorlanta-release: %s\n", error.what());
        if (error.exitStatus() == ReleaseError::kRefused) {
            std::fputs("(see vorlanta-release --help)\n", stderr);
        }
        return error.exitStatus();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "vorlanta-release: %s\n", error.what());
        return ReleaseError::kFailed;
    }
}
