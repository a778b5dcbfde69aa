// --check-config: start-up's checks without starting.
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <string>

#include "authcache.h"
#include "cmdline.h"
#include "config.h"
#include "log.h"
#include "maxtries.h"
#include "methods.h"
#include "peer.h"
#include "settings.h"

namespace {

void printProblem(const char *path, const SettingProblem &p) {
    fprintf(stderr, "%s: %s%s=%s: %s\n", path, p.status == 0 ? "warning: " : "", p.key.c_str(), p.value.c_str(),
            p.message.c_str());
}

// What the log set-up would refuse or fail on.  Not fatal at start-up (the
// log is then missing), so these are warnings.
void checkLogPaths(ConfigEntry *list, int count, SettingProblems *problems) {
    for (const char *key : {"debugLog", "accessLog", "errorLog"}) {
        const char *value = firstValue(list, count, key);
        if (value == nullptr) continue;
        std::string path = value;
        size_t at = path.find("%d");
        if (at != std::string::npos) path.replace(at, 2, std::to_string(getpid()));
        if (validateLogPath(path.c_str()) != 0) {
            problems->push_back({0, key, value, "Cannot create log file " + path + " in system directory"});
            continue;
        }
        std::string dir = path.substr(0, path.find_last_of('/') + 1);
        struct stat st;
        if (dir.empty()) dir = ".";
        if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            problems->push_back({0, key, value, "the directory " + dir + " does not exist"});
    }
}

void checkDaemonKey(ConfigEntry *list, int count, SettingProblems *problems) {
    for (int i = 0; i < count; ++i) {
        if (strcasecmp(list[i].key, "daemon") != 0) continue;
        const char *v = list[i].value;
        if (strcasecmp(v, "true") && strcasecmp(v, "yes") && strcasecmp(v, "false") && strcasecmp(v, "no"))
            problems->push_back({0, "daemon", v, "not true, yes, false or no: ignored"});
    }
}

// The method messages (Init failures, unknown names) are written through the
// error log; here that is standard error, and no log file is opened.
void reportErrorsOnStderr() {
    int fd = dup(STDERR_FILENO);
    if (fd >= 0) errorLog = fdopen(fd, "w");
}

bool disableGssSet(ConfigEntry *list, int count) {
    bool set = false;
    for (int i = 0; i < count; ++i)
        if (strcasecmp(list[i].key, "disableGSS") == 0) {
            const char *v = list[i].value;
            if (!strcasecmp(v, "yes") || !strcasecmp(v, "y") || !strcmp(v, "1")) set = true;
        }
    return set;
}

} // namespace

int checkConfiguration(char **argv) {
    initHostServices();
    char path[1024];
    if (getConfigPath(argv, path) != 0) {
        fprintf(stderr, "kiv-services-daemon: cannot derive the configuration path from %s (start it by its path)\n",
                argv[0]);
        return 16;
    }
    ConfigEntry *config = nullptr;
    int count = getConfiguration(path, &config);
    if (count < 0) {
        fprintf(stderr, "%s: the configuration cannot be read (exit status %d; details in syslog)\n", path, -count);
        return -count;
    }
    reportErrorsOnStderr();
    disableGSS = disableGssSet(config, count) ? 1 : 0;

    SettingProblems problems;
    checkDaemonKey(config, count, &problems);
    checkLogPaths(config, count, &problems);
    std::string exposed = exposedSecretWarning(path, config, count);
    if (!exposed.empty()) problems.push_back({0, "LDAP_HOST_PW", "XXXX", exposed});

    // In start-up order, so the status is the one start-up would end with.
    int status = 0;
    char *message = nullptr;
    enableGSS(config, count, &message);
    if (initMethods(config, count, &message) != 0) {
        const char *methods = firstValue(config, count, "methods");
        problems.push_back({18, "methods", methods ? methods : "", "the methods could not be set up"});
    } else if (initMaxtries(config, count) != 0) {
        problems.push_back({19, "maxtries", "", "invalid failed-attempt settings (see above)"});
    } else if (initAuthCache(config, count) != 0) {
        problems.push_back({kExitBadAuthCache, "authCacheSeconds", "",
                            "invalid authentication cache settings (see above)"});
    }
    termMethods();
    StartupSettings startup;
    readStartupSettings(config, count, &startup, &problems);
    AccessSettings access;
    readAccessSettings(config, count, &access, &problems);

    for (const auto &p : problems) {
        printProblem(path, p);
        if (status == 0 && p.status != 0) status = p.status;
    }
    if (status == 0) printf("%s: configuration OK\n", path);
    fflush(stdout);
    freeConfiguration(config, count);
    return status;
}
