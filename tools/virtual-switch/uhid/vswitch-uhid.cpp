// The virtual switch as a kernel HID device: the same SwitchModel, presented through /dev/uhid
// as a USB HID device with the agent's vendor and product identifiers, so that the agent's real
// hidapi (hidraw) reaches it as it would reach the switch. A SET_REPORT hands a request to the
// model; the GET_REPORT that follows returns its answer.
//
//   vswitch-uhid [--log FILE]
//
// Commands on standard input, one a line, each answered "ok" on standard output:
//   unplug          destroy the device (the kernel removes its hidraw node)
//   plug            create it again
//   short <id>      answer the next read of reply <id> (hex) with 4 bytes only
//   absent <port>   take a port out of the switch's mask of present ports
//   quit
// Every report the kernel carries is written to the log as "set <id> <bytes>" or
// "get <id> <bytes>", so that a test sees the frames and lengths as they crossed the kernel.

#include "HIDCommand/usbids.h"
#include "reportdescriptor.h"
#include "switchmodel.h"

#include <linux/uhid.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace
{
// The port the model answers for: this computer's cable.
constexpr int s_apport = 1;

bool send(int fd, const uhid_event &event)
{
    return write(fd, &event, sizeof event) == ssize_t(sizeof event);
}

bool create(int fd)
{
    uhid_event event {};
    event.type = UHID_CREATE2;
    std::snprintf(reinterpret_cast<char *>(event.u.create2.name), sizeof event.u.create2.name, "virtual KV830");
    event.u.create2.rd_size = sizeof s_reportDescriptor;
    std::memcpy(event.u.create2.rd_data, s_reportDescriptor, sizeof s_reportDescriptor);
    event.u.create2.bus = 0x03; // BUS_USB
    event.u.create2.vendor = KV830::VendorId;
    event.u.create2.product = KV830::ProductId;
    return send(fd, event);
}

bool destroy(int fd)
{
    uhid_event event {};
    event.type = UHID_DESTROY;
    return send(fd, event);
}

class Device
{
public:
    Device(int fd, FILE *log)
        : m_fd(fd)
        , m_log(log)
    {
        m_model.monitors = {{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}};
    }

    SwitchModel &model() { return m_model; }
    void shortenNext(int replyId) { m_short = replyId; }

    void serve(const uhid_event &event)
    {
        if (event.type == UHID_SET_REPORT) {
            const auto &set = event.u.set_report;
            const size_t size = set.size < sizeof set.data ? set.size : sizeof set.data;
            const QByteArray request(reinterpret_cast<const char *>(set.data), int(size));
            std::fprintf(m_log, "set %02x %zu\n", unsigned(set.rnum), size);
            // Report ID first: the model reads the frame exactly as the agent built it.
            const QByteArray reply = m_model.handle(s_apport, request);
            m_replies[static_cast<unsigned char>(reply.at(0))] = reply;
            uhid_event answer {};
            answer.type = UHID_SET_REPORT_REPLY;
            answer.u.set_report_reply.id = set.id;
            answer.u.set_report_reply.err = 0;
            send(m_fd, answer);
        } else if (event.type == UHID_GET_REPORT) {
            const auto &get = event.u.get_report;
            uhid_event answer {};
            answer.type = UHID_GET_REPORT_REPLY;
            answer.u.get_report_reply.id = get.id;
            const auto it = m_replies.find(get.rnum);
            if (it == m_replies.end()) {
                // Nothing asked: the device stalls the control transfer.
                answer.u.get_report_reply.err = EIO;
                std::fprintf(m_log, "get %02x none\n", unsigned(get.rnum));
            } else {
                QByteArray reply = it->second;
                m_replies.erase(it);
                if (m_short == get.rnum) {
                    reply.truncate(4);
                    m_short = -1;
                }
                answer.u.get_report_reply.err = 0;
                answer.u.get_report_reply.size = quint16(reply.size());
                std::memcpy(answer.u.get_report_reply.data, reply.constData(), size_t(reply.size()));
                std::fprintf(m_log, "get %02x %d\n", unsigned(get.rnum), reply.size());
            }
            send(m_fd, answer);
        }
        std::fflush(m_log);
    }

private:
    int m_fd;
    FILE *m_log;
    SwitchModel m_model;
    std::map<int, QByteArray> m_replies; // reply ID -> answer waiting to be read
    int m_short = -1;
};
} // namespace

int main(int argc, char *argv[])
{
    FILE *log = stderr;
    if (argc == 3 && std::strcmp(argv[1], "--log") == 0) {
        log = std::fopen(argv[2], "a");
        if (!log) {
            std::perror(argv[2]);
            return 1;
        }
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: vswitch-uhid [--log FILE]\n");
        return 2;
    }

    const int fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::perror("/dev/uhid");
        return 1;
    }
    if (!create(fd)) {
        std::perror("creating the device");
        return 1;
    }
    Device device(fd, log);
    std::printf("ready\n");
    std::fflush(stdout);

    std::string pending;
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (fds[0].revents & POLLIN) {
            uhid_event event {};
            if (read(fd, &event, sizeof event) > 0)
                device.serve(event);
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char buffer[256];
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0)
                break; // whoever drove it has gone
            pending.append(buffer, size_t(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                const std::string line = pending.substr(0, end);
                bool ok = true;
                unsigned value = 0;
                if (line == "unplug")
                    ok = destroy(fd);
                else if (line == "plug")
                    ok = create(fd);
                else if (std::sscanf(line.c_str(), "short %x", &value) == 1)
                    device.shortenNext(int(value));
                else if (std::sscanf(line.c_str(), "absent %u", &value) == 1 && value >= 1 && value <= 8)
                    device.model().presentMask &= quint8(~(1u << (value - 1)));
                else if (line == "quit")
                    return destroy(fd) ? 0 : 1;
                else
                    ok = false;
                std::printf(ok ? "ok\n" : "err %s\n", line.c_str());
                std::fflush(stdout);
            }
            if (pending.size() > 4096)
                pending.clear();
        }
    }
    destroy(fd);
    return 0;
}
