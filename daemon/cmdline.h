// The command line: no argument runs the daemon; --help, --version and
// --check-config (-t) do one thing and exit; anything else is a usage error.
#pragma once
#include <cstdio>

inline constexpr const char *kBuildVersion = "buildVersion=v100k1a";
// Exit status of a command-line usage error (EX_USAGE).
inline constexpr int kExitUsage = 64;

enum class CommandAction { Run, Help, Version, CheckConfig, UsageError };

CommandAction parseCommandLine(int argc, char **argv);
void printUsage(FILE *out);
void printVersion(FILE *out);

// --check-config: reads and validates the configuration as start-up would
// (every key's value, the log paths, the method list with each method's Init
// and Terminate) without binding, detaching or touching the logs.  Prints
// one line per problem on stderr; returns the exit status start-up would end
// with (0 when it would succeed).
int checkConfiguration(char **argv);
