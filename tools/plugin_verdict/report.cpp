#include "report.h"

#include <cstdio>

#include "events/routing.h"
#include "plugins/plugin_records.h"

namespace dvr::inspect {
namespace {

// The entry point index in ENTRY_POINT_NAMES.
enum Entry { LOAD, UNLOAD, OPEN, CLOSE, READ, WRITE, SEEK, IOCTL };

std::string Hex(uint32_t value, int digits)
{
    char text[16];
    snprintf(text, sizeof text, "0x%0*lX", digits, static_cast<unsigned long>(value));
    return text;
}

const char* OutcomeName(LoadOutcome outcome)
{
    switch (outcome) {
    case LoadOutcome::LOADED: return "loaded";
    case LoadOutcome::LOADER_REFUSED: return "loader-refused";
    case LoadOutcome::MISSING_LOAD: return "missing-load";
    case LoadOutcome::LOAD_FAILED: return "load-failed";
    case LoadOutcome::DUPLICATE_ID: return "duplicate-id";
    case LoadOutcome::MODULE_INDEX_TOO_BIG: return "module-index-too-big";
    }
    return "unknown";
}

const char* EndingName(ProbeEnding ending)
{
    switch (ending) {
    case ProbeEnding::FINISHED: return "finished";
    case ProbeEnding::TIMED_OUT: return "timed-out";
    case ProbeEnding::SIGNALLED: return "signalled";
    case ProbeEnding::EXITED: return "exited";
    case ProbeEnding::DROP_FAILED: return "user-change-failed";
    case ProbeEnding::UNREADABLE: return "not-readable-as-user";
    case ProbeEnding::NOT_STARTED: return "not-started";
    }
    return "unknown";
}

const char* ClassName(uint32_t classBit)
{
    switch (classBit) {
    case EVT_VIDEO: return "EVT_VIDEO";
    case EVT_AUDIO: return "EVT_AUDIO";
    case EVT_STATUS: return "EVT_STATUS";
    case EVT_LOG: return "EVT_LOG";
    default: return "";
    }
}

const char* DeclaredLevelName(DeclaredLogLevel use)
{
    switch (use) {
    case DeclaredLogLevel::NONE: return "none";
    case DeclaredLogLevel::TAKEN: return "taken";
    case DeclaredLogLevel::IGNORED_OUT_OF_RANGE: return "ignored-out-of-range";
    case DeclaredLogLevel::IGNORED_NO_ENTRY: return "ignored-no-entry";
    }
    return "unknown";
}

const char* DeclaredLevelText(DeclaredLogLevel use)
{
    switch (use) {
    case DeclaredLogLevel::NONE: return "declares none";
    case DeclaredLogLevel::TAKEN: return "the module's default level, and its threshold where core.xml sets none";
    case DeclaredLogLevel::IGNORED_OUT_OF_RANGE: return "outside -1 to 100: the core ignores it";
    case DeclaredLogLevel::IGNORED_NO_ENTRY: return "module index 255 has no log level entry: the core ignores it";
    }
    return "";
}

// The event flags one class of the masks lets through, bit by bit: a flag bit passes when its own
// routing key is inside the mask, and an event passes when every one of its flag bits does.
uint32_t PassingFlags(uint32_t classBit, const _LoadParmsOut& info, uint32_t (*routingKey)(uint32_t))
{
    uint32_t passing = 0;
    for (unsigned bit = 0; bit < 32; ++bit)
        if (MatchesClassMasks(classBit, routingKey(1u << bit), info.classMasks))
            passing |= 1u << bit;
    return passing;
}

// The named flag values an event of one class may carry and still reach Write.
std::vector<std::string> PassingNames(uint32_t classBit, const _LoadParmsOut& info)
{
    static constexpr std::pair<uint32_t, const char*> NAMED[] = {{EVF_LOG_QUERY, "EVF_LOG_QUERY"},
                                                                 {EVF_LOG_MESSAGE, "EVF_LOG_MESSAGE"},
                                                                 {EVF_MEDIA_GATED, "EVF_MEDIA_GATED"},
                                                                 {EVF_CORE_LOG_LINE, "EVF_CORE_LOG_LINE"},
                                                                 {EVF_CORE_DOCUMENT, "EVF_CORE_DOCUMENT"}};
    std::vector<std::string> names;
    for (const auto& [flags, name] : NAMED)
        if (MatchesClassMasks(classBit, DeliveryRoutingKey(flags), info.classMasks))
            names.emplace_back(name);
    return names;
}

bool IsLogPlugin(const _LoadParmsOut& info)
{
    return info.acceptsWrites != 0 &&
           MatchesClassMasks(EVT_LOG, DeliveryRoutingKey(EVF_CORE_LOG_LINE), info.classMasks);
}

// Entry points as the loader found them, or from the ELF symbol table when dlopen refused the file.
struct Exports {
    bool present[8] = {};
    const char* source = "none";
};

Exports ExportsOf(const FileReport& report)
{
    Exports exports;
    if (report.probe.ending == ProbeEnding::FINISHED && report.probe.outcome != LoadOutcome::LOADER_REFUSED) {
        std::copy(std::begin(report.probe.entries), std::end(report.probe.entries), exports.present);
        exports.source = "loader";
    } else if (report.elf.read) {
        for (size_t i = 0; i < 8; ++i)
            for (const std::string& name : report.elf.exported)
                exports.present[i] = exports.present[i] || name == ENTRY_POINT_NAMES[i];
        exports.source = "elf";
    }
    return exports;
}

std::string FlagNames(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text.empty() ? "none of the named flags" : text;
}

} // namespace

std::string HexID(uint32_t value)
{
    return Hex(value, 8);
}

bool DeclarationKnown(const FileReport& report)
{
    const ProbeResult& probe = report.probe;
    return probe.ending == ProbeEnding::FINISHED && probe.outcome != LoadOutcome::LOADER_REFUSED &&
           probe.outcome != LoadOutcome::MISSING_LOAD;
}

Verdict VerdictOf(const FileReport& report)
{
    if (report.probe.ending == ProbeEnding::UNREADABLE)
        return Verdict::NOT_READABLE;
    if (report.ioError || report.probe.ending == ProbeEnding::DROP_FAILED ||
        report.probe.ending == ProbeEnding::NOT_STARTED) {
        if (report.skipReason && !report.ioError && !report.inspected)
            return Verdict::SKIPPED;
        return Verdict::NOT_INSPECTED;
    }
    if (report.skipReason)
        return Verdict::SKIPPED;
    if (report.probe.ending != ProbeEnding::FINISHED)
        return Verdict::FAILED;
    return report.probe.outcome == LoadOutcome::LOADED ? Verdict::LOADED : Verdict::REFUSED;
}

const char* VerdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::LOADED: return "loaded";
    case Verdict::REFUSED: return "refused";
    case Verdict::SKIPPED: return "skipped";
    case Verdict::FAILED: return "failed";
    case Verdict::NOT_INSPECTED: return "not-inspected";
    case Verdict::NOT_READABLE: return "not-readable-as-user";
    }
    return "unknown";
}

std::vector<std::string> Warnings(const FileReport& report)
{
    std::vector<std::string> warnings;
    if (!DeclarationKnown(report))
        return warnings;
    const _LoadParmsOut& info = report.probe.info;
    const bool* has = report.probe.entries;
    if (info.acceptsWrites != 0 && !has[WRITE])
        warnings.emplace_back("acceptsWrites is set but Write is not exported: every event routed to it is a Write "
                              "call that yields -100 (PLUGIN_ENTRY_UNAVAILABLE)");
    if (info.wantsWorkerThread != 0 && !has[IOCTL])
        warnings.emplace_back("wantsWorkerThread is set but IOCTL is not exported: the worker thread's "
                              "IOCTL(IOCTL_WORKER) call yields -100 at once");
    if (info.wantsReads != 0 && !has[READ])
        warnings.emplace_back("wantsReads is set but Read is not exported: the asynchronous read thread's Read call "
                              "yields -100, and stream control events start no reader thread in it");
    if (info.acceptsWrites == 0 && has[WRITE])
        warnings.emplace_back("Write is exported but acceptsWrites is 0: the core never delivers an event to it");
    if (info.wantsReads == 0 && has[READ])
        warnings.emplace_back("Read is exported but wantsReads is 0: the core never calls Read");
    DeclaredLogLevel use = ClassifyDeclaredLogLevel(info.providerID, info.logLevelDefault);
    if (use == DeclaredLogLevel::IGNORED_OUT_OF_RANGE || use == DeclaredLogLevel::IGNORED_NO_ENTRY)
        warnings.push_back("logLevelDefault " + std::to_string(info.logLevelDefault) + ": " + DeclaredLevelText(use));
    for (std::string& problem : LoadResultHeaderProblems(info))
        warnings.push_back(std::move(problem));
    return warnings;
}

RouteAnswer Route(const std::vector<const FileReport*>& table, const RouteQuery& query)
{
    RouteAnswer answer;
    if (!query.stream && (query.eventType == EVT_RELEASE || query.eventType == EVT_PARENT_SEND)) {
        answer.summary = "a request to the core: it is never delivered to a plugin";
        return answer;
    }
    if (query.stream && query.eventType == EVT_STREAM_CLOSE) {
        answer.summary = "closes the stream: no reader thread starts";
        return answer;
    }
    if (query.stream)
        answer.summary = "a stream control event (providerID 0): never queued; a reader thread calls Read once in "
                         "each plugin that wants reads, exports Read and whose masks take the reader routing key " +
                         HexID(ReaderRoutingKey(query.eventFlags));
    else
        answer.summary = "queued and delivered in table order with the delivery routing key " +
                         HexID(DeliveryRoutingKey(query.eventFlags)) +
                         ((query.eventType & EVT_CONFIG) != 0 ? "; EVT_CONFIG: IOCTL(IOCTL_CONFIG) to every plugin but "
                                                                "the sender " +
                                                                    HexID(query.senderID)
                                                              : "");
    for (const FileReport* report : table) {
        const _LoadParmsOut& info = report->probe.info;
        const bool* has = report->probe.entries;
        RouteReceiver receiver{report->fileName, info.providerID, "", ""};
        if (query.stream) {
            if (!StartsReaderThread(query.eventType, ReaderRoutingKey(query.eventFlags), info.wantsReads != 0,
                                    has[READ], info.classMasks))
                continue;
            receiver.call = "Read (reader thread)";
        } else {
            DeliveryCall call = ChooseDelivery(query.eventType, DeliveryRoutingKey(query.eventFlags), query.senderID,
                                               info.providerID, info.acceptsWrites != 0, info.classMasks);
            if (call == DeliveryCall::NONE)
                continue;
            bool exported = call == DeliveryCall::WRITE ? has[WRITE] : has[IOCTL];
            receiver.call = call == DeliveryCall::WRITE ? "Write" : "IOCTL(IOCTL_CONFIG)";
            if (!exported)
                receiver.note = "not exported: the call yields -100";
        }
        answer.receivers.push_back(std::move(receiver));
    }
    return answer;
}

std::string TextReport(const FileReport& report)
{
    const ProbeResult& probe = report.probe;
    std::string out = report.path + "\n";
    auto line = [&out](const std::string& text) { out += "  " + text + "\n"; };
    Verdict verdict = VerdictOf(report);
    std::string status = VerdictName(verdict);
    if (verdict == Verdict::REFUSED)
        status += ": " + probe.refusal;
    else if ((verdict == Verdict::FAILED || verdict == Verdict::NOT_INSPECTED || verdict == Verdict::NOT_READABLE) &&
             !probe.endingText.empty())
        status += ": " + probe.endingText;
    else if (report.skipReason)
        status += ": " + *report.skipReason;
    line("verdict: " + status);
    if (report.skipReason && report.inspected)
        line("(the core's scan passes over it; loaded here all the same)");
    if (!report.inspected)
        return out;
    if (report.skipReason && probe.ending != ProbeEnding::FINISHED && verdict == Verdict::SKIPPED)
        line("load: " + probe.endingText);
    for (const LoaderLine& loader : probe.loaderLines)
        line("core log (level " + std::to_string(loader.level) + "): " + loader.text);
    if (!probe.loaderError.empty())
        line("dlerror: " + probe.loaderError);

    if (DeclarationKnown(report)) {
        const _LoadParmsOut& info = probe.info;
        unsigned moduleIndex = DVR_MODULE_INDEX(info.providerID);
        line("Load returned " + std::to_string(probe.loadCode) + " error " + std::to_string(info.error) + " in " +
             std::to_string(probe.loadTimeMs) + " ms");
        line("provider ID " + HexID(info.providerID) + ", module index " + std::to_string(moduleIndex) + " (" +
             Hex(moduleIndex, 3) + "), module name \"" + PluginModuleName(report.fileName) + "\"");
        const char* role = ProviderIDRole(info.providerID);
        line(std::string("role: ") + (role != nullptr ? role : "ordinary plugin") +
             (IsLogPlugin(info) ? "; log plugin (its Write takes the core's log lines)" : ""));
        line("acceptsWrites " + std::to_string(info.acceptsWrites) + ", wantsWorkerThread " +
             std::to_string(info.wantsWorkerThread) + ", wantsReads " + std::to_string(info.wantsReads));
        DeclaredLogLevel use = ClassifyDeclaredLogLevel(info.providerID, info.logLevelDefault);
        line("logLevelDefault " + std::to_string(info.logLevelDefault) + ": " + DeclaredLevelText(use));
        line("result record: size " + std::to_string(info.size) + ", version " + std::to_string(info.version));
        line("class masks (an event of the class reaches Write when its flags are within \"write\", a reader thread "
             "when within \"read\"):");
        std::string zeroMasks;
        for (unsigned i = 0; i < EVENT_CLASS_COUNT; ++i) {
            uint32_t bit = EVENT_CLASSES[i];
            std::string name = ClassName(bit);
            std::string label = Hex(bit, 4);
            if (!name.empty())
                label += " " + name;
            if (info.classMasks[i] != 0) {
                std::string text = "  class ";
                text += label;
                text += ": mask ";
                text += HexID(info.classMasks[i]);
                text += ", write ";
                text += HexID(PassingFlags(bit, info, DeliveryRoutingKey));
                text += " (";
                text += FlagNames(PassingNames(bit, info));
                text += "), read ";
                text += HexID(PassingFlags(bit, info, ReaderRoutingKey));
                line(text);
                continue;
            }
            if (!zeroMasks.empty())
                zeroMasks += ", ";
            zeroMasks += label;
        }
        if (!zeroMasks.empty())
            line("  mask 0 (Write takes only flags 0x00000000 or 0x80000000 of these, a reader thread only 0): " +
                 zeroMasks);
    }
    Exports exports = ExportsOf(report);
    if (exports.source != std::string("none")) {
        std::string present;
        std::string missing;
        for (size_t i = 0; i < 8; ++i)
            (exports.present[i] ? present : missing) += std::string(" ") + ENTRY_POINT_NAMES[i];
        line("exports (" + std::string(exports.source) + "):" + (present.empty() ? " none" : present) +
             (missing.empty() ? "" : "; missing:" + missing));
    }
    if (!report.elf.read)
        line("ELF symbol table not read: " + report.elf.error);
    for (const NearMiss& miss : report.nearMisses)
        line("near miss: \"" + miss.symbol + "\" looks meant as " + miss.entryPoint + ": " + miss.why);
    for (const UnresolvedLibrary& library : probe.unresolved)
        line("needed library not found: " + library.name + ": " + library.reason);
    for (const LoadEvent& event : probe.events) {
        std::string text = "during Load: " + event.what;
        if (event.what == "log")
            text += " level " + std::to_string(event.level) + ": " + event.text;
        else if (event.what != "log threshold query")
            text += " type " + Hex(event.eventType, 4) + " flags " + HexID(event.eventFlags) + " len " +
                    std::to_string(event.len);
        line(text + " (answered " + std::to_string(event.answer) + ")");
    }
    if (!probe.createdInWorkingFolder.empty()) {
        std::string made;
        for (const std::string& name : probe.createdInWorkingFolder)
            made += " " + name;
        line("left in the working folder (a temporary one, removed):" + made);
    }
    for (const std::string& warning : Warnings(report))
        line("warning: " + warning);
    return out;
}

std::string TextRoute(const RouteQuery& query, const RouteAnswer& answer)
{
    std::string out =
        "route of type " + Hex(query.eventType, 4) + " flags " + HexID(query.eventFlags) + ": " + answer.summary + "\n";
    if (answer.receivers.empty())
        out += "  no plugin receives it\n";
    for (const RouteReceiver& receiver : answer.receivers)
        out += "  " + receiver.fileName + " (" + HexID(receiver.providerID) + "): " + receiver.call +
               (receiver.note.empty() ? "" : ", " + receiver.note) + "\n";
    return out;
}

void JsonReport(JsonWriter& json, const FileReport& report)
{
    const ProbeResult& probe = report.probe;
    auto text = [&json](const char* key, const std::string& value) {
        json.Key(key);
        json.String(value);
    };
    auto optionalText = [&json](const char* key, const std::string& value) {
        json.Key(key);
        if (value.empty())
            json.Null();
        else
            json.String(value);
    };
    json.BeginObject();
    text("path", report.path);
    text("file", report.fileName);
    text("verdict", VerdictName(VerdictOf(report)));
    optionalText("skipReason", report.skipReason.value_or(""));
    json.Key("inspected");
    json.Bool(report.inspected);
    if (report.inspected) {
        text("ending", EndingName(probe.ending));
        optionalText("endingText", probe.endingText);
        optionalText("signal", probe.signal != 0 ? SignalName(probe.signal) : "");
        json.Key("loadCalled");
        json.Bool(probe.loadCalled);
    }
    bool finished = probe.ending == ProbeEnding::FINISHED;
    optionalText("outcome", finished ? OutcomeName(probe.outcome) : "");
    optionalText("refusal", finished ? probe.refusal : "");
    json.Key("refusalLevel");
    json.Number(finished && !probe.refusal.empty() ? probe.refusalLevel : 0);
    optionalText("dlerror", probe.loaderError);
    json.Key("coreLog");
    json.BeginArray();
    for (const LoaderLine& loader : probe.loaderLines) {
        json.BeginObject();
        json.Key("level");
        json.Number(loader.level);
        text("text", loader.text);
        json.EndObject();
    }
    json.EndArray();

    json.Key("declares");
    if (DeclarationKnown(report)) {
        const _LoadParmsOut& info = probe.info;
        json.BeginObject();
        json.Key("loadCode");
        json.Number(probe.loadCode);
        json.Key("error");
        json.Number(info.error);
        json.Key("loadTimeMs");
        json.Number(probe.loadTimeMs);
        text("providerID", HexID(info.providerID));
        json.Key("moduleIndex");
        json.Number(DVR_MODULE_INDEX(info.providerID));
        text("moduleName", PluginModuleName(report.fileName));
        const char* role = ProviderIDRole(info.providerID);
        optionalText("role", role != nullptr ? role : "");
        json.Key("logPlugin");
        json.Bool(IsLogPlugin(info));
        json.Key("acceptsWrites");
        json.Bool(info.acceptsWrites != 0);
        json.Key("wantsWorkerThread");
        json.Bool(info.wantsWorkerThread != 0);
        json.Key("wantsReads");
        json.Bool(info.wantsReads != 0);
        json.Key("logLevelDefault");
        json.Number(info.logLevelDefault);
        text("logLevelDefaultUse", DeclaredLevelName(ClassifyDeclaredLogLevel(info.providerID, info.logLevelDefault)));
        json.Key("recordSize");
        json.Number(info.size);
        json.Key("recordVersion");
        json.Number(info.version);
        json.Key("classMasks");
        json.BeginArray();
        for (unsigned i = 0; i < EVENT_CLASS_COUNT; ++i) {
            uint32_t bit = EVENT_CLASSES[i];
            json.BeginObject();
            text("class", Hex(bit, 4));
            optionalText("name", ClassName(bit));
            text("mask", HexID(info.classMasks[i]));
            text("writeFlags", HexID(PassingFlags(bit, info, DeliveryRoutingKey)));
            text("readFlags", HexID(PassingFlags(bit, info, ReaderRoutingKey)));
            json.Key("writeNamedFlags");
            json.BeginArray();
            for (const std::string& name : PassingNames(bit, info))
                json.String(name);
            json.EndArray();
            json.EndObject();
        }
        json.EndArray();
        json.EndObject();
    } else {
        json.Null();
    }

    Exports exports = ExportsOf(report);
    json.Key("exports");
    json.BeginObject();
    text("source", exports.source);
    for (size_t i = 0; i < 8; ++i) {
        json.Key(ENTRY_POINT_NAMES[i]);
        json.Bool(exports.present[i]);
    }
    json.EndObject();
    json.Key("elf");
    json.BeginObject();
    json.Key("class");
    json.Number(report.elf.elfClass);
    json.Key("machine");
    json.Number(report.elf.machine);
    optionalText("error", report.elf.read ? "" : report.elf.error);
    json.Key("needed");
    json.BeginArray();
    for (const std::string& name : report.elf.needed)
        json.String(name);
    json.EndArray();
    json.EndObject();
    json.Key("nearMisses");
    json.BeginArray();
    for (const NearMiss& miss : report.nearMisses) {
        json.BeginObject();
        text("symbol", miss.symbol);
        text("entryPoint", miss.entryPoint);
        text("why", miss.why);
        json.EndObject();
    }
    json.EndArray();
    json.Key("unresolvedLibraries");
    json.BeginArray();
    for (const UnresolvedLibrary& library : probe.unresolved) {
        json.BeginObject();
        text("name", library.name);
        text("reason", library.reason);
        json.EndObject();
    }
    json.EndArray();
    json.Key("eventsDuringLoad");
    json.BeginArray();
    for (const LoadEvent& event : probe.events) {
        json.BeginObject();
        text("what", event.what);
        text("providerID", HexID(event.providerID));
        text("eventType", HexID(event.eventType));
        text("eventFlags", HexID(event.eventFlags));
        json.Key("len");
        json.Number(event.len);
        json.Key("level");
        json.Number(event.level);
        text("text", event.text);
        json.Key("answer");
        json.Number(event.answer);
        json.EndObject();
    }
    json.EndArray();
    json.Key("createdInWorkingFolder");
    json.BeginArray();
    for (const std::string& name : probe.createdInWorkingFolder)
        json.String(name);
    json.EndArray();
    json.Key("warnings");
    json.BeginArray();
    for (const std::string& warning : Warnings(report))
        json.String(warning);
    json.EndArray();
    json.EndObject();
}

void JsonRoute(JsonWriter& json, const RouteQuery& query, const RouteAnswer& answer)
{
    json.BeginObject();
    json.Key("eventType");
    json.String(HexID(query.eventType));
    json.Key("eventFlags");
    json.String(HexID(query.eventFlags));
    json.Key("sender");
    json.String(HexID(query.senderID));
    json.Key("stream");
    json.Bool(query.stream);
    json.Key("summary");
    json.String(answer.summary);
    json.Key("receivers");
    json.BeginArray();
    for (const RouteReceiver& receiver : answer.receivers) {
        json.BeginObject();
        json.Key("file");
        json.String(receiver.fileName);
        json.Key("providerID");
        json.String(HexID(receiver.providerID));
        json.Key("call");
        json.String(receiver.call);
        json.Key("note");
        json.String(receiver.note);
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
}

} // namespace dvr::inspect
