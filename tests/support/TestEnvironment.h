#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>

namespace TestSupport {

// Gives the test process its own home, data, config, cache and runtime directories, so that
// tests never meet each other or the user's files. Call before anything reads a path.
void isolateEnvironment();

// The temporary root made by isolateEnvironment().
QString root();

// Captures what this process writes to standard output (file descriptor 1) while it lives.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    // Restores standard output and returns everything captured (idempotent).
    QByteArray finish();

private:
    int m_savedFd = -1;
    QString m_path;
    QByteArray m_captured;
};

// Reads a whole file; empty when it does not exist.
QByteArray readFile(const QString &path);

// The processes running this executable (a canonical path), found through /proc.
QList<qint64> processesOf(const QString &executable);

} // namespace TestSupport

// Test entry point with an isolated environment and a QApplication.
#define VORLANTA_TEST_MAIN(TestObject)                                                             \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        TestSupport::isolateEnvironment();                                                         \
        QApplication app(argc, argv);                                                              \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
