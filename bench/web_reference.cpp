// The reference of bench/web_bench.sh: the smallest Qt WebEngine program showing the web
// application signed in, the way the dashboard window does (token written into storage at
// document creation, persistent profile), and nothing else.
//   web_reference URL TOKEN PROFILE_DIR
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtWebEngineCore/QWebEnginePage>
#include <QtWebEngineCore/QWebEngineProfile>
#include <QtWebEngineCore/QWebEngineScript>
#include <QtWebEngineCore/QWebEngineScriptCollection>
#include <QtWebEngineWidgets/QWebEngineView>
#include <QtWidgets/QApplication>

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() != 4) {
        return 2;
    }
    QWebEngineProfile profile(QStringLiteral("Reference"));
    profile.setPersistentStoragePath(arguments[3]);
    QWebEnginePage page(&profile);
    QString token =
        QString::fromUtf8(QJsonDocument(QJsonArray{arguments[2]}).toJson(QJsonDocument::Compact));
    token = token.mid(1, token.size() - 2);
    QWebEngineScript script;
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setSourceCode(QStringLiteral("localStorage.setItem('token', ") + token +
                         QStringLiteral(");"));
    page.scripts().insert(script);
    QWebEngineView view;
    view.setPage(&page);
    view.resize(1200, 800);
    view.show();
    view.load(QUrl(arguments[1]));
    return QApplication::exec();
}
