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
#include "validation_report.h"

namespace {

using dvr::validate::Check;

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
            "  --json          print the results as one JSON object instead of text\n"
            "  --junit FILE    also write the results as JUnit XML to FILE, for CI systems\n"
            "  --help          show this text\n"
            "\n"
            "The stress check calls Write, IOCTL_PARENT and stream readers at once: it finds data races\n"
            "only when the plugin (and this tool) are built with ThreadSanitizer (-fsanitize=thread), whose\n"
            "reports then appear above the check's result.\n"
            "\n"
            "A fault that several checks meet (a Load that crashes) is reported once, by the first check\n"
            "that meets it; the checks that need what it broke are skipped.\n"
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
    bool json = false;
    std::string junitFile;
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
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--junit" && hasValue) {
            options.junitFile = argv[++i];
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

    if (!options.json)
        printf("dvrcore-validate: %s (budget %ld ms per step)\n", plugin.c_str(), options.budgetMs);
    dvr::validate::ValidationReport report(plugin, options.budgetMs, options.strict);
    for (const Check* check : options.checks) {
        if (std::string reason = report.SkipReason(*check); !reason.empty())
            report.Skip(*check, reason);
        else
            report.Add(*check, dvr::validate::RunCheckInChild(check->body, plugin, scratch,
                                                              std::chrono::milliseconds(options.budgetMs)));
        if (!options.json) {
            fputs(report.Text(report.Results().back()).c_str(), stdout);
            fflush(stdout);
        }
    }
    std::filesystem::remove_all(scratch, error);
    fputs(options.json ? report.Json().c_str() : report.Summary().c_str(), stdout);
    if (!options.junitFile.empty()) {
        std::string xml = report.JUnit();
        FILE* junit = fopen(options.junitFile.c_str(), "w");
        bool written = junit != nullptr && fwrite(xml.data(), 1, xml.size(), junit) == xml.size();
        if (junit != nullptr && fclose(junit) != 0)
            written = false;
        if (!written) {
            fprintf(stderr, "dvrcore-validate: cannot write %s: %s\n", options.junitFile.c_str(), strerror(errno));
            return EXIT_USAGE;
        }
    }
    bool violations = report.Violations();
    return violations ? EXIT_VIOLATIONS : 0;
}
