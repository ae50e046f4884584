#pragma once

#include "TestPrograms.h"
#include "core/updater/BundleSignature.h"
#include "support/TestEnvironment.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtTest/QTest>

#include <sys/stat.h>
#include <unistd.h>

// Files of test bundles with exact modes, and the test signing key.
namespace BundleTestFiles {

inline QString keyFile(const char *name)
{
    return QString::fromUtf8(TestPrograms::kTestDataDir) + QStringLiteral("/update-signing/") +
           QString::fromLatin1(name);
}

inline QByteArray testPublicKey()
{
    return BundleSignature::publicKeyFromHex(
        TestSupport::readFile(keyFile("test-key.pub.hex")).trimmed());
}

inline QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

inline void writeFile(const QString &path, const QByteArray &content, int mode = 0644)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), content.size());
    file.close();
    QCOMPARE(::chmod(native(path).constData(), mode_t(mode)), 0);
}

inline void makeLink(const QByteArray &target, const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QCOMPARE(::symlink(target.constData(), native(path).constData()), 0);
}

inline QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

} // namespace BundleTestFiles
