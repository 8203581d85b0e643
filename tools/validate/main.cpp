// dvrcore-validate: runs one plugin through the checks a host relies on, each in a child process
// of its own, and prints every violation with what to fix.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "check_runner.h"
#include "checks.h"

namespace {

using dvr::validate::Check;
using dvr::validate::Finding;
using dvr::validate::Severity;

constexpr int EXIT_VIOLATIONS = 1;
constexpr int EXIT_USAGE = 2;
constexpr long DEFAULT_BUDGET_MS = 2000;

void PrintUsage(FILE* to)
{
    fprintf(to,
            "Usage: dvrcore-validate [OPTIONS] FILE.so\n"
            "Runs a dvrcore plugin through the checks the core relies on and prints each violation with\n"
            "what to fix. Each check runs in a child process of its own, in a scratch working folder.\n"
            "\n"
            "  --list          list the checks and exit\n"
            "  --check NAME    run only check NAME (may be given more than once)\n"
            "  --budget MS     the longest any one step may take before it counts as a hang (default %ld);\n"
            "                  on a hang the stack of every thread of the check's process is printed\n"
            "  --strict        count warnings (timing) as errors, for CI\n"
            "  --help          show this text\n"
            "\n"
            "The stress check calls Write, IOCTL_PARENT and stream readers at once: it finds data races\n"
            "only when the plugin (and this tool) are built with ThreadSanitizer (-fsanitize=thread), whose\n"
            "reports then appear above the check's result.\n"
            "\n"
            "Exit status: 0 no error (and no warning with --strict), 1 violations, 2 usage or I/O error.\n",
            DEFAULT_BUDGET_MS);
}

const Check* FindCheck(const std::string& name)
{
    for (const Check& check : dvr::validate::Checks())
        if (name == check.name)
            return &check;
    return nullptr;
}

struct Options {
    std::string plugin;
    std::vector<const Check*> checks;
    long budgetMs = DEFAULT_BUDGET_MS;
    bool strict = false;
    bool list = false;
};

// Parses the command line; returns -1 to go on, or the exit status.
int ParseArguments(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        bool hasValue = i + 1 < argc;
        if (argument == "--help" || argument == "-h") {
            PrintUsage(stdout);
            return 0;
        } else if (argument == "--list") {
            options.list = true;
        } else if (argument == "--strict") {
            options.strict = true;
        } else if (argument == "--check" && hasValue) {
            const Check* check = FindCheck(argv[++i]);
            if (check == nullptr) {
                fprintf(stderr, "dvrcore-validate: no check named '%s' (--list shows them)\n", argv[i]);
                return EXIT_USAGE;
            }
            options.checks.push_back(check);
        } else if (argument == "--budget" && hasValue) {
            char* end = nullptr;
            options.budgetMs = strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || options.budgetMs <= 0) {
                fprintf(stderr, "dvrcore-validate: --budget takes a positive number of milliseconds\n");
                return EXIT_USAGE;
            }
        } else if (!argument.empty() && argument[0] != '-' && options.plugin.empty()) {
            options.plugin = argument;
        } else {
            fprintf(stderr, "dvrcore-validate: unexpected argument '%s'\n", argument.c_str());
            PrintUsage(stderr);
            return EXIT_USAGE;
        }
    }
    return -1;
}

void PrintFinding(const Finding& finding)
{
    printf("  %s: %s\n", dvr::validate::SeverityName(finding.severity), finding.message.c_str());
    if (!finding.trace.empty())
        printf("    threads of the check's process:\n");
    for (const std::string& line : finding.trace)
        printf("      %s\n", line.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    int status = ParseArguments(argc, argv, options);
    if (status >= 0)
        return status;
    if (options.list) {
        for (const Check& check : dvr::validate::Checks())
            printf("%-24s %s\n", check.name, check.description);
        return 0;
    }
    if (options.plugin.empty()) {
        PrintUsage(stderr);
        return EXIT_USAGE;
    }
    std::error_code error;
    std::string plugin = std::filesystem::absolute(options.plugin, error).string();
    if (error || access(plugin.c_str(), R_OK) != 0 || !std::filesystem::is_regular_file(plugin, error)) {
        fprintf(stderr, "dvrcore-validate: cannot read %s\n", options.plugin.c_str());
        return EXIT_USAGE;
    }
    char scratch[] = "/tmp/dvrcore-validate.XXXXXX";
    if (mkdtemp(scratch) == nullptr) {
        fprintf(stderr, "dvrcore-validate: cannot create a scratch folder: %s\n", strerror(errno));
        return EXIT_USAGE;
    }
    if (options.checks.empty())
        for (const Check& check : dvr::validate::Checks())
            options.checks.push_back(&check);

    printf("dvrcore-validate: %s (budget %ld ms per step)\n", plugin.c_str(), options.budgetMs);
    int errors = 0, warnings = 0, notes = 0, failed = 0;
    for (const Check* check : options.checks) {
        std::vector<Finding> findings =
            dvr::validate::RunCheckInChild(check->body, plugin, scratch, std::chrono::milliseconds(options.budgetMs));
        bool failing = false;
        for (const Finding& finding : findings) {
            errors += finding.severity == Severity::ERROR ? 1 : 0;
            warnings += finding.severity == Severity::WARNING ? 1 : 0;
            notes += finding.severity == Severity::INFO ? 1 : 0;
            failing = failing || finding.severity == Severity::ERROR ||
                      (options.strict && finding.severity == Severity::WARNING);
        }
        failed += failing ? 1 : 0;
        bool warned = !failing &&
                      findings.end() != std::find_if(findings.begin(), findings.end(),
                                                     [](const Finding& f) { return f.severity == Severity::WARNING; });
        printf("%s %s\n", failing ? "FAIL" : warned ? "WARN" : "ok  ", check->name);
        for (const Finding& finding : findings)
            PrintFinding(finding);
        fflush(stdout);
    }
    std::filesystem::remove_all(scratch, error);
    bool violations = errors > 0 || (options.strict && warnings > 0);
    printf("dvrcore-validate: %zu checks, %d failed: %d error(s), %d warning(s)%s, %d note(s): %s\n",
           options.checks.size(), failed, errors, warnings, options.strict ? " counted as errors" : "", notes,
           violations ? "FAILED" : "passed");
    return violations ? EXIT_VIOLATIONS : 0;
}
