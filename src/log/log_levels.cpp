#include "log/log_levels.h"

namespace dvr {

LogLevelTable::LogLevelTable()
{
    for (unsigned i = SIZE; i-- > 1;)
        entries_[i].store(static_cast<int8_t>(UNSET));
    entries_[0].store(static_cast<int8_t>(LOG_INFO));
}

int LogLevelTable::Get(unsigned index) const
{
    if (index >= SIZE)
        return UNSET;
    return entries_[index].load();
}

void LogLevelTable::Set(unsigned index, int value)
{
    if (index >= SIZE)
        return;
    entries_[index].store(static_cast<int8_t>(static_cast<uint8_t>(value & 0xFF)));
}

} // namespace dvr
