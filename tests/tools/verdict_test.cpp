// dvrcore-inspect against the real core: both look at the same folder, and the inspector's verdict,
// file by file, must be the core's.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "json_writer.h"
#include "plugins/plugin_test_support.h"
#include "tools/verdict_test_support.h"

namespace {

using dvr::test::Child;
using dvr::test::FileEntry;
using dvr::test::InstallPlugin;
using dvr::test::InstallProbe;
using dvr::test::Json;
using dvr::test::RunInspector;
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

constexpr auto PROCESS_TIMEOUT = 60s; // generous: the suite also runs under a sanitizer

class Inspector : public ::testing::Test {
protected:
    Inspector() { dvr::test::OpenToOtherUsers(dir); }

    dvr::test::TemporaryDirectory dir;
};

TEST_F(Inspector, AgreesWithTheCoreOnEveryTestPluginAndOnTheFilesItSkips)
{
    namespace fs = std::filesystem;
    InstallPlugin(dir.Path(), ".", "dvrcore", DVRCORE_BINARY);
    // The core's own lines at every level, as in the other process tests.
    dvr::test::WriteFile(dir / "core.xml",
                         R"(<oDVR><Modules><Module><Plugin ID="-2147483648" LogLevel="0"/></Module></Modules></oDVR>)");
    for (const auto& entry : fs::directory_iterator(DVRCORE_TEST_PLUGIN_DIR))
        if (entry.path().extension() == ".so")
            InstallPlugin(dir.Path(), "plugins", entry.path().filename().string(), entry.path().string());
    InstallPlugin(dir.Path(), "plugins", "LogPI.so", dvr::test::LogPlugin());
    dvr::test::WriteFile(dir / "plugins/broken.so", "not an object");
    InstallProbe(dir.Path(), "plugins", "ok", "id 0x00110000\nwrites 1\nmask0 0xFF\n");
    InstallProbe(dir.Path(), "plugins", "dup", "id 0x00110000\n");
    InstallProbe(dir.Path(), "plugins", "fails", "id 0x00140000\nload 5\n");
    InstallProbe(dir.Path(), "plugins", "errs", "id 0x00150000\nloaderror 5\n");
    InstallProbe(dir.Path(), "plugins", "explains", "id 0x00160000\nload 3\nloadlog 50\n");
    InstallProbe(dir.Path(), "plugins", "corelike", "id 0x80000000\n");
    InstallProbe(dir.Path(), "plugins", "wide", "id 0x01230000\n");
    InstallProbe(dir.Path(), "protected-plugins", "front", "id 0x00060000\n");
    InstallProbe(dir.Path(), "protected-plugins", "dADIduX", "id 0x00130000\n");
    // Entries the core's scan passes over without a word.
    fs::create_directories(dir / "plugins/folder.so");
    fs::create_symlink(dir / "plugins/gone.so.target", dir / "plugins/dangling.so");
    InstallProbe(dir.Path(), "plugins", "upper", "id 0x00170000\n");
    fs::rename(dir / "plugins/upper.so", dir / "plugins/upper.SO");
    InstallProbe(dir.Path(), "plugins", "versioned", "id 0x00180000\n");
    fs::rename(dir / "plugins/versioned.so", dir / "plugins/versioned.so.1");

    dvr::test::InspectorRun inspected = RunInspector({"--dir", dir.Path(), "--json"});
    Json report = inspected.Parsed();
    ASSERT_FALSE(report.empty()) << inspected.output << inspected.errors;
    EXPECT_EQ(inspected.status, 1);

    dvr::test::ChildProcess core({dir / "dvrcore"},
                                 {.workingDirectory = dir.Path(), .terminal = true, .inheritedFds = {}});
    ASSERT_TRUE(core.WaitForOutput("successfully started core version", PROCESS_TIMEOUT)) << core.Output();
    ASSERT_EQ(core.Stop(SIGTERM, PROCESS_TIMEOUT), 0) << core.Output() << core.Errors();
    const std::string console = core.Output();
    const std::string statistics = dvr::test::ReadFile(dir / "core.xml");

    Strings verdicts;
    for (const auto& [key, file] : Child(report, "files")) {
        const std::string name = file.get<std::string>("file");
        const std::string verdict = file.get<std::string>("verdict");
        verdicts.push_back(name + " " + verdict);
        if (verdict == "loaded") {
            // The statistics document lists every plugin the core loaded, under its provider ID.
            auto id = std::stoul(file.get<std::string>("declares.providerID"), nullptr, 16);
            EXPECT_NE(statistics.find("<Plugin ID=\"" + std::to_string(id) + "\" Filename=\"" + name + "\""),
                      std::string::npos)
                << name << "\n"
                << statistics;
            continue;
        }
        const std::string refusal = file.get<std::string>("refusal");
        EXPECT_NE(console.find(refusal), std::string::npos) << name << ": " << refusal << "\n" << console;
        if (file.get<std::string>("outcome") != "loader-refused") {
            EXPECT_EQ(statistics.find("Filename=\"" + name + "\""), std::string::npos) << name;
        }
    }
    // Load order as the core's: the marked file first, then path order, plugins/ before protected-plugins/.
    EXPECT_EQ(verdicts,
              (Strings{"dADIduX.so loaded", "LogPI.so loaded", "broken.so refused", "corelike.so refused",
                       "dup.so loaded", "errs.so refused", "explains.so refused", "fails.so refused", "ok.so refused",
                       "plugin_fault.so loaded", "plugin_load_only.so loaded", "plugin_misnamed.so refused",
                       "plugin_needs_library.so refused", "plugin_no_load.so refused", "plugin_parent_peer.so loaded",
                       "plugin_probe.so refused", "plugin_soak.so loaded", "wide.so refused", "front.so loaded"}));
    // What a refusing plugin said during Load, answered as the core answers before its queue runs.
    std::optional<Json> explains = FileEntry(report, "explains.so");
    ASSERT_TRUE(explains);
    Strings events;
    for (const auto& [key, event] : Child(*explains, "eventsDuringLoad"))
        events.push_back(event.get<std::string>("what") + " " + event.get<std::string>("level") + " " +
                         event.get<std::string>("text") + " -> " + event.get<std::string>("answer"));
    EXPECT_EQ(events, (Strings{"log threshold query 0  -> -1", "log 50 explains: refusing, as configured -> 0",
                               "parent send 0  -> 1"}));
    EXPECT_NE(console.find("explains: refusing, as configured"), std::string::npos);
    Strings table = dvr::test::Strings(report, "table");
    ASSERT_FALSE(table.empty());
    EXPECT_EQ(table.front(), "front.so");

    // The core passes over these silently; the inspector says why.
    Strings skipped;
    for (const auto& [key, file] : Child(report, "skipped"))
        skipped.push_back(file.get<std::string>("file") + ": " + file.get<std::string>("skipReason"));
    EXPECT_EQ(skipped,
              (Strings{"dangling.so: a dangling symbolic link", "folder.so: not a regular file but a directory",
                       "upper.SO: its name does not end in exactly \".so\"",
                       "versioned.so.1: its name does not end in exactly \".so\""}));
    for (const char* name : {"dangling", "folder", "upper", "versioned"}) {
        EXPECT_EQ(console.find(name), std::string::npos) << name << "\n" << console;
        EXPECT_TRUE(dvr::test::LinesStartingWith(dvr::test::ProbeCalls(dir.Path()), std::string(name) + " ").empty());
    }
}

TEST_F(Inspector, ExitStatusSaysWhetherEveryFileLoads)
{
    const std::string loads = dvr::test::LoadOnlyPlugin();
    const std::string refused = dvr::test::NoLoadPlugin();
    InstallPlugin(dir.Path(), "plugins", "named.so.1", loads);

    EXPECT_EQ(RunInspector({loads}).status, 0);
    EXPECT_EQ(RunInspector({loads, refused}).status, 1);
    dvr::test::InspectorRun skipped = RunInspector({dir / "plugins/named.so.1", "--json"});
    EXPECT_EQ(skipped.status, 1);
    EXPECT_EQ(skipped.Parsed().get<std::string>("files..verdict", ""), "skipped") << skipped.output;
    EXPECT_EQ(RunInspector({loads, dir / "missing.so"}).status, 2);
    EXPECT_EQ(RunInspector({"--dir", dir / "missing"}).status, 2);
    EXPECT_EQ(RunInspector({}).status, 2);
    EXPECT_EQ(RunInspector({"--route", "0x40", "2"}).status, 2); // --route needs --dir
    EXPECT_EQ(RunInspector({"--timeout", "soon", loads}).status, 2);
    if (geteuid() == 0) {
        dvr::test::InspectorRun noUser = RunInspector({"--user", "no-such-user-here", loads});
        EXPECT_EQ(noUser.status, 2);
        EXPECT_NE(noUser.errors.find("no-such-user-here"), std::string::npos) << noUser.errors;
    }
}

TEST_F(Inspector, DeclarationIsDecodedAndCheckedAgainstTheExports)
{
    InstallProbe(dir.Path(), "plugins", "levels", "id 0x00210000\nlevel 101\nwrites 1\nmask6 0x02000002\n");
    dvr::test::InspectorRun run =
        RunInspector({"--json", dvr::test::LoadOnlyPlugin(), dvr::test::LogPlugin(), dir / "plugins/levels.so"});
    Json report = run.Parsed();
    ASSERT_FALSE(report.empty()) << run.output << run.errors;

    std::optional<Json> loadOnly = FileEntry(report, "plugin_load_only.so");
    ASSERT_TRUE(loadOnly);
    Strings warnings = dvr::test::Strings(*loadOnly, "warnings");
    ASSERT_EQ(warnings.size(), 3u) << run.output;
    EXPECT_EQ(warnings[0].rfind("acceptsWrites is set but Write is not exported", 0), 0u);
    EXPECT_EQ(warnings[1].rfind("wantsWorkerThread is set but IOCTL is not exported", 0), 0u);
    EXPECT_EQ(warnings[2].rfind("wantsReads is set but Read is not exported", 0), 0u);
    EXPECT_EQ(loadOnly->get<std::string>("declares.moduleIndex"), "32");

    std::optional<Json> logPlugin = FileEntry(report, "LogPI.so");
    ASSERT_TRUE(logPlugin);
    EXPECT_EQ(logPlugin->get<std::string>("declares.logPlugin"), "true");
    EXPECT_EQ(logPlugin->get<std::string>("declares.moduleName"), "logpi");

    std::optional<Json> levels = FileEntry(report, "levels.so");
    ASSERT_TRUE(levels);
    EXPECT_EQ(levels->get<std::string>("declares.logLevelDefaultUse"), "ignored-out-of-range");
    // Write is exported and the mask takes the core's log lines: a log plugin as well.
    EXPECT_EQ(levels->get<std::string>("declares.logPlugin"), "true");
    Strings levelWarnings = dvr::test::Strings(*levels, "warnings");
    EXPECT_NE(std::find(levelWarnings.begin(), levelWarnings.end(),
                        "logLevelDefault 101: outside -1 to 100: the core ignores it"),
              levelWarnings.end())
        << run.output;
    // Class 0x0040's mask 0x02000002 lets EVF_LOG_MESSAGE and EVF_MEDIA_GATED through to Write.
    for (const auto& [key, mask] : Child(*levels, "declares.classMasks"))
        if (mask.get<std::string>("class") == "0x0040") {
            EXPECT_EQ(mask.get<std::string>("writeFlags"), "0x81000002");
        }
}

TEST_F(Inspector, CrashesNearMissesAndMissingLibrariesAreNamed)
{
    InstallProbe(dir.Path(), "plugins", "crashes", "id 0x00220000\nloadlog 25\nloadcrash 1\n");
    dvr::test::InspectorRun run =
        RunInspector({"--json", dir / "plugins/crashes.so", DVRCORE_TEST_PLUGIN_DIR "/plugin_misnamed.so",
                      DVRCORE_TEST_PLUGIN_DIR "/plugin_needs_library.so"});
    EXPECT_EQ(run.status, 1);
    Json report = run.Parsed();
    ASSERT_FALSE(report.empty()) << run.output << run.errors;

    std::optional<Json> crashes = FileEntry(report, "crashes.so");
    ASSERT_TRUE(crashes);
    EXPECT_EQ(crashes->get<std::string>("verdict"), "failed");
    EXPECT_EQ(crashes->get<std::string>("endingText"), "Load was ended by SIGABRT (Aborted)");
    // What it logged before it went down still arrives.
    Strings texts;
    for (const auto& [key, event] : Child(*crashes, "eventsDuringLoad"))
        texts.push_back(event.get<std::string>("text"));
    EXPECT_NE(std::find(texts.begin(), texts.end(), "crashes: refusing, as configured"), texts.end());

    std::optional<Json> misnamed = FileEntry(report, "plugin_misnamed.so");
    ASSERT_TRUE(misnamed);
    Strings misses;
    for (const auto& [key, miss] : Child(*misnamed, "nearMisses"))
        misses.push_back(miss.get<std::string>("symbol") + " " + miss.get<std::string>("entryPoint"));
    std::sort(misses.begin(), misses.end());
    EXPECT_EQ(misses, (Strings{"_Z4LoadPvS_ Load", "load Load"}));
    EXPECT_EQ(misnamed->get<std::string>("outcome"), "missing-load");

    std::optional<Json> needs = FileEntry(report, "plugin_needs_library.so");
    ASSERT_TRUE(needs);
    EXPECT_EQ(needs->get<std::string>("outcome"), "loader-refused");
    EXPECT_EQ(needs->get<std::string>("unresolvedLibraries..name", ""), "libverdict_needed.so") << run.output;
    EXPECT_NE(needs->get<std::string>("dlerror").find("libverdict_needed.so"), std::string::npos);
    // Entry points of a file dlopen refuses come from its ELF symbol table.
    EXPECT_EQ(needs->get<std::string>("exports.source"), "elf");
    EXPECT_EQ(needs->get<std::string>("exports.Load"), "true");
}

TEST_F(Inspector, RouteNamesTheEntryPointsTheCoreWouldCall)
{
    InstallProbe(dir.Path(), "plugins", "logger", "id 0x00110000\nwrites 1\nmask6 0x02000002\n");
    InstallProbe(dir.Path(), "plugins", "video", "id 0x00120000\nwrites 1\nmask0 0x02000000\n");
    InstallProbe(dir.Path(), "plugins", "reader", "id 0x00130000\nreads 1\nmask0 0x00800000\n");
    InstallProbe(dir.Path(), "protected-plugins", "front", "id 0x00060000\n");

    auto receivers = [this](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--json", "--dir", dir.Path()});
        dvr::test::InspectorRun run = RunInspector(arguments);
        Strings names;
        for (const auto& [key, receiver] : Child(run.Parsed(), "route.receivers"))
            names.push_back(receiver.get<std::string>("file") + " " + receiver.get<std::string>("call"));
        return names;
    };
    EXPECT_EQ(receivers({"--route", "0x40", "0x01000002"}), (Strings{"logger.so Write"}));
    EXPECT_EQ(receivers({"--route", "1", "0x01000000"}), (Strings{"video.so Write"}));
    EXPECT_EQ(receivers({"--route", "1", "0x02000000"}), (Strings{}));
    // The table order: the 0x00060000 plugin first, though it loads last.
    EXPECT_EQ(
        receivers({"--route", "0x100", "0x01000010", "--from", "0x00120000"}),
        (Strings{"front.so IOCTL(IOCTL_CONFIG)", "logger.so IOCTL(IOCTL_CONFIG)", "reader.so IOCTL(IOCTL_CONFIG)"}));
    EXPECT_EQ(receivers({"--route", "1", "0x01000000", "--stream"}), (Strings{"reader.so Read (reader thread)"}));
    EXPECT_EQ(receivers({"--route", "0x1000", "0", "--stream"}), (Strings{}));
}

// Log texts are a plugin's bytes: quotes, control characters and broken UTF-8 must still give JSON
// that parses, with the valid characters kept as they were.
TEST(InspectorJson, EveryStringIsEscapedSoTheOutputParses)
{
    EXPECT_EQ(dvr::inspect::JsonString("say \"hi\"\\\n\t\x01\x7f"), R"("say \"hi\"\\\n\t\u0001\u007f")");
    EXPECT_EQ(dvr::inspect::JsonString("caf\xc3\xa9 \xff \xc3 \xed\xa0\x80"),
              "\"caf\xc3\xa9 \\ufffd \\ufffd \\ufffd\\ufffd\\ufffd\"");
    dvr::inspect::JsonWriter json;
    json.BeginObject();
    json.Key("text");
    json.String(std::string("line\0one\r\n\"two\"", 15));
    json.Key("list");
    json.BeginArray();
    json.Number(-1);
    json.Bool(true);
    json.Null();
    json.EndArray();
    json.EndObject();
    dvr::test::InspectorRun run;
    run.output = json.Text();
    Json tree = run.Parsed();
    EXPECT_EQ(tree.get<std::string>("text", "unparsed"), std::string("line\0one\r\n\"two\"", 15)) << json.Text();
    EXPECT_EQ(json.Text(), R"({"text":"line\u0000one\r\n\"two\"","list":[-1,true,null]})");
}

} // namespace
