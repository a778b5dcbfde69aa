// Command-line parsing, usage and version texts.
#include "cmdline.h"

#include <cstring>

#include "notify.h"

CommandAction parseCommandLine(int argc, char **argv) {
    if (argc <= 1) return CommandAction::Run;
    if (argc > 2) return CommandAction::UsageError;
    const char *a = argv[1];
    if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) return CommandAction::Help;
    if (strcmp(a, "--version") == 0) return CommandAction::Version;
    if (strcmp(a, "--check-config") == 0 || strcmp(a, "-t") == 0) return CommandAction::CheckConfig;
    return CommandAction::UsageError;
}

void printUsage(FILE *out) {
    fputs("Usage: /path/to/kiv-services-daemon [--help | --version | --check-config | -t]\n"
          "\n"
          "Without an argument, runs the authentication daemon with the configuration\n"
          "kiv-services-daemon.conf beside the executable (start it by its path).\n"
          "\n"
          "  --help              show this text and exit\n"
          "  --version           show the version and build options and exit\n"
          "  --check-config, -t  validate the configuration (keys, log paths, methods)\n"
          "                      without starting; exit 0 only if start-up would succeed\n",
          out);
}

void printVersion(FILE *out) {
    fprintf(out, "kiv-services-daemon %s\n", kBuildVersion);
    fprintf(out, "build options: sd_notify=%s compiler=g++ %s%s\n", notifySupported() ? "yes" : "no", __VERSION__,
#if defined(__SANITIZE_ADDRESS__)
            " sanitizer=address"
#elif defined(__SANITIZE_THREAD__)
            " sanitizer=thread"
#else
            ""
#endif
    );
}
