// Configuration reader: line cutting, key/value cleaning, failures, the path
// derivation and the settings dump.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "log.h"
#include "syslog_capture.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

struct Parsed {
    int rc = 0;
    Entries entries;
};

Parsed copyOut(int rc, ConfigEntry *list) {
    Parsed p;
    p.rc = rc;
    if (rc > 0) {
        for (int i = 0; i < rc; ++i) {
            EXPECT_NE(list[i].key, nullptr);
            EXPECT_NE(list[i].value, nullptr);
            p.entries.emplace_back(list[i].key ? list[i].key : "<null>",
                                   list[i].value ? list[i].value : "<null>");
        }
        freeConfiguration(list, rc);
    }
    return p;
}

Parsed parse(const std::string &text) {
    ConfigEntry *list = nullptr;
    int rc = parseConfiguration(text.data(), text.size(), &list);
    return copyOut(rc, list);
}

// The entries read from the file, without entry 0.
Entries fileEntries(const std::string &text) {
    Parsed p = parse(text);
    EXPECT_GE(p.rc, 1);
    if (p.entries.empty()) return {};
    EXPECT_EQ(p.entries[0], (std::pair<std::string, std::string>("program", "kiv-services-daemon")));
    return Entries(p.entries.begin() + 1, p.entries.end());
}

std::string tempDir() {
    char tmpl[] = "/tmp/kivcfgXXXXXX";
    const char *d = mkdtemp(tmpl);
    EXPECT_NE(d, nullptr);
    return d ? d : "/tmp";
}

void writeText(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string readText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(ConfigParse, EmptyOrCommentOnlyGivesProgramEntryAlone) {
    for (const char *text : {"", "\n", "# comment\n\n   \n\t# indented comment\n", "\r\n\v\f \n"}) {
        Parsed p = parse(text);
        ASSERT_EQ(p.rc, 1) << "input: " << text;
        EXPECT_EQ(p.entries[0].first, "program");
        EXPECT_EQ(p.entries[0].second, "kiv-services-daemon");
    }
}

TEST(ConfigParse, KeyAndValueCleaning) {
    struct Case {
        const char *line;
        const char *key;
        const char *value;
    } cases[] = {
        {"  methods  = pw pam", "methods", " pw pam"},
        {"daemon = false", "daemon", " false"},
        {"daemon=false", "daemon", "false"},
        {"k=\"quoted\"", "k", "quoted"},
        {"k=\"lead", "k", "lead"},
        {"k=trail\"", "k", "trail"},
        {"k=in\"side", "k", "in\"side"},
        {"k=\" padded \"", "k", " padded "},      // quote first, then spaces, then quote
        {"k=\"v\"   ", "k", "v"},
        {"k=v\t ", "k", "v\t"},                   // only 0x20 is trimmed
        {"key=value # note", "key", "value # note"},
        {"a=b=c", "a", "b=c"},
        {"=v", "", "v"},
        {"k=", "k", ""},
        {"k=\"", "k", ""},
        {"\"key\" =x", "key", "x"},
        {"k\t=x", "k\t", "x"},
        {"\v\f\r\tk=x", "k", "x"},
        {"program=other", "program", "other"},
    };
    for (const Case &c : cases) {
        Entries e = fileEntries(std::string(c.line) + "\n");
        ASSERT_EQ(e.size(), 1u) << c.line;
        EXPECT_EQ(e[0].first, c.key) << c.line;
        EXPECT_EQ(e[0].second, c.value) << c.line;
    }
}

TEST(ConfigParse, CrLfLinesKeepTheCarriageReturn) {
    Entries e = fileEntries("daemon=true\r\nx = y \r\n");
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].second, "true\r");
    EXPECT_EQ(e[1].first, "x");
    EXPECT_EQ(e[1].second, " y \r");
}

TEST(ConfigParse, LastLineWithoutNewlineAndDuplicatesAreKeptInOrder) {
    Entries e = fileEntries("a=1\nA=2\n#c=3\na=4");
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0], (std::pair<std::string, std::string>("a", "1")));
    EXPECT_EQ(e[1], (std::pair<std::string, std::string>("A", "2")));
    EXPECT_EQ(e[2], (std::pair<std::string, std::string>("a", "4")));
}

TEST(ConfigParse, EmbeddedNulEndsThePiece) {
    std::string text("k=v\0junk\n\0no equals here\nx=y\n", 30);
    Entries e = fileEntries(text);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].second, "v");
    EXPECT_EQ(e[1].first, "x");
}

TEST(ConfigParse, GrowsPastTwentyEntriesInOrder) {
    for (int n : {19, 20, 21, 29, 30, 45}) {
        std::string text;
        for (int i = 0; i < n; ++i) text += "key" + std::to_string(i) + "=v" + std::to_string(i) + "\n";
        Parsed p = parse(text);
        ASSERT_EQ(p.rc, n + 1);
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(p.entries[i + 1].first, "key" + std::to_string(i));
            EXPECT_EQ(p.entries[i + 1].second, "v" + std::to_string(i));
        }
    }
}

TEST(ConfigParse, LongLinesAreReadIn1023CharacterPieces) {
    // 1500 characters: the second piece must hold an "=" of its own.
    std::string first = "a=" + std::string(1021, 'x');
    Entries e = fileEntries(first + "b=" + std::string(475, 'y') + "\n");
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].first, "a");
    EXPECT_EQ(e[0].second, std::string(1021, 'x'));
    EXPECT_EQ(e[1].first, "b");
    EXPECT_EQ(e[1].second.size(), 475u);

    EXPECT_EQ(parse("a=" + std::string(1498, 'x') + "\n").rc, -102);

    // Exactly 1023 characters: the newline comes as a piece of its own.
    e = fileEntries("k=" + std::string(1021, 'z') + "\nm=n\n");
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].second.size(), 1021u);
    EXPECT_EQ(e[1].first, "m");
}

TEST(ConfigParse, LineWithoutEqualsRejectsTheWholeFile) {
    EXPECT_EQ(parse("a=b\nword\nc=d\n").rc, -102);
    EXPECT_EQ(parse("   lonely").rc, -102);
    EXPECT_EQ(parse("x=1\n\"quoted\"\n").rc, -102);
}

TEST(ConfigParse, BadLineIsReportedToSyslogWithItsPieceNumber) {
    int rcs[3] = {0, 0, 0};
    auto cap = kivtest::captureSyslog([&] {
        ConfigEntry *list = nullptr;
        std::string plain = "a=b\n\n# c\nword\n";
        // A 1500-character line counts as two lines; 1023 plus newline too.
        std::string split = "k=" + std::string(1498, 'x') + "\nbad\n";
        std::string exact = "k=" + std::string(1021, 'x') + "\nbad\n";
        rcs[0] = parseConfiguration(plain.data(), plain.size(), &list);
        rcs[1] = parseConfiguration(split.data(), split.size(), &list);
        rcs[2] = parseConfiguration(exact.data(), exact.size(), &list);
        if (rcs[0] + rcs[1] + rcs[2] != -306) _exit(5);
    });
    ASSERT_TRUE(cap.ok) << cap.error;
    ASSERT_EQ(cap.messages.size(), 3u);
    EXPECT_EQ(cap.messages[0].substr(0, 4), "<11>");  // LOG_USER | LOG_ERR
    EXPECT_EQ(kivtest::syslogText(cap.messages[0]), "Bad configuration entry at line 4\n");
    EXPECT_EQ(kivtest::syslogText(cap.messages[1]), "Bad configuration entry at line 2\n");
    EXPECT_EQ(kivtest::syslogText(cap.messages[2]), "Bad configuration entry at line 3\n");
}

// An independent model of the reading rules, driven by the real fgets, to
// check the in-memory cutting against it on random input.
Parsed referenceRead(const std::string &text) {
    Parsed p;
    p.entries.emplace_back("program", "kiv-services-daemon");
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    if (f == nullptr || text.empty()) {
        if (f) fclose(f);
        p.rc = 1;
        return p;
    }
    char buf[1024];
    auto clean = [](std::string s) {
        if (!s.empty() && s.front() == '"') s.erase(0, 1);
        while (!s.empty() && s.back() == ' ') s.pop_back();
        if (!s.empty() && s.back() == '"') s.pop_back();
        return s;
    };
    while (fgets(buf, sizeof buf, f)) {
        std::string line(buf);
        if (line.empty()) continue;
        if (line.back() == '\n') line.pop_back();
        size_t start = line.find_first_not_of(" \t\n\v\f\r");
        if (start == std::string::npos || line[start] == '#') continue;
        size_t eq = line.find('=', start);
        if (eq == std::string::npos) {
            fclose(f);
            p.rc = -102;
            p.entries.clear();
            return p;
        }
        p.entries.emplace_back(clean(line.substr(start, eq - start)), clean(line.substr(eq + 1)));
    }
    fclose(f);
    p.rc = static_cast<int>(p.entries.size());
    return p;
}

TEST(ConfigParse, MatchesFgetsReadingOnRandomInput) {
    std::mt19937 rng(12345);
    const char alphabet[] = {'a', 'b', '=', '=', '"', ' ', ' ', '\t', '\r', '#', '\0', 'k'};
    for (int round = 0; round < 400; ++round) {
        std::string text;
        int lines = rng() % 6;
        for (int l = 0; l < lines; ++l) {
            // Lengths around the 1023-character piece size are the interesting ones.
            int len = (rng() % 3 == 0) ? 1015 + rng() % 20 : rng() % 40;
            if (rng() % 4 != 0) text += "k=";
            for (int i = 0; i < len; ++i) text += alphabet[rng() % sizeof alphabet];
            if (rng() % 5 != 0) text += '\n';
        }
        Parsed got = parse(text);
        Parsed want = referenceRead(text);
        ASSERT_EQ(got.rc, want.rc) << "round " << round;
        ASSERT_EQ(got.entries, want.entries) << "round " << round;
    }
}

TEST(ConfigFile, ReadsTheFileLikeTheParser) {
    std::string dir = tempDir();
    std::string path = dir + "/kiv-services-daemon.conf";
    std::string text = "methods=pw\r\n# x\n  numThreads = 8 \n" + std::string(1500, 'q') + "=1\n";
    writeText(path, text);
    ConfigEntry *list = nullptr;
    int rc = getConfiguration(path.c_str(), &list);
    Parsed fromFile = copyOut(rc, list);
    Parsed fromMemory = parse(text);
    EXPECT_EQ(fromFile.rc, fromMemory.rc);
    EXPECT_EQ(fromFile.entries, fromMemory.entries);
    EXPECT_EQ(fromFile.rc, -102);  // the second piece of the long line has no "="

    writeText(path, "methods=pw\nmaxtries=3\n");
    rc = getConfiguration(path.c_str(), &list);
    fromFile = copyOut(rc, list);
    ASSERT_EQ(fromFile.rc, 3);
    EXPECT_EQ(fromFile.entries[2].second, "3");
    unlink(path.c_str());
    rmdir(dir.c_str());
}

TEST(ConfigFile, UnreadableFileIsReported) {
    std::string dir = tempDir();
    std::string missing = dir + "/none.conf";
    int rcMissing = 0, rcDir = 0;
    auto cap = kivtest::captureSyslog([&] {
        ConfigEntry *list = nullptr;
        rcMissing = getConfiguration(missing.c_str(), &list);
        // A directory opens but cannot be read: not an empty configuration.
        rcDir = getConfiguration(dir.c_str(), &list);
        if (rcMissing != -101 || rcDir != -101) _exit(5);
    });
    ASSERT_TRUE(cap.ok) << cap.error;
    ASSERT_EQ(cap.messages.size(), 2u);
    EXPECT_EQ(kivtest::syslogText(cap.messages[0]), "Could not read configuration from " + missing + "\n");
    EXPECT_EQ(kivtest::syslogText(cap.messages[1]), "Could not read configuration from " + dir + "\n");
    rmdir(dir.c_str());
}

TEST(ConfigPath, DerivedFromTheProgramPath) {
    char path[1024];
    char arg0[] = "/opt/x/bin/kiv-services-daemon";
    char *argv[] = {arg0, nullptr};
    ASSERT_EQ(getConfigPath(argv, path), 0);
    EXPECT_STREQ(path, "/opt/x/bin/kiv-services-daemon.conf");
    EXPECT_STREQ(kivsdDir, "/opt/x/bin");

    char root[] = "/kiv-services-daemon";
    argv[0] = root;
    ASSERT_EQ(getConfigPath(argv, path), 0);
    EXPECT_STREQ(path, "/kiv-services-daemon.conf");
    EXPECT_STREQ(kivsdDir, "");

    char relative[] = "./bin/kivsd";
    argv[0] = relative;
    ASSERT_EQ(getConfigPath(argv, path), 0);
    EXPECT_STREQ(path, "./bin/kiv-services-daemon.conf");
    EXPECT_STREQ(kivsdDir, "./bin");
}

TEST(ConfigPath, RefusedWithoutSlashOrWhenTooLong) {
    std::string fits = "/" + std::string(997, 'd') + "/prog";        // directory of 998
    std::string tooLong = "/" + std::string(998, 'd') + "/prog";     // directory of 999
    std::string huge = "/" + std::string(5000, 'd') + "/prog";
    int rcs[4] = {-1, -1, -1, -1};
    std::string fitsPath, dirAfter;
    auto cap = kivtest::captureSyslog([&] {
        char path[1024];
        memset(path, 0, sizeof path);
        char bare[] = "kiv-services-daemon";
        char *argv[] = {bare, nullptr};
        rcs[0] = getConfigPath(argv, path);
        argv[0] = fits.data();
        rcs[1] = getConfigPath(argv, path);
        if (strlen(path) != 998 + 25) _exit(6);
        strcpy(kivsdDir, "unchanged");
        argv[0] = tooLong.data();
        rcs[2] = getConfigPath(argv, path);
        argv[0] = huge.data();
        rcs[3] = getConfigPath(argv, path);
        if (strcmp(kivsdDir, "unchanged") != 0) _exit(7);
        if (rcs[0] != 16 || rcs[1] != 0 || rcs[2] != 16 || rcs[3] != 16) _exit(5);
    });
    ASSERT_TRUE(cap.ok) << cap.error;
    ASSERT_EQ(cap.messages.size(), 3u);
    for (const std::string &m : cap.messages) {
        EXPECT_EQ(kivtest::syslogText(m), "Could not find configuration file path.");
        EXPECT_NE(m.find("kiv-services-daemon["), std::string::npos) << m;
    }
}

TEST(ConfigSettings, DumpMasksOnlyTheLdapServicePassword) {
    std::string dir = tempDir();
    std::string logPath = dir + "/debug.log";
    std::string text = "debugLog=" + logPath + "\nLDAP_HOST_PW=s3cret\nldap_host_pw2=visible\nmethods=pw\n";
    ConfigEntry *list = nullptr;
    int count = parseConfiguration(text.data(), text.size(), &list);
    ASSERT_EQ(count, 5);
    AuthLog log{};
    initLogs(list, count, &log);
    ASSERT_NE(debugLog, nullptr);

    for (int show : {0, 1, 2}) {
        log.showPasswords = show;
        logConfigSettings(list, count, &log);
    }
    closeLogs();
    freeConfiguration(list, count);

    std::string out = readText(logPath);
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) {
        size_t pos = l.find("] ");
        if (pos != std::string::npos && l.find("Config: ") != std::string::npos) lines.push_back(l.substr(pos + 2));
    }
    ASSERT_EQ(lines.size(), 15u) << out;
    const char *expected[3][5] = {
        {"program kiv-services-daemon", nullptr, "LDAP_HOST_PW XXXX", "ldap_host_pw2 visible", "methods pw"},
        {"program kiv-services-daemon", nullptr, "LDAP_HOST_PW s3cret", "ldap_host_pw2 visible", "methods pw"},
        {"program kiv-services-daemon", nullptr, "LDAP_HOST_PW XXXX", "ldap_host_pw2 visible", "methods pw"},
    };
    for (int round = 0; round < 3; ++round)
        for (int i = 0; i < 5; ++i) {
            if (expected[round][i] == nullptr) continue;
            EXPECT_EQ(lines[round * 5 + i], std::string("Config: ") + expected[round][i]);
        }
    EXPECT_EQ(out.find("s3cret"), out.rfind("s3cret"));  // exactly once: showPasswords == 1 only
    unlink(logPath.c_str());
    rmdir(dir.c_str());
}

} // namespace
