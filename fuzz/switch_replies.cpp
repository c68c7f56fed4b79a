// Every reply of the switch is the fuzzer's: the connection's and the engine's reads (port status, layout, mouse
// and focus status, version, heartbeat, upload, the crossing's port status) run on whatever comes back.

#include "enginefixture.h"
#include "fuzzapp.h"
#include "fuzzinput.h"

#include <functional>

SPANLINK_FUZZ_APPLICATION

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Monitor *engine = setUpEngine({{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}}, 1, 0x03);
    FuzzInput in {data, size};
    // Each reply: a length byte (0xFF: the read fails), then that many bytes, up to 16.
    VirtualHid::setReplySource([&in](const QByteArray &, QByteArray &reply) {
        const int length = in.byte();
        reply = in.bytes(std::size_t(length % 17));
        return length != 0xFF;
    });
    Monitor element;
    element.m_devstatus = 1;
    const auto upload = [&] {
        using S = QLatin1String;
        QList<QVariantMap> entries;
        const int count = in.byte() % 4;
        for (int i = 0; i < count; ++i) {
            entries.append({{S("serialNum"), i + 1}, {S("portNum"), in.byte()}, {S("x"), in.byte()},
                {S("y"), in.byte()}, {S("w_l"), 0x80}, {S("w_h"), 0x07}, {S("h_l"), 0x38}, {S("h_h"), 0x04}});
        }
        engine->m_device.sendAllCommand(count, entries, {{S("position"), in.byte()}});
    };
    const std::function<void()> steps[] = {
        [&] {
            element.readPortStatus();
            engine->readLayoutToEnd();
        },
        [&] { keyEvent(HookMessage::KeyDown, FocusArrivalKey); }, // getMouseData
        [&] { element.getMouseHighlightData(); },
        [&] { engine->m_device.getFWAPProtocolVersion(); },
        [&] { engine->m_device.heartBeat(); },
        upload,
        [&] { // a move, possibly through an edge: the crossing reads the port status
            engine->m_switchPending = 0;
            engine->m_curPort = engine->m_apPort;
            moveTo(in.int32() % 5000, in.int32() % 5000);
        },
        [&] { element.getDeviceStatus(); },
        [&] {
            engine->m_device.getMouseStatus();
            engine->m_device.getOneListOfPortNum(in.byte());
        },
    };
    for (int n = 0; !in.atEnd() && n < 64; ++n)
        steps[in.byte() % std::size(steps)]();
    VirtualHid::setReplySource({});
    dropPendingTimers();
    return 0;
}
