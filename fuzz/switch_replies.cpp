// Every reply of the switch is the fuzzer's bytes: the connection's reads and the engine's
// (port status and layout, mouse status on arrival, focus status, version, heartbeat, upload,
// the port status read during a crossing) run on whatever comes back.

#include "enginefixture.h"
#include "fuzzapp.h"
#include "fuzzinput.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startFuzzApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Monitor *engine = setUpEngine({{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}}, 1, 0x03);
    FuzzInput in(data, size);
    // Each reply: a length byte (0xFF: the read fails), then that many bytes, up to 16.
    VirtualHid::setReplySource([&in](const QByteArray &, QByteArray &reply) {
        const int length = in.byte();
        if (length == 0xFF)
            return false;
        reply = in.bytes(std::size_t(length % 17));
        return true;
    });

    Monitor element;
    element.m_devstatus = 1;
    for (int steps = 0; !in.atEnd() && steps < 64; ++steps) {
        switch (in.byte() % 9) {
        case 0:
            element.readPortStatus();
            break;
        case 1:
            keyEvent(HookMessage::KeyDown, FocusArrivalKey); // getMouseData
            break;
        case 2:
            element.getMouseHighlightData();
            break;
        case 3:
            engine->m_device.getFWAPProtocolVersion();
            break;
        case 4:
            engine->m_device.heartBeat();
            break;
        case 5: {
            QList<QVariantMap> entries;
            const int count = in.byte() % 4;
            for (int i = 0; i < count; ++i) {
                entries.append({{QStringLiteral("serialNum"), i + 1}, {QStringLiteral("portNum"), in.byte()},
                    {QStringLiteral("x"), in.byte()}, {QStringLiteral("y"), in.byte()}, {QStringLiteral("w_l"), 0x80},
                    {QStringLiteral("w_h"), 0x07}, {QStringLiteral("h_l"), 0x38}, {QStringLiteral("h_h"), 0x04}});
            }
            engine->m_device.sendAllCommand(count, entries, {{QStringLiteral("position"), in.byte()}});
            break;
        }
        case 6:
            // A move, possibly through an edge: the crossing reads the port status.
            engine->m_switchPending = 0;
            engine->m_curPort = engine->m_apPort;
            moveTo(in.int32() % 5000, in.int32() % 5000);
            break;
        case 7:
            element.getDeviceStatus();
            break;
        case 8:
            engine->m_device.getMouseStatus();
            engine->m_device.getOneListOfPortNum(in.byte());
            break;
        }
    }
    VirtualHid::setReplySource({});
    dropPendingTimers();
    return 0;
}
