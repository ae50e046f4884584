#include "gui/web/WebLayer.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QLibrary>
#include <QtCore/QStringList>

namespace {

WebLayer *g_layer = nullptr;

} // namespace

WebLayer *WebLayer::load(const Setup &setup, QString *error)
{
    if (g_layer) {
        return g_layer;
    }
    // Beside the executable in a build tree, in lib/vorlanta-creator of an installation.
    const QString dir = QCoreApplication::applicationDirPath();
    QStringList tried;
    const QStringList candidates{dir + QStringLiteral("/libvorlanta-web.so"),
                                 dir +
                                     QStringLiteral("/../lib/vorlanta-creator/libvorlanta-web.so")};
    for (const QString &path : candidates) {
        QLibrary module(path);
        const auto create =
            reinterpret_cast<CreateWebLayerFunction>(module.resolve("vorlanta_create_web_layer"));
        if (create) {
            g_layer = create(&setup);
            return g_layer;
        }
        tried << module.errorString();
    }
    if (error) {
        *error = tried.join(QStringLiteral("; "));
    }
    return nullptr;
}

WebLayer *WebLayer::loaded()
{
    return g_layer;
}
