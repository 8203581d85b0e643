// dvrcore-inspect: what the core's loader would decide about plugin files, and why. Every verdict
// comes from the loader's own code (dvrcore_rules); each file is loaded in a child process of its own.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "plugins/plugin_discovery.h"
#include "report.h"

namespace {

using dvr::inspect::FileReport;

constexpr const char* PLUGIN_EXTENSION = ".so";
constexpr int EXIT_ALL_LOADED = 0;
constexpr int EXIT_NOT_ALL_LOADED = 1;
constexpr int EXIT_USAGE_OR_IO = 2;
constexpr int EXIT_NOT_READABLE = 3;

constexpr const char* HELP = R"(Usage: dvrcore-inspect [OPTIONS] FILE.so...
       dvrcore-inspect [OPTIONS] --dir FOLDER [--route TYPE FLAGS [--from ID] [--stream]]

Says what the dvrcore loader would decide about each plugin file, and why: skipped by the scan
of the plugin folders, refused (with the core's log line and the dlerror() text), or loaded. For
a file whose Load ran it decodes the self-description (provider ID, module, role, flags, class
masks, declared log level), checks the declared flags against the exported entry points, lists
near misses among the exported names and needed libraries that cannot be found, and shows what
the plugin logged or sent through its callback during Load (log threshold queries are answered
with -1, so every level is on).

Each file is loaded in a child process of its own, which is killed when Load does not return in
time. The child works in a temporary folder: what Load creates there is listed, then removed. Started as root, the child changes to an ordinary user before dlopen, so the files must be
readable by that user.

Options:
  --dir FOLDER     inspect a folder laid out like the core's: the files of FOLDER/plugins and
                   FOLDER/protected-plugins, in the core's load order, each loaded with the
                   provider IDs of the files accepted before it counted as taken. When FOLDER
                   has neither subfolder, FOLDER itself is taken as the one plugin folder. A
                   Load that crashes, hangs or ends the process stops the list there, as it
                   would stop the core: no plugin table, no route.
  --route T F      with --dir: which loaded plugins receive an event of type T with flags F
                   (numbers in C notation: 0x40, 16, 010), and through which entry point
  --from ID        the sender of the routed event (default 0x80000000, the core): an EVT_CONFIG
                   document goes to every plugin but its sender
  --stream         route a stream control event (providerID 0) to reader threads instead
  --json           print the same facts as one JSON object
  --timeout SECS   how long Load may take before its child is killed (default 10)
  --user NAME      the user the child changes to when started as root (default nobody;
                   otherwise the child keeps the user it was started as)
  --help           this text

Exit status: 0 every file loads, 1 some file is refused, skipped or fails in Load, 2 usage or
I/O error (a missing FILE or FOLDER, a failed change of user), 3 the user the child changed to
cannot read some file (no verdict for it: use --user, or let that user read it).
)";

struct Options {
    std::vector<std::string> files;
    std::string dir;
    bool json = false;
    int64_t timeoutMs = 10000;
    std::string userName = "nobody";
    bool route = false;
    dvr::inspect::RouteQuery query;
};

bool ParseNumber(const char* text, uint32_t& value)
{
    char* end = nullptr;
    errno = 0;
    unsigned long long number = strtoull(text, &end, 0);
    if (*text == '\0' || *text == '-' || *end != '\0' || errno != 0 || number > 0xFFFFFFFFull)
        return false;
    value = static_cast<uint32_t>(number);
    return true;
}

int Usage(const std::string& problem)
{
    fprintf(stderr, "dvrcore-inspect: %s\nTry dvrcore-inspect --help\n", problem.c_str());
    return EXIT_USAGE_OR_IO;
}

// Fills options from the command line; an exit status when the program ends here.
std::optional<int> ParseArguments(int argc, char** argv, Options& options)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    bool fromGiven = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto value = [&](size_t count) -> bool { return i + count < arguments.size(); };
        if (argument == "--help") {
            fputs(HELP, stdout);
            return EXIT_ALL_LOADED;
        }
        if (argument == "--json") {
            options.json = true;
        } else if (argument == "--stream") {
            options.query.stream = true;
        } else if (argument == "--dir" && value(1)) {
            options.dir = arguments[++i];
        } else if (argument == "--user" && value(1)) {
            options.userName = arguments[++i];
        } else if (argument == "--timeout" && value(1)) {
            char* end = nullptr;
            double seconds = strtod(arguments[++i].c_str(), &end);
            if (*end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > 86400)
                return Usage("--timeout takes a number of seconds above 0");
            options.timeoutMs = std::max<int64_t>(1, std::llround(seconds * 1000));
        } else if (argument == "--route" && value(2)) {
            options.route = true;
            if (!ParseNumber(arguments[i + 1].c_str(), options.query.eventType) ||
                !ParseNumber(arguments[i + 2].c_str(), options.query.eventFlags))
                return Usage("--route takes an event type and flags as 32-bit numbers");
            i += 2;
        } else if (argument == "--from" && value(1)) {
            fromGiven = true;
            if (!ParseNumber(arguments[++i].c_str(), options.query.senderID))
                return Usage("--from takes a provider ID as a 32-bit number");
        } else if (argument.rfind("--", 0) == 0) {
            return Usage("unknown option or missing value: " + argument);
        } else {
            options.files.push_back(argument);
        }
    }
    if (options.dir.empty() == options.files.empty())
        return Usage(options.dir.empty() ? "name plugin files, or a folder with --dir"
                                         : "--dir and plugin files cannot be combined");
    if ((options.route || fromGiven || options.query.stream) && options.dir.empty())
        return Usage("--route, --from and --stream need --dir");
    if ((fromGiven || options.query.stream) && !options.route)
        return Usage("--from and --stream go with --route");
    return std::nullopt;
}

// Reads the ELF facts and loads the file in a child, with the IDs in taken counted as registered.
void Inspect(FileReport& report, const Options& options, const std::optional<dvr::inspect::RunAs>& user,
             const std::vector<uint32_t>& taken, const dvr::inspect::ElfFacts& self)
{
    report.elf = dvr::inspect::ReadElfFacts(report.path);
    report.nearMisses = dvr::inspect::FindNearMisses(report.elf.exported);
    dvr::inspect::ProbeOptions probe;
    probe.timeoutMs = options.timeoutMs;
    probe.user = user;
    probe.takenIDs = taken;
    // Another machine's libraries cannot be looked for with this process's loader.
    probe.checkLibraries =
        report.elf.read && self.read && report.elf.elfClass == self.elfClass && report.elf.machine == self.machine;
    probe.elf = &report.elf;
    // dlopen searches the library path for a name without a slash; the user means the file here.
    // The child also runs in a folder of its own, so a relative path would not reach the file.
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(report.path, error);
    report.probe = dvr::inspect::ProbePluginFile(error ? report.path : absolute.string(), probe);
    report.inspected = true;
}

// The plugin folders of a --dir FOLDER, as the core scans its executable's folder.
std::vector<std::string> PluginFolders(const std::string& dir)
{
    namespace fs = std::filesystem;
    std::error_code error;
    bool laidOut = fs::is_directory(dir + "/plugins", error) || fs::is_directory(dir + "/protected-plugins", error);
    if (!laidOut)
        return {dir};
    return {dir + "/plugins", dir + "/protected-plugins"};
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (std::optional<int> status = ParseArguments(argc, argv, options))
        return *status;

    std::optional<dvr::inspect::RunAs> user;
    if (geteuid() == 0) {
        std::string error;
        user = dvr::inspect::FindUser(options.userName, error);
        if (!user) {
            fprintf(stderr, "dvrcore-inspect: started as root, but user %s cannot be used: %s\n",
                    options.userName.c_str(), error.c_str());
            return EXIT_USAGE_OR_IO;
        }
    }
    const dvr::inspect::ElfFacts self = dvr::inspect::ReadElfFacts("/proc/self/exe");

    std::vector<FileReport> reports;
    std::vector<FileReport> skipped; // --dir: entries the scan passes over
    std::vector<const FileReport*> table;
    const FileReport* stoppedAt = nullptr; // --dir: the file whose Load the core would not survive
    std::vector<std::string> notReached;   // --dir: the files after it
    bool ioError = false;
    if (options.dir.empty()) {
        for (const std::string& path : options.files) {
            FileReport report;
            report.path = path;
            report.fileName = dvr::PluginFileName(path);
            report.skipReason = dvr::PluginFileSkipReason(path, PLUGIN_EXTENSION);
            std::error_code error;
            if (std::filesystem::is_regular_file(path, error))
                Inspect(report, options, user, {CORE_PROVIDER_ID}, self);
            else if (report.skipReason && (report.skipReason->rfind("no such file", 0) == 0 ||
                                           report.skipReason->rfind("its status cannot be read", 0) == 0))
                report.ioError = true;
            reports.push_back(std::move(report));
        }
    } else {
        std::error_code error;
        if (!std::filesystem::is_directory(options.dir, error)) {
            fprintf(stderr, "dvrcore-inspect: %s is not a folder\n", options.dir.c_str());
            return EXIT_USAGE_OR_IO;
        }
        std::vector<std::string> files;
        std::vector<dvr::SkippedFile> passedOver;
        for (const std::string& folder : PluginFolders(options.dir))
            dvr::ScanPluginDirectory(folder, PLUGIN_EXTENSION, files, &passedOver);
        std::sort(files.begin(), files.end(), dvr::ComparePluginPaths);
        std::vector<uint32_t> taken = {CORE_PROVIDER_ID};
        reports.reserve(files.size());
        for (const std::string& path : files) {
            if (stoppedAt != nullptr) {
                notReached.push_back(dvr::PluginFileName(path));
                continue;
            }
            FileReport& report = reports.emplace_back();
            report.path = path;
            report.fileName = dvr::PluginFileName(path);
            Inspect(report, options, user, taken, self);
            dvr::inspect::Verdict verdict = dvr::inspect::VerdictOf(report);
            // A Load that crashes, hangs or ends the process takes the core with it: nothing after
            // this file is loaded, and no plugin table is ever built.
            if (verdict == dvr::inspect::Verdict::FAILED)
                stoppedAt = &report;
            if (verdict != dvr::inspect::Verdict::LOADED)
                continue;
            taken.push_back(report.probe.info.providerID);
            if (dvr::PlacedFirstInTable(report.probe.info.providerID) && !table.empty())
                table.insert(table.begin(), &report);
            else
                table.push_back(&report);
        }
        std::sort(passedOver.begin(), passedOver.end(),
                  [](const dvr::SkippedFile& a, const dvr::SkippedFile& b) { return a.path < b.path; });
        for (const dvr::SkippedFile& entry : passedOver) {
            FileReport& report = skipped.emplace_back();
            report.path = entry.path;
            report.fileName = dvr::PluginFileName(entry.path);
            report.skipReason = entry.reason;
        }
    }

    int status = EXIT_ALL_LOADED;
    bool notReadable = false;
    for (const std::vector<FileReport>* group : {&reports, &skipped}) {
        for (const FileReport& report : *group) {
            dvr::inspect::Verdict verdict = dvr::inspect::VerdictOf(report);
            if (verdict == dvr::inspect::Verdict::NOT_INSPECTED)
                ioError = true;
            else if (verdict == dvr::inspect::Verdict::NOT_READABLE)
                notReadable = true;
            else if (verdict != dvr::inspect::Verdict::LOADED)
                status = EXIT_NOT_ALL_LOADED;
        }
    }
    if (notReadable)
        status = EXIT_NOT_READABLE;
    if (ioError)
        status = EXIT_USAGE_OR_IO;

    std::optional<dvr::inspect::RouteAnswer> route;
    if (options.route && stoppedAt == nullptr)
        route = dvr::inspect::Route(table, options.query);
    const std::string stopText =
        stoppedAt == nullptr ? ""
                             : "the core would stop at " + stoppedAt->fileName + ": " + stoppedAt->probe.endingText +
                                   "; it goes down there, builds no plugin table and loads no file after it";

    if (options.json) {
        dvr::inspect::JsonWriter json;
        json.BeginObject();
        json.Key("files");
        json.BeginArray();
        for (const FileReport& report : reports)
            dvr::inspect::JsonReport(json, report);
        json.EndArray();
        json.Key("skipped");
        json.BeginArray();
        for (const FileReport& report : skipped)
            dvr::inspect::JsonReport(json, report);
        json.EndArray();
        if (!options.dir.empty()) {
            json.Key("table");
            if (stoppedAt != nullptr) {
                json.Null();
            } else {
                json.BeginArray();
                for (const FileReport* report : table)
                    json.String(report->fileName);
                json.EndArray();
            }
            json.Key("stoppedAt");
            if (stoppedAt != nullptr)
                json.String(stoppedAt->fileName);
            else
                json.Null();
            json.Key("stopReason");
            if (stoppedAt != nullptr)
                json.String(stopText);
            else
                json.Null();
            json.Key("notReached");
            json.BeginArray();
            for (const std::string& name : notReached)
                json.String(name);
            json.EndArray();
        }
        if (route) {
            json.Key("route");
            dvr::inspect::JsonRoute(json, options.query, *route);
        }
        json.Key("exitStatus");
        json.Number(status);
        json.EndObject();
        printf("%s\n", json.Text().c_str());
    } else {
        std::string out;
        for (const FileReport& report : reports)
            out += dvr::inspect::TextReport(report);
        if (!skipped.empty())
            out += "passed over by the core's scan:\n";
        for (const FileReport& report : skipped)
            out += "  " + report.path + ": " + *report.skipReason + "\n";
        if (stoppedAt != nullptr) {
            out += stopText + "\n";
            if (!notReached.empty()) {
                out += "not reached by the core:";
                for (const std::string& name : notReached)
                    out += " " + name;
                out += "\n";
            }
        } else if (!options.dir.empty()) {
            out += "plugin table (open order):";
            for (const FileReport* report : table)
                out += " " + report->fileName;
            out += table.empty() ? " empty\n" : "\n";
        }
        if (route)
            out += dvr::inspect::TextRoute(options.query, *route);
        fputs(out.c_str(), stdout);
    }
    return status;
}
