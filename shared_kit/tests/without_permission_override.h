#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ambrevoli::testing {

// While alive, the calling thread works without the capabilities that let root pass permission
// checks (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH), so a folder's mode refuses root as it refuses
// its owner: a test can then produce "may write into the folder but not read it" as any user.
// Changes nothing for a thread that lacks them. Capabilities are per thread: only this thread's
// system calls are affected, and the old set is put back on destruction.
class WithoutPermissionOverride {
public:
    WithoutPermissionOverride()
    {
        m_saved = ::syscall(SYS_capget, &m_header, m_data) == 0;
        if (!m_saved)
            return;
        __user_cap_data_struct lowered[2] = {m_data[0], m_data[1]};
        lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        ::syscall(SYS_capset, &m_header, lowered);
    }
    ~WithoutPermissionOverride()
    {
        if (m_saved)
            ::syscall(SYS_capset, &m_header, m_data);
    }
    WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
    WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_data[2]{};
    bool m_saved = false;
};

} // namespace ambrevoli::testing
