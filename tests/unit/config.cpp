// Configuration reader: line cutting, key/value cleaning, failures, the path
// derivation and the settings dump.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "log.h"
#include "log_files.h"
#include "syslog_capture.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;
const std::pair<std::string, std::string> kProgram{"program", "kiv-services-daemon"};

struct Parsed {
    int rc = 0;
    Entries entries;
    bool operator==(const Parsed &) const = default;
};

Parsed copyOut(int rc, ConfigEntry *list) {
    Parsed p{rc, {}};
    for (int i = 0; i < rc; ++i) {
        EXPECT_TRUE(list[i].key != nullptr && list[i].value != nullptr);
        p.entries.emplace_back(list[i].key ? list[i].key : "", list[i].value ? list[i].value : "");
    }
    if (rc > 0) freeConfiguration(list, rc);
    return p;
}

Parsed parse(const std::string &text) {
    ConfigEntry *list = nullptr;
    int rc = parseConfiguration(text.data(), text.size(), &list);
    return copyOut(rc, list);
}

// The entries taken from the file (entry 0 checked and dropped).
Entries fileEntries(const std::string &text) {
    Parsed p = parse(text);
    EXPECT_GE(p.rc, 1);
    if (p.entries.empty()) return {};
    EXPECT_EQ(p.entries[0], kProgram);
    return Entries(p.entries.begin() + 1, p.entries.end());
}

TEST(ConfigParse, EmptyOrCommentOnlyGivesProgramEntryAlone) {
    for (const char *text : {"", "\n", "# comment\n\n   \n\t# indented\n", "\r\n\v\f \n"})
        EXPECT_EQ(parse(text), (Parsed{1, {kProgram}})) << text;
}

TEST(ConfigParse, KeyAndValueCleaning) {
    const Entries cases[] = {
        {{"  methods  = pw pam", ""}, {"methods", " pw pam"}},
        {{"daemon = false", ""}, {"daemon", " false"}},
        {{"k=\"quoted\"", ""}, {"k", "quoted"}},
        {{"k=\"lead", ""}, {"k", "lead"}},
        {{"k=trail\"", ""}, {"k", "trail"}},
        {{"k=in\"side", ""}, {"k", "in\"side"}},
        {{"k=\" padded \"", ""}, {"k", " padded "}},  // quote, then spaces, then quote
        {{"k=\"v\"   ", ""}, {"k", "v"}},
        {{"k=v\t ", ""}, {"k", "v\t"}},  // only 0x20 is trimmed
        {{"key=value # note", ""}, {"key", "value # note"}},
        {{"a=b=c", ""}, {"a", "b=c"}},
        {{"=v", ""}, {"", "v"}},
        {{"k=", ""}, {"k", ""}},
        {{"k=\"", ""}, {"k", ""}},
        {{"k\t=x", ""}, {"k\t", "x"}},
        {{"\v\f\r\tk=x", ""}, {"k", "x"}},
        {{"daemon=true\r", ""}, {"daemon", "true\r"}},  // CR LF files keep the CR
    };
    for (const Entries &c : cases)
        EXPECT_EQ(fileEntries(c[0].first + "\n"), Entries{c[1]}) << c[0].first;

    // Order and duplicates are kept; a last line needs no newline; a "program"
    // line is an ordinary entry; an embedded NUL ends its piece.
    static const char text[] = "a=1\nA=2\n#c=3\nprogram=x\nk=v\0junk\n\0no equals\na=4";
    EXPECT_EQ(fileEntries(std::string(text, sizeof text - 1)),
              (Entries{{"a", "1"}, {"A", "2"}, {"program", "x"}, {"k", "v"}, {"a", "4"}}));
}

TEST(ConfigParse, GrowsPastTwentyEntriesInOrder) {
    for (int n : {19, 20, 21, 30, 45}) {
        std::string text;
        Entries want;
        for (int i = 0; i < n; ++i) {
            want.emplace_back("key" + std::to_string(i), "v" + std::to_string(i));
            text += want.back().first + "=" + want.back().second + "\n";
        }
        EXPECT_EQ(fileEntries(text), want) << n;
    }
}

TEST(ConfigParse, LongLinesAreReadIn1023CharacterPieces) {
    // 1500 characters: the second piece must hold an "=" of its own.
    EXPECT_EQ(fileEntries("a=" + std::string(1021, 'x') + "b=" + std::string(475, 'y') + "\n"),
              (Entries{{"a", std::string(1021, 'x')}, {"b", std::string(475, 'y')}}));
    EXPECT_EQ(parse("a=" + std::string(1498, 'x') + "\n").rc, -102);
    // Exactly 1023 characters: the newline comes as a piece of its own.
    EXPECT_EQ(fileEntries("k=" + std::string(1021, 'z') + "\nm=n\n"),
              (Entries{{"k", std::string(1021, 'z')}, {"m", "n"}}));
}

TEST(ConfigParse, LineWithoutEqualsFailsWithItsLineNumber) {
    std::vector<int> rcs;
    auto cap = kivtest::captureSyslog([&] {
        // The long lines count as two lines each.
        for (std::string text : {std::string("a=b\n\n# c\nword\nc=d\n"),
                                 "k=" + std::string(1498, 'x') + "\nbad\n",
                                 "k=" + std::string(1021, 'x') + "\n\"quoted\"\n"}) {
            ConfigEntry *list = nullptr;
            if (parseConfiguration(text.data(), text.size(), &list) != -102) _exit(5);
        }
    });
    ASSERT_TRUE(cap.ok) << cap.error;
    ASSERT_EQ(cap.messages.size(), 3u);
    EXPECT_EQ(cap.messages[0].substr(0, 4), "<11>");  // LOG_USER | LOG_ERR
    EXPECT_EQ(kivtest::syslogText(cap.messages[0]), "Bad configuration entry at line 4\n");
    EXPECT_EQ(kivtest::syslogText(cap.messages[1]), "Bad configuration entry at line 2\n");
    EXPECT_EQ(kivtest::syslogText(cap.messages[2]), "Bad configuration entry at line 3\n");
}

// An independent model of the reading rules driven by the real fgets, to
// check the in-memory cutting against it on random input.
Parsed referenceRead(const std::string &text) {
    Parsed p{0, {kProgram}};
    FILE *f = text.empty() ? nullptr : fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    auto clean = [](std::string s) {
        if (!s.empty() && s.front() == '"') s.erase(0, 1);
        while (!s.empty() && s.back() == ' ') s.pop_back();
        if (!s.empty() && s.back() == '"') s.pop_back();
        return s;
    };
    char buf[1024];
    while (f != nullptr && fgets(buf, sizeof buf, f)) {
        std::string line(buf);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        size_t start = line.find_first_not_of(" \t\n\v\f\r");
        if (start == std::string::npos || line[start] == '#') continue;
        size_t eq = line.find('=', start);
        if (eq == std::string::npos) {
            fclose(f);
            return Parsed{-102, {}};
        }
        p.entries.emplace_back(clean(line.substr(start, eq - start)), clean(line.substr(eq + 1)));
    }
    if (f != nullptr) fclose(f);
    p.rc = static_cast<int>(p.entries.size());
    return p;
}

TEST(ConfigParse, MatchesFgetsReadingOnRandomInput) {
    std::mt19937 rng(12345);
    const char alphabet[] = {'a', 'b', '=', '=', '"', ' ', ' ', '\t', '\r', '#', '\0', 'k'};
    for (int round = 0; round < 400; ++round) {
        std::string text;
        for (int l = rng() % 6; l > 0; --l) {
            // Lengths around the 1023-character piece are the interesting ones.
            int len = (rng() % 3 == 0) ? 1015 + rng() % 20 : rng() % 40;
            if (rng() % 4 != 0) text += "k=";
            for (int i = 0; i < len; ++i) text += alphabet[rng() % sizeof alphabet];
            if (rng() % 5 != 0) text += '\n';
        }
        ASSERT_EQ(parse(text), referenceRead(text)) << "round " << round;
    }
}

TEST(ConfigFile, ReadsTheFileLikeTheParserAndReportsUnreadableFiles) {
    kivtest::TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string path = dir / "kiv-services-daemon.conf";
    for (std::string text : {std::string("methods=pw\r\n# x\n  numThreads = 8 \n"),
                             "a=1\n" + std::string(1500, 'q') + "=1\n"}) {
        std::ofstream(path, std::ios::trunc) << text;
        ConfigEntry *list = nullptr;
        int rc = getConfiguration(path.c_str(), &list);
        EXPECT_EQ(copyOut(rc, list), parse(text));
    }

    std::string missing = dir / "none.conf";
    auto cap = kivtest::captureSyslog([&] {
        ConfigEntry *list = nullptr;
        // A directory opens but cannot be read: not an empty configuration.
        if (getConfiguration(missing.c_str(), &list) != -101 ||
            getConfiguration(dir.path().c_str(), &list) != -101)
            _exit(5);
    });
    ASSERT_TRUE(cap.ok) << cap.error;
    ASSERT_EQ(cap.messages.size(), 2u);
    EXPECT_EQ(kivtest::syslogText(cap.messages[0]), "Could not read configuration from " + missing + "\n");
    EXPECT_EQ(kivtest::syslogText(cap.messages[1]), "Could not read configuration from " + dir.path() + "\n");
}

TEST(ConfigPath, DerivedFromTheProgramPath) {
    const std::pair<const char *, const char *> cases[] = {
        {"/opt/x/bin/kiv-services-daemon", "/opt/x/bin"},
        {"/kiv-services-daemon", ""},
        {"./bin/kivsd", "./bin"},
    };
    for (const auto &[program, dir] : cases) {
        char path[1024];
        std::string arg0 = program;
        char *argv[] = {arg0.data(), nullptr};
        ASSERT_EQ(getConfigPath(argv, path), 0) << program;
        EXPECT_EQ(std::string(path), std::string(dir) + "/kiv-services-daemon.conf");
        EXPECT_STREQ(kivsdDir, dir);
    }
}

TEST(ConfigPath, RefusedWithoutSlashOrWhenTooLong) {
    std::string fits = "/" + std::string(997, 'd') + "/prog";     // directory of 998
    std::string tooLong = "/" + std::string(998, 'd') + "/prog";  // directory of 999
    std::string huge = "/" + std::string(5000, 'd') + "/prog";
    auto cap = kivtest::captureSyslog([&] {
        char path[1024];
        char bare[] = "kiv-services-daemon";
        char *argv[] = {bare, nullptr};
        if (getConfigPath(argv, path) != 16) _exit(5);
        argv[0] = fits.data();
        if (getConfigPath(argv, path) != 0 || strlen(path) != 998 + 25) _exit(6);
        strcpy(kivsdDir, "unchanged");
        for (std::string *s : {&tooLong, &huge}) {
            argv[0] = s->data();
            if (getConfigPath(argv, path) != 16 || strcmp(kivsdDir, "unchanged") != 0) _exit(7);
        }
    });
    ASSERT_TRUE(cap.ok) << cap.error;
    ASSERT_EQ(cap.messages.size(), 3u);
    for (const std::string &m : cap.messages) {
        EXPECT_EQ(kivtest::syslogText(m), "Could not find configuration file path.");
        EXPECT_NE(m.find(" kiv-services-daemon["), std::string::npos) << m;
    }
}

TEST(ConfigSettings, DumpMasksOnlyTheLdapServicePassword) {
    kivtest::TempDir dir;
    ASSERT_TRUE(dir.ok());
    kivtest::ConfigList list({{"debugLog", dir / "debug.log"},
                              {"LDAP_HOST_PW", "s3cret"},
                              {"ldap_host_pw2", "visible"}});
    AuthLog log{};
    initLogs(list.data(), list.size(), &log);
    ASSERT_NE(debugLog, nullptr);
    for (int show : {0, 1, 2}) {
        log.showPasswords = show;
        logConfigSettings(list.data(), list.size(), &log);
    }
    closeLogs();
    std::vector<std::string> got = kivtest::logMessages(dir / "debug.log");
    std::vector<std::string> want;
    for (const char *pw : {"XXXX", "s3cret", "XXXX"})
        for (std::string line : {std::string("program kiv-services-daemon"), "debugLog " + (dir / "debug.log"),
                                 std::string("LDAP_HOST_PW ") + pw, std::string("ldap_host_pw2 visible")})
            want.push_back("Config: " + line);
    want.push_back("Closing logs.");
    EXPECT_EQ(got, want);
}

} // namespace
