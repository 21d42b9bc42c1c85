#include "midilink.h"

#include "rtmidiclient.h"
#include "sysexmessage.h"
#include "sysexreceiver.h"

#include <algorithm>
#include <vector>

RtMidiIn *midiIn = nullptr;
RtMidiOut *midiOut = nullptr;

namespace {
constexpr unsigned int inputQueueLimit = 100;

QString portNameText(const std::string &name)
{
    // Port names are UTF-8; a name is read up to its first NUL byte.
    return QString::fromUtf8(name.c_str());
}
} // namespace

MidiLink::MidiLink()
{
    const MidiClients clients =
        createMidiClients(std::string("RtMidi Input Client"), inputQueueLimit, std::string("RtMidi Output Client"));
    midiIn = clients.in;
    midiOut = clients.out;
    selectedPortName = QString();
}

int MidiLink::refreshPorts()
{
    portNames.clear();
    if (!midiIn)
        return 0;
    const unsigned int count = midiIn->getPortCount();
    for (unsigned int i = 0; i < count; ++i)
        portNames.append(portNameText(midiIn->getPortName(i)));
    return static_cast<int>(count);
}

int MidiLink::indexOfPort(QString name)
{
    for (int i = portNames.size() - 1; i >= 0; --i) {
        if (portNames.at(i) == name)
            return i;
    }
    return -1;
}

void MidiLink::openPorts(int index)
{
    if (!midiIn)
        throw RtMidiError("No MIDI service could be opened.", RtMidiError::DRIVER_ERROR);
    if (!midiOut)
        throw RtMidiError("No MIDI output could be opened on the MIDI service of the input ports.",
                          RtMidiError::DRIVER_ERROR);

    const QString inputName =
        (index >= 0 && index < portNames.size()) ? portNames.at(index) : QString();

    // The list was read when the dialog opened; a port that has gone since, or
    // whose number now belongs to another port, must not be opened in its place.
    if (index < 0 || unsigned(index) >= midiIn->getPortCount()
        || (!inputName.isEmpty() && portNameText(midiIn->getPortName(unsigned(index))) != inputName))
        throw RtMidiError("The MIDI input port \"" + inputName.toStdString() + "\" is no longer available.",
                          RtMidiError::INVALID_DEVICE);

    midiIn->openPort(static_cast<unsigned int>(index), inputName.toUtf8().toStdString());

    int best = -1;
    unsigned int bestPort = 0;
    const unsigned int outputCount = midiOut->getPortCount();
    for (unsigned int i = 0; i < outputCount; ++i) {
        const int score = nameSimilarity(portNameText(midiOut->getPortName(i)), inputName);
        if (score > best) {
            best = score;
            bestPort = i;
        }
    }
    // Some backends only warn when asked to open a port that does not exist
    // and leave the output unconnected; an update sent into nowhere would wait
    // for a reply forever, so having no output port is an error here.
    if (outputCount == 0)
        throw RtMidiError("No MIDI output port is available to reach the instrument.",
                          RtMidiError::NO_DEVICES_FOUND);

    midiIn->setCallback(&onMidiInput, nullptr);
    midiIn->ignoreTypes(false, false, false);

    midiOut->openPort(bestPort, midiOut->getPortName(bestPort));

    selectedPortName = portNameText(midiIn->getPortName(static_cast<unsigned int>(index)));
    // Gone while it was being opened: the library may have opened nothing.
    if (!inputName.isEmpty() && selectedPortName != inputName)
        throw RtMidiError("The MIDI input port \"" + inputName.toStdString() + "\" went away while it was opened.",
                          RtMidiError::INVALID_DEVICE);
}

int MidiLink::nameSimilarity(QString a, QString b)
{
    const int la = a.size();
    const int lb = b.size();
    if (la + lb == 0)
        return 0; // two empty names share nothing to compare
    const int m = std::min(la, lb);
    int matches = 0;
    for (int p = 0; p < m; ++p) {
        if (a.at(p) == b.at(p))
            ++matches;
    }
    return matches * 200 / (la + lb);
}

int32_t MidiLink::sendSysex(const unsigned char *message, int32_t available)
{
    const int32_t count = sysexMessageLength(message, available);
    if (count == 0 || !midiOut)
        return 0;
    std::vector<unsigned char> bytes(message, message + count);
    midiOut->sendMessage(&bytes);
    return count;
}
