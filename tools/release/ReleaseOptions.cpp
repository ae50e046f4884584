#include "ReleaseOptions.h"

#include "ReleaseError.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QRegularExpression>
#include <QtCore/QUrl>

#include <utility>

namespace {

bool isVersionCharacter(QChar c)
{
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
           (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || c == QLatin1Char('.') ||
           c == QLatin1Char('+') || c == QLatin1Char('-');
}

void checkVersion(const QString &version)
{
    if (version.isEmpty()) {
        throw ReleaseError::refused(QStringLiteral("--version is empty"));
    }
    for (const QChar c : version) {
        if (!isVersionCharacter(c)) {
            throw ReleaseError::refused(
                QStringLiteral("--version may only hold 0-9, A-Z, a-z, '.', '+' and '-': ") +
                version);
        }
    }
}

void checkFileName(const QString &name)
{
    bool control = false;
    for (const QChar c : name) {
        control = control || c.category() == QChar::Other_Control;
    }
    if (name.isEmpty() || name == QStringLiteral(".") || name == QStringLiteral("..") ||
        name.contains(QLatin1Char('/')) || control) {
        throw ReleaseError::refused(
            QStringLiteral("--filename must be a plain file name, not \"%1\"").arg(name));
    }
}

QString checkedBaseUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QStringLiteral("http") && scheme != QStringLiteral("https")) ||
        url.host().isEmpty() || url.hasQuery() || url.hasFragment()) {
        throw ReleaseError::refused(
            QStringLiteral("--base-url must be an http or https folder address, not \"%1\"")
                .arg(text));
    }
    return text.endsWith(QLatin1Char('/')) ? text : text + QLatin1Char('/');
}

QDateTime checkedLastModified(const QString &text)
{
    const QDateTime time = QDateTime::fromString(text, Qt::ISODate);
    // Without a zone the same text would mean another instant on another machine.
    static const QRegularExpression zone(
        QStringLiteral("T\\d\\d:\\d\\d(:\\d\\d([.,]\\d+)?)?(Z|[+-]\\d\\d(:?\\d\\d)?)$"));
    if (!time.isValid() || !zone.match(text).hasMatch()) {
        throw ReleaseError::refused(
            QStringLiteral("--last-modified must be an ISO 8601 time with a zone (as in "
                           "2025-01-31T12:00:00Z), not \"%1\"")
                .arg(text));
    }
    return time.toUTC();
}

} // namespace

ReleaseOptions ReleaseOptions::parse(const QStringList &arguments)
{
    const QCommandLineOption bundle(QStringLiteral("bundle"), {}, QStringLiteral("DIR"));
    const QCommandLineOption version(QStringLiteral("version"), {}, QStringLiteral("V"));
    const QCommandLineOption key(QStringLiteral("key"), {}, QStringLiteral("PEM"));
    const QCommandLineOption out(QStringLiteral("out"), {}, QStringLiteral("DIR"));
    const QCommandLineOption baseUrl(QStringLiteral("base-url"), {}, QStringLiteral("URL"));
    const QCommandLineOption fileName(QStringLiteral("filename"), {}, QStringLiteral("NAME"));
    const QCommandLineOption lastModified(QStringLiteral("last-modified"), {},
                                          QStringLiteral("TIME"));
    const QCommandLineOption help(QStringList{QStringLiteral("help"), QStringLiteral("h")});

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({bundle, version, key, out, baseUrl, fileName, lastModified, help});
    if (!parser.parse(arguments)) {
        throw ReleaseError::refused(parser.errorText());
    }
    if (!parser.positionalArguments().isEmpty()) {
        throw ReleaseError::refused(QStringLiteral("unexpected argument: ") +
                                    parser.positionalArguments().constFirst());
    }
    ReleaseOptions options;
    if (parser.isSet(help)) {
        options.help = true;
        return options;
    }
    QStringList missing;
    for (const QCommandLineOption *required : {&bundle, &version, &key, &out, &baseUrl}) {
        if (!parser.isSet(*required)) {
            missing << QStringLiteral("--") + required->names().constFirst();
        }
    }
    if (!missing.isEmpty()) {
        throw ReleaseError::refused(QStringLiteral("missing ") +
                                    missing.join(QStringLiteral(", ")));
    }
    options.bundleDir = parser.value(bundle);
    options.version = parser.value(version);
    options.keyPath = parser.value(key);
    options.outDir = parser.value(out);
    checkVersion(options.version);
    options.baseUrl = checkedBaseUrl(parser.value(baseUrl));
    options.fileName = parser.isSet(fileName)
                           ? parser.value(fileName)
                           : QStringLiteral("Vorlanta-Creator-%1.tar.gz").arg(options.version);
    checkFileName(options.fileName);
    options.lastModified = parser.isSet(lastModified)
                               ? checkedLastModified(parser.value(lastModified))
                               : QDateTime::currentDateTimeUtc();
    options.lastModified =
        QDateTime::fromSecsSinceEpoch(options.lastModified.toSecsSinceEpoch(), Qt::UTC);
    const std::pair<const QString *, const char *> paths[] = {
        {&options.bundleDir, "--bundle"}, {&options.keyPath, "--key"}, {&options.outDir, "--out"}};
    for (const auto &[path, name] : paths) {
        if (path->isEmpty()) {
            throw ReleaseError::refused(QString::fromLatin1(name) + QStringLiteral(" is empty"));
        }
    }
    return options;
}

QString ReleaseOptions::usage()
{
    return QStringLiteral(
        "usage: vorlanta-release --bundle DIR --version V --key PRIVATE.pem --out DIR\n"
        "                        --base-url URL [--filename NAME] [--last-modified TIME]\n"
        "\n"
        "Packs a bundle folder as a signed release: a .tar.gz holding \"Vorlanta Creator.app\"\n"
        "and the release manifest (also printed) in OUT/version-linux.\n"
        "\n"
        "  --bundle DIR          the bundle folder; it must hold bin/vorlanta-creator and is\n"
        "                        left as it is\n"
        "  --version V           the release version: 0-9, A-Z, a-z, '.', '+' and '-'\n"
        "  --key PRIVATE.pem     the Ed25519 signing key (PKCS#8 PEM, not encrypted)\n"
        "  --out DIR             where the archive and version-linux go (created if missing);\n"
        "                        an existing archive of the same name is never replaced\n"
        "  --base-url URL        the http(s) folder the archive is downloaded from\n"
        "  --filename NAME       the archive's name (default Vorlanta-Creator-V.tar.gz)\n"
        "  --last-modified TIME  ISO 8601 with a zone (default now); also the time stamp of\n"
        "                        every archived file, so equal input gives an equal archive\n"
        "\n"
        "Exit status: 0 done, 2 refused input (nothing written), 1 failed.\n");
}
