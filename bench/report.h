// The benchmark report: every scenario beside its baseline, memory and
// descriptor findings and the targets, as JSON and as Markdown.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "loadgen.h"
#include "procstat.h"

namespace kivbench {

// One measured run of the daemon or of an in-process loop.
// A run during which other work used more than this many cores on average
// is marked in the report (and repeated, when time allows).
inline constexpr double kDisturbedCores = 0.10;

struct RunRecord {
    std::string what;    // "daemon", "crypt_r", "pam_unix", ...
    int threads = 0;     // client connections, or in-process threads
    LoadResult result;
    double othersCores = 0;   // average cores other work used during the run
    // CPU of the answering daemon (worker processes included) and of slapd,
    // per answered request; -1 when there is none or it was not read.
    double cpuMsPerRequest = -1, slapdCpuMsPerRequest = -1;
};

// The run with the median throughput, whole (its latencies and counts come
// along); the lower middle one of an even count; nullopt for none.
std::optional<RunRecord> medianRun(std::vector<RunRecord> runs);

struct ScenarioRow {
    std::string scenario;      // "pw-sha512", ...
    std::string description;
    int concurrency = 0;
    std::string status = "measured";   // measured | pending | failed
    std::string note;
    int expectedCode = 0;              // what every daemon answer should be
    std::optional<RunRecord> daemon, baseline;
    std::vector<RunRecord> peers;      // peer daemons (or libraries), each named by `what`
    long rssMaxKiB = -1;               // daemon's largest resident size during the run
};

struct SoakRecord {
    uint64_t warmupRequests = 0;
    uint64_t requests = 0;                        // after the warm-up
    std::vector<std::pair<uint64_t, long>> rss;   // (requests done, VmRSS KiB), warm-up end first
    long growthKiB = 0;                           // last sample minus the first
    long rssMaxKiB = -1;
    int fdsIdle = -1, fdsAfter = -1;
    LoadResult total;                             // the measured requests together
    std::string method = "pw", description;       // the method measured ("pw" or "ldap") and its settings
    // With kept LDAP connections: their idle limit, and the descriptors right
    // after the load and once that limit has passed without requests.
    int idleTimeoutSeconds = 0;
    int fdsBusy = -1, fdsAfterIdleTimeout = -1;
};

struct QuietRecord {
    int compilersAtStart = -1;
    double load1AtStart = -1;
    double waitedSeconds = 0;
    bool quiet = false;
    double load1AtEnd = -1;
    // Compilers seen while the benchmark ran (sampled once a second).
    int compilerSamples = 0;       // samples taken
    int samplesWithCompilers = 0;  // of which showed at least one compiler
    int compilersMax = 0;
    double othersCores = -1;       // average cores other work used over the whole run
    int repeatedRuns = 0;          // runs measured again because other work disturbed them
};

struct TargetRecord {
    std::string id, text, measured;
    std::string status;   // met | missed | pending
};

// Descriptor counts of one daemon instance: idle after start, and after its
// runs once the connections are gone.
struct FdRecord {
    std::string daemon;
    int idle = -1, after = -1;
};

// System calls per request of one daemon in a scenario, from a short extra
// run (perf's raw_syscalls:sys_enter over all its threads and processes).
struct SyscallRecord {
    std::string scenario, daemon;
    uint64_t requests = 0;
    long syscalls = -1;
};

struct Report {
    std::string generated;   // UTC time
    std::string command;
    MachineInfo machine;
    QuietRecord quiet;
    Json parameters = Json::object();
    std::vector<ScenarioRow> rows;
    std::optional<SoakRecord> soak;
    std::vector<FdRecord> fds;
    std::vector<SyscallRecord> syscalls;
    std::vector<TargetRecord> targets;
};

// daemon auth/s over baseline (or peer) auth/s; nullopt when either is missing
// or the baseline did nothing.
std::optional<double> baselineRatio(const ScenarioRow &row);
std::optional<double> peerRatio(const ScenarioRow &row, const RunRecord &peer);
// Daemon answers other than expectedCode, plus connection errors.
uint64_t unexpectedAnswers(const ScenarioRow &row);

Json reportJson(const Report &report);
std::string reportMarkdown(const Report &report);

} // namespace kivbench
