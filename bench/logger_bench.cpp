// What a caller pays per logged line, against a reference measured in the same run: the same
// line formatted and appended to the day file in the caller's thread (open, write, close).
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDateTime>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[size_t(p * double(values.size() - 1))];
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    ::setenv("XDG_DATA_HOME", QFile::encodeName(home.path()).constData(), 1);
    QCoreApplication app(argc, argv);
    constexpr int kLines = 20000;

    // Logger lines also go to standard output: send that to /dev/null for the measurement.
    std::fflush(stdout);
    const int savedStdout = ::dup(STDOUT_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY);
    ::dup2(devNull, STDOUT_FILENO);

    std::vector<double> logged;
    logged.reserve(kLines);
    const auto loggedStart = Clock::now();
    for (int i = 0; i < kLines; ++i) {
        const auto t0 = Clock::now();
        Logger::info(QStringLiteral("[Bench] line %1 of the benchmark").arg(i));
        logged.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    const double loggedTotal =
        std::chrono::duration<double, std::milli>(Clock::now() - loggedStart).count();
    const auto drainStart = Clock::now();
    Logger::flush();
    const double drain =
        std::chrono::duration<double, std::milli>(Clock::now() - drainStart).count();

    std::vector<double> direct;
    direct.reserve(kLines);
    const QString path = Paths::logsDir() + QStringLiteral("/reference.log");
    const auto directStart = Clock::now();
    for (int i = 0; i < kLines; ++i) {
        const auto t0 = Clock::now();
        const QByteArray line =
            (QStringLiteral("[") + Logger::formatTimestamp(QDateTime::currentSecsSinceEpoch()) +
             QStringLiteral("] INFO [Bench] line %1 of the benchmark\n").arg(i))
                .toUtf8();
        Paths::ensureAll();
        const int fd =
            ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        [[maybe_unused]] const ssize_t n = ::write(fd, line.constData(), size_t(line.size()));
        ::close(fd);
        direct.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    const double directTotal =
        std::chrono::duration<double, std::milli>(Clock::now() - directStart).count();

    ::dup2(savedStdout, STDOUT_FILENO);
    std::printf("logger: %d lines, caller time %.1f ms (p50 %.2f us, p99 %.2f us), queue drained "
                "%.1f ms later\n",
                kLines, loggedTotal, percentile(logged, 0.5), percentile(logged, 0.99), drain);
    std::printf("reference (append in the caller): %.1f ms (p50 %.2f us, p99 %.2f us)\n",
                directTotal, percentile(direct, 0.5), percentile(direct, 0.99));
    std::printf("ratio caller time reference/logger: %.2fx (p50 %.2fx)\n",
                directTotal / loggedTotal, percentile(direct, 0.5) / percentile(logged, 0.5));
    return 0;
}
