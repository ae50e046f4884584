#include "core/shell/Console.h"

#include <QtCore/QByteArray>

#include <cstdio>

namespace Console {
namespace {

std::atomic<std::FILE *> g_stream{nullptr};
std::atomic_bool g_redirected{false};

} // namespace

void setDiagnosticStream(std::FILE *stream)
{
    g_stream = stream;
    g_redirected = true;
}

void writeDiagnostic(const QByteArray &bytes)
{
    std::FILE *stream = g_redirected ? g_stream.load() : stdout;
    if (!stream) {
        return;
    }
    // One fwrite per line keeps concurrent lines whole.
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

void printLine(const QString &line)
{
    writeDiagnostic((line + QLatin1Char('\n')).toUtf8());
}

} // namespace Console
