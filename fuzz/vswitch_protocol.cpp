// The virtual switch daemon's line protocol from two connections at once: the input is cut at
// NUL bytes and the pieces go to the one and the other connection in turn.

#include "fuzzapp.h"
#include "switchserver.h"

#include <QIODevice>

// A connection without a socket: what is fed arrives as readable data, what the server writes
// is dropped.
class Pipe : public QIODevice
{
public:
    Pipe() { open(QIODevice::ReadWrite | QIODevice::Unbuffered); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_in.size() + QIODevice::bytesAvailable(); }
    bool canReadLine() const override { return m_in.contains('\n') || QIODevice::canReadLine(); }
    void feed(const QByteArray &bytes) { m_in += bytes, emit readyRead(); }

protected:
    qint64 readData(char *data, qint64 max) override
    {
        const int n = int(qMin(max, qint64(m_in.size())));
        std::copy_n(m_in.constData(), n, data);
        m_in.remove(0, n);
        return n;
    }
    qint64 writeData(const char *, qint64 size) override { return size; }

private:
    QByteArray m_in;
};

SPANLINK_FUZZ_APPLICATION

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    SwitchServer server;
    server.model().monitors = {{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}};
    Pipe a, b;
    server.accept(&a);
    server.accept(&b);
    const QList<QByteArray> pieces
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)).split('\0');
    for (int i = 0; i < pieces.size(); ++i)
        (i % 2 ? b : a).feed(pieces.at(i));
    return 0;
}
