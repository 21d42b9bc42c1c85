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

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const char usageText[] =
    "Usage: tsu-check [--json] FILE...\n"
    "Checks Tessarine update files (*.tsu) as the uploader does before it sends\n"
    "anything, for each MIDI service it knows the limits of (JACK, the ALSA\n"
    "sequencer, Windows Multimedia), and prints for each file its header, its\n"
    "messages, its SHA-256 and every finding.\n"
    "  --json   print one JSON document instead, for scripts and build pipelines\n"
    "  --help   show this text\n"
    "Exit status: 0 when the uploader would send every file over every service,\n"
    "1 when it would refuse one over some service, 2 when a file cannot be read\n"
    "(or the command line is wrong).\n";

enum Status { Sendable = 0, Refused = 1, Unreadable = 2 };

// What the checker says of one file.
struct Report
{
    QString name;
    QString error;  // why it cannot be read; empty when it was
    QByteArray bytes;
    FileCheck check;
    UpdateHeader header;
    QByteArray version;
    std::vector<int32_t> lengths;

    Status status() const
    {
        if (!error.isEmpty())
            return Unreadable;
        for (MidiService service : measuredServices) {
            if (check.refusal(service))
                return Refused;
        }
        return Sendable;
    }
};

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
            text += QStringLiteral("\\x%1").arg(b, 2, 16, QLatin1Char('0'));
    }
    return text;
}

Report examine(const QString &name)
{
    Report report;
    report.name = name;
    QFile file;
    if (!openUpdateFile(file, name, &report.error))
        return report;
    if (file.size() > largestUpdateFile) {
        report.error = tooLargeReason(file.size());
        return report;
    }
    const qint64 expected = file.size();
    report.bytes = file.readAll();
    if (report.bytes.size() != expected) {
        report.error = readShortReason(report.bytes.size(), expected);
        return report;
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(report.bytes.constData());
    const int32_t size = int32_t(report.bytes.size());
    report.check = checkUpdateFile(bytes, size);
    report.header = readHeader(bytes, size);
    const VersionTextPlace place = versionTextPlace(bytes, size);
    report.version = report.bytes.mid(place.begin, place.end - place.begin);
    for (int32_t offset = 0; offset < size;) {
        const int32_t length = sysexMessageLength(bytes + offset, size - offset);
        if (length == 0)
            break;
        report.lengths.push_back(length);
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

Lengths lengthsOf(const std::vector<int32_t> &lengths)
{
    Lengths l;
    if (lengths.empty())
        return l;
    const auto shortest = std::min_element(lengths.begin(), lengths.end());
    const auto longest = std::max_element(lengths.begin(), lengths.end());
    l.shortest = *shortest;
    l.shortestMessage = int32_t(shortest - lengths.begin()) + 1;
    l.longest = *longest;
    l.longestMessage = int32_t(longest - lengths.begin()) + 1;
    std::vector<int32_t> sorted = lengths;
    const auto middle = sorted.begin() + (sorted.size() - 1) / 2;
    std::nth_element(sorted.begin(), middle, sorted.end());
    l.median = *middle;
    return l;
}

QString hexSha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
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

void print(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

void printText(const Report &r)
{
    QString out = r.name + QLatin1Char('\n');
    if (!r.error.isEmpty()) {
        print(out + QStringLiteral("  cannot be read: ") + r.error + QLatin1Char('\n'));
        return;
    }
    out += QStringLiteral("  size: %1 bytes, SHA-256 %2\n").arg(r.bytes.size()).arg(hexSha256(r.bytes));
    if (!r.header.signature) {
        out += QStringLiteral("  header: none (the first message does not start with F0 7E 10 07 02)\n");
    } else if (!r.header.accepted) {
        out += QStringLiteral("  header: format %1, not accepted\n").arg(r.header.formatNumber);
    } else {
        QStringList numbers;
        for (int32_t n : r.header.numbers)
            numbers << QString::number(n);
        out += QStringLiteral("  header: format %1, numbers %2, version \"%3\"\n")
                   .arg(r.header.formatNumber)
                   .arg(numbers.join(QLatin1Char(' ')))
                   .arg(escaped(r.version));
    }
    const Lengths l = lengthsOf(r.lengths);
    if (r.lengths.empty())
        out += QStringLiteral("  messages: none\n");
    else
        out += QStringLiteral("  messages: %1; length shortest %2 (message %3), median %4, longest %5 (message %6)\n")
                   .arg(r.lengths.size())
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
                                     : QStringLiteral("warning");
            out += QStringLiteral("    ") + what + QStringLiteral(": ") + QString::fromStdString(f.text) + QLatin1Char('\n');
        }
        if (r.check.findingsLeftOut > 0)
            out += QStringLiteral("    and %1 more findings of the kinds above\n").arg(r.check.findingsLeftOut);
    }
    print(out);
}

QJsonObject toJson(const Report &r)
{
    QJsonObject file{{QStringLiteral("file"), r.name}, {QStringLiteral("readable"), r.error.isEmpty()}};
    if (!r.error.isEmpty()) {
        file[QStringLiteral("error")] = r.error;
        return file;
    }
    file[QStringLiteral("size")] = r.bytes.size();
    file[QStringLiteral("sha256")] = hexSha256(r.bytes);
    QJsonArray numbers;
    for (int32_t n : r.header.numbers)
        numbers.append(n);
    file[QStringLiteral("header")] = QJsonObject{
        {QStringLiteral("signature"), r.header.signature},
        {QStringLiteral("accepted"), r.header.accepted},
        {QStringLiteral("formatNumber"), r.header.formatNumber},
        {QStringLiteral("numbers"), numbers},
        {QStringLiteral("version"), escaped(r.version)},
    };
    const Lengths l = lengthsOf(r.lengths);
    file[QStringLiteral("messages")] = QJsonObject{
        {QStringLiteral("count"), int(r.lengths.size())},
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
            {QStringLiteral("message"), f.message},
            {QStringLiteral("offset"), f.offset},
            {QStringLiteral("length"), f.length},
            {QStringLiteral("value"), f.value},
            {QStringLiteral("refusedOver"), QJsonArray::fromStringList(servicesOf(f.refusedOver))},
            {QStringLiteral("text"), QString::fromStdString(f.text)},
        });
    file[QStringLiteral("findings")] = findings;
    file[QStringLiteral("findingsLeftOut")] = double(r.check.findingsLeftOut);
    return file;
}

} // namespace

int main(int argc, char **argv)
{
    // For the file names as the system gives them, in any script.
    QCoreApplication app(argc, argv);
    bool json = false;
    QStringList names;
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    bool options = true;
    for (const QString &arg : arguments) {
        if (options && arg == QLatin1String("--help")) {
            std::fputs(usageText, stdout);
            return 0;
        }
        if (options && arg == QLatin1String("--json")) {
            json = true;
        } else if (options && arg == QLatin1String("--")) {
            options = false;
        } else if (options && arg.startsWith(QLatin1String("--"))) {
            std::fprintf(stderr, "tsu-check: unknown option %s\n%s", arg.toLocal8Bit().constData(), usageText);
            return Unreadable;
        } else {
            names << arg;
        }
    }
    if (names.isEmpty()) {
        std::fprintf(stderr, "tsu-check: no file given\n%s", usageText);
        return Unreadable;
    }

    int status = Sendable;
    QJsonArray files;
    for (const QString &name : names) {
        const Report report = examine(name);
        status = std::max(status, int(report.status()));
        if (json)
            files.append(toJson(report));
        else
            printText(report);
    }
    if (json)
        print(QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("files"), files},
                                                          {QStringLiteral("status"), status}})
                                    .toJson(QJsonDocument::Indented)));
    return status;
}
