#pragma once

#include <cstdint>

// Notices that the system has dropped the low-level hooks without telling us (Windows does so
// with a hook that once took longer than LowLevelHooksTimeout to return): input keeps arriving,
// as the system's last-input time says, but no hook procedure has run since. Plain numbers, no
// system calls: times are the system's millisecond tick, which wraps around, and only their
// differences count.
class HookWatchdog
{
public:
    // Input unseen by the hooks for this long means they are gone.
    static constexpr std::uint32_t GraceMsec = 2000;
    // Input this close after the last hook call still counts as seen (tick granularity).
    static constexpr std::uint32_t SlackMsec = 100;
    // While input stays unseen after a re-installation, each next one waits twice as long, up
    // to this: input that never reaches the hooks (another desktop) costs a line a minute.
    static constexpr std::uint32_t MaxGraceMsec = 60000;

    // The hooks were installed, or a hook procedure ran, at `tick`.
    void hookRan(std::uint32_t tick);
    // Looks at the system's last input; true when the hooks should be installed again. The
    // caller does so at once: the watchdog counts it as a fresh installation.
    bool check(std::uint32_t now, std::uint32_t lastInput);
    // How long input had gone unseen when check() last said true.
    std::uint32_t unseenMsec() const { return m_unseenMsec; }

private:
    std::uint32_t m_lastHook = 0;
    bool m_waiting = false; // input after the last hook call has been seen
    std::uint32_t m_unseenSince = 0;
    std::uint32_t m_grace = GraceMsec;
    std::uint32_t m_unseenMsec = 0;
};
