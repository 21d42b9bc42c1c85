// The check of an update file's bytes: what the uploader looks at before it
// sends anything, and what tsu-check tells a firmware author. One function
// for both, so that the uploader's refusal and the checker never disagree;
// free of Qt and RtMidi, so that the checker needs nothing else.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The MIDI services whose carrying of one SysEx message was measured, and
// the others (CoreMIDI, and whatever else RtMidi reaches), of which nothing
// is known and nothing is assumed.
enum class MidiService { Jack, Alsa, WindowsMultimedia, Other };

// The services tsu-check checks a file for, in the order it names them.
extern const MidiService measuredServices[3];

// What a MIDI service, through RtMidi 5.0, carries of one message on its way
// to the instrument. The figures and how they were found: docs/update-file.md.
struct MidiServiceLimits
{
    MidiService service;
    const char *name;       // for texts: "JACK", "the ALSA sequencer"
    const char *shortName;  // for lists and JSON: "JACK", "ALSA"
    // The longest message, 0xF0 and 0xF7 included, that arrives whole; 0 where
    // no limit is known.
    int32_t longestMessage;
    // A byte from 0x80 to 0xF6 inside a message ends the message on the way
    // (the ALSA sequencer's encoder); the instrument receives something else.
    bool endsMessageAtStatusByte;
    // A real-time byte (0xF8 to 0xFF) inside a message is taken out of it on
    // the way, and arrives as a message of its own.
    bool takesOutRealTimeBytes;
    // Only a message that starts with 0xF0 is carried as it is.
    bool carriesOnlySysex;
};
const MidiServiceLimits &limitsOf(MidiService service);

// A 28-bit number: four 7-bit bytes, most significant first.
int32_t read28(const unsigned char *bytes);

// The header message at the start of a file of size bytes, read as far as
// the header message, or the file, holds it: nothing after its 0xF7 is read
// as one of its fields. accepted: the signature F0 7E 10 07 02 and format
// number 0, with the six header numbers whole.
struct UpdateHeader
{
    // Why a header is not accepted: the first of these that holds.
    enum class Fault
    {
        None,
        Signature,     // bytes 0 to 4 are not F0 7E 10 07 02
        FormatNumber,  // the format number is not 0
        CutShort,      // the message ends (or the file does) before offset 33, where the version text begins
    };
    bool signature = false;    // bytes 0 to 4 are F0 7E 10 07 02
    bool accepted = false;
    Fault fault = Fault::CutShort;
    int32_t length = 0;        // the header message's, up to its 0xF7 or the end of the file
    int32_t formatNumber = 0;  // meaningful with signature, when the file holds it
    int32_t numbers[6] = {};   // meaningful when accepted
};
UpdateHeader readHeader(const unsigned char *bytes, int32_t size);

// Where the header's version text lies: from offset 33 up to its 0x00 or the
// header message's 0xF7, whichever comes first; never beyond the header
// message or the file. ended: a 0x00 ends it, inside the header message.
struct VersionTextPlace
{
    int32_t begin = 0;
    int32_t end = 0;
    bool ended = false;
};
VersionTextPlace versionTextPlace(const unsigned char *bytes, int32_t size);

// The most characters of a version text the main window shows.
constexpr int32_t versionTextShown = 19;

struct FileFinding
{
    enum class Kind
    {
        BytesAfterLastMessage,  // the file does not end with 0xF7
        NoStartByte,            // a message that does not start with 0xF0
        AlteredByteInside,      // a byte a service would not carry inside a message
        LongerThanCarried,      // a message longer than a service carries
        NoHeader,               // the first message is no header of format 0
        VersionEmpty,
        VersionTooLong,
        VersionNotPrintable,
        VersionNotEnded,
        NoMessage,              // the file holds no whole message: nothing to send
    };
    static constexpr int kinds = int(Kind::NoMessage) + 1;
    Kind kind;
    int32_t message;  // its number, from 1 (for bytes after the last message: the number they would have)
    int32_t offset;   // in the file: of the message, or of the byte concerned
    int32_t length;   // the message's length, or the number of bytes concerned
    int32_t value;    // the byte concerned, the format number, or the service's longest message
    // One bit per MidiService over which the uploader refuses the file for
    // this; none: a warning only (or, for NoMessage, a file that updates nothing).
    unsigned refusedOver;
    // In words, as the uploader's box and tsu-check say it.
    std::string text;

    bool refusesOver(MidiService service) const { return refusedOver & (1u << unsigned(service)); }
};

// How many findings of one kind a file gave, and where the first of those
// not listed lies.
struct FindingCount
{
    FileFinding::Kind kind;
    int64_t total = 0;
    int64_t listed = 0;
    int32_t firstLeftOutMessage = 0;  // meaningful when total > listed
    int32_t firstLeftOutOffset = 0;
};

// Findings listed of each kind (and set of services refusing the file for
// it); the rest are counted.
constexpr int64_t findingsListedOfAKind = 100;

struct FileCheck
{
    // In the order of the file. Of each kind and set of services, only the
    // first findingsListedOfAKind are listed: a file of millions of bad bytes
    // must not take millions of findings. Every finding is counted in counts,
    // and the first of a kind that is not listed is placed there.
    std::vector<FileFinding> findings;
    std::vector<FindingCount> counts;  // one per kind found, in the order of Kind
    int32_t messages = 0;  // whole messages, each ended by its 0xF7

    // Findings counted but not listed, of every kind.
    int64_t findingsLeftOut() const;

    // The first finding for which the uploader refuses the file over
    // service; null when it sends the file.
    const FileFinding *refusal(MidiService service) const;
};

// Checks the size bytes of a file, as read whole into memory.
FileCheck checkUpdateFile(const unsigned char *bytes, int32_t size);

// A name for the kind, for JSON: "longer-than-carried".
const char *kindName(FileFinding::Kind kind);
// A name for the fault, for JSON: "format-number"; null for Fault::None.
const char *faultName(UpdateHeader::Fault fault);
