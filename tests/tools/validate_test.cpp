// dvrcore-validate run on real plugins: the bundled ones and the guide's example pass, and each
// plugin with one planted fault (tests/tools/broken/) fails the check meant for it, with its own
// message. Hangs are caught by a 1 s step budget that each broken plugin exceeds for good.

#include <gtest/gtest.h>

#include <unistd.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "validation_report.h"
#include "write_timing.h"

namespace {

using dvr::test::RunToEnd;

// The step budget of every run: the broken plugins block for good or overrun it tenfold.
const std::string BUDGET_MS = "1000";

struct ValidatorRun {
    int status;
    std::string output;         // standard output, then standard error
    std::string standardOutput; // alone: an emulator (qemu-user) adds its own lines to standard error
};

ValidatorRun Validate(const std::vector<std::string>& options, const std::string& plugin)
{
    std::vector<std::string> arguments = {DVRCORE_VALIDATE, "--budget", BUDGET_MS};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back(plugin);
    ValidatorRun run;
    std::string errors;
    run.status = RunToEnd(arguments, &run.standardOutput, &errors, std::chrono::seconds(60));
    run.output = run.standardOutput + errors;
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
        EXPECT_NE(run.output.find("10 checks, 0 failed, 0 with a failure already reported, 0 skipped: 0 error(s)"),
                  std::string::npos)
            << run.output;
    }
}

// Under the thread sanitizer a thread blocked on a lock runs the dump's signal handler only once it
// has the lock, so the dump of a hung step can lack the very thread that hangs.
#if defined(__SANITIZE_THREAD__)
constexpr bool THREAD_DUMPS_COMPLETE = false;
#else
constexpr bool THREAD_DUMPS_COMPLETE = true;
#endif

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
        // What was measured: the wall clock, and the CPU time of the thread that hangs.
        {"broken_close_leaves_worker_running", "close-while-running",
         "no return within 1000 ms by the wall clock; its thread dvr-worker had used",
         "ms of CPU in all: it waits (a lock, a sleep, I/O or another thread)"},
        {"broken_close_after_failed_open", "close-after-failed-open",
         "Close crashed after Open had failed: the core calls Close whatever Open returned", nullptr},
        {"broken_thread_after_unload", "unload-threads", "1 thread(s) of the plugin still running after Unload",
         nullptr},
        {"broken_keeps_blocks", "kept-blocks", "kept block(s) never given back", nullptr},
        {"broken_double_release", "kept-blocks", "kept block(s) given back more than once", nullptr},
        {"broken_spins_on_refusal", "refusal-spin", "the plugin spins on EVENT_REFUSED", nullptr},
        {"broken_no_key_frame_after_refusal", "key-frame-after-refusal", "after EVENT_NO_KEY_FRAME was not a key frame",
         nullptr},
        // A Write that waits on a lock is named by what was measured: the clock, and its thread's CPU.
        {"broken_write_waits_on_lock", "write-time", "Write did not return",
         "no return within 1000 ms by the wall clock; its thread dvr-delivery had used"},
        {"broken_record_header", "close-while-running", "Load changed the version of its result record from 2 to 1",
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plugin);
        ValidatorRun run = Validate({"--check", c.check}, TestPlugin(c.plugin));
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_NE(run.output.find(std::string("FAIL ") + c.check), std::string::npos) << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        if (c.trace != nullptr && THREAD_DUMPS_COMPLETE) {
            EXPECT_NE(run.output.find(c.trace), std::string::npos) << run.output;
        }
        // The fault-free build of the same plugin passes the same check.
        EXPECT_EQ(Validate({"--check", c.check}, TestPlugin("broken_none")).status, 0);
    }
}

// Lines of text that contain what.
size_t CountLines(const std::string& text, const std::string& what)
{
    size_t count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        count += line.find(what) != std::string::npos ? 1 : 0;
    return count;
}

// A Load that crashes in every check is one failure, named as a crash with the plugin's frame;
// the checks that need a loading plugin are skipped, not crashed again.
TEST(Validate, ACrashInLoadIsOneFailureWithThePluginsFrame)
{
    ValidatorRun run = Validate({}, TestPlugin("broken_crashes_in_load"));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(run.output.find("went past the end"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("the plugin crashed in Load with a shorter parameter record"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("SIGSEGV at address 0x0"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("in the plugin's broken_crashes_in_load.so+0x"), std::string::npos) << run.output;
    EXPECT_EQ(CountLines(run.output, "  error: "), 1u) << run.output;
    EXPECT_EQ(CountLines(run.output, "SKIP "), 8u) << run.output;
    EXPECT_NE(run.output.find("1 failed, 1 with a failure already reported, 8 skipped: 1 error(s)"), std::string::npos)
        << run.output;
    if (access("/usr/bin/addr2line", X_OK) == 0) { // the frames named with their functions and lines
        EXPECT_NE(run.output.find("(WriteThroughNull at "), std::string::npos) << run.output;
        // The validator's own frames all (a stripped system library's may stay unnamed).
        std::istringstream lines(run.output);
        for (std::string line; std::getline(lines, line);) {
            if (line.find("dvrcore-validate(+0x") != std::string::npos) {
                EXPECT_NE(line.find("] = "), std::string::npos) << line;
            }
        }
    }
}

TEST(Validate, JsonAndJUnitCarryTheResultsForCI)
{
    dvr::test::TemporaryDirectory dir;
    const std::string junit = dir / "results.xml";
    ValidatorRun run = Validate({"--json", "--junit", junit}, TestPlugin("broken_crashes_in_load"));
    EXPECT_EQ(run.status, 1) << run.output;
    boost::property_tree::ptree json;
    std::istringstream stream(run.standardOutput);
    ASSERT_NO_THROW(boost::property_tree::read_json(stream, json)) << run.output;
    EXPECT_EQ(json.get<int>("summary.failed"), 1);
    EXPECT_EQ(json.get<int>("summary.skipped"), 8);
    EXPECT_EQ(json.get<std::string>("summary.passed"), "false");
    EXPECT_EQ(json.get<std::string>("checks..outcome"), "failed"); // the first check
    const std::string xml = dvr::test::ReadFile(junit);
    EXPECT_NE(xml.find("tests=\"10\" failures=\"1\" errors=\"0\" skipped=\"9\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<testcase classname=\"dvrcore-validate.broken_crashes_in_load.so\" name=\"load-short-record\">"
                       "\n      <failure message=\"the plugin crashed in Load"),
              std::string::npos)
        << xml;

    ValidatorRun passing = Validate({"--junit", junit}, TestPlugin("broken_none"));
    EXPECT_EQ(passing.status, 0) << passing.output;
    EXPECT_NE(dvr::test::ReadFile(junit).find("failures=\"0\""), std::string::npos);
}

TEST(Validate, StrictTurnsTheSlowWriteWarningIntoAFailure)
{
    ValidatorRun relaxed = Validate({"--check", "write-time"}, TestPlugin("broken_slow_write"));
    EXPECT_EQ(relaxed.status, 0) << relaxed.output;
    EXPECT_NE(relaxed.output.find("warning: Write is slow: the median of"), std::string::npos) << relaxed.output;
    EXPECT_NE(relaxed.output.find("of it on a CPU: Write waits"), std::string::npos) << relaxed.output;
    EXPECT_NE(relaxed.output.find("core logs every Write of 6 ms or more"), std::string::npos) << relaxed.output;

    ValidatorRun strict = Validate({"--strict", "--check", "write-time"}, TestPlugin("broken_slow_write"));
    EXPECT_EQ(strict.status, 1) << strict.output;
    EXPECT_NE(strict.output.find("FAIL write-time"), std::string::npos) << strict.output;
}

// A Write's time as the harness measures it, in milliseconds.
dvr_harness_call_time Call(double wallMs, double waitingMs, double cpuMs)
{
    auto ns = [](double ms) { return static_cast<int64_t>(ms * 1e6); };
    return {ns(wallMs), ns(cpuMs), ns(waitingMs)};
}

// The write-time check judges the plugin's own time (the clock's less the wait for a CPU), by the
// median of the calls: a busy machine does not make a quick Write slow, a sleeping Write stays slow.
TEST(ValidateWriteTiming, TheMedianOfThePluginsOwnTimeIsJudged)
{
    using dvr::validate::JudgeWrites;
    using dvr::validate::OverWriteBudget;
    std::vector<dvr_harness_call_time> quick(19, Call(0.05, 0, 0.05));
    std::vector<dvr_harness_call_time> preempted = quick;
    preempted.push_back(Call(7, 0, 0.05)); // one call stopped by the machine for 7 ms
    EXPECT_FALSE(OverWriteBudget(JudgeWrites(preempted)));
    std::vector<dvr_harness_call_time> loaded(20, Call(7, 6.9, 0.05)); // each waited for a CPU
    EXPECT_FALSE(OverWriteBudget(JudgeWrites(loaded)));
    std::vector<dvr_harness_call_time> sleeping(20, Call(100, 0.1, 0.01));
    EXPECT_TRUE(OverWriteBudget(JudgeWrites(sleeping)));
    EXPECT_NE(dvr::validate::DescribeWrites(JudgeWrites(sleeping)).find("99.90 ms of the plugin's own time"),
              std::string::npos);
    std::vector<dvr_harness_call_time> busy(20, Call(6, 0, 6));
    EXPECT_TRUE(OverWriteBudget(JudgeWrites(busy)));
    EXPECT_NE(dvr::validate::DescribeWrites(JudgeWrites(busy)).find(": Write computes"), std::string::npos);
    EXPECT_FALSE(OverWriteBudget(JudgeWrites({})));
}

// A fault of the plugin as the check runner reports it.
dvr::validate::Finding Fault(const std::string& step, const std::string& cause)
{
    return {dvr::validate::Severity::ERROR, "fault: " + cause, {}, step, cause};
}

TEST(ValidateReport, OneFailurePerCauseAndTheChecksThatNeedWhatBrokeAreSkipped)
{
    using dvr::validate::Check;
    using dvr::validate::Outcome;
    const Check shortLoad{"short", "", nullptr, ""};
    const Check refusedLoad{"refused", "", nullptr, "short"};
    const Check first{"first", "", nullptr, "Load"};
    const Check second{"second", "", nullptr, "Load"};
    dvr::validate::ValidationReport report("/p/x.so", 1000, false);

    report.Add(shortLoad, {Fault("Load with a shorter record", "SIGSEGV in f of x.so")});
    EXPECT_EQ(report.SkipReason(refusedLoad), "short failed: SIGSEGV in f of x.so");
    EXPECT_EQ(report.SkipReason(first), ""); // the core's own records may still load
    report.Add(first, {Fault("Load", "SIGSEGV in f of x.so")});
    EXPECT_EQ(report.Results().back().outcome, Outcome::SAME);
    EXPECT_EQ(report.Results().back().sameAs, "short: SIGSEGV in f of x.so");
    EXPECT_EQ(report.SkipReason(second), "the plugin does not load (short: SIGSEGV in f of x.so)");
    report.Skip(second, report.SkipReason(second));

    // A fault of a later step breaks nothing the others need; a new cause is a new failure.
    dvr::validate::ValidationReport other("/p/x.so", 1000, false);
    other.Add(first, {Fault("Write", "hang in Write"), {dvr::validate::Severity::INFO, "note", {}, {}, {}}});
    EXPECT_EQ(other.SkipReason(second), "");
    other.Add(second, {Fault("Close", "SIGABRT during Close")});
    EXPECT_EQ(other.Results().back().outcome, Outcome::FAILED);
    EXPECT_NE(other.Summary().find("2 checks, 2 failed, 0 with a failure already reported, 0 skipped: 2 error(s)"),
              std::string::npos)
        << other.Summary();

    const std::string junit = report.JUnit();
    EXPECT_NE(junit.find("tests=\"3\" failures=\"1\" errors=\"0\" skipped=\"2\""), std::string::npos) << junit;
    EXPECT_EQ(junit.find("<failure", junit.find("name=\"first\"")), std::string::npos) << junit;
}

TEST(ValidateReport, JUnitEscapesThePluginsTexts)
{
    const dvr::validate::Check check{"c", "", nullptr, ""};
    dvr::validate::ValidationReport report("/p/a&b.so", 1000, false);
    report.Add(check, {{dvr::validate::Severity::ERROR, "<bad> \"quote\" & \x01", {}, {}, {}}});
    const std::string junit = report.JUnit();
    EXPECT_NE(junit.find("message=\"&lt;bad&gt; &quot;quote&quot; &amp;  \""), std::string::npos) << junit;
    EXPECT_NE(junit.find("dvrcore-validate.a&amp;b.so"), std::string::npos) << junit;
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
