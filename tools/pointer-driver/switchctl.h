#pragma once

// One connection to the virtual switch daemon (vswitch serve), for its control commands.

#include <string>

namespace driver
{
class SwitchCtl
{
public:
    ~SwitchCtl();
    bool connectTo(const std::string &path);
    // The answer line, empty when none comes within 2 s.
    std::string ctl(const std::string &command);
    std::string status() { return ctl("status"); }
    // The port the switch serves now, -1 without an answer.
    int currentPort();

private:
    int m_fd = -1;
    std::string m_buffer;
};

// The number after "key": in a compact JSON text, from `from` on; -1 when absent.
int jsonInt(const std::string &json, const std::string &key, size_t from = 0);
} // namespace driver
