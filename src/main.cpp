#include "kv830data.h"

#include <QCoreApplication>
#include <QDebug>

// For now the agent only connects to the switch, reports what it answers and keeps the link
// alive with the heartbeat until it is interrupted.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("VORN"));
    QCoreApplication::setApplicationName(QStringLiteral("Spanlink"));

    KV830Data device;
    QObject::connect(&device, &KV830Data::devStatusChanged, &device, [&device] {
        qInfo("switch %s", device.status() ? "connected" : "lost");
        if (device.status() && device.getPortStatus())
            qInfo() << "port status" << device.m_portStatus;
    });

    if (device.open(KV830::VendorId, KV830::ProductId)) {
        device.getFWAPProtocolVersion();
        if (device.getPortStatus())
            qInfo() << "port status" << device.m_portStatus;
    } else {
        qInfo("no switch %04x:%04x attached; waiting for it", KV830::VendorId, KV830::ProductId);
    }
    device.beginHeartBeat();
    return app.exec();
}
