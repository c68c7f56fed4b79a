// Any layout from the switch (monitors, ports present, this port, mouse position), then any hook events.

#include "enginefixture.h"
#include "fuzzapp.h"
#include "fuzzinput.h"

#include <functional>

SPANLINK_FUZZ_APPLICATION

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput in {data, size};
    QVector<SwitchModel::MonitorEntry> monitors(in.byte() % 33);
    for (SwitchModel::MonitorEntry &m : monitors)
        m = {in.byte(), in.byte(), in.byte(), in.byte(), in.word(), in.word()};
    const int apport = in.byte();
    const quint8 present = in.byte();
    Monitor *engine = setUpEngine(monitors, apport, present, in.byte());
    engine->m_cyclicSwitch = in.byte() & 1;

    static const std::uintptr_t buttons[]
        = {HookMessage::LeftButtonDown, HookMessage::LeftButtonUp, HookMessage::RightButtonDown,
            HookMessage::RightButtonUp, HookMessage::MouseWheel, HookMessage::LeftButtonDoubleClick, 0x0207, 0x020E};
    const auto move = [&] {
        moveTo(in.int32(), in.int32());
    };
    const std::function<void()> steps[] = {
        move,
        move,
        move,
        [&] { pointerEvent(buttons[in.byte() % 8], in.int32(), in.int32()); },
        [&] {
            keyEvent(
                in.byte() & 1 ? HookMessage::KeyDown : HookMessage::KeyUp, in.byte() & 1 ? FocusArrivalKey : in.byte());
        },
        // The speed timer's tick (a second byte read as before, so that the seeds keep their steps).
        [&] { in.byte() & 1 ? engine->getMouseSpeed() : void(in.byte()); },
        [&] { // negative codes, a null record, the hold probe (message 0)
            Monitor::mouseProc(-1 - (in.byte() & 1), HookMessage::MouseMove, 0);
            Monitor::mouseProc(0, in.byte() & 1 ? HookMessage::MouseMove : 0, 0);
            Monitor::keyboardProc(0, HookMessage::KeyDown, 0);
        },
        // The pending period ends, or the switch changes its mind about who has the focus.
        [&] { in.byte() & 1 ? engine->stopMouseMove() : void(VirtualHid::model().currentPort = in.byte() % 10); },
    };
    for (int n = 0; !in.atEnd() && n < 256; ++n)
        steps[in.byte() % std::size(steps)]();
    dropPendingTimers();
    return 0;
}
