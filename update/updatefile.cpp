// The update file: a plain concatenation of SysEx messages whose first is the
// header message. Probing, reading and the header live here; what is checked
// in the bytes lives in filecheck.cpp.
#include "updater.h"

#include "fileread.h"

#include <QFile>

#include <cstring>
#include <new>

// Files are opened with the name exactly as the file dialog gives it, so a
// name in any script opens on every platform; a FIFO or a device is never
// opened for reading (it could block the program for good).
int32_t fileSize(const QString &fileName)
{
    QFile file;
    QString why;
    if (!openUpdateFile(file, fileName, &why))
        return 0;
    const qint64 length = file.size();
    if (length > largestUpdateFile)
        return -1;
    return static_cast<int32_t>(length);
}

Updater::Updater(QString fileName, MainWindow *window)
    : fileName(fileName)
{
    abortFlag = false;
    size = fileSize(fileName);
    // A file that cannot be allocated leaves image null; readFile then fails.
    if (size > 0)
        image.reset(new (std::nothrow) unsigned char[size_t(size)]);
    awaitingFirstReply = true;
    this->window = window;
}

int32_t Updater::readFile(const QString &fileName, int32_t length)
{
    QFile file;
    if (!openUpdateFile(file, fileName, &readProblem))
        return -1;
    if (length < 0) {
        readProblem = tooLargeReason(file.size());
        return -1;
    }
    if (length > 0 && !image) {
        readProblem = noMemoryReason(length);
        return -1;
    }
    // A file whose size said 0 is read to its end: it may hold bytes all
    // the same (a file under /proc), and then it is those that are sent.
    int32_t got = 0;
    if (!readUpdateBytes(file, length, image, got, &readProblem))
        return -1;
    size = got;
    return 0;
}

void Updater::parseHeader()
{
    const UpdateHeader header = readHeader(image.get(), size);
    if (!header.signature)
        return;
    formatNumber = header.formatNumber;
    if (!header.accepted)
        return;
    std::memcpy(headerNumbers, header.numbers, sizeof headerNumbers);
    // A version text longer than versionText holds is cut to its first 19 characters.
    const QByteArray text = fileVersion().left(versionTextShown);
    std::memcpy(versionText, text.constData(), size_t(text.size()));
    versionText[text.size()] = '\0';
}

QByteArray Updater::fileVersion() const
{
    const VersionTextPlace place = versionTextPlace(image.get(), size);
    if (place.end == place.begin)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(image.get()) + place.begin, place.end - place.begin);
}
