#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QString>

#include <map>
#include <optional>

// What a bundle folder holds, as signed: every regular file and symbolic link with its mode and
// SHA-256, one line each, sorted by path bytes:
//   <kind> <mode> <sha256hex> <path>\n
// kind f (a file; digest of its content) or l (a link; digest of its target), mode as four
// octal digits, path relative with "/" separators.
class BundleFileList {
public:
    struct Entry {
        char kind = 'f';
        unsigned mode = 0;
        QByteArray sha256Hex; // 64 lower-case hex digits

        bool operator==(const Entry &other) const = default;
    };

    // Nothing when the text is not a well-formed list; strict, since it decides what is trusted.
    static std::optional<BundleFileList> parse(const QByteArray &text);

    // A relative path made of UTF-8 names without control characters, "." or "..".
    static bool isListablePath(const QByteArray &path);
    // The path for messages: UTF-8, control characters escaped.
    static QString printable(const QByteArray &path);

    // Adds or replaces an entry; the path must be listable.
    void insert(const QByteArray &path, const Entry &entry);
    const std::map<QByteArray, Entry> &entries() const { return m_entries; }

    QByteArray text() const;

    // The first difference, in path order, between this list (the expected one) and the actual
    // one, in plain words; empty when they are equal.
    QString differenceTo(const BundleFileList &actual) const;

private:
    std::map<QByteArray, Entry> m_entries; // QByteArray orders by unsigned bytes
};
