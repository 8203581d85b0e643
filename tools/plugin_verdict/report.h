#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "elf_symbols.h"
#include "json_writer.h"
#include "load_probe.h"

namespace dvr::inspect {

// Everything found out about one file.
struct FileReport {
    std::string path;
    std::string fileName;
    std::optional<std::string> skipReason; // why the core's scan passes over it
    bool ioError = false;                  // the file could not be inspected at all
    bool inspected = false;                // a child tried to load it
    ElfFacts elf;
    std::vector<NearMiss> nearMisses;
    ProbeResult probe;
};

enum class Verdict {
    LOADED,
    REFUSED,       // the loader refused it, with its line
    SKIPPED,       // the core's scan passes over it
    FAILED,        // Load (or dlopen) hung, crashed or ended the process: the core would go down with it
    NOT_INSPECTED, // missing, unreadable, or the change of user failed
    NOT_READABLE   // the user the inspection runs as cannot read it: no verdict of the core
};

Verdict VerdictOf(const FileReport& report);
const char* VerdictName(Verdict verdict);

// Whether Load ran to its end, so its self-description is worth reading.
bool DeclarationKnown(const FileReport& report);

// Where a declaration and the exports disagree, and what the core then does.
std::vector<std::string> Warnings(const FileReport& report);

// Who receives an event when the plugins of table (in table order) are loaded.
struct RouteQuery {
    uint32_t eventType = 0;
    uint32_t eventFlags = 0;
    uint32_t senderID = CORE_PROVIDER_ID;
    bool stream = false; // a stream control event (providerID 0) rather than a queued one
};

struct RouteReceiver {
    std::string fileName;
    uint32_t providerID = 0;
    std::string call; // "Write", "IOCTL(IOCTL_CONFIG)" or "Read (reader thread)"
    std::string note; // what the call yields when the entry point is missing
};

struct RouteAnswer {
    std::string summary; // how the core handles this kind of event
    std::vector<RouteReceiver> receivers;
};

RouteAnswer Route(const std::vector<const FileReport*>& table, const RouteQuery& query);

// The readable report of one file.
std::string TextReport(const FileReport& report);
std::string TextRoute(const RouteQuery& query, const RouteAnswer& answer);

void JsonReport(JsonWriter& json, const FileReport& report);
void JsonRoute(JsonWriter& json, const RouteQuery& query, const RouteAnswer& answer);

// "0x%08lX", as the core prints provider IDs.
std::string HexID(uint32_t value);

} // namespace dvr::inspect
