#include "switchctl.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace driver
{
SwitchCtl::~SwitchCtl()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool SwitchCtl::connectTo(const std::string &path)
{
    m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (m_fd < 0 || path.size() >= sizeof addr.sun_path)
        return false;
    std::strcpy(addr.sun_path, path.c_str());
    return ::connect(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
}

std::string SwitchCtl::ctl(const std::string &command)
{
    using Clock = std::chrono::steady_clock;
    const std::string line = "ctl " + command + "\n";
    if (send(m_fd, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size()))
        return std::string();
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    for (;;) {
        const size_t end = m_buffer.find('\n');
        if (end != std::string::npos) {
            std::string answer = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            return answer;
        }
        const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        pollfd p {m_fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            return std::string();
        char chunk[4096];
        const ssize_t n = recv(m_fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return std::string();
        // An answer is one short line: a daemon that never ends one is not waited for.
        if (m_buffer.size() + size_t(n) > 65536)
            return std::string();
        m_buffer.append(chunk, size_t(n));
    }
}

int SwitchCtl::currentPort()
{
    return jsonInt(status(), "currentPort");
}

int jsonInt(const std::string &json, const std::string &key, size_t from)
{
    const std::string pattern = "\"" + key + "\":";
    const size_t at = json.find(pattern, from);
    return at == std::string::npos ? -1 : std::atoi(json.c_str() + at + pattern.size());
}
} // namespace driver
