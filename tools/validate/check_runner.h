#pragma once

// Runs one check of dvrcore-validate in a forked child, so that a plugin that hangs or crashes
// ends only that check. The child reports each step it starts and each finding over a pipe; the
// parent gives every step a time budget, and when a step overruns it asks the child for a
// backtrace of each of its threads before killing it.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace dvr::validate {

enum class Severity { ERROR, WARNING, INFO };

const char* SeverityName(Severity severity);

// One result of a check: what is wrong and what to fix, and for a hang or a crash the stacks of
// the child's threads.
struct Finding {
    Severity severity = Severity::ERROR;
    std::string message;
    std::vector<std::string> trace;
    std::string step;  // for a hang or a crash: the step it happened in
    std::string cause; // for a hang or a crash: the same for the same fault in every check
};

// The child's side of a check: the budget it runs under and the reports it sends. Step and
// Report may be called from any thread of the child.
class CheckContext {
public:
    explicit CheckContext(std::chrono::milliseconds budget)
        : budget_(budget)
    {
    }

    // The longest any one step may take before the parent counts it as a hang.
    std::chrono::milliseconds Budget() const { return budget_; }
    // Starts a step: label names it in reports, hangMessage is the finding when it overruns the
    // budget, crashMessage (empty: a generic one) the finding when the process dies inside it, and
    // guardMessage the finding when it dies touching a page marked with GuardPage instead.
    void Step(const std::string& label, const std::string& hangMessage, const std::string& crashMessage = "",
              const std::string& guardMessage = "");
    // A finding of the check. cause, when given, names the fault the same way in every check, so
    // that it is reported once.
    void Report(Severity severity, const std::string& message, const std::string& cause = "");

private:
    std::chrono::milliseconds budget_;
};

using CheckBody = void (*)(const std::string& pluginPath, CheckContext& context);

// Marks the page at page as one no code may touch: a crash there is a read past the record that
// ends right before it. In the check's child, before the step that may touch it.
void GuardPage(const void* page, size_t size);

// Runs body(pluginPath) in a child whose working folder is workDir and returns its findings,
// hangs and crashes included. Called from a single-threaded parent.
std::vector<Finding> RunCheckInChild(CheckBody body, const std::string& pluginPath, const std::string& workDir,
                                     std::chrono::milliseconds budget);

} // namespace dvr::validate
