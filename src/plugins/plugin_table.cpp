#include "plugins/plugin_table.h"

#include <algorithm>

namespace dvr {

PluginTable::PluginTable()
    : current_(std::make_shared<const std::vector<Record>>())
{
}

PluginTable::Snapshot PluginTable::Load() const
{
    std::lock_guard lock(mutex_);
    return current_;
}

void PluginTable::Publish(std::vector<Record> records)
{
    auto next = std::make_shared<const std::vector<Record>>(std::move(records));
    std::lock_guard lock(mutex_);
    current_ = std::move(next);
    generation_.fetch_add(1, std::memory_order_release);
}

void PluginTable::Append(Record record)
{
    std::vector<Record> records = *Load();
    records.push_back(std::move(record));
    Publish(std::move(records));
}

void PluginTable::InsertFront(Record record)
{
    std::vector<Record> records = *Load();
    records.insert(records.begin(), std::move(record));
    Publish(std::move(records));
}

void PluginTable::Sort(const std::function<bool(const PLUGININFO&, const PLUGININFO&)>& before)
{
    std::vector<Record> records = *Load();
    std::stable_sort(records.begin(), records.end(), [&](const Record& a, const Record& b) { return before(*a, *b); });
    Publish(std::move(records));
}

void PluginTable::Remove(const PLUGININFO* record)
{
    std::vector<Record> records = *Load();
    std::erase_if(records, [record](const Record& r) { return r.get() == record; });
    Publish(std::move(records));
}

void PluginTable::Clear()
{
    Publish({});
}

} // namespace dvr
