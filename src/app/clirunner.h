#pragma once

// tidewell-cli's whole work, apart from main(), so that tests can run it in-process: parses the
// arguments, runs one job with the engine on the current thread's event loop, shows progress and
// a summary, and returns the exit code. A QCoreApplication must exist.

#include <QStringList>
#include <QTextStream>

namespace tw {

enum CliExit : int {
    CliCompleted = 0,
    CliBadArguments = 2,
    CliUnusableDirectory = 3,
    CliSiteFailed = 4,
    CliIncomplete = 5, // the copy ended, but some files failed
    CliUnresolvedReferences = 6, // --check: some references do not lead to a file of the copy

    CliInterrupted = 130,
};

// How RunCli ends: with the exit code returned, everything freed (tests run it in-process), or
// with the process, as soon as the job's files and record are closed (tidewell-cli).
enum class CliEnd { Return, EndProcess };
int RunCli(
    const QStringList &arguments, QTextStream &out, QTextStream &err, CliEnd end = CliEnd::Return);

// Makes the running job stop as a user stop does (Ctrl-C). Safe to call from a signal handler.
void RequestCliStop();

} // namespace tw
