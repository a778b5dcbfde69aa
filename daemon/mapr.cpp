// MapR credential step: after a successful authentication the daemon runs
// maprlogin as the authenticated user (uid, groups, home directory), feeds it
// the password on stdin and copies its output into the debug log.  The outcome
// never changes the reply to the client.
#include "mapr.h"

#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log.h"
#include "runas.h"

extern "C" {
int generateMapRCreds = 0;
char *maprLogin = nullptr;
}

int maprTimeoutSeconds = 60;

namespace {

constexpr const char *kDefaultMaprLogin = "/opt/mapr/bin/maprlogin";
constexpr const char *kChildArgv0 = "kivauth-spawned maprlogin child";

struct Reporter {
    kivLogFn debug;
    kivLogFn error;
};

Reporter reporterFor(const AuthLog *log) {
    Reporter r{debugMessage, errorMessage};
    if (log != nullptr) {
        if (log->logDebug != nullptr) r.debug = log->logDebug;
        if (log->logError != nullptr) r.error = log->logError;
    }
    return r;
}

struct UserEntry {
    std::string name;
    std::string home;
    uid_t uid;
    gid_t gid;
};

// Thread-safe password-database lookup; nullopt when unknown or on error.
std::optional<UserEntry> lookupUser(const char *name) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    size_t size = hint > 0 ? static_cast<size_t>(hint) : 4096;
    for (int attempt = 0; attempt < 8; ++attempt, size *= 2) {
        std::vector<char> buf(size);
        passwd entry{};
        passwd *found = nullptr;
        int rc = getpwnam_r(name, &entry, buf.data(), buf.size(), &found);
        if (rc == ERANGE) continue;
        if (rc != 0 || found == nullptr) return std::nullopt;
        return UserEntry{found->pw_name, found->pw_dir ? found->pw_dir : "", found->pw_uid,
                         found->pw_gid};
    }
    return std::nullopt;
}

// One block of the tool's output as a start/end block.  The log layer
// escapes control characters, so the output cannot forge log lines.  A lone
// newline is not worth a block.
void logChunk(const Reporter &report, std::string_view block) {
    if (block == "\n") return;
    const int length = static_cast<int>(block.size());
    report.debug("----------[start maprlogin output len=%d]----------", length);
    report.debug("%.*s", length, block.data());
    report.debug("----------[end maprlogin output]----------");
}

void runCredentialStep(const char *maprLoginPath, const char *user, const int *groups, int count,
                       const char *password, const AuthLog *log) {
    const Reporter report = reporterFor(log);
    const char *path = maprLoginPath != nullptr ? maprLoginPath : kDefaultMaprLogin;

    if (user == nullptr) {
        report.error("POSIX username was not set");
        return;
    }
    std::optional<UserEntry> entry = lookupUser(user);
    if (!entry) {
        report.error("POSIX user '%s' was not found", user);
        return;
    }
    report.debug("POSIX user '%s' is UID %d", user, static_cast<int>(entry->uid));

    const char *ccache = getenv("KRB5CCNAME");
    const bool kerberos = password == nullptr;
    if (kerberos && ccache == nullptr) {
        report.error("Password not provided and we don't have a krb5 ccache - cannot set "
                     "maprlogin credentials.");
        return;
    }

    RunAsSpec spec;
    spec.path = path;
    spec.argv = {kChildArgv0};
    if (!kerberos) {
        spec.argv.insert(spec.argv.end(), {"password", "-user", entry->name});
    } else {
        spec.argv.push_back("kerberos");
        spec.env.push_back(std::string("KRB5CCNAME=") + ccache);
    }
    // A module may hand back an empty list; then the password database's
    // primary gid stands in rather than reading past the list.
    if (groups != nullptr && count > 0)
        spec.groups.assign(groups, groups + count);
    else
        spec.groups.push_back(entry->gid);
    spec.gid = spec.groups.front();
    spec.uid = entry->uid;
    spec.workdir = entry->home;
    spec.input = kerberos ? std::string("\n") : std::string(password);
    spec.timeLimitSeconds = maprTimeoutSeconds;
    spec.label = "maprlogin";
    spec.childNotes.push_back("[child] building maprlogin arglist");
    if (!kerberos) {
        spec.childNotes.push_back("[child] building args for password auth");
        spec.childNotes.push_back("[child] done building args for password auth");
        spec.childNotes.push_back("[child] building env for password auth");
        spec.childNotes.push_back("[child] done building env for password auth");
    } else {
        spec.childNotes.push_back("[child] building args for kerberized auth");
        spec.childNotes.push_back("[child] building env for kerberized auth");
        spec.childNotes.push_back("[child] done building env for kerberized auth");
    }
    spec.childNotes.push_back(std::string("[child] execve-ing maprLogin at '") + path + "'");
    spec.debug = report.debug;
    spec.error = report.error;
    spec.debugFd = debugLog != nullptr ? fileno(debugLog) : -1;
    spec.errorFd = errorLog != nullptr ? fileno(errorLog) : -1;
    spec.onOutput = [&report](std::string_view block) { logChunk(report, block); };

    const RunAsResult result = runAs(spec);
    switch (result.failure) {
    case RunAsFailure::None:
        break;
    case RunAsFailure::StdinPipe:
        report.error("Couldn't create stdin pipe for child: %d - %s", result.error,
                     errnoText(result.error));
        break;
    case RunAsFailure::StdoutPipe:
        report.error("Couldn't create stdout pipe for child: %d - %s", result.error,
                     errnoText(result.error));
        break;
    case RunAsFailure::Fork:
        report.error("generateMapRCredentials : couldn't fork: %d - %s", result.error,
                     errnoText(result.error));
        break;
    }
}

bool enablesMapR(const char *value) {
    if (value == nullptr) return false;
    for (const char *word : {"yes", "y", "1", "true"})
        if (strcasecmp(value, word) == 0) return true;
    return false;
}

} // namespace

extern "C" char *concatenateFilename(const char *directory, const char *file) {
    if (directory == nullptr || directory[0] == '\0') return file != nullptr ? strdup(file) : nullptr;
    size_t dirLength = strlen(directory);
    size_t fileLength = file != nullptr ? strlen(file) : 0;
    char *joined = static_cast<char *>(malloc(dirLength + fileLength + 2));
    if (joined == nullptr) return nullptr;
    memcpy(joined, directory, dirLength);
    size_t length = dirLength;
    if (file != nullptr) {
        if (directory[dirLength - 1] != '/' && file[0] != '/') joined[length++] = '/';
        memcpy(joined + length, file, fileLength);
        length += fileLength;
    }
    while (length > 0 && joined[length - 1] == '/') --length;
    joined[length] = '\0';
    if (length == 0) {
        free(joined);
        return nullptr;
    }
    return joined;
}

extern "C" int generateMapRCredentials(const char *maprLoginPath, const char *user, int *groups,
                                       int count, const char *password, AuthLog *log) {
    try {
        runCredentialStep(maprLoginPath, user, groups, count, password, log);
    } catch (...) {
        // Only allocations before the fork can throw; no child exists then.
        reporterFor(log).error("generateMapRCredentials: out of memory");
    }
    return 0;
}

void initMapR(ConfigEntry *list, int count) {
    for (int i = 0; list != nullptr && i < count; ++i) {
        const char *key = list[i].key;
        const char *value = list[i].value;
        if (key == nullptr) continue;
        if (strcasecmp(key, "mapr_generate_credentials") == 0) {
            if (enablesMapR(value)) {
                generateMapRCreds = 1;
                debugMessage("MapR credentials generation enabled");
            }
        } else if (strcasecmp(key, "mapr_home") == 0) {
            if (value == nullptr) value = "";
            debugMessage("mapr_home is set to '%s'", value);
            char *resolved = realpath(value, nullptr);
            if (resolved == nullptr) {
                int err = errno;
                errorMessage("Could not canonicalize mapr_home: %d - %s", err, errnoText(err));
                continue;
            }
            debugMessage("mapr_home was canonicalized to '%s'", resolved);
            free(maprLogin);
            maprLogin = concatenateFilename(resolved, "/bin/maprlogin");
            if (maprLogin == nullptr)
                errorMessage("Couldn't append maprlogin path to canonicalized path");
            else if (access(maprLogin, F_OK) != 0)
                errorMessage("maprlogin was not found at '%s'", maprLogin);
            free(resolved);
        }
    }
}
