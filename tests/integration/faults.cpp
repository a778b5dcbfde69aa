// Fault injection against the real daemon: a full log file system, a
// directory server that stops or freezes mid-request, no descriptors left for
// accept(), and a failed allocation at every step of one request.  Whatever
// breaks, the daemon keeps answering (or closes), never crashes, never grants
// access it should not, and serves normally once the fault is gone.
#include <dirent.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "core_common.h"
#include "slapd.h"

using namespace coretest;
using Clock = std::chrono::steady_clock;

namespace {

void accounts() {
    kivtest::writeAccountFiles("root:x:0:0:root:/root:/bin/sh\n"
                               "alice:x:1001:1001::/home/alice:/bin/sh\n"
                               "bob:x:1002:1002::/home/bob:/bin/sh\n",
                               "root:*:19000:0:99999:7:::\n"
                               "alice:" + kivtest::cryptHash("alice-pw") + ":19000:0:99999:7:::\n"
                               "bob:" + kivtest::cryptHash("bob-pw") + ":19000:0:99999:7:::\n",
                               "root:x:0:\nalice:x:1001:\nbob:x:1002:\n");
}

kiv::Result exchange(const std::string &user, const std::string &password, int timeoutMs = 10000) {
    kiv::Options o;
    o.timeoutMs = timeoutMs;
    return kiv::authenticatePassword(user, password, o);
}

int code(const kiv::Result &r) { return r.reply ? r.reply->code : -1; }

long msSince(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

int openDescriptors(pid_t pid) {
    DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) return -1;
    int n = 0;
    while (dirent *e = readdir(dir))
        if (e->d_name[0] != '.') ++n;
    closedir(dir);
    return n;
}

// A tmpfs of `size` mounted on a fresh directory for the test's life.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const char *size) : dir_(kivtest::makeTempDir("smallfs")) {
        mounted_ = mount("tmpfs", dir_.c_str(), "tmpfs", 0, (std::string("mode=0755,size=") + size).c_str()) == 0;
    }
    ~SmallFileSystem() {
        if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string &dir() const { return dir_; }

private:
    std::string dir_;
    bool mounted_ = false;
};

} // namespace

TEST(Faults, LogFileSystemFullRequestsStillAnsweredAndLoggingResumes) {
    accounts();
    SmallFileSystem fs("64k");
    ASSERT_TRUE(fs.mounted());
    const std::string logs = fs.dir();
    DaemonOptions opts;
    opts.config = "daemon=no\nmethods=pw\ndebugLog=" + logs + "/debug.log\naccessLog=" + logs +
                  "/access.log\nerrorLog=" + logs + "/error.log\n";
    Daemon d(opts);
    START_DAEMON(d);
    ASSERT_EQ(code(exchange("alice", "alice-pw")), AUTH_OK);

    // Fill every free block.
    const std::string filler = logs + "/filler";
    {
        FILE *f = fopen(filler.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::string block(4096, 'f');
        while (fwrite(block.data(), 1, block.size(), f) == block.size() && fflush(f) == 0) {
        }
        fclose(f);
    }
    const size_t debugBefore = kivtest::readFile(logs + "/debug.log").size();
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(code(exchange("alice", "alice-pw")), AUTH_OK) << i;
        EXPECT_EQ(code(exchange("alice", "wrong")), AUTH_NOAUTH) << i;
        EXPECT_EQ(code(exchange("ghost", "x")), AUTH_UNKNOWN_USER) << i;
    }
    // The file system really was full: 30 requests' worth of debug lines
    // (tens of KiB) did not fit; at most the tail of the last page took some.
    EXPECT_LT(kivtest::readFile(logs + "/debug.log").size(), debugBefore + 4096);

    // Space returns: the next request is logged again.
    ASSERT_EQ(unlink(filler.c_str()), 0);
    EXPECT_EQ(code(exchange("bob", "bob-pw")), AUTH_OK);
    EXPECT_TRUE(kivtest::waitFor([&] {
        return kivtest::readFile(logs + "/access.log").find("Authenticated user bob") != std::string::npos;
    })) << kivtest::readFile(logs + "/access.log");
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_CLEAN(d);
}

TEST(Faults, DirectoryPausedOrStoppedMidRequestAnswersAnErrorInTime) {
    accounts();
    const std::string suffix = "dc=example,dc=com";
    kivtest::SlapdOptions so;
    so.tls = false;
    so.ldif = "dn: " + suffix + "\nobjectClass: dcObject\nobjectClass: organization\no: Example\ndc: example\n\n"
              "dn: cn=reader," + suffix + "\nobjectClass: person\ncn: reader\nsn: reader\n"
              "userPassword: " + kivtest::slappasswdHash("{SSHA}", "reader-pw") + "\n\n"
              "dn: ou=people," + suffix + "\nobjectClass: organizationalUnit\nou: people\n\n"
              "dn: uid=carl,ou=people," + suffix + "\nobjectClass: inetOrgPerson\nobjectClass: posixAccount\n"
              "cn: carl\nsn: carl\nuid: carl\nuidNumber: 2001\ngidNumber: 3001\nhomeDirectory: /home/carl\n"
              "userPassword: " + kivtest::slappasswdHash("{SSHA}", "carl-pw") + "\n\n"
              "dn: ou=groups," + suffix + "\nobjectClass: organizationalUnit\nou: groups\n\n"
              "dn: cn=staff,ou=groups," + suffix + "\nobjectClass: posixGroup\nobjectClass: extensibleObject\n"
              "cn: staff\ngidNumber: 3001\nmember: uid=carl,ou=people," + suffix + "\n\n";
    kivtest::Slapd slapd(so);
    ASSERT_TRUE(slapd.start()) << slapd.error();

    DaemonOptions opts;
    opts.modules = {{kivtest::binPath("kivmodldapnss.so"), "kivmodldapnss.so"}};
    // QUERY: a service bind, a DN search, the user's bind and search, then the
    // group search: many points at which the server can stop answering.
    opts.config = baseConfig("methods=ldap\nenableldap=true\n"
                             "LDAP_HOST=" + slapd.hostPort() + "\nLDAP_AUTH_METHOD=QUERY\nLDAP_TIMEOUT=1\n"
                             "LDAP_HOST_DN=cn=reader," + suffix + "\nLDAP_HOST_PW=reader-pw\n"
                             "LDAP_DN_SEARCH_ATTR=uid\nLDAP_SEARCHBASE=" + suffix + "\nLDAP_USERBASE=ou=people\n"
                             "LDAP_SCHEMA=RFC2307\nLDAP_RFC2307_USERNAME=uid\nLDAP_RFC2307_UID=uidNumber\n"
                             "LDAP_RFC2307_GID=gidNumber\nLDAP_RFC2307_PASSWD=userPassword\n"
                             "LDAP_RFC2307_LASTCHANGE=shadowLastChange\nLDAP_RFC2307_MAXAGE=shadowMax\n"
                             "LDAP_RFC2307_ACCTEXPIRE=shadowExpire\n"
                             "LDAP_RFC2307_GROUPS=groups\nLDAP_RFC2307_GROUP_GID=gidNumber\n"
                             "LDAP_RFC2307_GROUP_MEMBER=member\n");
    Daemon d(opts);
    ASSERT_TRUE(d.start()) << d.lastError() << kivtest::readFile(d.path("error.log"));
    ASSERT_EQ(code(exchange("carl", "carl-pw")), AUTH_OK) << kivtest::readFile(d.path("debug.log"));

    // Frozen before the request: even the right password cannot succeed.
    // Frozen a little later: a wrong password never succeeds either way.
    // Every answer comes within a few LDAP_TIMEOUTs, long before the client
    // would give up.
    const int delaysMs[] = {0, 1, 2, 3, 5};
    for (const char *password : {"carl-pw", "wrong"}) {
        for (int delay : delaysMs) {
            const bool right = std::string(password) == "carl-pw";
            if (right && delay > 0) continue;
            const auto start = Clock::now();
            auto pending = std::async(std::launch::async, [&] { return exchange("carl", password, 20000); });
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            ASSERT_EQ(kill(slapd.pid(), SIGSTOP), 0);
            const kiv::Result r = pending.get();
            const long took = msSince(start);
            ASSERT_EQ(kill(slapd.pid(), SIGCONT), 0);
            ASSERT_TRUE(r.reply.has_value()) << r.error << " delay " << delay;
            EXPECT_NE(r.reply->code, AUTH_OK) << password << " delay " << delay;
            EXPECT_LT(took, 6000) << password << " delay " << delay;
        }
    }
    // Thawed: served as before.
    EXPECT_EQ(code(exchange("carl", "carl-pw")), AUTH_OK);

    // Stopped mid-request, and gone for the requests after it.
    auto pending = std::async(std::launch::async, [&] { return exchange("carl", "wrong", 20000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    slapd.stop();
    const kiv::Result during = pending.get();
    ASSERT_TRUE(during.reply.has_value()) << during.error;
    EXPECT_NE(during.reply->code, AUTH_OK);
    for (const char *password : {"carl-pw", "wrong"}) {
        const auto start = Clock::now();
        const kiv::Result r = exchange("carl", password);
        ASSERT_TRUE(r.reply.has_value()) << r.error;
        EXPECT_NE(r.reply->code, AUTH_OK) << password;
        EXPECT_LT(msSince(start), 6000) << password;
    }
    EXPECT_TRUE(d.running());
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_CLEAN(d);
}

TEST(Faults, OutOfDescriptorsOnAcceptSurvivesAndServesWhenFreed) {
    accounts();
    Daemon d(DaemonOptions{baseConfig("methods=pw\nnumThreads=2\n")});
    START_DAEMON(d);
    ASSERT_EQ(code(exchange("alice", "alice-pw")), AUTH_OK);
    const pid_t pid = d.servingPid();
    const int inUse = openDescriptors(pid);
    ASSERT_GT(inUse, 0);
    // Room for a request and its lookups, but not for many connections.
    const int limit = inUse + 6;
    const rlimit tight{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);

    // Idle connections take the last descriptors; the rest wait in the
    // backlog while accept() fails with EMFILE.
    std::vector<std::unique_ptr<kiv::Connection>> idle;
    for (int i = 0; i < 16; ++i) {
        idle.push_back(std::make_unique<kiv::Connection>());
        ASSERT_TRUE(idle.back()->connect()) << idle.back()->error();
    }
    EXPECT_TRUE(kivtest::waitFor([&] { return openDescriptors(pid) >= limit; }));
    auto pending = std::async(std::launch::async, [] { return exchange("alice", "alice-pw", 20000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(d.running());

    // Descriptors free up.  The request that waited meanwhile is answered
    // (it may still meet the shortage while the backlog is accepted, and the
    // name service then cannot open the account files).
    const auto freed = Clock::now();
    idle.clear();
    const kiv::Result r = pending.get();
    ASSERT_TRUE(r.reply.has_value()) << r.error;
    EXPECT_LT(msSince(freed), 8000);
    // Once the backlog is drained, everything is served as before.
    EXPECT_TRUE(kivtest::waitFor([&] { return openDescriptors(pid) <= inUse; }));
    EXPECT_EQ(code(exchange("alice", "alice-pw")), AUTH_OK);
    EXPECT_EQ(code(exchange("bob", "bob-pw")), AUTH_OK);
    EXPECT_EQ(code(exchange("bob", "wrong")), AUTH_NOAUTH);
    EXPECT_TRUE(d.running());
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_CLEAN(d);
}

TEST(Faults, AllocationFailureAnywhereInARequestNeverCrashesOrGrantsAccess) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer runtime owns malloc; the preloaded shim cannot replace it";
#endif
    accounts();
    const std::string shim = kivtest::makeTempDir("failalloc");
    const std::string control = shim + "/control";
    const std::string fired = shim + "/fired";
    DaemonOptions opts;
    opts.config = baseConfig("methods=pw\n");
    opts.env = {{"LD_PRELOAD", std::string(KIV_TESTMOD_DIR) + "/kivfailalloc.so"},
                {"KIV_FAILALLOC_CONTROL", control},
                {"KIV_FAILALLOC_FIRED", fired}};
    Daemon failing(opts);
    START_DAEMON(failing);
    // The first request loads the name-service modules; a failure inside the
    // dynamic loader would disable them for good, which is glibc's business.
    ASSERT_EQ(code(exchange("alice", "alice-pw")), AUTH_OK);

    for (const std::string password : {"wrong", "alice-pw"}) {
        int reached = 0;
        for (int n = 1, quiet = 0; n <= 2000 && quiet < 3; ++n) {
            const size_t firedBefore = kivtest::readFile(fired).size();
            kivtest::writeFile(control, std::to_string(n));
            const kiv::Result r = exchange("alice", password, 10000);
            kivtest::writeFile(control, "0");
            ASSERT_TRUE(failing.running()) << "allocation " << n << " with password " << password << "\n"
                                           << failing.stderrText();
            if (password == "wrong") {
                EXPECT_NE(code(r), AUTH_OK) << "allocation " << n;
            }
            if (kivtest::readFile(fired).size() > firedBefore) {
                reached = n;
                quiet = 0;
            } else {
                ++quiet;   // past the last allocation of this request
            }
        }
        EXPECT_GT(reached, 10) << password;
    }
    kivtest::writeFile(control, "0");
    EXPECT_EQ(code(exchange("alice", "alice-pw")), AUTH_OK);
    EXPECT_EQ(code(exchange("alice", "wrong")), AUTH_NOAUTH);
    EXPECT_EQ(failing.terminate(), 0);
}
