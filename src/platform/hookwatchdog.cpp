#include "platform/hookwatchdog.h"

namespace
{
// a - b on a clock that wraps: positive when a is later.
std::int32_t since(std::uint32_t a, std::uint32_t b)
{
    return std::int32_t(a - b);
}
} // namespace

void HookWatchdog::hookRan(std::uint32_t tick)
{
    m_lastHook = tick;
    // The hooks see input (again): back to the normal wait.
    m_grace = GraceMsec;
    if (m_waiting && since(tick, m_unseenSince) >= 0)
        m_waiting = false;
}

bool HookWatchdog::check(std::uint32_t now, std::uint32_t lastInput)
{
    if (since(lastInput, m_lastHook) <= std::int32_t(SlackMsec))
        return false; // no input since the hooks last ran
    if (!m_waiting) {
        m_waiting = true;
        m_unseenSince = lastInput;
    }
    const std::int32_t unseen = since(now, m_unseenSince);
    if (unseen < std::int32_t(m_grace))
        return false;
    m_unseenMsec = std::uint32_t(unseen);
    // Installed again now; input from now on is what counts, and a next time waits longer.
    m_lastHook = now;
    m_waiting = false;
    m_grace = m_grace >= MaxGraceMsec / 2 ? MaxGraceMsec : m_grace * 2;
    return true;
}
