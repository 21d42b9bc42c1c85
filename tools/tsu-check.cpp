// tsu-check: tells a firmware author (or a user with a doubt) what is in a
// Tessarine update file and whether the uploader would send it, over which
// MIDI service. The findings are the uploader's own check (update/filecheck),
// in the same words as its boxes.

#include "midi/sysexmessage.h"
#include "update/filecheck.h"
#include "update/fileread.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

const char usageText[] =
    "Usage: tsu-check [--json] [--] FILE...\n"
    "Checks Tessarine update files (*.tsu) as the uploader does before it sends\n"
    "anything, for each MIDI service it knows the limits of (JACK, the ALSA\n"
    "sequencer, Windows Multimedia), and prints for each file its header, its\n"
    "messages, its SHA-256 and its findings: the first 100 of each kind, and how\n"
    "many there are in all and where the first not listed lies.\n"
    "  -            read the file from standard input\n"
    "  --json       print one JSON document instead, for scripts and build pipelines\n"
    "  --           take every later argument as a file name\n"
    "  -h, --help   show this text\n"
    "  --version    show the version\n"
    "Exit status: 0 when the uploader would send every file over every service\n"
    "and each holds a message; 1 when it would refuse one over some service, or\n"
    "one holds no whole message; 2 when a file cannot be read (or the command\n"
    "line is wrong).\n";

// The most bytes of a version text shown, as many as the uploader's question
// shows: a header without its 0x00 can make it as long as the file.
constexpr int32_t versionShownOfText = 64;

// The version text as the report shows it: escaped, and cut at
// versionShownOfText bytes with its length said.
QString versionShown(const QByteArray &shown, int32_t length);

// The version of tsu-check's JSON document: raised whenever a field changes
// its meaning or goes away.
constexpr int jsonFormat = 1;

enum Status { Sendable = 0, Refused = 1, Unreadable = 2 };

// What the checker says of one file.
struct Report
{
    QByteArray name;  // as the system gave it
    QString error;    // why it cannot be read; empty when it was
    std::unique_ptr<unsigned char[]> bytes;
    int32_t size = 0;
    FileCheck check;
    UpdateHeader header;
    QByteArray version;            // its first versionShownOfText bytes at most
    int32_t versionLength = 0;     // all of it
    std::map<int32_t, int64_t> lengthCounts;  // message length: how many messages have it
    int32_t shortestMessage = 0, longestMessage = 0;

    Status status() const
    {
        if (!error.isEmpty())
            return Unreadable;
        if (check.messages == 0)
            return Refused;
        for (MidiService service : measuredServices) {
            if (check.refusal(service))
                return Refused;
        }
        return Sendable;
    }
};

QString hexByte(unsigned char b)
{
    return QStringLiteral("\\x%1").arg(b, 2, 16, QLatin1Char('0'));
}

// Bytes as text that is safe on a terminal and in JSON: printable ASCII as it
// is, the rest as \xNN (a version text may hold anything).
QString escaped(const QByteArray &bytes)
{
    QString text;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b <= 0x7E && b != '\\')
            text += QLatin1Char(char(b));
        else
            text += hexByte(b);
    }
    return text;
}

// A file name as text that can forge no line of the report: valid UTF-8 as
// it is, less the characters that move the cursor or end a line (C0 and C1
// controls, DEL, U+2028, U+2029); those, bytes that are no UTF-8, and the
// backslash as \xNN, byte by byte.
QString escapedName(const QByteArray &name)
{
    QString text;
    const auto *b = reinterpret_cast<const unsigned char *>(name.constData());
    const int n = name.size();
    for (int i = 0; i < n;) {
        int length = 0;
        char32_t c = 0;
        if (b[i] < 0x80) {
            length = 1;
            c = b[i];
        } else if (b[i] >= 0xC2 && b[i] <= 0xDF) {
            length = 2;
            c = b[i] & 0x1F;
        } else if (b[i] >= 0xE0 && b[i] <= 0xEF) {
            length = 3;
            c = b[i] & 0x0F;
        } else if (b[i] >= 0xF0 && b[i] <= 0xF4) {
            length = 4;
            c = b[i] & 0x07;
        }
        bool valid = length > 0 && i + length <= n;
        for (int k = 1; valid && k < length; ++k) {
            valid = (b[i + k] & 0xC0) == 0x80;
            c = (c << 6) | (b[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and what lies beyond Unicode are no UTF-8.
        if (valid && ((length == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)))
                      || (length == 4 && (c < 0x10000 || c > 0x10FFFF))))
            valid = false;
        if (!valid) {
            text += hexByte(b[i]);
            ++i;
            continue;
        }
        const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == '\\';
        for (int k = 0; k < length; ++k) {
            if (control)
                text += hexByte(b[i + k]);
        }
        if (!control)
            text += QString::fromUtf8(name.constData() + i, length);
        i += length;
    }
    return text;
}

// Opens and reads the file as the uploader does: the size it says, or, where
// it says 0, everything it holds. "-" is standard input.
bool readReport(Report &report)
{
    QFile file;
    int64_t probed = 0;
    if (report.name == "-") {
#ifdef Q_OS_WIN
        // Windows reads standard input as text unless told otherwise.
        _setmode(0, _O_BINARY);
#endif
        if (!file.open(0, QIODevice::ReadOnly)) {
            report.error = QStringLiteral("It cannot be opened: %1.").arg(file.errorString());
            return false;
        }
    } else {
#ifdef Q_OS_WIN
        if (!openUpdateFile(file, QString::fromUtf8(report.name), &report.error))
            return false;
#else
        if (!openUpdateFileByBytes(file, report.name, &report.error))
            return false;
#endif
        probed = file.size();
    }
    return readUpdateBytes(file, probed, report.bytes, report.size, &report.error);
}

QString versionShown(const QByteArray &shown, int32_t length)
{
    if (length <= shown.size())
        return QLatin1Char('"') + escaped(shown) + QLatin1Char('"');
    return QStringLiteral("\"%1\"\u2026 (%2 bytes)").arg(escaped(shown)).arg(length);
}

Report examine(const QByteArray &name)
{
    Report report;
    report.name = name;
    if (!readReport(report))
        return report;
    const unsigned char *bytes = report.bytes.get();
    const int32_t size = report.size;
    report.check = checkUpdateFile(bytes, size);
    report.header = readHeader(bytes, size);
    const VersionTextPlace place = versionTextPlace(bytes, size);
    report.versionLength = place.end - place.begin;
    report.version = QByteArray(reinterpret_cast<const char *>(bytes) + place.begin,
                                std::min(report.versionLength, versionShownOfText));
    int32_t number = 0, shortest = 0, longest = 0;
    for (int32_t offset = 0; offset < size;) {
        const int32_t length = sysexMessageLength(bytes + offset, size - offset);
        if (length == 0)
            break;
        ++number;
        ++report.lengthCounts[length];
        if (number == 1 || length < shortest) {
            shortest = length;
            report.shortestMessage = number;
        }
        if (number == 1 || length > longest) {
            longest = length;
            report.longestMessage = number;
        }
        offset += length;
    }
    return report;
}

// Shortest and longest (the first message of that length, numbered from 1)
// and the median (of an even count, the lower of the two in the middle).
struct Lengths
{
    int32_t shortest = 0, shortestMessage = 0, longest = 0, longestMessage = 0, median = 0;
};

Lengths lengthsOf(const Report &r)
{
    Lengths l;
    if (r.lengthCounts.empty())
        return l;
    l.shortest = r.lengthCounts.begin()->first;
    l.shortestMessage = r.shortestMessage;
    l.longest = r.lengthCounts.rbegin()->first;
    l.longestMessage = r.longestMessage;
    const int64_t middle = (int64_t(r.check.messages) - 1) / 2;
    int64_t seen = 0;
    for (const auto &[length, count] : r.lengthCounts) {
        seen += count;
        if (seen > middle) {
            l.median = length;
            break;
        }
    }
    return l;
}

QString hexSha256(const Report &r)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(reinterpret_cast<const char *>(r.bytes.get()), r.size);
    return QString::fromLatin1(hash.result().toHex());
}

QStringList servicesOf(unsigned services)
{
    QStringList names;
    for (MidiService service : measuredServices) {
        if (services & (1u << unsigned(service)))
            names << QString::fromLatin1(limitsOf(service).shortName);
    }
    return names;
}

// "refusal", "warning", "no-update"
QString severityOf(const FileFinding &f)
{
    if (f.refusedOver)
        return QStringLiteral("refusal");
    return f.kind == FileFinding::Kind::NoMessage ? QStringLiteral("no-update") : QStringLiteral("warning");
}

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

QString headerLine(const Report &r)
{
    if (r.check.messages == 0)
        return QStringLiteral("none: the file holds no whole message");
    switch (r.header.fault) {
    case UpdateHeader::Fault::None: {
        QStringList numbers;
        for (int32_t n : r.header.numbers)
            numbers << QString::number(n);
        return QStringLiteral("format %1, numbers %2, version %3")
            .arg(r.header.formatNumber)
            .arg(numbers.join(QLatin1Char(' ')))
            .arg(versionShown(r.version, r.versionLength));
    }
    case UpdateHeader::Fault::Signature:
        return QStringLiteral("none: the first message does not start with F0 7E 10 07 02");
    case UpdateHeader::Fault::FormatNumber:
        return QStringLiteral("not accepted: its format number is %1, not 0").arg(r.header.formatNumber);
    case UpdateHeader::Fault::CutShort:
        return QStringLiteral("not accepted: cut short, it ends after %1 bytes, before offset 33").arg(r.header.length);
    }
    return QString();
}

void printText(const Report &r)
{
    QString out = escapedName(r.name) + QLatin1Char('\n');
    if (!r.error.isEmpty()) {
        print(stdout, out + QStringLiteral("  cannot be read: ") + r.error + QLatin1Char('\n'));
        return;
    }
    out += QStringLiteral("  size: %1 bytes, SHA-256 %2\n").arg(r.size).arg(hexSha256(r));
    out += QStringLiteral("  header: ") + headerLine(r) + QLatin1Char('\n');
    if (!r.header.accepted && !r.version.isEmpty() && r.check.messages > 0)
        out += QStringLiteral("  version text at offset 33: %1, shown in the question but not in the main window\n")
                   .arg(versionShown(r.version, r.versionLength));
    const Lengths l = lengthsOf(r);
    if (r.check.messages == 0)
        out += QStringLiteral("  messages: none\n");
    else
        out += QStringLiteral("  messages: %1; length shortest %2 (message %3), median %4, longest %5 (message %6)\n")
                   .arg(r.check.messages)
                   .arg(l.shortest)
                   .arg(l.shortestMessage)
                   .arg(l.median)
                   .arg(l.longest)
                   .arg(l.longestMessage);
    QStringList verdicts;
    for (MidiService service : measuredServices)
        verdicts << QString::fromLatin1(limitsOf(service).shortName)
                        + (r.check.refusal(service) ? QStringLiteral(" no") : QStringLiteral(" yes"));
    out += QStringLiteral("  sent by the uploader over: ") + verdicts.join(QStringLiteral(", ")) + QLatin1Char('\n');
    if (r.check.findings.empty()) {
        out += QStringLiteral("  findings: none\n");
    } else {
        out += QStringLiteral("  findings:\n");
        for (const FileFinding &f : r.check.findings) {
            const QString what = f.refusedOver
                                     ? QStringLiteral("refused over ") + servicesOf(f.refusedOver).join(QStringLiteral(", "))
                                     : f.kind == FileFinding::Kind::NoMessage ? QStringLiteral("no update")
                                                                              : QStringLiteral("warning");
            out += QStringLiteral("    ") + what + QStringLiteral(": ") + QString::fromStdString(f.text) + QLatin1Char('\n');
        }
        for (const FindingCount &count : r.check.counts) {
            if (count.total == count.listed)
                continue;
            out += QStringLiteral("    not listed: %1 more %2 findings, %3 in all; the first not listed is at offset %4, "
                                  "in message %5\n")
                       .arg(count.total - count.listed)
                       .arg(QString::fromLatin1(kindName(count.kind)))
                       .arg(count.total)
                       .arg(count.firstLeftOutOffset)
                       .arg(count.firstLeftOutMessage);
        }
    }
    print(stdout, out);
}

QJsonObject toJson(const Report &r)
{
    QJsonObject file{{QStringLiteral("file"), escapedName(r.name)},
                     {QStringLiteral("status"), int(r.status())},
                     {QStringLiteral("readable"), r.error.isEmpty()}};
    if (!r.error.isEmpty()) {
        file[QStringLiteral("error")] = r.error;
        return file;
    }
    file[QStringLiteral("size")] = r.size;
    file[QStringLiteral("sha256")] = hexSha256(r);
    QJsonArray numbers;
    for (int32_t n : r.header.numbers)
        numbers.append(n);
    const char *fault = faultName(r.header.fault);
    file[QStringLiteral("header")] = QJsonObject{
        {QStringLiteral("signature"), r.header.signature},
        {QStringLiteral("accepted"), r.header.accepted},
        {QStringLiteral("fault"), fault ? QJsonValue(QString::fromLatin1(fault)) : QJsonValue()},
        {QStringLiteral("length"), r.header.length},
        {QStringLiteral("formatNumber"), r.header.formatNumber},
        {QStringLiteral("numbers"), numbers},
        {QStringLiteral("version"), escaped(r.version)},
        {QStringLiteral("versionLength"), r.versionLength},
    };
    const Lengths l = lengthsOf(r);
    file[QStringLiteral("messages")] = QJsonObject{
        {QStringLiteral("count"), r.check.messages},
        {QStringLiteral("shortest"),
         QJsonObject{{QStringLiteral("length"), l.shortest}, {QStringLiteral("message"), l.shortestMessage}}},
        {QStringLiteral("median"), l.median},
        {QStringLiteral("longest"),
         QJsonObject{{QStringLiteral("length"), l.longest}, {QStringLiteral("message"), l.longestMessage}}},
    };
    QJsonObject sentOver;
    for (MidiService service : measuredServices)
        sentOver[QString::fromLatin1(limitsOf(service).shortName)] = r.check.refusal(service) == nullptr;
    file[QStringLiteral("sentOver")] = sentOver;
    QJsonArray findings;
    for (const FileFinding &f : r.check.findings)
        findings.append(QJsonObject{
            {QStringLiteral("kind"), QString::fromLatin1(kindName(f.kind))},
            {QStringLiteral("severity"), severityOf(f)},
            {QStringLiteral("message"), f.message},
            {QStringLiteral("offset"), f.offset},
            {QStringLiteral("length"), f.length},
            {QStringLiteral("value"), f.value},
            {QStringLiteral("refusedOver"), QJsonArray::fromStringList(servicesOf(f.refusedOver))},
            {QStringLiteral("text"), QString::fromStdString(f.text)},
        });
    file[QStringLiteral("findings")] = findings;
    QJsonArray counts;
    for (const FindingCount &count : r.check.counts)
        counts.append(QJsonObject{
            {QStringLiteral("kind"), QString::fromLatin1(kindName(count.kind))},
            {QStringLiteral("total"), double(count.total)},
            {QStringLiteral("listed"), double(count.listed)},
            {QStringLiteral("firstLeftOut"),
             count.total == count.listed
                 ? QJsonValue()
                 : QJsonValue(QJsonObject{{QStringLiteral("message"), count.firstLeftOutMessage},
                                          {QStringLiteral("offset"), count.firstLeftOutOffset}})},
        });
    file[QStringLiteral("counts")] = counts;
    file[QStringLiteral("findingsLeftOut")] = double(r.check.findingsLeftOut());
    return file;
}

// The arguments as the system gives them: on Unix the bytes of argv, so that
// any name that exists can be checked; on Windows the command line's text.
std::vector<QByteArray> argumentsOf(int argc, char **argv)
{
    std::vector<QByteArray> arguments;
#ifdef Q_OS_WIN
    (void)argc;
    (void)argv;
    const QStringList list = QCoreApplication::arguments();
    for (int i = 1; i < list.size(); ++i)
        arguments.push_back(list[i].toUtf8());
#else
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
#endif
    return arguments;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    bool json = false;
    std::vector<QByteArray> names;
    bool options = true;
    for (const QByteArray &arg : argumentsOf(argc, argv)) {
        if (options && (arg == "--help" || arg == "-h")) {
            std::fputs(usageText, stdout);
            return 0;
        }
        if (options && arg == "--version") {
            std::fputs("tsu-check (Tessarine Uploader) " TSU_VERSION "\n", stdout);
            return 0;
        }
        if (options && arg == "--json") {
            json = true;
        } else if (options && arg == "--") {
            options = false;
        } else if (options && arg.startsWith('-') && arg != "-") {
            print(stderr, QStringLiteral("tsu-check: unknown option %1\n").arg(escapedName(arg)));
            std::fputs(usageText, stderr);
            return Unreadable;
        } else {
            names.push_back(arg);
        }
    }
    if (names.empty()) {
        std::fprintf(stderr, "tsu-check: no file given\n%s", usageText);
        return Unreadable;
    }

    int status = Sendable;
    QJsonArray files;
    for (const QByteArray &name : names) {
        const Report report = examine(name);
        status = std::max(status, int(report.status()));
        if (!report.error.isEmpty())
            print(stderr, QStringLiteral("tsu-check: %1: %2\n").arg(escapedName(name), report.error));
        if (json)
            files.append(toJson(report));
        else
            printText(report);
        // Each report as soon as it is made, before its error's line of the next.
        std::fflush(stdout);
    }
    if (json)
        print(stdout, QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("format"), jsonFormat},
                                                                  {QStringLiteral("files"), files},
                                                                  {QStringLiteral("status"), status}})
                                            .toJson(QJsonDocument::Indented)));
    return status;
}
