#include "core/privileges.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "log/core_log.h"
#include "log/log_levels.h"

namespace dvr {
namespace {

// Changing the user away from 0 must not clear the capability sets: the group change and the
// capabilities kept afterwards depend on them.
constexpr unsigned long SECBIT_NO_SETUID_FIXUP_BIT = 4;
constexpr int MAX_GROUPS = 256;
constexpr uint32_t STARTUP_CAPABILITIES = 0x23000; // CAP_NET_ADMIN, CAP_NET_RAW, CAP_SYS_RAWIO

// The real user ID of the parent process, from the first "Uid:" line of its status file; 0 when
// the file cannot be read or has no such line.
uid_t ParentUserID()
{
    std::ifstream status("/proc/" + std::to_string(static_cast<long>(getppid())) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        unsigned int uid = 0;
        if (sscanf(line.c_str(), "Uid: %u", &uid) == 1)
            return uid;
    }
    return 0;
}

} // namespace

bool DropPrivileges(PluginEntryPoint logCallback)
{
    prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP_BIT, 0, 0, 0);

    uid_t parentUser = ParentUserID();
    if (getuid() != parentUser) {
        errno = 0;
        const passwd* entry = getpwuid(parentUser);
        if (entry == nullptr) {
            CoreLog(CORE_PROVIDER_ID, logCallback, LOG_FAILURE, "getpwuid failed: %s", strerror(errno));
            return false;
        }
        // The entry lives in a static buffer: keep what is needed before the next call.
        const uid_t user = entry->pw_uid;
        const gid_t group = entry->pw_gid;
        const std::string userName = entry->pw_name;

        if (setuid(user) != 0 || setgid(group) != 0) {
            CoreLog(CORE_PROVIDER_ID, logCallback, LOG_FAILURE, "setuid/gid failed: %s", strerror(errno));
            return false;
        }
        gid_t groups[MAX_GROUPS];
        int groupCount = MAX_GROUPS;
        if (getgrouplist(userName.c_str(), group, groups, &groupCount) == -1) {
            CoreLog(CORE_PROVIDER_ID, logCallback, LOG_FAILURE, "getgrouplist failed");
            return false;
        }
        if (setgroups(static_cast<size_t>(groupCount), groups) != 0) {
            CoreLog(CORE_PROVIDER_ID, logCallback, LOG_FAILURE, "setgroups failed: %s", strerror(errno));
            return false;
        }
    }
    if (parentUser != 0)
        SetCapabilities(STARTUP_CAPABILITIES, logCallback);
    return true;
}

void SetCapabilities(uint32_t mask, PluginEntryPoint logCallback)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {{mask, mask, 0}, {0, 0, 0}};
    if (syscall(SYS_capset, &header, data) != 0)
        CoreLog(CORE_PROVIDER_ID, logCallback, LOG_WARNING, "capset failed: %s", strerror(errno));
}

} // namespace dvr
