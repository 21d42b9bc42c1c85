// The update file: a plain concatenation of SysEx messages whose first is the
// header message. Probing, reading and the header live here.
#include "updater.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace {
const unsigned char headerSignature[] = {0xF0, 0x7E, 0x10, 0x07, 0x02};
constexpr int32_t formatNumberOffset = 5;
constexpr int32_t headerNumbersOffset = 9;
constexpr int32_t versionOffset = 33;
constexpr int32_t versionTextLimit = int32_t(sizeof(Updater::versionText)) - 1;
} // namespace

// Files are opened through QFile with the name exactly as the file dialog
// gives it, so a name in any script opens on every platform.
int32_t fileSize(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const qint64 length = file.size();
    if (length > std::numeric_limits<int32_t>::max())
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

int32_t read28(const unsigned char *bytes)
{
    return (int32_t(bytes[0]) << 21) | (int32_t(bytes[1]) << 14) | (int32_t(bytes[2]) << 7)
           | int32_t(bytes[3]);
}

int32_t Updater::readFile(const QString &fileName, int32_t length)
{
    if (length < 0 || (length > 0 && !image))
        return -1;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    qint64 total = 0;
    while (total < length) {
        const qint64 got = file.read(reinterpret_cast<char *>(image.get()) + total, length - total);
        if (got <= 0)
            break;
        total += got;
    }
    return total == length ? 0 : -1;
}

void Updater::parseHeader()
{
    const unsigned char *bytes = image.get();
    if (size < formatNumberOffset
        || !std::equal(headerSignature, headerSignature + formatNumberOffset, bytes))
        return;
    if (size < headerNumbersOffset)
        return;
    formatNumber = read28(bytes + formatNumberOffset);
    if (formatNumber != 0)
        return;
    // A header cut short before its version text is not accepted.
    if (size <= versionOffset)
        return;
    for (int i = 0; i < 6; ++i)
        headerNumbers[i] = read28(bytes + headerNumbersOffset + 4 * i);
    // A version text longer than versionText holds is cut to its first 19 characters.
    const QByteArray text = fileVersion().left(versionTextLimit);
    std::memcpy(versionText, text.constData(), size_t(text.size()));
    versionText[text.size()] = '\0';
}

bool Updater::endsWithCompleteMessage() const
{
    return size <= 0 || image[size - 1] == 0xF7;
}

QByteArray Updater::fileVersion() const
{
    if (size <= versionOffset)
        return QByteArray();
    const char *begin = reinterpret_cast<const char *>(image.get()) + versionOffset;
    const char *end = reinterpret_cast<const char *>(image.get()) + size;
    return QByteArray(begin, int(std::find(begin, end, '\0') - begin));
}
