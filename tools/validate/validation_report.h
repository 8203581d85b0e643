#pragma once

// What one run of dvrcore-validate found, check by check, and its three forms: the text for a
// person, JSON for scripts, and JUnit XML for CI systems. A fault found by several checks (a Load
// that crashes breaks every check that loads the plugin) is one failure: the first check that met
// it reports it, the later ones name it, and the checks that depend on what broke are skipped.

#include <map>
#include <string>
#include <vector>

#include "check_runner.h"
#include "checks.h"

namespace dvr::validate {

enum class Outcome {
    PASSED,
    WARNED,  // warnings only (failed with --strict)
    FAILED,  // an error, or a warning with --strict
    SAME,    // failed only with a fault an earlier check reported
    SKIPPED, // not run: what it needs is broken
};

struct CheckResult {
    const Check* check = nullptr;
    Outcome outcome = Outcome::PASSED;
    std::vector<Finding> findings; // errors already reported by an earlier check left out
    std::string sameAs;            // SAME: the check that reported the fault, and the fault
    std::string skipReason;        // SKIPPED
};

class ValidationReport {
public:
    ValidationReport(std::string plugin, long budgetMs, bool strict);

    // The reason the check must be skipped, or empty when it is to run.
    std::string SkipReason(const Check& check) const;
    void Skip(const Check& check, const std::string& reason);
    // Adds the findings of a check that ran: faults already reported are named, not repeated.
    void Add(const Check& check, std::vector<Finding> findings);

    const std::vector<CheckResult>& Results() const { return results_; }
    // Whether the run found a violation: an error, or with --strict a warning.
    bool Violations() const;

    std::string Text(const CheckResult& result) const;
    std::string Summary() const;
    std::string Json() const;
    std::string JUnit() const;

private:
    struct Totals {
        int failed = 0, same = 0, skipped = 0, errors = 0, warnings = 0, notes = 0;
    };
    Totals Count() const;

    std::string plugin_;
    long budgetMs_;
    bool strict_;
    std::vector<CheckResult> results_;
    std::map<std::string, std::string> causes_; // fault -> the check that reported it first
    std::map<std::string, std::string> broken_; // check name or "Load" -> what broke it
};

const char* OutcomeName(Outcome outcome);

} // namespace dvr::validate
