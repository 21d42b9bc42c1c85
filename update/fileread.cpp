#include "fileread.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
QString notRegular()
{
    return QStringLiteral("It is not a regular file but a folder, a device or a pipe.");
}
} // namespace

bool openUpdateFile(QFile &file, const QString &name, QString *why)
{
#ifdef Q_OS_UNIX
    // Opened without blocking, so that a FIFO cannot hold the program until
    // something writes to it; what it is is then asked of what was opened,
    // not of the name, which may have changed in between.
    const int fd = ::open(QFile::encodeName(name).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        *why = QStringLiteral("It cannot be opened: %1.").arg(qt_error_string(error));
        return false;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        *why = notRegular();
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *why = QStringLiteral("It cannot be opened: %1.").arg(file.errorString());
        return false;
    }
    return true;
#else
    if (QFileInfo::exists(name) && !QFileInfo(name).isFile()) {
        *why = notRegular();
        return false;
    }
    file.setFileName(name);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("It cannot be opened: %1.").arg(file.errorString());
        return false;
    }
    return true;
#endif
}

QString tooLargeReason(int64_t size)
{
    return QStringLiteral("It is too large: %1 bytes, where an update file holds less than 2 GiB (%2 bytes at most).")
        .arg(size)
        .arg(largestUpdateFile);
}

QString readShortReason(int64_t got, int64_t expected)
{
    return QStringLiteral("It was read short: %1 of its %2 bytes. It changed, or became unreadable, while it was read.")
        .arg(got)
        .arg(expected);
}

QString noMemoryReason(int64_t size)
{
    return QStringLiteral("There is not enough memory to hold its %1 bytes.").arg(size);
}
