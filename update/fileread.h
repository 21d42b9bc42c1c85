// Opening and reading an update file, as the uploader and tsu-check read it:
// only a regular file is opened, without ever blocking on a FIFO or a device,
// and every failure comes with its reason in words.
#pragma once

#include <QString>

#include <cstdint>

class QFile;

// Opens name for reading if it is a regular file (a link to one too). False
// otherwise, with the reason in why: it cannot be opened (and the system's
// reason), or it is a folder, a device or a pipe.
bool openUpdateFile(QFile &file, const QString &name, QString *why);

// The largest file the uploader holds: its sizes and offsets are 32 bits.
constexpr int64_t largestUpdateFile = INT32_MAX;

// The reasons, in words, for the uploader's box and tsu-check alike.
QString tooLargeReason(int64_t size);
QString readShortReason(int64_t got, int64_t expected);
QString noMemoryReason(int64_t size);
