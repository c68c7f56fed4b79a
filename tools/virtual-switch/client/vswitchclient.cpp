// The six hidapi functions over the virtual switch's socket, for an agent binary that runs
// against the virtual switch instead of a device. The environment says where the switch is
// (SPANLINK_VSWITCH_SOCKET) and which port this computer's cable is plugged into
// (SPANLINK_VSWITCH_PORT, 1 by default). Plain blocking POSIX I/O: it runs inside the agent's
// synchronous exchanges, one request and one answer at a time.

#include <hidapi.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

struct hid_device_ {
    int fd = -1;
    std::string reply; // the answer to the last request, until it is read
};

namespace
{
// An answer that does not come in this time means the switch is gone.
constexpr int s_answerMsec = 2000;

bool sendLine(int fd, const std::string &line)
{
    const std::string data = line + '\n';
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

bool readLine(int fd, std::string &line)
{
    line.clear();
    for (;;) {
        pollfd p {fd, POLLIN, 0};
        const int ready = poll(&p, 1, s_answerMsec);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char c;
        const ssize_t n = recv(fd, &c, 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        if (c == '\n')
            return true;
        line.push_back(c);
        if (line.size() > 4096)
            return false;
    }
}

std::string toHex(const unsigned char *data, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
        hex.push_back(digits[data[i] >> 4]);
        hex.push_back(digits[data[i] & 0x0F]);
    }
    return hex;
}

std::string fromHex(const std::string &hex)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(char(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16)));
    return bytes;
}
} // namespace

extern "C" {

int hid_init(void)
{
    return 0;
}

int hid_exit(void)
{
    return 0;
}

hid_device *hid_open(unsigned short, unsigned short, const wchar_t *)
{
    const char *path = std::getenv("SPANLINK_VSWITCH_SOCKET");
    const char *port = std::getenv("SPANLINK_VSWITCH_PORT");
    if (!path || std::strlen(path) >= sizeof(sockaddr_un::sun_path))
        return nullptr;

    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || !sendLine(fd, std::string("hello ") + (port ? port : "1")) || !readLine(fd, answer) || answer != "ok") {
        close(fd);
        return nullptr;
    }
    auto *dev = new hid_device_;
    dev->fd = fd;
    return dev;
}

void hid_close(hid_device *dev)
{
    if (!dev)
        return;
    close(dev->fd);
    delete dev;
}

int hid_send_feature_report(hid_device *dev, const unsigned char *data, size_t length)
{
    if (!dev || !data)
        return -1;
    std::string answer;
    if (!sendLine(dev->fd, "frame " + toHex(data, length)) || !readLine(dev->fd, answer)
        || answer.compare(0, 6, "reply ") != 0)
        return -1;
    dev->reply = fromHex(answer.substr(6));
    return int(length);
}

int hid_get_feature_report(hid_device *dev, unsigned char *data, size_t length)
{
    if (!dev || !data || length == 0 || dev->reply.empty())
        return -1;
    const size_t n = dev->reply.size() < length ? dev->reply.size() : length;
    std::memcpy(data, dev->reply.data(), n);
    dev->reply.clear();
    return int(n);
}

} // extern "C"
