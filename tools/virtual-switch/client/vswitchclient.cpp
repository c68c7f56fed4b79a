// The six hidapi functions over the virtual switch's socket, for an agent binary that runs
// against the virtual switch instead of a device. The environment says where the switch is
// (SPANLINK_VSWITCH_SOCKET: a local socket's path, or tcp:127.0.0.1:PORT, the only way in for
// a Windows agent) and which port this computer's cable is plugged into (SPANLINK_VSWITCH_PORT,
// 1 by default). Plain blocking socket I/O: it runs inside the agent's synchronous exchanges,
// one request and one answer at a time, on the thread that also runs the input hooks.
//
// As a device that stops answering is lost, a connection whose answer is late is dropped:
// the late answer can never be taken for a later request's, and every call on that handle
// fails at once until the agent opens the switch again. Each frame carries the time after
// which its sender no longer waits, so that the switch does not carry out a frame nobody waits
// for any more.

#include <hidapi.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using Socket = SOCKET;
constexpr Socket s_noSocket = INVALID_SOCKET;
#define poll WSAPoll
#define MSG_NOSIGNAL 0
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
using Socket = int;
constexpr Socket s_noSocket = -1;
#endif

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

struct hid_device_ {
    Socket fd = s_noSocket; // s_noSocket once dropped
    std::string reply; // the answer to the last request, until it is read
};

namespace
{
// An answer that does not come in this time means the switch is gone. Short: the agent waits
// for it on the thread that moves the pointer.
constexpr int s_answerMsec = 200;

// Wall-clock milliseconds: the switch runs on this machine and reads the same clock, also for
// an agent under Wine.
long long nowMsec()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

long long steadyMsec()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool sendLine(Socket fd, const std::string &line)
{
    const std::string data = line + '\n';
    size_t sent = 0;
    while (sent < data.size()) {
        const auto n = send(fd, data.data() + sent, int(data.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

// One answer line, all of it within s_answerMsec, read as it arrives: one wait for the socket
// and one read for a whole line in the common case. The switch sends nothing but the answer
// to the one request outstanding, so anything after its line end is a broken stream.
bool readLine(Socket fd, std::string &line)
{
    constexpr size_t maxLine = 4096;
    line.clear();
    const long long deadline = steadyMsec() + s_answerMsec;
    for (;;) {
        const long long left = deadline - steadyMsec();
        if (left <= 0)
            return false;
        pollfd p {fd, POLLIN, 0};
        const int ready = poll(&p, 1, int(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char chunk[512];
        const auto n = recv(fd, chunk, int(sizeof chunk), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        const size_t got = size_t(n);
        const void *end = std::memchr(chunk, '\n', got);
        if (!end) {
            line.append(chunk, got);
            if (line.size() > maxLine)
                return false;
            continue;
        }
        const size_t used = size_t(static_cast<const char *>(end) - chunk);
        line.append(chunk, used);
        return used + 1 == got && line.size() <= maxLine;
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

void closeSocket(Socket fd)
{
#ifdef _WIN32
    closesocket(fd);
#else
    close(fd);
#endif
}

// A late or broken answer: this connection is done for; the agent's heartbeat reopens.
void drop(hid_device *dev)
{
    if (dev->fd != s_noSocket)
        closeSocket(dev->fd);
    dev->fd = s_noSocket;
    dev->reply.clear();
}

// "tcp:127.0.0.1:PORT" reaches the switch over loopback TCP; anything else is a local socket.
Socket connectTo(const char *where)
{
    const std::string address(where);
    const std::string tcp = "tcp:127.0.0.1:";
    if (address.compare(0, tcp.size(), tcp) == 0) {
        char *end = nullptr;
        const long port = std::strtol(address.c_str() + tcp.size(), &end, 10);
        if (*end != '\0' || port < 1 || port > 65535)
            return s_noSocket;
        const Socket fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (fd == s_noSocket)
            return s_noSocket;
        sockaddr_in in {};
        in.sin_family = AF_INET;
        in.sin_port = htons(static_cast<unsigned short>(port));
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // One small request and one small answer at a time: nothing to gain from batching.
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
        if (connect(fd, reinterpret_cast<sockaddr *>(&in), sizeof in) != 0) {
            closeSocket(fd);
            return s_noSocket;
        }
        return fd;
    }
#ifdef _WIN32
    return s_noSocket;
#else
    if (address.size() >= sizeof(sockaddr_un::sun_path))
        return s_noSocket;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return s_noSocket;
    sockaddr_un local {};
    local.sun_family = AF_UNIX;
    std::strcpy(local.sun_path, address.c_str());
    if (connect(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        close(fd);
        return s_noSocket;
    }
    return fd;
#endif
}
} // namespace

extern "C" {

int hid_init(void)
{
#ifdef _WIN32
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : -1;
#else
    return 0;
#endif
}

int hid_exit(void)
{
#ifdef _WIN32
    WSACleanup();
#endif
    return 0;
}

hid_device *hid_open(unsigned short, unsigned short, const wchar_t *)
{
    const char *path = std::getenv("SPANLINK_VSWITCH_SOCKET");
    const char *port = std::getenv("SPANLINK_VSWITCH_PORT");
    if (!path)
        return nullptr;
    const Socket fd = connectTo(path);
    if (fd == s_noSocket)
        return nullptr;
    std::string answer;
    if (!sendLine(fd, std::string("hello ") + (port ? port : "1")) || !readLine(fd, answer) || answer != "ok") {
        closeSocket(fd);
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
    if (dev->fd != s_noSocket)
        closeSocket(dev->fd);
    delete dev;
}

int hid_send_feature_report(hid_device *dev, const unsigned char *data, size_t length)
{
    if (!dev || !data || dev->fd == s_noSocket)
        return -1;
    dev->reply.clear();
    std::string answer;
    const std::string line = "frame " + toHex(data, length) + ' ' + std::to_string(nowMsec() + s_answerMsec);
    if (!sendLine(dev->fd, line) || !readLine(dev->fd, answer) || answer.compare(0, 6, "reply ") != 0) {
        drop(dev);
        return -1;
    }
    dev->reply = fromHex(answer.substr(6));
    return int(length);
}

int hid_get_feature_report(hid_device *dev, unsigned char *data, size_t length)
{
    if (!dev || !data || length == 0 || dev->fd == s_noSocket || dev->reply.empty())
        return -1;
    const size_t n = dev->reply.size() < length ? dev->reply.size() : length;
    std::memcpy(data, dev->reply.data(), n);
    dev->reply.clear();
    return int(n);
}

} // extern "C"
