// kiv-bench-check: checks that a benchmark report is well formed.
//
//   kiv-bench-check REPORT.json [--strict] [--measured name,name,...]
//
// Exit status 0 when it is, 1 (with the problems listed) when it is not.
#include <cstdio>
#include <sstream>

#include "files.h"
#include "report_check.h"

using namespace kivbench;

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kiv-bench-check REPORT.json [--strict] [--measured a,b,...]\n");
        return 64;
    }
    bool strict = false;
    std::vector<std::string> measured;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--strict") {
            strict = true;
        } else if (a == "--measured" && i + 1 < argc) {
            std::stringstream ss(argv[++i]);
            std::string item;
            while (std::getline(ss, item, ','))
                if (!item.empty()) measured.push_back(item);
        } else {
            std::fprintf(stderr, "kiv-bench-check: unknown option %s\n", a.c_str());
            return 64;
        }
    }
    if (!kivtest::fileExists(argv[1])) {
        std::fprintf(stderr, "kiv-bench-check: cannot read %s\n", argv[1]);
        return 1;
    }
    std::string error;
    auto report = parseJson(kivtest::readFile(argv[1]), &error);
    if (!report) {
        std::fprintf(stderr, "kiv-bench-check: %s is not JSON: %s\n", argv[1], error.c_str());
        return 1;
    }
    auto problems = checkReport(*report, strict, measured);
    for (const std::string &p : problems) std::fprintf(stderr, "kiv-bench-check: %s\n", p.c_str());
    if (!problems.empty()) return 1;
    std::printf("kiv-bench-check: %s is well formed (%zu scenario rows)\n", argv[1],
                report->value("scenarios", Json::array()).size());
    return 0;
}
