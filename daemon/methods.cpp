// Method framework: builds the method list from "methods", loads method
// modules from the daemon's directory, loads GSS, and tears everything down.
#include "methods.h"

#include <dlfcn.h>
#include <limits.h>
#include <strings.h>
#include <sys/stat.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config.h"
#include "groups.h"
#include "log.h"
#include "pw.h"

extern "C" {
AuthLog authLog;
MethodRecord authMethods[4];
int numMethods = 0;
MethodRecord gssMethod;
int gssAvailable = 0;
int disableGSS = 0;
}

namespace {

using ReportFn = void (*)(const char *, ...);

ReportFn reporter(int reportErrors) {
    return reportErrors ? static_cast<ReportFn>(errorMessage) : static_cast<ReportFn>(debugMessage);
}

// glibc keeps a failed dl call's message in a heap record until dlerror()
// has been called twice; drain it so no record outlives the lookup.
void clearDlError() {
    while (dlerror() != nullptr) {
    }
}

// Looks up prefix+suffix in the library; null when missing or the name
// would not fit the symbol buffer.
void *findSymbol(void *library, const char *prefix, const char *suffix, char *symbol,
                 size_t symbolSize) {
    int n = snprintf(symbol, symbolSize, "%s%s", prefix, suffix);
    if (n < 0 || static_cast<size_t>(n) >= symbolSize) return nullptr;
    clearDlError();
    void *found = dlsym(library, symbol);
    if (found == nullptr) clearDlError();
    return found;
}

std::string parentOf(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Why a directory may let someone other than root swap what we load, or "".
// The module's own directory must be writable by root alone; a directory
// above it may also be a sticky one such as /tmp, where nobody can rename
// what root put there.
std::string untrustedDirectory(const std::string &dir) {
    char resolved[PATH_MAX];
    if (realpath(dir.c_str(), resolved) == nullptr) return "its directory " + dir + " cannot be resolved";
    std::string at = resolved;
    for (bool own = true;; own = false) {
        struct stat st;
        if (stat(at.c_str(), &st) != 0) return "directory " + at + " cannot be examined";
        if (st.st_uid != 0) return "directory " + at + " is not owned by root";
        const bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        if (othersWrite && (own || (st.st_mode & S_ISVTX) == 0))
            return "directory " + at + " is writable by group or others";
        if (at == "/") return "";
        at = parentOf(at);
    }
}

// Why a module file must not be loaded as root, or "" when it may.  Code
// that runs with euid 0 must come from where only root can write: the file
// itself (links followed), the directory it lies in and the one its name was
// found in.  A file that does not exist is left for dlopen to report.
std::string untrustedModule(const char *path) {
    struct stat st;
    if (lstat(path, &st) != 0) return "";
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == nullptr || stat(resolved, &st) != 0) return "it cannot be resolved";
    if (!S_ISREG(st.st_mode)) return "it is not a regular file";
    if (st.st_uid != 0) return "it is not owned by root";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "it is writable by group or others";
    std::string why = untrustedDirectory(parentOf(path));
    if (why.empty()) why = untrustedDirectory(parentOf(resolved));
    return why;
}

// Calls Init on a filled record; true when the method reports status 0.
bool initRecord(MethodRecord *record, ConfigEntry *list, int count, char **message) {
    debugMessage("Initializing %s", record->name);
    *message = nullptr;
    int status = -1;
    record->context = record->init(list, count, &status, record->log, message);
    return status == 0;
}

} // namespace

extern "C" int loadMethod(MethodRecord *record, const char *name, ConfigEntry *list, int count,
                          int reportErrors, char **message) {
    if (message == nullptr) return -1;
    ReportFn report = reporter(reportErrors);

    char path[1200];
    char symbol[100];
    const char *prefix = strcmp(name, "ldapnss") == 0 ? "ldap" : name;
    int n = strcmp(name, "custom") == 0 ? snprintf(path, sizeof path, "%s/kivmodlib.%s", kivsdDir, "so")
                                        : snprintf(path, sizeof path, "%s/kivmod%s.%s", kivsdDir, name, "so");
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        report("Could not load authentication method %s.", name);
        return -1;
    }

    debugMessage("Loading method %s from %s", prefix, path);
    record->name = prefix;

    // Always an error, even for the optional GSS module: a planted file is
    // worth an operator's attention.
    const std::string untrusted = untrustedModule(path);
    if (!untrusted.empty()) {
        errorMessage("Refusing to load authentication method %s: %s.", path, untrusted.c_str());
        return -1;
    }

    void *library = dlopen(path, RTLD_NOW);
    if (library == nullptr) {
        const char *why = dlerror();
        if (why != nullptr && *why != '\0')
            report("Could not load authentication method %s. Reason: %s", path, why);
        else
            report("Could not load authentication method %s.", path);
        clearDlError();
        return -1;
    }

    void *init = findSymbol(library, prefix, "Init", symbol, sizeof symbol);
    void *terminate = init ? findSymbol(library, prefix, "Terminate", symbol, sizeof symbol) : nullptr;
    void *authenticate = terminate ? findSymbol(library, prefix, "Authenticate", symbol, sizeof symbol) : nullptr;
    if (init == nullptr || terminate == nullptr || authenticate == nullptr) {
        errorMessage("Authentication method %s does not implement function %s.", prefix, symbol);
        dlclose(library);
        return -1;
    }

    void *getGroups = findSymbol(library, prefix, "GetGroups", symbol, sizeof symbol);
    if (getGroups == nullptr) {
        if (strcmp(prefix, "custom") == 0) {
            errorMessage("Authentication method %s does not implement function %s.", prefix, symbol);
            dlclose(library);
            return -1;
        }
        getGroups = reinterpret_cast<void *>(&unixGetGroups);
        debugMessage("Using standard unixGetGroups for method %s", prefix);
    }

    void *continueOnNoAuth = findSymbol(library, prefix, "ContinueOnNoAuth", symbol, sizeof symbol);
    if (continueOnNoAuth != nullptr) debugMessage("Auth method %s has noAuthContinue routine.", prefix);

    auto *buildVersion = static_cast<const char **>(findSymbol(library, prefix, "BuildVersion", symbol, sizeof symbol));
    if (buildVersion != nullptr && *buildVersion != nullptr) debugMessage("%s: %s", prefix, *buildVersion);

    record->init = reinterpret_cast<kivInitFn>(init);
    record->terminate = reinterpret_cast<kivTerminateFn>(terminate);
    record->authenticate = reinterpret_cast<kivAuthenticateFn>(authenticate);
    record->getGroups = reinterpret_cast<kivGetGroupsFn>(getGroups);
    record->continueOnNoAuth = reinterpret_cast<kivContinueOnNoAuthFn>(continueOnNoAuth);
    record->library = library;

    if (initRecord(record, list, count, message)) return 0;

    if (*message != nullptr)
        report("Could not initialize authentication method %s: %s", prefix, *message);
    else
        report("Could not initialize authentication method %s", prefix);
    dlclose(library);
    record->library = nullptr;
    return -1;
}

extern "C" int addMethod(const char *name, ConfigEntry *list, int count, kivInitFn init,
                         kivTerminateFn terminate, kivAuthenticateFn authenticate,
                         kivGetGroupsFn getGroups, kivContinueOnNoAuthFn continueOnNoAuth,
                         char **message) {
    if (message == nullptr) return -1;
    if (numMethods >= static_cast<int>(sizeof authMethods / sizeof authMethods[0])) return -1;
    MethodRecord *record = &authMethods[numMethods];
    record->init = init;
    record->terminate = terminate;
    record->authenticate = authenticate;
    record->getGroups = getGroups;
    record->continueOnNoAuth = continueOnNoAuth;
    record->name = name;
    record->library = nullptr;
    if (initRecord(record, list, count, message)) {
        ++numMethods;
        return 0;
    }
    if (*message != nullptr)
        errorMessage("Could not initialize authentication method %s: %s", name, *message);
    else
        errorMessage("Could not initialize authentication method %s", name);
    return -1;
}

extern "C" int initMethods(ConfigEntry *list, int count, char **message) {
    char *methods = nullptr;
    for (int i = 0; i < count; ++i) {
        if (strcasecmp(list[i].key, "methods") == 0) {
            methods = list[i].value;
            break;
        }
    }
    if (methods == nullptr) {
        errorMessage("No authentication methods specified in config.");
        return -1;
    }

    bool enableLdap = false;
    for (int i = 0; i < count; ++i)
        if (strcasecmp(list[i].key, "enableldap") == 0 && strcasecmp(list[i].value, "true") == 0)
            enableLdap = true;

    bool pamLoaded = false, ldapLoaded = false, pwLoaded = false, customLoaded = false;
    char *save = nullptr;
    for (char *token = strtok_r(methods, " ", &save); token != nullptr; token = strtok_r(nullptr, " ", &save)) {
        debugMessage("Adding auth method %s", token);
        if (strcasecmp(token, "pam") == 0 || strcasecmp(token, "custom") == 0) {
            bool &loaded = strcasecmp(token, "pam") == 0 ? pamLoaded : customLoaded;
            if (loaded) {
                warningMessage("Authentication method %s is repeated. Only initial specification will be used.", token);
                continue;
            }
            if (loadMethod(&authMethods[numMethods], token, list, count, 1, message) != 0) {
                termMethods();
                return -1;
            }
            ++numMethods;
            loaded = true;
        } else if (strcasecmp(token, "ldap") == 0) {
            if (ldapLoaded) {
                warningMessage("Authentication method %s is repeated. Only initial specification will be used.", token);
                continue;
            }
            if (!enableLdap) {
                warningMessage("Authentication method %s is currently not supported.", token);
                continue;
            }
            warningMessage("Authentication method %s is enabled, but currently not supported.", token);
            if (loadMethod(&authMethods[numMethods], "ldapnss", list, count, 1, message) == 0) {
                debugMessage("Using Mozilla NSS for SSL.");
            } else {
                debugMessage("Could not load kivmodldap for Mozilla NSS. Retry with OpenSSL.");
                if (loadMethod(&authMethods[numMethods], token, list, count, 1, message) != 0) {
                    termMethods();
                    return -1;
                }
                debugMessage("Using OpenSSL for SSL.");
            }
            ++numMethods;
            ldapLoaded = true;
        } else if (strcasecmp(token, "pw") == 0) {
            if (pwLoaded) {
                warningMessage("Authentication method %s is repeated. Only initial specification will be used.", token);
                continue;
            }
            debugMessage("%s: %s", token, pwBuildVersion);
            if (addMethod(token, list, count, pwInit, pwTerminate, pwAuthenticate, unixGetGroups, nullptr,
                          message) != 0) {
                termMethods();
                return -1;
            }
            pwLoaded = true;
        } else {
            warningMessage("Unknown authentication method %s. Ignored.", token);
        }
    }

    debugMessage("Initialized %d methods.", numMethods);
    if (numMethods == 0) {
        errorMessage("No authentication methods could be initialized.");
        return -1;
    }
    return 0;
}

extern "C" void enableGSS(ConfigEntry *list, int count, char **message) {
    if (getenv("KIVSD_USE_GSS") != nullptr) {
        debugMessage("KIVSD_USE_GSS: Overriding methods and forcing PAM.");
        ConfigEntry *entry = nullptr;
        for (int i = 0; i < count && entry == nullptr; ++i)
            if (strcasecmp(list[i].key, "methods") == 0) entry = &list[i];
        if (entry == nullptr) {
            errorMessage("No 'methods' configuration parameter specified.");
            exit(18);
        }
        char *forced = strdup("pam pw");
        if (forced == nullptr) {
            errorMessage("kiv-services-daemon: No memory.");
            exit(18);
        }
        free(entry->value);
        entry->value = forced;
    }
    if (disableGSS) {
        gssAvailable = 0;
        return;
    }
    if (loadMethod(&gssMethod, "gss", list, count, 0, message) != 0) {
        gssAvailable = 0;
        debugMessage("GSS could not be loaded.");
    } else {
        gssAvailable = 1;
    }
}

extern "C" void termMethods(void) {
    debugMessage("termMethods [ENTER]: number of methods:<%d>", numMethods);
    for (int i = 0; i < numMethods; ++i) {
        MethodRecord *record = &authMethods[i];
        debugMessage("Terminating authentication method %s", record->name);
        record->terminate(record->context, record->log);
        if (record->library != nullptr) {
            debugMessage("Calling dclose.");
            dlclose(record->library);
            record->library = nullptr;
            debugMessage("Returned from dclose.");
        }
        debugMessage("Method %s termination complete.", record->name);
    }
    numMethods = 0;
    if (gssAvailable) {
        debugMessage("Terminating authentication method gss");
        gssMethod.terminate(gssMethod.context, gssMethod.log);
        debugMessage("Method gss termination complete.");
        if (gssMethod.library != nullptr) {
            debugMessage("Calling dclose for gss.");
            dlclose(gssMethod.library);
            gssMethod.library = nullptr;
            debugMessage("Returned from dclose for gss.");
        }
        gssAvailable = 0;
    }
    debugMessage("termMethods [EXIT]");
}
