// The virtual switch daemon's layout file, then its status as a control client reads it.

#include "fuzzapp.h"
#include "switchserver.h"

bool parseLayout(const QByteArray &contents, const QString &path, SwitchServer &server);

SPANLINK_FUZZ_APPLICATION

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    SwitchServer server;
    if (parseLayout(QByteArray(reinterpret_cast<const char *>(data), int(size)), QStringLiteral("layout.json"), server))
        server.control(QStringLiteral("status"));
    return 0;
}
