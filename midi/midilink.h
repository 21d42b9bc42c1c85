// The MIDI port manager: the program's one MIDI input and output pair.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

class RtMidiIn;
class RtMidiOut;

// The one RtMidiIn and RtMidiOut of the process, created by the MidiLink
// constructor and never deleted. Either is null when no MIDI API could be
// opened at all.
extern RtMidiIn *midiIn;
extern RtMidiOut *midiOut;

class MidiLink
{
public:
    MidiLink();

    // Refills portNames from the MIDI input ports, in port order; returns the count.
    int refreshPorts();

    // Position of name in portNames, searched from the last entry down; -1 if absent.
    int indexOfPort(QString name);

    // Opens input port index, the output port whose name is most like it, and
    // lets SysEx, timing and active sensing through to onMidiInput. Throws
    // RtMidiError when the library refuses a port or there is no output port.
    void openPorts(int index);

    // Positional likeness of two port names, 0 to 100.
    static int nameSimilarity(QString a, QString b);
    // The position, among outputNames, of the output port to open beside the
    // input inputName: the most alike by name, and of equally alike ones the
    // one sharing the longer ending with it; the uploader's own ports are
    // never chosen. -1 when there is none to choose.
    static int bestOutputPort(const QStringList &outputNames, const QString &inputName);
    // Whether the port called name belongs to one of the uploader's own MIDI
    // clients (or another uploader's): sent there, an update would reach no
    // instrument.
    static bool isOwnPort(const QString &name);
    // How many characters the two names share at their ends.
    static int commonEnding(const QString &a, const QString &b);

    // Whether the input port that openPorts opened is still listed by the
    // MIDI service: false once the instrument has been unplugged or switched
    // off (or its program ended). True when the service cannot be asked.
    bool inputPortListed() const;

    // Sends the message that starts at message: the bytes up to and including
    // the first 0xF7 among the available ones. Returns the number of bytes
    // sent, or 0 (and sends nothing) when no 0xF7 lies within available.
    // Throws RtMidiError when the output port refuses the message, whether
    // the library raises an error or only warns.
    int32_t sendSysex(const unsigned char *message, int32_t available);

    QStringList portNames;
    QString selectedPortName;
    // The output port openPorts opened beside the input; empty until then.
    QString outputPortName;
};

extern MidiLink midiLink;
