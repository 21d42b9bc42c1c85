#include "filecheck.h"

#include "midi/sysexmessage.h"

#include <algorithm>
#include <cstdio>

const MidiService measuredServices[3] = {MidiService::Jack, MidiService::Alsa, MidiService::WindowsMultimedia};

namespace {
// Measured with bench/measure-limits.sh: the longest message that arrived
// whole, every time, at every kind of receiver; see docs/update-file.md.
const MidiServiceLimits serviceLimits[] = {
    // RtMidi's JACK output keeps a message in a ring buffer of 16,384 bytes,
    // 16,383 of them writable, with its length (4 bytes) before it, and drops
    // without a word one that does not fit; JACK's own MIDI buffer (32,720
    // bytes for one event) is larger at every period. Every byte arrives as
    // it was sent.
    {MidiService::Jack, "JACK", "JACK", 16379, false, false, false},
    // A raw MIDI port (a MIDI interface, VirMIDI) takes 4,096 bytes into its
    // buffer and drops the rest, telling no one; a program's port takes
    // 5,572 (its client's pool), and a longer message leaves RtMidi's output
    // dead for every later one, without a word. The uploader cannot tell the
    // two apart. RtMidi's encoder makes sequencer events of the bytes: every
    // byte from 0x80 up inside a message changes what arrives.
    {MidiService::Alsa, "the ALSA sequencer", "ALSA", 4096, true, true, true},
    // Measured under Wine, whose Windows Multimedia ports are the ALSA
    // sequencer's: its limits, with every byte passed on unchanged. Windows'
    // own drivers were not measured. RtMidi sends a message that does not
    // start with 0xF0 as a short message, or not at all.
    {MidiService::WindowsMultimedia, "Windows Multimedia", "WinMM", 4096, false, false, true},
    {MidiService::Other, "this MIDI service", "other", 0, false, false, false},
};

constexpr unsigned everyService = 0xF;
constexpr int32_t headerSignatureLength = 5;
const unsigned char headerSignature[headerSignatureLength] = {0xF0, 0x7E, 0x10, 0x07, 0x02};
constexpr int32_t formatNumberOffset = 5;
constexpr int32_t headerNumbersOffset = 9;
constexpr int32_t versionOffset = 33;

std::string format(const char *pattern, long long a = 0, long long b = 0, long long c = 0, long long d = 0)
{
    char text[256];
    std::snprintf(text, sizeof text, pattern, a, b, c, d);
    return text;
}

// "JACK", "the ALSA sequencer and Windows Multimedia"
std::string serviceNames(unsigned services)
{
    std::vector<std::string> names;
    for (MidiService service : measuredServices) {
        if (services & (1u << unsigned(service)))
            names.push_back(limitsOf(service).name);
    }
    std::string text;
    for (size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return text;
}

unsigned bitOf(MidiService service)
{
    return 1u << unsigned(service);
}

// Lists the first findings of each kind and set of services, so that the
// first refusal over each service is always among them, and counts them all.
class Findings
{
public:
    explicit Findings(FileCheck &check) : check(check)
    {
        for (int kind = 0; kind < FileFinding::kinds; ++kind)
            counts[kind].kind = FileFinding::Kind(kind);
    }

    void add(FileFinding finding)
    {
        if (counted(finding))
            check.findings.push_back(std::move(finding));
    }

    // The same, with the words made only for a finding that is listed: a
    // file can hold a finding in every byte.
    template <typename Text>
    void add(FileFinding finding, const Text &text)
    {
        if (!counted(finding))
            return;
        finding.text = text();
        check.findings.push_back(std::move(finding));
    }

    void finish()
    {
        for (const FindingCount &count : counts) {
            if (count.total > 0)
                check.counts.push_back(count);
        }
    }

private:
    // Counts the finding; true when it is to be listed.
    bool counted(const FileFinding &finding)
    {
        FindingCount &count = counts[int(finding.kind)];
        ++count.total;
        int64_t &listed = listedOf[int(finding.kind)][finding.refusedOver & everyService];
        if (listed >= findingsListedOfAKind) {
            // None of this kind left out before: this is the first.
            if (count.total - 1 == count.listed) {
                count.firstLeftOutMessage = finding.message;
                count.firstLeftOutOffset = finding.offset;
            }
            return false;
        }
        ++listed;
        ++count.listed;
        return true;
    }

    FileCheck &check;
    FindingCount counts[FileFinding::kinds];
    int64_t listedOf[FileFinding::kinds][everyService + 1] = {};
};

// The services over which a byte inside a message does not arrive as it is.
unsigned servicesAltering(unsigned char byte)
{
    unsigned services = 0;
    for (MidiService service : measuredServices) {
        const MidiServiceLimits &limits = limitsOf(service);
        if ((byte <= 0xF6 && limits.endsMessageAtStatusByte) || (byte >= 0xF8 && limits.takesOutRealTimeBytes))
            services |= bitOf(service);
    }
    return services;
}

void checkMessage(Findings &findings, const unsigned char *message, int32_t number, int32_t offset, int32_t length)
{
    if (message[0] != 0xF0) {
        unsigned refused = 0;
        for (MidiService service : measuredServices)
            refused |= limitsOf(service).carriesOnlySysex ? bitOf(service) : 0;
        findings.add({FileFinding::Kind::NoStartByte, number, offset, length, message[0], refused, {}}, [&] {
            return format("Message %lld (at offset %lld, %lld bytes) starts with 0x%02llX, not 0xF0: it is no SysEx "
                          "message, ",
                          number, offset, length, message[0])
                   + serviceNames(refused) + " would not carry it as it is.";
        });
    }
    // The bytes between the first and the 0xF7 that ends the message, each
    // that a service alters a finding of its own.
    for (int32_t i = 1; i + 1 < length; ++i) {
        const unsigned char byte = message[i];
        if (byte < 0x80)
            continue;
        const unsigned altering = servicesAltering(byte);
        if (!altering)
            continue;
        findings.add({FileFinding::Kind::AlteredByteInside, number, offset + i, length, byte, altering, {}}, [&] {
            const char *what = byte <= 0xF6
                                   ? " would end the message there, and the instrument would receive something else."
                                   : " would take it out of the message: the instrument would receive the message "
                                     "without it.";
            return format("Message %lld (at offset %lld, %lld bytes) holds the byte 0x%02llX at offset ", number,
                          offset, length, byte)
                   + format("%lld, inside the message: ", offset + i) + serviceNames(altering) + what;
        });
    }
    for (MidiService service : measuredServices) {
        const MidiServiceLimits &limits = limitsOf(service);
        if (limits.longestMessage > 0 && length > limits.longestMessage)
            findings.add({FileFinding::Kind::LongerThanCarried, number, offset, length, limits.longestMessage,
                          bitOf(service), {}},
                         [&] {
                             return format("Message %lld (at offset %lld) is %lld bytes long; ", number, offset,
                                           length)
                                    + limits.name
                                    + format(" carries at most %lld bytes in one message.", limits.longestMessage);
                         });
    }
}

void checkHeader(Findings &findings, const unsigned char *bytes, int32_t size)
{
    const UpdateHeader header = readHeader(bytes, size);
    const char *const unaccepted = " The header is not accepted: the instrument may not take the file, and the main "
                                   "window shows no version to update to.";
    switch (header.fault) {
    case UpdateHeader::Fault::None:
        break;
    case UpdateHeader::Fault::Signature: {
        std::string start;
        for (int32_t i = 0; i < std::min(header.length, headerSignatureLength); ++i)
            start += format(i == 0 ? "%02llX" : " %02llX", bytes[i]);
        findings.add({FileFinding::Kind::NoHeader, 1, 0, header.length, 0, 0,
                      "The first message starts with " + start
                          + ", not with the header's signature F0 7E 10 07 02." + unaccepted});
        return;
    }
    case UpdateHeader::Fault::FormatNumber:
        findings.add({FileFinding::Kind::NoHeader, 1, formatNumberOffset, header.length, header.formatNumber, 0,
                      format("The header message's format number (at offset 5) is %lld, not 0.",
                             header.formatNumber)
                          + unaccepted});
        return;
    case UpdateHeader::Fault::CutShort:
        findings.add({FileFinding::Kind::NoHeader, 1, 0, header.length, 0, 0,
                      format("The header message is cut short: it ends after %lld bytes, before its version text "
                             "at offset 33.",
                             header.length)
                          + unaccepted});
        return;
    }
    const VersionTextPlace place = versionTextPlace(bytes, size);
    const int32_t length = place.end - place.begin;
    if (length == 0)
        findings.add({FileFinding::Kind::VersionEmpty, 1, versionOffset, 0, 0, 0,
                      "The version text is empty: the user is shown no new version."});
    if (length > versionTextShown)
        findings.add({FileFinding::Kind::VersionTooLong, 1, versionOffset, length, versionTextShown, 0,
                      format("The version text is %lld characters long; the main window shows only its first "
                             "%lld.",
                             length, versionTextShown)});
    for (int32_t i = place.begin; i < place.end; ++i) {
        if (bytes[i] < 0x20 || bytes[i] > 0x7E) {
            findings.add({FileFinding::Kind::VersionNotPrintable, 1, i, length, bytes[i], 0,
                          format("The version text holds the byte 0x%02llX at offset %lld, which is not "
                                 "printable ASCII.",
                                 bytes[i], i)});
            break;
        }
    }
    if (!place.ended)
        findings.add({FileFinding::Kind::VersionNotEnded, 1, place.end, length, 0, 0,
                      "The version text is not ended by 0x00 inside the header message."});
}
} // namespace

const MidiServiceLimits &limitsOf(MidiService service)
{
    for (const MidiServiceLimits &limits : serviceLimits) {
        if (limits.service == service)
            return limits;
    }
    return serviceLimits[3];
}

int32_t read28(const unsigned char *bytes)
{
    return (int32_t(bytes[0]) << 21) | (int32_t(bytes[1]) << 14) | (int32_t(bytes[2]) << 7) | int32_t(bytes[3]);
}

UpdateHeader readHeader(const unsigned char *bytes, int32_t size)
{
    UpdateHeader header;
    if (const int32_t headerLength = sysexMessageLength(bytes, size); headerLength > 0)
        size = headerLength;
    header.length = std::max(size, int32_t(0));
    // As many bytes of the signature as the message holds; a message that
    // ends within a right signature is cut short.
    const int32_t signatureHeld = std::min(header.length, headerSignatureLength);
    if (!std::equal(headerSignature, headerSignature + signatureHeld, bytes)) {
        header.fault = UpdateHeader::Fault::Signature;
        return header;
    }
    if (size < headerSignatureLength)
        return header;
    header.signature = true;
    if (size < headerNumbersOffset)
        return header;
    header.formatNumber = read28(bytes + formatNumberOffset);
    if (header.formatNumber != 0) {
        header.fault = UpdateHeader::Fault::FormatNumber;
        return header;
    }
    // A header cut short before its version text is not accepted.
    if (size <= versionOffset)
        return header;
    header.fault = UpdateHeader::Fault::None;
    for (int i = 0; i < 6; ++i)
        header.numbers[i] = read28(bytes + headerNumbersOffset + 4 * i);
    header.accepted = true;
    return header;
}

VersionTextPlace versionTextPlace(const unsigned char *bytes, int32_t size)
{
    VersionTextPlace place;
    // The header message ends at the file's first 0xF7, or with the file.
    const int32_t headerLength = sysexMessageLength(bytes, size);
    const int32_t limit = headerLength > 0 ? headerLength - 1 : std::max(size, int32_t(0));
    if (limit <= versionOffset)
        return place;
    place.begin = versionOffset;
    const unsigned char *end = std::find(bytes + versionOffset, bytes + limit, 0x00);
    place.end = int32_t(end - bytes);
    place.ended = place.end < limit;
    return place;
}

int64_t FileCheck::findingsLeftOut() const
{
    int64_t leftOut = 0;
    for (const FindingCount &count : counts)
        leftOut += count.total - count.listed;
    return leftOut;
}

const FileFinding *FileCheck::refusal(MidiService service) const
{
    for (const FileFinding &finding : findings) {
        if (finding.refusesOver(service))
            return &finding;
    }
    return nullptr;
}

FileCheck checkUpdateFile(const unsigned char *bytes, int32_t size)
{
    FileCheck check;
    Findings findings(check);
    int32_t offset = 0;
    while (offset < size) {
        const int32_t length = sysexMessageLength(bytes + offset, size - offset);
        if (length == 0) {
            findings.add({FileFinding::Kind::BytesAfterLastMessage, check.messages + 1, offset, size - offset, 0,
                          everyService,
                          format("The file ends with %lld bytes, from offset %lld on, that belong to no whole "
                                 "message: no 0xF7 ends them.",
                                 size - offset, offset)});
            break;
        }
        ++check.messages;
        checkMessage(findings, bytes + offset, check.messages, offset, length);
        if (check.messages == 1)
            checkHeader(findings, bytes, size);
        offset += length;
    }
    // The uploader sends nothing, says so and ends: no release.
    if (check.messages == 0)
        findings.add({FileFinding::Kind::NoMessage, 1, 0, size, 0, 0,
                      size == 0 ? "The file is empty: it holds no message, and the uploader would send nothing."
                                : "The file holds no whole message: there is nothing in it to send."});
    findings.finish();
    // The header's findings belong to message 1, before those of any later
    // message; the walk made them after message 1's own.
    std::stable_sort(check.findings.begin(), check.findings.end(),
                     [](const FileFinding &a, const FileFinding &b) { return a.message < b.message; });
    return check;
}

const char *kindName(FileFinding::Kind kind)
{
    switch (kind) {
    case FileFinding::Kind::BytesAfterLastMessage:
        return "bytes-after-last-message";
    case FileFinding::Kind::NoStartByte:
        return "no-start-byte";
    case FileFinding::Kind::AlteredByteInside:
        return "altered-byte-inside";
    case FileFinding::Kind::LongerThanCarried:
        return "longer-than-carried";
    case FileFinding::Kind::NoHeader:
        return "no-header";
    case FileFinding::Kind::VersionEmpty:
        return "version-empty";
    case FileFinding::Kind::VersionTooLong:
        return "version-too-long";
    case FileFinding::Kind::VersionNotPrintable:
        return "version-not-printable";
    case FileFinding::Kind::VersionNotEnded:
        return "version-not-ended";
    case FileFinding::Kind::NoMessage:
        return "no-message";
    }
    return "unknown";
}

const char *faultName(UpdateHeader::Fault fault)
{
    switch (fault) {
    case UpdateHeader::Fault::None:
        return nullptr;
    case UpdateHeader::Fault::Signature:
        return "signature";
    case UpdateHeader::Fault::FormatNumber:
        return "format-number";
    case UpdateHeader::Fault::CutShort:
        return "cut-short";
    }
    return nullptr;
}
