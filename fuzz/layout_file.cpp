// Any file handed to `spanlinkctl layout load`: its checks, and for a file they accept, the same layout
// read back from what it is exported as, and the grid drawn from it.

#include "layoutfile.h"

#include <QCoreApplication>
#include <QJsonDocument>

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static int argc = 1;
    static char name[] = "fuzz", *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace SwitchLayout;
    const QByteArray file(reinterpret_cast<const char *>(data), int(size));
    Layout layout;
    QString error;
    if (!parse(file, layout, error)) {
        if (error.isEmpty() || error.contains(QLatin1Char('\n')))
            std::abort(); // a refusal is one line that says why
        return 0;
    }
    for (const MonitorEntry &m : qAsConst(layout.monitors)) {
        if (m.width < MinWidth || m.height < MinHeight || m.row < 1 || m.row > GridSize || m.col < 1
            || m.col > GridSize)
            std::abort();
    }
    Layout again;
    if (!parse(QJsonDocument(toJson(layout)).toJson(), again, error) || !(again.monitors == layout.monitors))
        std::abort();
    drawGrid(layout.monitors, layout.monitors.isEmpty() ? 1 : layout.monitors.first().port);
    return 0;
}
