// Running a program as another user: the child drops to the user's uid, gid
// and groups, changes into a directory and executes the program with a given
// argv and environment; the parent feeds its stdin, takes its stdout and
// stderr, and kills it (with its process group) once the time limit is over.
// Every child is reaped before runAs returns, or handed to a reaper thread
// when even SIGKILL does not end it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "kivmod.h"

struct RunAsSpec {
    std::string path;                 // executed as given, no PATH search
    std::vector<std::string> argv;    // argv[0] included
    std::vector<std::string> env;     // the complete environment, "NAME=value"
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);  // -1 is refused: it would keep root's group
    std::vector<gid_t> groups;        // supplementary groups
    std::string workdir;              // the child fails when it cannot change into it
    std::string input;                // written to stdin, which then stays open
    // Output beyond this many bytes is read (so the child never blocks on a
    // full pipe) and dropped.
    size_t outputLimit = SIZE_MAX;
    int timeLimitSeconds = 60;        // values below 1 mean 60
    // Names the child in the supervision log lines ("<label> child exited ...").
    std::string label = "child";
    // Debug lines the child writes just before it executes the program.
    std::vector<std::string> childNotes;
    // Parent-side log; null means the daemon's debug and error logs.
    kivLogFn debug = nullptr;
    kivLogFn error = nullptr;
    // Log files the child writes its own lines to (it cannot use the log
    // layer after fork); -1 when that log is closed.
    int debugFd = -1;
    int errorFd = -1;
    // Each block of output as it is read (at most 4095 bytes).  When set, the
    // output is handed over here instead of being collected in the result.
    std::function<void(std::string_view block)> onOutput;
};

enum class RunAsFailure {
    None,        // a child was started
    StdinPipe,   // no child: the stdin pipe could not be made
    StdoutPipe,  // no child: the output pipe could not be made
    Fork         // no child: fork failed
};

struct RunAsResult {
    RunAsFailure failure = RunAsFailure::None;
    int error = 0;             // errno of the failure
    bool reaped = false;       // the child was collected and waitStatus is its status
    int waitStatus = 0;        // as waitpid reported it
    bool timedOut = false;     // the time limit ended the run
    std::string output;        // stdout and stderr, when onOutput is not set
    bool outputTruncated = false;

    bool exited() const;
    int exitCode() const;      // -1 unless exited()
    int signal() const;        // 0 unless the child was ended by a signal
};

RunAsResult runAs(const RunAsSpec &spec);

// strerror without locale or allocation; safe in a forked child.
const char *errnoText(int err);
