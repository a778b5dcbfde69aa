// Path joining and the start-up reading of the MapR keys.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <vector>

#include "log.h"
#include "mapr.h"
#include "sandbox.h"

namespace {

size_t countOf(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

std::string join(const char *dir, const char *file) {
    char *joined = concatenateFilename(dir, file);
    std::string out = joined ? joined : "<null>";
    free(joined);
    return out;
}

TEST(ConcatenateFilename, JoinsWithExactlyTheSlashesGiven) {
    EXPECT_EQ(join("/a/", "/b"), "/a//b");
    EXPECT_EQ(join("/a", "b"), "/a/b");
    EXPECT_EQ(join("/a/", "b"), "/a/b");
    EXPECT_EQ(join("/a", "/b"), "/a/b");
    EXPECT_EQ(join("rel", "x"), "rel/x");
    EXPECT_EQ(join("/srv/mapr-6", "/bin/maprlogin"), "/srv/mapr-6/bin/maprlogin");
}

TEST(ConcatenateFilename, StripsEveryTrailingSlash) {
    EXPECT_EQ(join("/a", "b/"), "/a/b");
    EXPECT_EQ(join("/a", "b///"), "/a/b");
    EXPECT_EQ(join("/a///", nullptr), "/a");
    EXPECT_EQ(join("/a", ""), "/a");
}

TEST(ConcatenateFilename, NothingLeftGivesNull) {
    EXPECT_EQ(join("/", nullptr), "<null>");
    EXPECT_EQ(join("///", nullptr), "<null>");
    EXPECT_EQ(join("/", "/"), "<null>");
}

TEST(ConcatenateFilename, MissingOrEmptyDirectoryGivesACopyOfTheName) {
    EXPECT_EQ(join(nullptr, "x/"), "x/");
    EXPECT_EQ(join("", "name"), "name");
    EXPECT_EQ(join(nullptr, nullptr), "<null>");
    EXPECT_EQ(join("", nullptr), "<null>");
}

class InitMapR : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = kivtest::makeTempDir("mapr-init");
        ASSERT_FALSE(dir_.empty());
        char *real = realpath(dir_.c_str(), nullptr);
        ASSERT_NE(real, nullptr);
        dir_ = real;
        free(real);
        debugLog = fopen((dir_ + "/debug.log").c_str(), "w");
        errorLog = fopen((dir_ + "/error.log").c_str(), "w");
        ASSERT_NE(debugLog, nullptr);
        ASSERT_NE(errorLog, nullptr);
        generateMapRCreds = 0;
        free(maprLogin);
        maprLogin = nullptr;
    }
    void TearDown() override {
        if (debugLog) fclose(debugLog);
        if (errorLog) fclose(errorLog);
        debugLog = errorLog = nullptr;
        free(maprLogin);
        maprLogin = nullptr;
        generateMapRCreds = 0;
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    // A MapR installation directory, with or without bin/maprlogin.
    std::string install(const std::string &name, bool withTool) {
        std::string home = dir_ + "/" + name;
        EXPECT_EQ(mkdir(home.c_str(), 0755), 0);
        EXPECT_EQ(mkdir((home + "/bin").c_str(), 0755), 0);
        if (withTool) kivtest::writeFile(home + "/bin/maprlogin", "#!/bin/sh\n", 0755);
        return home;
    }

    void init(std::vector<std::pair<std::string, std::string>> entries) {
        keep_ = entries;
        std::vector<ConfigEntry> list{{const_cast<char *>("program"),
                                       const_cast<char *>("kiv-services-daemon")}};
        for (auto &[k, v] : keep_) list.push_back({k.data(), v.data()});
        initMapR(list.data(), static_cast<int>(list.size()));
    }

    std::string login() const { return maprLogin ? maprLogin : "<null>"; }
    std::string debugText() const { return kivtest::readFile(dir_ + "/debug.log"); }
    std::string errorText() const { return kivtest::readFile(dir_ + "/error.log"); }
    static bool has(const std::string &text, const std::string &needle) {
        return text.find(needle) != std::string::npos;
    }

    std::string dir_;
    std::vector<std::pair<std::string, std::string>> keep_;
};

TEST_F(InitMapR, HomeThroughASymlinkIsCanonicalized) {
    std::string real = install("mapr-6", true);
    ASSERT_EQ(symlink(real.c_str(), (dir_ + "/mapr").c_str()), 0);
    std::string configured = dir_ + "/mapr/";
    init({{"mapr_home", configured}});

    EXPECT_EQ(login(), real + "/bin/maprlogin");
    EXPECT_TRUE(has(debugText(), "mapr_home is set to '" + configured + "'"));
    EXPECT_TRUE(has(debugText(), "mapr_home was canonicalized to '" + real + "'"));
    EXPECT_EQ(errorText(), "");
    EXPECT_EQ(generateMapRCreds, 0) << "mapr_home alone does not enable the step";
}

TEST_F(InitMapR, MissingToolIsReportedButThePathKept) {
    std::string home = install("empty", false);
    init({{"MAPR_HOME", home}});
    EXPECT_EQ(login(), home + "/bin/maprlogin");
    EXPECT_TRUE(has(errorText(), "maprlogin was not found at '" + home + "/bin/maprlogin'"));
}

TEST_F(InitMapR, UnresolvableHomeIsReportedAndLeavesTheEarlierPath) {
    std::string first = install("first", true);
    init({{"mapr_home", first}, {"mapr_home", dir_ + "/no/such/dir"}});
    EXPECT_EQ(login(), first + "/bin/maprlogin");
    EXPECT_TRUE(has(errorText(), "Could not canonicalize mapr_home: 2 - No such file or directory"));
}

TEST_F(InitMapR, LaterHomeReplacesEarlierOne) {
    std::string first = install("first", true);
    std::string second = install("second", true);
    init({{"mapr_home", first}, {"mapr_home", second}});
    EXPECT_EQ(login(), second + "/bin/maprlogin");
}

TEST_F(InitMapR, WithoutHomeThePathStaysUnset) {
    init({{"mapr_generate_credentials", "yes"}});
    EXPECT_EQ(maprLogin, nullptr);
}

TEST_F(InitMapR, GenerateCredentialsAcceptsOnlyItsWords) {
    for (const char *word : {"yes", "Y", "1", "TRUE", "true", "YeS"}) {
        generateMapRCreds = 0;
        init({{"Mapr_Generate_Credentials", word}});
        EXPECT_EQ(generateMapRCreds, 1) << word;
    }
    EXPECT_EQ(countOf(debugText(), "MapR credentials generation enabled"), 6u);
    for (const char *word : {"on", "no", "0", "false", "", "yess"}) {
        generateMapRCreds = 0;
        init({{"mapr_generate_credentials", word}});
        EXPECT_EQ(generateMapRCreds, 0) << word;
    }
    // A later refusing value does not switch an earlier "yes" off.
    init({{"mapr_generate_credentials", "yes"}, {"mapr_generate_credentials", "no"}});
    EXPECT_EQ(generateMapRCreds, 1);
}

} // namespace
