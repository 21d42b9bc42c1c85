// Opening and reading an update file, as the uploader and tsu-check read it:
// only a regular file is opened, without ever blocking on a FIFO or a device,
// and every failure comes with its reason in words.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

class QFile;

// Opens name for reading if it is a regular file (a link to one too). False
// otherwise, with the reason in why: it cannot be opened (and the system's
// reason), or it is a folder, a device or a pipe.
bool openUpdateFile(QFile &file, const QString &name, QString *why);
// The same with the name's bytes as the system gives them (a command line's
// argument): on Unix they are used as they are, so that a name that is not
// valid in the locale's encoding (an old archive's Latin-1 name) opens too.
bool openUpdateFileByBytes(QFile &file, const QByteArray &name, QString *why);

// Reads an update file, opened with one of the above (or standard input), as
// the uploader holds it. Where probed, the size the file had when it was
// first looked at, is above 0, exactly that many bytes: fewer is "read
// short", and bytes it gained since are left. Where it is 0, everything up to
// the file's end, as long as that is less than 2 GiB: a file under /proc says
// 0 and holds bytes, and a pipe has no size. bytes: room for probed bytes, or
// null to have them allocated here. size: the bytes read.
bool readUpdateBytes(QFile &file, int64_t probed, std::unique_ptr<unsigned char[]> &bytes, int32_t &size,
                     QString *why);

// The largest file the uploader holds: its sizes and offsets are 32 bits.
constexpr int64_t largestUpdateFile = INT32_MAX;

// The reasons, in words, for the uploader's box and tsu-check alike.
QString tooLargeReason(int64_t size);
QString tooLargeUnknownSizeReason();
QString readShortReason(int64_t got, int64_t expected);
QString noMemoryReason(int64_t size);
