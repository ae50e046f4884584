#include "ScreenshotTour.h"

#include <QtWidgets/QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QStringList arguments = QApplication::arguments().mid(1);
    if (arguments.size() < 4) {
        std::fputs("usage: vorlanta-screenshots OUT_DIR SERVICE_URL TOKEN MEDIA_FILE...\n", stderr);
        return 2;
    }
    const QDir out(arguments.takeFirst());
    const QString service = arguments.takeFirst();
    const QString token = arguments.takeFirst();
    return ScreenshotTour(out, service, token, arguments).run() ? 0 : 1;
}
