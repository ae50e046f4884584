#include "core/shell/Console.h"

#include <QtCore/QByteArray>

#include <cstdio>

namespace Console {

void printLine(const QString &line)
{
    const QByteArray utf8 = (line + QLatin1Char('\n')).toUtf8();
    std::fwrite(utf8.constData(), 1, static_cast<size_t>(utf8.size()), stdout);
    std::fflush(stdout);
}

} // namespace Console
