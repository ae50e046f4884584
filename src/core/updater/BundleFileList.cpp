#include "core/updater/BundleFileList.h"

#include <QtCore/QStringDecoder>

#include <stdexcept>

namespace {

constexpr int kDigestHexLength = 64;
constexpr int kModeLength = 4;
// "f 0644 <digest> " before the path.
constexpr int kPathOffset = 1 + 1 + kModeLength + 1 + kDigestHexLength + 1;

bool isLowerHex(const QByteArray &text)
{
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

std::optional<unsigned> parseMode(const QByteArray &text)
{
    if (text.size() != kModeLength) {
        return std::nullopt;
    }
    unsigned mode = 0;
    for (const char c : text) {
        if (c < '0' || c > '7') {
            return std::nullopt;
        }
        mode = mode * 8 + unsigned(c - '0');
    }
    return mode;
}

QByteArray formatMode(unsigned mode)
{
    QByteArray text(kModeLength, '0');
    for (int i = kModeLength - 1; i >= 0; --i) {
        text[i] = char('0' + (mode & 07));
        mode >>= 3;
    }
    return text;
}

} // namespace

std::optional<BundleFileList> BundleFileList::parse(const QByteArray &text)
{
    BundleFileList list;
    QByteArray previous;
    qsizetype start = 0;
    while (start < text.size()) {
        const qsizetype end = text.indexOf('\n', start);
        if (end < 0) {
            return std::nullopt; // every line ends in a newline
        }
        const QByteArray line = text.mid(start, end - start);
        start = end + 1;
        if (line.size() <= kPathOffset || line[1] != ' ' || line[2 + kModeLength] != ' ' ||
            line[kPathOffset - 1] != ' ') {
            return std::nullopt;
        }
        Entry entry;
        entry.kind = line[0];
        const std::optional<unsigned> mode = parseMode(line.mid(2, kModeLength));
        entry.sha256Hex = line.mid(3 + kModeLength, kDigestHexLength);
        const QByteArray path = line.mid(kPathOffset);
        if ((entry.kind != 'f' && entry.kind != 'l') || !mode || !isLowerHex(entry.sha256Hex) ||
            !isListablePath(path)) {
            return std::nullopt;
        }
        entry.mode = *mode;
        // Strictly ascending: one order, one text, and no path listed twice.
        if (!list.m_entries.empty() && !(previous < path)) {
            return std::nullopt;
        }
        list.m_entries.emplace(path, entry);
        previous = path;
    }
    return list;
}

bool BundleFileList::isListablePath(const QByteArray &path)
{
    if (path.isEmpty() || path.startsWith('/') || path.endsWith('/')) {
        return false;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(path);
    if (decoder.hasError()) {
        return false;
    }
    for (const QChar c : decoded) {
        if (c.category() == QChar::Other_Control) {
            return false;
        }
    }
    for (const QByteArray &name : path.split('/')) {
        if (name.isEmpty() || name == ".." || name == ".") {
            return false;
        }
    }
    return true;
}

QString BundleFileList::printable(const QByteArray &path)
{
    QString text;
    for (const QChar c : QString::fromUtf8(path)) {
        if (c.category() == QChar::Other_Control) {
            text += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        } else {
            text += c;
        }
    }
    return text;
}

void BundleFileList::insert(const QByteArray &path, const Entry &entry)
{
    if (!isListablePath(path)) {
        throw std::logic_error("unlistable path in a bundle file list");
    }
    m_entries.insert_or_assign(path, entry);
}

QByteArray BundleFileList::text() const
{
    QByteArray text;
    for (const auto &[path, entry] : m_entries) {
        text += entry.kind;
        text += ' ';
        text += formatMode(entry.mode);
        text += ' ';
        text += entry.sha256Hex;
        text += ' ';
        text += path;
        text += '\n';
    }
    return text;
}

QString BundleFileList::differenceTo(const BundleFileList &actual) const
{
    auto expected = m_entries.begin();
    auto found = actual.m_entries.begin();
    while (expected != m_entries.end() || found != actual.m_entries.end()) {
        if (found == actual.m_entries.end() ||
            (expected != m_entries.end() && expected->first < found->first)) {
            return QStringLiteral("file missing: ") + printable(expected->first);
        }
        if (expected == m_entries.end() || found->first < expected->first) {
            return QStringLiteral("unexpected file: ") + printable(found->first);
        }
        if (!(expected->second == found->second)) {
            return QStringLiteral("file changed: ") + printable(expected->first);
        }
        ++expected;
        ++found;
    }
    return {};
}
