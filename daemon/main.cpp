// kiv-services-daemon: start-up sequence.  Reads the configuration beside the
// executable, detaches (unless told not to), opens the logs, loads the
// methods, starts the worker pool and serves the socket until SIGTERM.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "authcache.h"
#include "cmdline.h"
#include "config.h"
#include "groups.h"
#include "listener.h"
#include "log.h"
#include "mapr.h"
#include "maxtries.h"
#include "methods.h"
#include "notify.h"
#include "peer.h"
#include "request.h"
#include "settings.h"
#include "signals.h"
#include "threadpool.h"

#if defined(__SANITIZE_ADDRESS__)
// Test builds only: a process started with a real uid different from its
// effective uid is not dumpable, so LeakSanitizer cannot inspect it at exit
// and would turn a clean stop into a failure.
extern "C" const char *__asan_default_options() {
    return getuid() != geteuid() ? "detect_leaks=0" : "";
}
// glibc keeps a thread's last dlerror() record until that thread calls dl
// functions again or ends; libraries used by modules leave one behind in a
// worker, which is not a leak of ours.
extern "C" const char *__lsan_default_suppressions() { return "leak:_dlerror_run\n"; }
#endif

namespace {

constexpr const char *kPidPath = "/var/run/kiv-services-daemon.pid";

// Write end of the pipe on which a detached child tells its parent that it
// listens; -1 in the foreground.
int readyPipe = -1;

// "daemon": the first entry with a recognised word decides; default detach.
bool detachRequested(ConfigEntry *list, int count) {
    for (int i = 0; i < count; ++i) {
        if (strcasecmp(list[i].key, "daemon") != 0) continue;
        const char *v = list[i].value;
        if (strcasecmp(v, "true") == 0 || strcasecmp(v, "yes") == 0) return true;
        if (strcasecmp(v, "false") == 0 || strcasecmp(v, "no") == 0) return false;
    }
    return true;
}

// Points descriptor `fd` at /dev/null (used for 0 and 1 so that neither an
// accepted connection nor stray output can ever land on them).
void nullDescriptor(int fd, int flags) {
    int n = open("/dev/null", flags | O_CLOEXEC);
    if (n < 0) return;
    if (n != fd) {
        dup2(n, fd);  // dup2 clears FD_CLOEXEC on the copy
        close(n);
    } else {
        fcntl(fd, F_SETFD, 0);
    }
}

void ensureStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0) nullDescriptor(fd, fd == 0 ? O_RDONLY : O_WRONLY);
}

// The parent's part of detaching: record the child's pid, then wait until
// the child listens.  A child that fails first decides the parent's status,
// and its pid file goes.
[[noreturn]] void writePidFileAndWait(pid_t child, int readyFd) {
    int fd = open(kPidPath, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) exit(-123);
    fchmod(fd, 0644);  // an existing file may carry a looser mode
    FILE *f = fdopen(fd, "w");
    if (f == nullptr) exit(-123);
    fprintf(f, "%d", static_cast<int>(child));
    fflush(f);
    fclose(f);
    char byte = 0;
    ssize_t r;
    do r = read(readyFd, &byte, 1);
    while (r < 0 && errno == EINTR);
    if (r == 1) exit(0);
    int status = 0;
    pid_t waited;
    do waited = waitpid(child, &status, 0);
    while (waited < 0 && errno == EINTR);
    unlink(kPidPath);
    if (waited == child && WIFEXITED(status)) exit(WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : 1);
    if (waited == child && WIFSIGNALED(status)) exit(128 + WTERMSIG(status));
    exit(1);
}

// The socket listens: a waiting parent may leave, a service manager may
// route clients.
void reportListening() {
    if (readyPipe >= 0) {
        const char byte = 'R';
        ssize_t ignored = write(readyPipe, &byte, 1);
        (void)ignored;
        close(readyPipe);
        readyPipe = -1;
    }
    notifyReady();
}

// Another daemon answering on the socket must not lose it, nor its logs and
// pid file: refuse before touching any of them.
void refuseSecondInstance() {
    if (!daemonAnswers()) return;
    fprintf(stderr, "kiv-services-daemon: another instance already answers on %s; not starting.\n", kSocketPath);
    systemLogMessage(LOG_ERR, "another instance already answers on %s; not starting.", kSocketPath);
    exit(kExitAlreadyRunning);
}

// A setting problem found at start-up: logged, then the process ends.
[[noreturn]] void stopOn(const SettingProblem &problem, bool terminate) {
    errorMessage("%s", problem.message.c_str());
    if (terminate) termMethods();
    exit(problem.status);
}

void writeBanner() {
    debugMessage(" _     _                _ ");
    debugMessage("| | __(_)_   _____  ___| |");
    debugMessage("| |/ /| \\ \\ / / __|/ _` |");
    debugMessage("|   < | |\\ V /\\__ \\ (_| |");
    debugMessage("|_|\\_\\|_| \\_/ |___/\\__,_|");
    debugMessage("=====KIV Services Daemon======");
    debugMessage("kiv-services-daemon: Process:%d  Started by: %d", static_cast<int>(getpid()),
                 static_cast<int>(getppid()));
    debugMessage("kiv-services-daemon: %s", kBuildVersion);
    if (authLog.showPasswords)
        debugMessage("Show passwords in log.");
    else
        debugMessage("Not showing passwords in log.");
    if (disableGSS) debugMessage("GSSAPI disabled in kiv-services-daemon per user configuration.");
}

// Workers must not take SIGTERM/SIGUSR1: the main thread does, so its
// accept() is the call that sees EINTR.
ThreadPool *createPoolWithSignalsBlocked(int size) {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGUSR1);
    sigaddset(&block, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    ThreadPool *pool = ThreadPoolCreate(size);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return pool;
}

} // namespace

int main(int argc, char **argv) {
    // Descriptors 0-2 must be taken before any log or socket is opened, or a
    // log file could land on 0 and later be clobbered.
    ensureStandardDescriptors();

    switch (parseCommandLine(argc, argv)) {
    case CommandAction::Run:
        break;
    case CommandAction::Help:
        printUsage(stdout);
        return 0;
    case CommandAction::Version:
        printVersion(stdout);
        return 0;
    case CommandAction::CheckConfig:
        return checkConfiguration(argv);
    case CommandAction::UsageError:
        printUsage(stderr);
        return kExitUsage;
    }

    // 1. Host services for the methods.
    initHostServices();

    // 2-3. Configuration.
    char configPath[1024];
    int rc = getConfigPath(argv, configPath);
    if (rc != 0) exit(rc);
    ConfigEntry *config = nullptr;
    int count = getConfiguration(configPath, &config);
    if (count < 0) exit(-count);

    refuseSecondInstance();

    // 4-6. Detach or stay in the foreground.
    if (detachRequested(config, count)) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) {
            systemLogMessage(LOG_ERR, "Unable to fork process.");
            exit(34);
        }
        pid_t pid = fork();
        if (pid < 0) {
            systemLogMessage(LOG_ERR, "Unable to fork process.");
            exit(34);
        }
        if (pid > 0) {
            close(ready[1]);
            writePidFileAndWait(pid, ready[0]);
        }
        close(ready[0]);
        readyPipe = ready[1];
        umask(0);
        initLogs(config, count, &authLog);
        if (setsid() < 0) {
            errorMessage("Unable to create new session.");
            exit(35);
        }
        nullDescriptor(0, O_RDONLY);
        nullDescriptor(1, O_WRONLY);
    } else {
        umask(0);
        initLogs(config, count, &authLog);
    }

    // 7-8.
    writeBanner();
    logConfigSettings(config, count, &authLog);
    std::string exposed = exposedSecretWarning(configPath, config, count);
    if (!exposed.empty()) warningMessage("%s", exposed.c_str());

    // 9. From here a SIGTERM waits until start-up is complete.
    std::unique_lock<std::mutex> life(lifecycleLock);
    setupSignalState();

    // 10. Methods.
    char *message = nullptr;
    enableGSS(config, count, &message);
    if (initMethods(config, count, &message) != 0) exit(18);

    // 11.
    if (initMaxtries(config, count) != 0) {
        termMethods();
        exit(19);
    }
    if (initAuthCache(config, count) != 0) {
        termMethods();
        exit(kExitBadAuthCache);
    }

    // 12.
    groupNocase = 0;
    if (const char *v = firstValue(config, count, "group_nocase"))
        groupNocase = (strcasecmp(v, "true") == 0 || strcasecmp(v, "yes") == 0) ? 1 : 0;

    // 13.  Settings whose failure has its own status; numThreads above 32
    // is left for the pool to refuse (31).
    SettingProblems problems;
    StartupSettings startup;
    readStartupSettings(config, count, &startup, &problems);
    for (const auto &p : problems)
        if (p.status == kExitBadNumThreads) stopOn(p, false);
    debugMessage("Thread pool max size: %d", startup.poolSize);
    for (const auto &p : problems)
        if (p.status == kExitBadClientTimeout) stopOn(p, false);
    clientTimeout = startup.clientTimeout;
    debugMessage("Client timeout: %d seconds", clientTimeout);
    problems.clear();
    readAccessSettings(config, count, &accessSettings, &problems);
    if (!problems.empty()) stopOn(problems.front(), true);
    debugMessage("Connections per user (root not counted): %d%s", accessSettings.maxConnectionsPerUser,
                 accessSettings.maxConnectionsPerUser == 0 ? " (no limit)" : "");

    // 14.
    initMapR(config, count);

    // 15.
    threadpool = createPoolWithSignalsBlocked(startup.poolSize);
    if (threadpool == nullptr) {
        errorMessage("Thread pool failed to initialize.");
        exit(31);
    }

    // 16.
    rc = openListenSocket();
    if (rc != 0) exit(rc);
    reportListening();

    // 17. Recovery point.
    if (sigsetjmp(env, 1) != 0) debugMessage("Recovered from Exception.");

    // 18.
    debugMessage("kiv-services-daemon waiting for connections...");
    acceptLoop(life);

    // The loop ends only when the stop sequence has begun; it exits the
    // process once the pool has drained.
    for (;;) pause();
}
