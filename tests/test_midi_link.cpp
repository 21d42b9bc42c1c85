// The MIDI link over a private JACK server with simulated instruments: ports
// listed, the right pair opened, messages sent whole and cut at their end.
#include "instrument.h"
#include "jackserver.h"
#include "sysexbytes.h"

#include "midi/midilink.h"
#include "midi/rtmidiclient.h"
#include "midi/sysexreceiver.h"

#include <QElapsedTimer>
#include <QTest>

#include <rtmidi/RtMidi.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <new>

namespace {
bool waitForReply()
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 5000) {
        if (sysexReceiver.takeAck())
            return true;
        QTest::qWait(1);
    }
    return false;
}

TEST(MidiLink, ListsEveryInputPortInPortOrder)
{
    // Port names are UTF-8: "Gerät" must not come out as "GerÃ¤t".
    SimulatedInstrument a({"--name", "Tessarine A"}), b({"--name", "Tessarine B"}), c({"--name", "Gerät C"});
    ASSERT_TRUE(a.ready() && b.ready() && c.ready());
    const int count = midiLink.refreshPorts();
    ASSERT_EQ(count, int(midiIn->getPortCount()));
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(midiLink.portNames.at(i).toStdString(), midiIn->getPortName(unsigned(i)));
    for (const auto *instrument : {&a, &b, &c})
        EXPECT_TRUE(midiLink.portNames.contains(QString::fromStdString(instrument->portName())));
    EXPECT_TRUE(midiLink.portNames.contains(QStringLiteral("Ger\u00e4t C >:MIDI")))
        << midiLink.portNames.join(", ").toStdString();

    // A second listing replaces the first. An instrument that went away is
    // gone from the list once the MIDI service has noticed.
    c.stop();
    QElapsedTimer clock;
    clock.start();
    while (midiLink.refreshPorts() != count - 1 && clock.elapsed() < 5000)
        QTest::qWait(10);
    EXPECT_EQ(midiLink.portNames.size(), count - 1);
    EXPECT_FALSE(midiLink.portNames.contains(QString::fromStdString(c.portName())));
}

TEST(MidiLink, OpensTheChosenInputAndTheOutputWithTheMostAlikeName)
{
    SimulatedInstrument a({"--name", "Tessarine A"}), b({"--name", "Gerät B"}), c({"--name", "Tessarine C"});
    ASSERT_TRUE(a.ready() && b.ready() && c.ready());
    midiLink.refreshPorts();
    EXPECT_TRUE(midiLink.selectedPortName.isEmpty());
    midiLink.openPorts(midiLink.indexOfPort(QString::fromStdString(b.portName())));
    EXPECT_EQ(midiLink.selectedPortName, QStringLiteral("Ger\u00e4t B >:MIDI"));
    ASSERT_TRUE(waitUntilConnected(b.inputPortName()));

    const unsigned char hello[] = {0xF0, 0x7D, 0x01, 0x02, 0xF7};
    EXPECT_EQ(midiLink.sendSysex(hello, sizeof hello), 5);
    // The reply comes back through the chosen input.
    EXPECT_TRUE(waitForReply());
    a.stop();
    b.stop();
    c.stop();
    EXPECT_TRUE(a.logLines().empty());
    EXPECT_EQ(b.logLines(), std::vector<std::string>{"f0 7d 01 02 f7"});
    EXPECT_TRUE(c.logLines().empty());
}

TEST(MidiLink, SendsExactlyTheBytesUpToTheFirstEndByte)
{
    SimulatedInstrument instrument;
    ASSERT_TRUE(instrument.ready());
    midiLink.refreshPorts();
    midiLink.openPorts(midiLink.indexOfPort(QString::fromStdString(instrument.portName())));
    ASSERT_TRUE(waitUntilConnected(instrument.inputPortName()));

    const unsigned char twoMessages[] = {0xF0, 0x01, 0x02, 0xF7, 0xF0, 0x03, 0xF7};
    EXPECT_EQ(midiLink.sendSysex(twoMessages, sizeof twoMessages), 4);
    ASSERT_TRUE(waitForReply());
    // Without an end byte within reach nothing is sent.
    EXPECT_EQ(midiLink.sendSysex(twoMessages, 3), 0);
    std::vector<unsigned char> large(1000, 0x5A);
    large.front() = 0xF0;
    large.back() = 0xF7;
    EXPECT_EQ(midiLink.sendSysex(large.data(), int32_t(large.size())), 1000);
    ASSERT_TRUE(waitForReply());
    instrument.stop();
    EXPECT_EQ(instrument.logLines(), std::vector<std::string>({"f0 01 02 f7", hexLine(large)}));
}

TEST(MidiLink, NoInstrumentMeansNoPortToOpen)
{
    EXPECT_EQ(midiLink.refreshPorts(), 0);
    EXPECT_THROW(midiLink.openPorts(0), RtMidiError);
}

TEST(MidiLink, NoOutputMeansTheLinkCannotBeOpenedAndSaysWhy)
{
    SimulatedInstrument instrument;
    ASSERT_TRUE(instrument.ready());
    midiLink.refreshPorts();
    RtMidiOut *const working = midiOut;
    midiOut = nullptr;
    try {
        midiLink.openPorts(midiLink.indexOfPort(QString::fromStdString(instrument.portName())));
        ADD_FAILURE() << "opened without an output";
    } catch (const RtMidiError &error) {
        EXPECT_NE(error.getMessage().find("No MIDI output"), std::string::npos) << error.getMessage();
    }
    midiOut = working;
    EXPECT_FALSE(midiIn->isPortOpen());
}

// MIDI services as a machine may have them, for the choice of backends: a
// service that refuses inputs, outputs or both (no ALSA sequencer, a JACK
// server that takes no more clients), and the input ports each one has.
struct Services
{
    static inline std::map<RtMidi::Api, std::string> refusesInput, refusesOutput;
    static inline std::map<RtMidi::Api, unsigned int> inputPorts;
    static inline std::vector<RtMidi::Api> made;
    static void reset()
    {
        refusesInput.clear();
        refusesOutput.clear();
        inputPorts.clear();
        made.clear();
    }
};

struct FakeIn
{
    FakeIn(RtMidi::Api api, const std::string &, unsigned int) : api(api)
    {
        if (Services::refusesInput.count(api))
            throw RtMidiError(Services::refusesInput[api], RtMidiError::DRIVER_ERROR);
    }
    unsigned int getPortCount() { return Services::inputPorts[api]; }
    RtMidi::Api api;
};

struct FakeOut
{
    FakeOut(RtMidi::Api api, const std::string &) : api(api)
    {
        Services::made.push_back(api);
        if (Services::refusesOutput.count(api))
            throw RtMidiError(Services::refusesOutput[api], RtMidiError::DRIVER_ERROR);
    }
    RtMidi::Api api;
};

struct Chosen
{
    std::unique_ptr<FakeIn> in;
    std::unique_ptr<FakeOut> out;
};

Chosen chooseBackends()
{
    const auto clients =
        createMidiClientsOn<FakeIn, FakeOut>({RtMidi::LINUX_ALSA, RtMidi::UNIX_JACK}, "in", 100, "out");
    return {std::unique_ptr<FakeIn>(clients.in), std::unique_ptr<FakeOut>(clients.out)};
}

TEST(MidiBackends, TheFirstServiceWithAPortTakesInputAndOutput)
{
    Services::reset();
    Services::inputPorts = {{RtMidi::LINUX_ALSA, 3}, {RtMidi::UNIX_JACK, 1}};
    auto clients = chooseBackends();
    ASSERT_TRUE(clients.in && clients.out);
    EXPECT_EQ(clients.in->api, RtMidi::LINUX_ALSA);
    EXPECT_EQ(clients.out->api, RtMidi::LINUX_ALSA);

    // No ALSA sequencer: both fall back to JACK.
    Services::reset();
    Services::refusesInput[RtMidi::LINUX_ALSA] = "no sequencer";
    Services::refusesOutput[RtMidi::LINUX_ALSA] = "no sequencer";
    Services::inputPorts[RtMidi::UNIX_JACK] = 1;
    clients = chooseBackends();
    ASSERT_TRUE(clients.in && clients.out);
    EXPECT_EQ(clients.in->api, RtMidi::UNIX_JACK);
    EXPECT_EQ(clients.out->api, RtMidi::UNIX_JACK);
    EXPECT_EQ(Services::made, std::vector<RtMidi::Api>{RtMidi::UNIX_JACK}) << "a failed backend was tried again";
}

TEST(MidiBackends, AnOutputIsOnlyEverOnTheInputsService)
{
    // The input's service refuses an output, with or without a message: no
    // output at all, never one on a service that cannot reach the instrument.
    for (const std::string message : {"cannot create port", ""}) {
        Services::reset();
        Services::inputPorts = {{RtMidi::LINUX_ALSA, 2}, {RtMidi::UNIX_JACK, 1}};
        Services::refusesOutput[RtMidi::LINUX_ALSA] = message;
        const auto clients = chooseBackends();
        ASSERT_TRUE(clients.in);
        EXPECT_EQ(clients.in->api, RtMidi::LINUX_ALSA);
        EXPECT_EQ(clients.out, nullptr) << "output on " << clients.out->api << " (\"" << message << "\")";
        EXPECT_EQ(Services::made, std::vector<RtMidi::Api>{RtMidi::LINUX_ALSA});
    }
}

TEST(MidiBackends, WhatALibraryCallSaysOnTheErrorStreamIsCapturedAndGivenBack)
{
    std::streambuf *const own = std::cerr.rdbuf();
    EXPECT_FALSE(midiclient::sayingOneLineEach(RtMidi::LINUX_ALSA, [] { throw RtMidiError(""); }))
        << "an error without a message is still an error";
    EXPECT_EQ(std::cerr.rdbuf(), own);
    EXPECT_THROW(midiclient::sayingOneLineEach(RtMidi::LINUX_ALSA, [] { throw std::bad_alloc(); }),
                 std::bad_alloc);
    const bool restored = std::cerr.rdbuf() == own;
    std::cerr.rdbuf(own);
    EXPECT_TRUE(restored) << "std::cerr left on a buffer that is gone";
}

TEST(PortLookup, FindsTheLastEqualName)
{
    midiLink.portNames.clear();
    EXPECT_EQ(midiLink.indexOfPort(QStringLiteral("A")), -1);
    midiLink.portNames = QStringList({"A", "B", "A", "C"});
    EXPECT_EQ(midiLink.indexOfPort(QStringLiteral("A")), 2);
    EXPECT_EQ(midiLink.indexOfPort(QStringLiteral("C")), 3);
    EXPECT_EQ(midiLink.indexOfPort(QStringLiteral("a")), -1);
    EXPECT_EQ(midiLink.indexOfPort(QStringLiteral("D")), -1);
}
} // namespace
