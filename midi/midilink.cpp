#include "midilink.h"

#include "rtmidiclient.h"
#include "sysexmessage.h"
#include "sysexreceiver.h"

#include <algorithm>
#include <iostream>
#include <vector>

RtMidiIn *midiIn = nullptr;
RtMidiOut *midiOut = nullptr;

namespace {
constexpr unsigned int inputQueueLimit = 100;
const char inputClientName[] = "RtMidi Input Client";
const char outputClientName[] = "RtMidi Output Client";

QString portNameText(const std::string &name)
{
    // Port names are UTF-8; a name is read up to its first NUL byte.
    return QString::fromUtf8(name.c_str());
}
} // namespace

MidiLink::MidiLink()
{
    const MidiClients clients =
        createMidiClients(std::string(inputClientName), inputQueueLimit, std::string(outputClientName));
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

    QStringList outputNames;
    const unsigned int outputCount = midiOut->getPortCount();
    for (unsigned int i = 0; i < outputCount; ++i)
        outputNames.append(portNameText(midiOut->getPortName(i)));
    const int best = bestOutputPort(outputNames, inputName);
    // Some backends only warn when asked to open a port that does not exist
    // and leave the output unconnected; an update sent into nowhere would wait
    // for a reply forever, so having no output port is an error here. So is
    // having only the uploader's own: an instrument that offers no port to
    // send to (an input-only device) cannot be updated.
    if (best < 0)
        throw RtMidiError(outputCount == 0 ? "No MIDI output port is available to reach the instrument."
                                           : "No MIDI output port reaches the instrument: the only ones listed "
                                             "are the uploader's own.",
                          RtMidiError::NO_DEVICES_FOUND);
    const unsigned int bestPort = unsigned(best);

    midiIn->setCallback(&onMidiInput, nullptr);
    midiIn->ignoreTypes(false, false, false);

    const std::string outputName = midiOut->getPortName(bestPort);
    midiOut->openPort(bestPort, outputName);
    outputPortName = portNameText(outputName);

    selectedPortName = portNameText(midiIn->getPortName(static_cast<unsigned int>(index)));
    // Gone while it was being opened: the library may have opened nothing.
    if (!inputName.isEmpty() && selectedPortName != inputName)
        throw RtMidiError("The MIDI input port \"" + inputName.toStdString() + "\" went away while it was opened.",
                          RtMidiError::INVALID_DEVICE);
    // The pairing is a guess by name: when it goes wrong, this line says so.
    std::cerr << "MIDI: " << RtMidi::getApiDisplayName(midiOut->getCurrentApi()) << ": input \""
              << selectedPortName.toStdString() << "\", output \"" << outputName << "\"\n";
}

int MidiLink::bestOutputPort(const QStringList &outputNames, const QString &inputName)
{
    // Of outputs equally like the input by name, the one that ends as the
    // input does wins: the trailing port number or the client's suffix tells
    // the interfaces of one kind apart ("system:midi_capture_2" goes with
    // "system:midi_playback_2", not "_1"), where the first listed would
    // otherwise be taken.
    int best = -1;
    int bestEnding = -1;
    int bestPort = -1;
    for (int i = 0; i < outputNames.size(); ++i) {
        if (isOwnPort(outputNames.at(i)))
            continue;
        const int score = nameSimilarity(outputNames.at(i), inputName);
        const int ending = commonEnding(outputNames.at(i), inputName);
        if (score > best || (score == best && ending > bestEnding)) {
            best = score;
            bestEnding = ending;
            bestPort = i;
        }
    }
    return bestPort;
}

bool MidiLink::isOwnPort(const QString &name)
{
    // The ports of a client are named "CLIENT:PORT" on JACK and on the ALSA
    // sequencer ("CLIENT:PORT C:P"). JACK gives a second client of the same
    // name a suffix ("RtMidi Input Client-01"); the ALSA sequencer keeps the
    // name, and lists no port of the asking client itself. Over Windows
    // Multimedia and CoreMIDI the uploader's clients have no ports to list.
    for (const char *client : {inputClientName, outputClientName}) {
        const QString prefix = QLatin1String(client);
        if (!name.startsWith(prefix))
            continue;
        int at = prefix.size();
        if (at < name.size() && name.at(at) == QLatin1Char('-')) {
            ++at;
            const int digits = at;
            while (at < name.size() && name.at(at).isDigit())
                ++at;
            if (at == digits)
                continue;
        }
        if (at < name.size() && name.at(at) == QLatin1Char(':'))
            return true;
    }
    return false;
}

bool MidiLink::inputPortListed() const
{
    if (!midiIn || selectedPortName.isEmpty())
        return true;
    bool listed = false;
    // Asked while the port is open, of the service as it is now: a USB
    // instrument unplugged, or a program's client that ended, is gone from
    // the list. What the library says while it is asked is not the user's
    // business here; a service that cannot be asked leaves the port listed.
    const bool asked = midiclient::sayingOneLineEach(
        midiIn->getCurrentApi(),
        [&] {
            for (unsigned int i = 0, count = midiIn->getPortCount(); i < count && !listed; ++i)
                listed = portNameText(midiIn->getPortName(i)) == selectedPortName;
        },
        false);
    return listed || !asked;
}

int MidiLink::commonEnding(const QString &a, const QString &b)
{
    int n = 0;
    while (n < a.size() && n < b.size() && a.at(a.size() - 1 - n) == b.at(b.size() - 1 - n))
        ++n;
    return n;
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

namespace {
// What RtMidi said while one message was being sent.
struct SendProblem
{
    bool raised = false;
    RtMidiError::Type type = RtMidiError::UNSPECIFIED;
    std::string text;
};

void noteSendProblem(RtMidiError::Type type, const std::string &text, void *problem)
{
    auto *noted = static_cast<SendProblem *>(problem);
    // A debugging note is no failure; the first real one is kept.
    if (type == RtMidiError::DEBUG_WARNING || noted->raised)
        return;
    *noted = {true, type, text.empty() ? std::string("the MIDI library gave no reason") : text};
}

// Routes what RtMidi says to a SendProblem for as long as it lives.
class SendProblemCallback
{
public:
    SendProblemCallback(RtMidiOut &output, SendProblem &problem) : output(output)
    {
        output.setErrorCallback(&noteSendProblem, &problem);
    }
    ~SendProblemCallback() { output.setErrorCallback(nullptr, nullptr); }
    SendProblemCallback(const SendProblemCallback &) = delete;
    SendProblemCallback &operator=(const SendProblemCallback &) = delete;

private:
    RtMidiOut &output;
};
} // namespace

int32_t MidiLink::sendSysex(const unsigned char *message, int32_t available)
{
    const int32_t count = sysexMessageLength(message, available);
    if (count == 0 || !midiOut)
        return 0;
    std::vector<unsigned char> bytes(message, message + count);
    // Some backends report a failure to send only as a warning on the error
    // stream (the ALSA sequencer's refusals among them), and the message is
    // gone all the same. Caught here, a warning is a failure like an error:
    // a message that did not leave gets no reply, and the update would
    // wait for one for ever.
    SendProblem problem;
    {
        const SendProblemCallback callback(*midiOut, problem);
        midiOut->sendMessage(&bytes);
    }
    if (problem.raised)
        throw RtMidiError(problem.text, problem.type);
    return count;
}
