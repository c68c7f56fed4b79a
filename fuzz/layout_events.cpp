// An arbitrary layout from the switch (monitors, ports present, this computer's port, the
// mouse position setting), then arbitrary pointer and key events through the hook procedures.

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
    FuzzInput in(data, size);
    QVector<SwitchModel::MonitorEntry> monitors;
    const int count = in.byte() % 33;
    for (int i = 0; i < count; ++i) {
        SwitchModel::MonitorEntry m;
        m.port = in.byte();
        m.monitorIndex = in.byte();
        m.row = in.byte();
        m.col = in.byte();
        m.width = in.word();
        m.height = in.word();
        monitors.append(m);
    }
    const int apport = in.byte();
    const quint8 present = in.byte();
    Monitor *engine = setUpEngine(monitors, apport, present, in.byte());
    engine->m_cyclicSwitch = in.byte() & 1;

    for (int steps = 0; !in.atEnd() && steps < 256; ++steps) {
        const std::uint8_t op = in.byte();
        switch (op % 8) {
        case 0:
        case 1:
        case 2:
            moveTo(in.int32(), in.int32());
            break;
        case 3: {
            static const std::uintptr_t buttons[] = {HookMessage::LeftButtonDown, HookMessage::LeftButtonUp,
                HookMessage::RightButtonDown, HookMessage::RightButtonUp, HookMessage::MouseWheel,
                HookMessage::LeftButtonDoubleClick, 0x0207, 0x020E};
            pointerEvent(buttons[in.byte() % 8], in.int32(), in.int32());
            break;
        }
        case 4:
            keyEvent(
                in.byte() & 1 ? HookMessage::KeyDown : HookMessage::KeyUp, in.byte() & 1 ? FocusArrivalKey : in.byte());
            break;
        case 5:
            // The speed timer's period ends, or the speed is set outright.
            if (in.byte() & 1)
                engine->getMouseSpeed();
            else
                engine->m_mouseSpeed = in.byte() / 64.0;
            break;
        case 6:
            // Negative codes, a null record, the hold probe (message 0).
            Monitor::mouseProc(-1 - (in.byte() & 1), HookMessage::MouseMove, 0);
            Monitor::mouseProc(0, in.byte() & 1 ? HookMessage::MouseMove : 0, 0);
            Monitor::keyboardProc(0, HookMessage::KeyDown, 0);
            break;
        case 7:
            // The pending period ends, or the switch changes its mind about who has the focus.
            if (in.byte() & 1)
                engine->stopMouseMove();
            else
                VirtualHid::model().currentPort = in.byte() % 10;
            break;
        }
    }
    dropPendingTimers();
    return 0;
}
