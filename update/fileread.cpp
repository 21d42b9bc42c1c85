#include "fileread.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <new>

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
    return openUpdateFileByBytes(file, QFile::encodeName(name), why);
#else
    if (QFileInfo::exists(name) && !QFileInfo(name).isFile()) {
        *why = notRegular();
        return false;
    }
    file.setFileName(name);
    if (!file.open(QIODevice::ReadOnly)) {
        // Qt's text ends with a full stop on some systems and not on others.
        QString error = file.errorString();
        if (error.endsWith(QLatin1Char('.')))
            error.chop(1);
        *why = QStringLiteral("It cannot be opened: %1.").arg(error);
        return false;
    }
    return true;
#endif
}

bool openUpdateFileByBytes(QFile &file, const QByteArray &name, QString *why)
{
#ifdef Q_OS_UNIX
    // Opened without blocking, so that a FIFO cannot hold the program until
    // something writes to it; what it is is then asked of what was opened,
    // not of the name, which may have changed in between.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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
    // Left non-blocking: a regular file reads the same either way, and one
    // whose size says 0 and that waits for data (/proc/kmsg) fails at once
    // instead of holding the program.
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *why = QStringLiteral("It cannot be opened: %1.").arg(file.errorString());
        return false;
    }
    return true;
#else
    return openUpdateFile(file, QFile::decodeName(name), why);
#endif
}

namespace {
// Reads into buffer until it holds wanted bytes or the file ends; the bytes read.
int64_t readUpTo(QFile &file, unsigned char *buffer, int64_t wanted)
{
    int64_t total = 0;
    while (total < wanted) {
        const qint64 got = file.read(reinterpret_cast<char *>(buffer) + total, wanted - total);
        if (got <= 0)
            break;
        total += got;
    }
    return total;
}
} // namespace

bool readUpdateBytes(QFile &file, int64_t probed, std::unique_ptr<unsigned char[]> &bytes, int32_t &size,
                     QString *why)
{
    if (probed > largestUpdateFile) {
        *why = tooLargeReason(probed);
        return false;
    }
    if (probed > 0) {
        if (!bytes)
            bytes.reset(new (std::nothrow) unsigned char[size_t(probed)]);
        if (!bytes) {
            *why = noMemoryReason(probed);
            return false;
        }
        const int64_t total = readUpTo(file, bytes.get(), probed);
        if (total != probed) {
            *why = readShortReason(total, probed);
            return false;
        }
        size = int32_t(probed);
        return true;
    }
    // Of unknown size: read in a buffer that doubles, up to one byte more
    // than the largest file, which tells a file too large.
    std::unique_ptr<unsigned char[]> buffer;
    int64_t capacity = 0;
    int64_t total = 0;
    for (;;) {
        if (total == capacity) {
            if (capacity > largestUpdateFile) {
                *why = tooLargeUnknownSizeReason();
                return false;
            }
            const int64_t larger = std::min(std::max(capacity * 2, int64_t(1) << 16), largestUpdateFile + 1);
            std::unique_ptr<unsigned char[]> grown(new (std::nothrow) unsigned char[size_t(larger)]);
            if (!grown) {
                *why = noMemoryReason(larger);
                return false;
            }
            if (total > 0)
                std::memcpy(grown.get(), buffer.get(), size_t(total));
            buffer = std::move(grown);
            capacity = larger;
        }
        const int64_t got = readUpTo(file, buffer.get() + total, capacity - total);
        total += got;
        if (total < capacity)
            break;
    }
    if (file.error() != QFileDevice::NoError) {
        *why = QStringLiteral("It could not be read: %1.").arg(file.errorString());
        return false;
    }
    if (total > largestUpdateFile) {
        *why = tooLargeUnknownSizeReason();
        return false;
    }
    bytes = std::move(buffer);
    size = int32_t(total);
    return true;
}

QString tooLargeReason(int64_t size)
{
    return QStringLiteral("It is too large: %1 bytes, where an update file holds less than 2 GiB (%2 bytes at most).")
        .arg(size)
        .arg(largestUpdateFile);
}

QString tooLargeUnknownSizeReason()
{
    return QStringLiteral("It is too large: more than %1 bytes, where an update file holds less than 2 GiB.")
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
