// dvrcore-validate run on real plugins: the bundled ones and the guide's example pass, and each
// plugin with one planted fault (tests/tools/broken/) fails the check meant for it, with its own
// message. Hangs are caught by a 1 s step budget that each broken plugin exceeds for good.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_process.h"

namespace {

using dvr::test::RunToEnd;

// The step budget of every run: the broken plugins block for good or overrun it tenfold.
const std::string BUDGET_MS = "1000";

struct ValidatorRun {
    int status;
    std::string output;
};

ValidatorRun Validate(const std::vector<std::string>& options, const std::string& plugin)
{
    std::vector<std::string> arguments = {DVRCORE_VALIDATE, "--budget", BUDGET_MS};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back(plugin);
    ValidatorRun run;
    std::string errors;
    run.status = RunToEnd(arguments, &run.output, &errors, std::chrono::seconds(60));
    run.output += errors;
    return run;
}

std::string TestPlugin(const std::string& name)
{
    return std::string(DVRCORE_VALIDATE_PLUGIN_DIR) + "/" + name + ".so";
}

TEST(Validate, BundledPluginsAndTheExamplePass)
{
    const std::string bundled = DVRCORE_PLUGIN_DIR;
    for (const std::string& plugin : {bundled + "/LogPI.so", bundled + "/DemoSource.so", bundled + "/DemoRecorder.so",
                                      TestPlugin("Heartbeat"), TestPlugin("broken_none")}) {
        ValidatorRun run = Validate({}, plugin);
        EXPECT_EQ(run.status, 0) << plugin << "\n" << run.output;
        EXPECT_NE(run.output.find("10 checks, 0 failed: 0 error(s)"), std::string::npos) << run.output;
    }
}

TEST(Validate, EachBrokenPluginFailsItsCheckWithItsOwnMessage)
{
    struct Case {
        const char* plugin;
        const char* check;
        const char* message;
        const char* trace; // a line the threads' stacks must hold, or null
    };
    const Case cases[] = {
        {"broken_reads_past_load_size", "load-short-record",
         "Load went past the end of a shorter parameter record (_LoadParmsIn, size", "(crashed)"},
        {"broken_thread_from_refused_load", "refused-load-threads", "Load refused but left 1 thread(s) running",
         nullptr},
        {"broken_close_leaves_worker_running", "close-while-running",
         "the worker loop (IOCTL_WORKER) did not return after Close", "broken_close_leaves_worker_running.so"},
        {"broken_close_after_failed_open", "close-after-failed-open",
         "Close crashed after Open had failed: the core calls Close whatever Open returned", nullptr},
        {"broken_thread_after_unload", "unload-threads", "1 thread(s) of the plugin still running after Unload",
         nullptr},
        {"broken_keeps_blocks", "kept-blocks", "kept block(s) never given back", nullptr},
        {"broken_double_release", "kept-blocks", "kept block(s) given back more than once", nullptr},
        {"broken_spins_on_refusal", "refusal-spin", "the plugin spins on EVENT_REFUSED", nullptr},
        {"broken_no_key_frame_after_refusal", "key-frame-after-refusal", "after EVENT_NO_KEY_FRAME was not a key frame",
         nullptr},
        {"broken_record_header", "close-while-running", "Load changed the version of its result record from 2 to 1",
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plugin);
        ValidatorRun run = Validate({"--check", c.check}, TestPlugin(c.plugin));
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_NE(run.output.find(std::string("FAIL ") + c.check), std::string::npos) << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        if (c.trace != nullptr) {
            EXPECT_NE(run.output.find(c.trace), std::string::npos) << run.output;
        }
        // The fault-free build of the same plugin passes the same check.
        EXPECT_EQ(Validate({"--check", c.check}, TestPlugin("broken_none")).status, 0);
    }
}

TEST(Validate, StrictTurnsTheSlowWriteWarningIntoAFailure)
{
    ValidatorRun relaxed = Validate({"--check", "write-time"}, TestPlugin("broken_slow_write"));
    EXPECT_EQ(relaxed.status, 0) << relaxed.output;
    EXPECT_NE(relaxed.output.find("warning: a Write took"), std::string::npos) << relaxed.output;
    EXPECT_NE(relaxed.output.find("core logs every Write of 6 ms or more"), std::string::npos) << relaxed.output;

    ValidatorRun strict = Validate({"--strict", "--check", "write-time"}, TestPlugin("broken_slow_write"));
    EXPECT_EQ(strict.status, 1) << strict.output;
    EXPECT_NE(strict.output.find("FAIL write-time"), std::string::npos) << strict.output;
}

TEST(Validate, UsageErrorsExitWithTwo)
{
    ValidatorRun list = Validate({"--list"}, TestPlugin("broken_none"));
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.output.find("key-frame-after-refusal"), std::string::npos) << list.output;
    EXPECT_EQ(Validate({"--check", "no-such-check"}, TestPlugin("broken_none")).status, 2);
    EXPECT_EQ(Validate({}, TestPlugin("no_such_plugin")).status, 2);
}

} // namespace
