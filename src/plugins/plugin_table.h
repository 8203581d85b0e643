#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "plugins/plugin_record.h"

namespace dvr {

// The plugin table: the loaded plugins in table order. Traversals (the queue worker, reader
// thread starts, the parent link) take an immutable snapshot and walk it with no lock held, so a
// plugin entry point may call back into the core; the main thread changes the table (load,
// close-order sort, removal) by publishing a new snapshot. Records are shared, so a change never
// moves a record or its running threads.
class PluginTable {
public:
    using Record = std::shared_ptr<PLUGININFO>;
    using Snapshot = std::shared_ptr<const std::vector<Record>>;

    PluginTable();

    // The current table, safe to walk from any thread while the table changes.
    Snapshot Load() const;
    // Counts the snapshots published: a reader that read it before its Load has that snapshot,
    // or a newer one, for as long as the count stays the same. Lock-free.
    uint64_t Generation() const { return generation_.load(std::memory_order_acquire); }

    void Append(Record record);
    void InsertFront(Record record);
    // Reorders the table with a strict weak order of records.
    void Sort(const std::function<bool(const PLUGININFO&, const PLUGININFO&)>& before);
    // Removes the record; the records after it keep their order.
    void Remove(const PLUGININFO* record);
    // Empties the table; every record's threads must have been joined.
    void Clear();

    bool Empty() const { return Load()->empty(); }
    size_t Size() const { return Load()->size(); }

private:
    void Publish(std::vector<Record> records);

    mutable std::mutex mutex_; // guards current_ (the pointer, not the records)
    Snapshot current_;
    std::atomic<uint64_t> generation_{0}; // raised under mutex_ after current_ changes
};

} // namespace dvr
