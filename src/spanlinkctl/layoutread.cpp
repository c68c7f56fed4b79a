#include "layoutread.h"

#include "layoutfile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace SwitchLayout
{
// A layout file is a plain file: a FIFO or a device would block the read or never end, and is
// refused without waiting for it. One byte past the cap is read, enough to know a file is too
// big whatever size it claims.
bool readRegularFile(const QString &path, QByteArray &data, QString &error)
{
    QFile file(path);
#ifdef Q_OS_UNIX
    // Opened without blocking (opening a FIFO waits for a writer), then judged by what was opened.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = QStringLiteral("not a regular file");
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        error = file.errorString();
        return false;
    }
#else
    if (QFileInfo(path).exists() && !QFileInfo(path).isFile()) {
        error = QStringLiteral("not a regular file");
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return false;
    }
#endif
    data = file.read(MaxFileSize + 1);
    return true;
}
} // namespace SwitchLayout
