// How long the UI thread stalls while the quick-project window makes the thumbnails of many
// videos dropped at once. A 10 ms timer probes the event loop: its longest lateness while the
// rows and thumbnails are made is the stall; the same probe over an idle loop is the reference.
//   thumbnail_bench [--files N] [--dir PATH]   (needs a display, e.g. under
//   scripts/with-test-session)
#include "core/api/VorlantaApiClient.h"
#include "gui/windows/QuickProjectView.h"
#include "gui/windows/Thumbnailer.h"

#include <QtCore/QDir>
#include <QtCore/QElapsedTimer>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>

#include <algorithm>
#include <cstdio>

namespace {

// Runs the event loop until done() holds; the longest lateness of a 10 ms timer meanwhile, in ms.
double longestLateness(const std::function<bool()> &done, qint64 *elapsedMs)
{
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    double worst = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        worst = std::max(worst, double(now - last) / 1e6 - 10.0);
        last = now;
    });
    probe.start(10);
    while (!done()) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    *elapsedMs = clock.elapsed();
    return worst;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments();
    const auto option = [&](const char *name, const QString &fallback) {
        const qsizetype at = arguments.indexOf(QString::fromLatin1(name));
        return at > 0 && at + 1 < arguments.size() ? arguments.at(at + 1) : fallback;
    };
    const int count = option("--files", QStringLiteral("50")).toInt();
    QTemporaryDir temporary;
    const QString dir = option("--dir", temporary.path());
    QDir().mkpath(dir);

    // Real videos: 1280x720 test pattern, 2 s each (made once, outside the measurement).
    QList<QUrl> files;
    for (int i = 0; i < count; ++i) {
        const QString path = dir + QStringLiteral("/clip-%1.mp4").arg(i, 3, 10, QLatin1Char('0'));
        if (!QFileInfo::exists(path) &&
            QProcess::execute(QStringLiteral("ffmpeg"),
                              {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y"),
                               QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                               QStringLiteral("testsrc2=size=1280x720:rate=25:duration=2"),
                               QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"), path}) != 0) {
            std::fprintf(stderr, "thumbnail_bench: ffmpeg could not make %s\n", qPrintable(path));
            return 1;
        }
        files.append(QUrl::fromLocalFile(path));
    }

    // The view talks to no service here: its channel list fails at once, which is not measured.
    QuickProjectView view({}, [] {
        return VorlantaApiClient::make(QStringLiteral("http://127.0.0.1:9/"),
                                       AuthState{QStringLiteral("t"), std::nullopt});
    });
    view.resize(600, 800);
    view.show();
    qint64 idleMs = 0, workMs = 0;
    QElapsedTimer settle;
    settle.start();
    longestLateness([&] { return settle.elapsed() > 500; }, &idleMs); // channels fail, paint
    settle.restart();
    const double idle = longestLateness([&] { return settle.elapsed() > 1000; }, &idleMs);

    view.appendFiles(files); // inside the measurement: rows are made on the UI thread
    const auto allShown = [&] {
        const auto labels = view.findChildren<QLabel *>(QStringLiteral("thumbnail"));
        return labels.size() == files.size() &&
               std::all_of(labels.begin(), labels.end(),
                           [](const QLabel *label) { return !label->pixmap().isNull(); });
    };
    const double stall = longestLateness(allShown, &workMs);

    QElapsedTimer decoding;
    decoding.start();
    for (const QUrl &file : files) {
        (void)Thumbnailer::decode(file.toLocalFile());
    }
    const qint64 decodeMs = decoding.elapsed();

    std::printf("%d video thumbnails: all shown after %lld ms; decoding them one by one on one "
                "thread takes %lld ms (%.2fx)\n",
                count, workMs, decodeMs, double(workMs) / double(std::max<qint64>(decodeMs, 1)));
    std::printf("longest UI stall while they are made: %.1f ms (idle loop: %.1f ms; goal <= 50 "
                "ms)\n",
                stall, idle);
    return 0;
}
