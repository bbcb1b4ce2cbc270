#include "check/self_check.h"

#include <cstdio>

#include "check/readiness_report.h"

namespace quillmark {

const char kProblemMark[] = "Problem: ";

int printSelfCheck() {
    const ReadinessReport report = checkReadiness();
    for (const std::string& line : report.lines)
        std::printf("%s\n", line.c_str());
    for (const std::string& problem : report.problems)
        std::printf("%s%s\n", kProblemMark, problem.c_str());
    if (report.problems.empty())
        std::printf("Ready: web pages can list your certificates and sign.\n");
    std::fflush(stdout);
    return report.problems.empty() ? 0 : 1;
}

}  // namespace quillmark
