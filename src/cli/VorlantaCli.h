#pragma once

#include <QCoro/QCoroTask>
#include <QtCore/QString>
#include <QtCore/QStringList>

#include <cstdio>
#include <functional>
#include <memory>

class QuickProjectService;
class VorlantaApiClient;

// The `vorlanta` command line: the application's workflows from a terminal, on the same library.
// Every command prints its result on standard output and errors in plain words on standard error;
// the exit status is 0 only on success.
class VorlantaCli {
public:
    VorlantaCli(std::FILE *out, std::FILE *err) : m_out(out), m_err(err) {}

    // arguments: without the program name.
    QCoro::Task<int> run(const QStringList &arguments);

    static QString usage();

    // After SIGINT or SIGTERM: stops the upload under way, whose command then ends with status
    // 128 + signalNumber. False when there is none to stop (or it was already asked to), and the
    // caller should end the process at once.
    bool interrupt(int signalNumber);

private:
    struct Options {
        QString command;
        QString service; // API base URL
        bool serviceGiven = false;
        bool json = false;
        QStringList rest;
    };

    QCoro::Task<int> login(const Options &options);
    int logout();
    QCoro::Task<int> status(const Options &options);
    QCoro::Task<int> channels(const Options &options);
    QCoro::Task<int> projects(const Options &options);
    QCoro::Task<int> create(const Options &options);
    QCoro::Task<int> send(const Options &options);
    // A workflow on the signed-in service; its result is the line printed on success.
    using Workflow =
        std::function<QCoro::Task<QString>(QuickProjectService &service, const QStringList &files)>;
    // Refuses unknown options, signs in, runs the workflow with the progress shown; 0 on success.
    QCoro::Task<int> runWorkflow(const Options &options, const QStringList &rest,
                                 const Workflow &workflow);
    // Prints "FILE: reason" for each file that cannot be uploaded; true when all can.
    bool checkFiles(const QStringList &files);
    // The signed-in client, or nothing after printing why.
    std::shared_ptr<VorlantaApiClient> signedInClient(const Options &options);
    // Shows the upload service's status as it changes: one rewritten line on a terminal, plain
    // lines otherwise.
    void followProgress(QuickProjectService &service, const QStringList &files);
    void endProgress();

    void print(const QString &text);
    int fail(const QString &text, int status = 1);

    std::FILE *m_out;
    std::FILE *m_err;
    bool m_progressOnTerminal = false;
    bool m_progressLineOpen = false;
    QuickProjectService *m_running = nullptr; // the workflow under way
    int m_interruptedBy = 0;                  // the signal that stopped it
};
