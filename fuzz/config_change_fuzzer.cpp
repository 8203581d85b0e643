// dvrcore::ApplyConfigurationChange on arbitrary text, the way a plugin's EVT_CONFIG document
// reaches it. Before each input the thresholds are reset; afterwards every entry must hold a
// threshold a change may set (-1 to 100, or the module's declared level), and when anything
// changed, the core.xml the core saved must read back to the thresholds it holds now.
#include "config/configuration.h"
#include "config/xml_file.h"
#include "fuzz_support.h"

namespace {

// The fake plugins whose thresholds core.xml lists: module indexes 4, 5 and 0xFE.
const uint32_t FAKE_IDS[] = {0x00040000, 0x00050000, 0x00FE0000};

// The declared levels: a mix of unset, zero and ordinary values.
int DeclaredLevel(unsigned index)
{
    return index % 3 == 0 ? dvr::LogLevelTable::UNSET : static_cast<int>(index % 101);
}

// A threshold before the change: the core's 25, a loaded plugin's declared level (the host fills
// it in at load when core.xml sets none), unset elsewhere.
int InitialLevel(unsigned index)
{
    if (index == 0)
        return 25;
    for (uint32_t id : FAKE_IDS)
        if (DVR_MODULE_INDEX(id) == index)
            return DeclaredLevel(index);
    return dvr::LogLevelTable::UNSET;
}

int IgnoreLogLine(void*, void* out)
{
    static_cast<_EventParmsOut*>(out)->result = 100;
    return 0;
}

dvr::fuzz::FuzzCore* core; // made once; broadcasts are refused because its stop is requested

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    dvr::fuzz::EnterScratchFolder();
    core = new dvr::fuzz::FuzzCore;
    for (uint32_t id : FAKE_IDS) {
        auto record = std::make_shared<PLUGININFO>();
        record->info.providerID = id;
        record->name = "fake.so";
        core->plugins.Append(record);
    }
    core->RequestStop(); // the documents it broadcasts are built but not queued
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (unsigned index = 0; index < dvr::LogLevelTable::SIZE; ++index) {
        core->defaultLogLevels.Set(index, DeclaredLevel(index));
        core->logLevels.Set(index, InitialLevel(index));
    }
    remove("core.xml");

    core->ApplyConfigurationChange(std::string(reinterpret_cast<const char*>(data), size));

    bool changed = false;
    for (unsigned index = 0; index < dvr::LogLevelTable::SIZE; ++index) {
        int level = core->logLevels.Get(index);
        FUZZ_CHECK((level >= -1 && level <= 100) || level == DeclaredLevel(index));
        changed = changed || level != InitialLevel(index);
    }
    // A change saves core.xml (a document may also change an entry and change it back).
    bool saved = access("core.xml", F_OK) == 0;
    FUZZ_CHECK(saved || !changed);
    if (saved) {
        dvr::CoreSettings settings;
        dvr::LogLevelTable readBack;
        dvr::LoadConfiguration(settings, readBack, IgnoreLogLine);
        FUZZ_CHECK(readBack.Get(0) == core->logLevels.Get(0));
        for (uint32_t id : FAKE_IDS)
            FUZZ_CHECK(readBack.Get(DVR_MODULE_INDEX(id)) == core->logLevels.Get(DVR_MODULE_INDEX(id)));
    }
    return 0;
}
