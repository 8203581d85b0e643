#include "core/privileges.h"

namespace dvr {

bool DropPrivileges(PluginEntryPoint /*logCallback*/)
{
    // PLACEHOLDER(privilege drop): the core keeps the user, groups and capabilities it was started
    // with. Taking on the parent's user and the capability masks is still missing.
    return true;
}

} // namespace dvr
