#pragma once

#include <QCoro/QCoroTask>
#include <QtCore/QString>
#include <QtCore/QStringList>

#include <cstdio>

// The `vorlanta` command line: the application's workflows from a terminal, on the same library.
// Every command prints its result on standard output and errors in plain words on standard error;
// the exit status is 0 only on success.
class VorlantaCli {
public:
    VorlantaCli(std::FILE *out, std::FILE *err) : m_out(out), m_err(err) {}

    // arguments: without the program name.
    QCoro::Task<int> run(const QStringList &arguments);

    static QString usage();

private:
    struct Options {
        QString command;
        QString service; // API base URL
        bool json = false;
        QStringList rest;
    };

    QCoro::Task<int> login(const Options &options);
    int logout();
    QCoro::Task<int> status(const Options &options);
    QCoro::Task<int> channels(const Options &options);

    void print(const QString &text);
    int fail(const QString &text, int status = 1);

    std::FILE *m_out;
    std::FILE *m_err;
};
