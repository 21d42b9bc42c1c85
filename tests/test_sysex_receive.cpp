// The receive path fed directly with byte streams, as the MIDI library would
// deliver them: replies whole or in pieces, with other traffic around them.
#include "midi/midilink.h"
#include "midi/sysexmessage.h"
#include "midi/sysexreceiver.h"
#include "sysexbytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {
// The replies as the simulated instrument sends them.
const Bytes &ack = acknowledgement();

void deliver(Bytes bytes)
{
    onMidiInput(0.0, &bytes, nullptr);
}

class ReceivePath : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::memset(rxBuffer, 0, sizeof rxBuffer);
        rxLength = 0;
        sysexReceiver.ackReceived = false;
        sysexReceiver.setVersionAnswers(true);
        sysexReceiver.versionLength = 0;
        for (auto &c : sysexReceiver.version)
            c = '\0';
    }
};

TEST_F(ReceivePath, AcknowledgementIsReportedOnce)
{
    deliver(ack);
    EXPECT_TRUE(sysexReceiver.takeAck());
    EXPECT_FALSE(sysexReceiver.takeAck());
}

TEST_F(ReceivePath, AcknowledgementSplitOverDeliveriesWithRealTimeBytesInside)
{
    deliver({0xF0, 0x7E, 0xFE, 0x10});
    deliver({});
    deliver({0xF8, 0x7F, 0x00});
    EXPECT_FALSE(sysexReceiver.takeAck());
    deliver({0xFE, 0xF7});
    EXPECT_TRUE(sysexReceiver.takeAck());
}

TEST_F(ReceivePath, TwoAcknowledgementsBeforeOnePollCountOnce)
{
    Bytes two = ack;
    two.insert(two.end(), ack.begin(), ack.end());
    deliver(two);
    EXPECT_TRUE(sysexReceiver.takeAck());
    EXPECT_FALSE(sysexReceiver.takeAck());
}

TEST_F(ReceivePath, AnotherSysexAfterTheAcknowledgementWithdrawsIt)
{
    deliver(ack);
    deliver({0xF0, 0x7E, 0x10, 0x7E, 0x00, 0xF7});
    EXPECT_FALSE(sysexReceiver.takeAck());
}

TEST_F(ReceivePath, NearMissesAreNoReply)
{
    deliver({0xF0, 0x7E, 0x10, 0x7F, 0x00, 0x00, 0xF7}); // one byte too many
    EXPECT_FALSE(sysexReceiver.takeAck());
    deliver({0xF0, 0x7E, 0x10, 0x7F, 0xF7}); // one byte short
    EXPECT_FALSE(sysexReceiver.takeAck());
    deliver({0xF0, 0x7E, 0x11, 0x7F, 0x00, 0xF7}); // another device
    EXPECT_FALSE(sysexReceiver.takeAck());
}

TEST_F(ReceivePath, StartByteInsideAMessageStartsAgain)
{
    deliver({0xF0, 0x01, 0x02, 0x03});
    deliver(ack);
    EXPECT_TRUE(sysexReceiver.takeAck());
    EXPECT_EQ(rxLength, 5);
}

// As MIDI 1.0 has it: any status byte but a real-time one ends a SysEx
// message, unfinished; the data bytes after it are that status's.
TEST_F(ReceivePath, StatusByteInsideAMessageAbandonsIt)
{
    // A reply cut by a Note On, as a merger or a keyboard on the same cable
    // makes it: no acknowledgement came.
    deliver({0xF0, 0x7E, 0x10});
    deliver({0x90, 0x7F, 0x00});
    deliver({0xF7});
    EXPECT_FALSE(sysexReceiver.takeAck());
    EXPECT_EQ(rxLength, 0);
    for (unsigned char status : {0x80, 0xB0, 0xEF, 0xF1, 0xF2, 0xF3, 0xF6}) {
        deliver({0xF0, 0x7E, 0x10, 0x7F, status, 0x00, 0xF7});
        EXPECT_FALSE(sysexReceiver.takeAck()) << int(status);
    }
    // The next message is collected on its own, real-time bytes inside it.
    deliver({0xF0, 0x7E, 0xF8, 0x10, 0x7F, 0x00, 0xFE, 0xF7});
    EXPECT_TRUE(sysexReceiver.takeAck());
}

// The MIDI standard's other handshake replies, for device 0x10 and packet 0
// as the acknowledgement is, are told apart from it and from each other.
TEST_F(ReceivePath, HandshakeRepliesAreToldApart)
{
    const std::pair<unsigned char, Reply> handshakes[] = {
        {0x7F, Reply::Acknowledgement}, {0x7E, Reply::Nak}, {0x7C, Reply::Wait}, {0x7D, Reply::Cancel}};
    for (const auto &[subId, kind] : handshakes) {
        deliver({0xF0, 0x7E, 0x10, subId, 0x00, 0xF7});
        EXPECT_EQ(sysexReceiver.takeReply(), kind) << int(subId);
        EXPECT_EQ(sysexReceiver.takeReply(), Reply::None);
        // Another packet number or device is no reply of this exchange.
        deliver({0xF0, 0x7E, 0x10, subId, 0x01, 0xF7});
        deliver({0xF0, 0x7E, 0x11, subId, 0x00, 0xF7});
        EXPECT_EQ(sysexReceiver.takeReply(), Reply::None) << int(subId);
    }
    // The latest reply is the one taken: a WAIT, then the ACK after it.
    deliver({0xF0, 0x7E, 0x10, 0x7C, 0x00, 0xF7});
    deliver(ack);
    EXPECT_EQ(sysexReceiver.takeReply(), Reply::Acknowledgement);
    deliver(versionReply("1.0"));
    EXPECT_EQ(sysexReceiver.takeReply(), Reply::Version);
}

// Once the first message is answered, a version reply is the instrument's
// announcement: its text is kept, but it neither answers the message in
// flight nor withdraws an answer not yet taken.
TEST_F(ReceivePath, AnAnnouncementAnswersNothing)
{
    sysexReceiver.setVersionAnswers(false);
    deliver(versionReply("1.5"));
    EXPECT_EQ(sysexReceiver.takeReply(), Reply::None);
    EXPECT_EQ(sysexReceiver.versionString(), "1.5");
    EXPECT_EQ(sysexReceiver.versionLength, 3);

    deliver(ack);
    deliver(versionReply("1.6"));
    EXPECT_EQ(sysexReceiver.takeReply(), Reply::Acknowledgement);
    EXPECT_EQ(sysexReceiver.versionString(), "1.6");
    // Any other message still withdraws it.
    deliver(ack);
    deliver({0xF0, 0x43, 0x10, 0xF7});
    EXPECT_EQ(sysexReceiver.takeReply(), Reply::None);
}

// An 0xF7 completes the message begun by the last 0xF0, once: one with no
// message begun is no reply, not even the last one again.
TEST_F(ReceivePath, EndByteOutsideAMessageCompletesNothing)
{
    // Before any 0xF0: nothing is stored or recognised, and data bytes stay dropped.
    deliver({0x7E, 0x10, 0xF7});
    EXPECT_EQ(rxBuffer[0], 0);
    EXPECT_FALSE(sysexReceiver.takeAck());
    deliver({0x01, 0x02});
    EXPECT_EQ(rxLength, 0);

    // A stray 0xF7 after each reply, as from an instrument that stopped
    // answering: each reply counts once.
    deliver(ack);
    ASSERT_TRUE(sysexReceiver.takeAck());
    deliver({0xF7});
    EXPECT_FALSE(sysexReceiver.takeAck());
    deliver({0xFE, 0xF7, 0xF7});
    EXPECT_FALSE(sysexReceiver.takeAck());

    // Data bytes and an 0xF7 with no 0xF0 before them, after a version reply.
    deliver(versionReply("2.0"));
    ASSERT_TRUE(sysexReceiver.takeAck());
    deliver({0x31, 0x32, 0xF7});
    EXPECT_FALSE(sysexReceiver.takeAck());
    EXPECT_EQ(sysexReceiver.versionString(), "2.0");

    // A reply not yet taken stays when a stray 0xF7 follows it.
    deliver(ack);
    deliver({0xF7});
    EXPECT_TRUE(sysexReceiver.takeAck());
    // The next message is received normally.
    deliver(ack);
    EXPECT_TRUE(sysexReceiver.takeAck());
}

TEST_F(ReceivePath, VersionReplyCarriesItsText)
{
    deliver({0xF0, 0x7E, 0x10, 0x07, 0x02, 0x76, 0x65, 0x72, 0x2E, 0x00, 0x00, 0x00, 0x05,
             0x31, 0x2E, 0x32, 0x2E, 0x33, 0xF7});
    EXPECT_TRUE(sysexReceiver.takeAck());
    EXPECT_EQ(sysexReceiver.versionLength, 5);
    EXPECT_EQ(sysexReceiver.versionString(), "1.2.3");
    EXPECT_EQ(sysexReceiver.version[5], '\0');
}

TEST_F(ReceivePath, VersionReplyOfLengthZeroEmptiesTheVersion)
{
    deliver(versionReply("2.0"));
    ASSERT_TRUE(sysexReceiver.takeAck());
    deliver(versionReply(""));
    EXPECT_TRUE(sysexReceiver.takeAck());
    EXPECT_EQ(sysexReceiver.versionLength, 0);
    EXPECT_EQ(sysexReceiver.versionString(), "");
}

TEST_F(ReceivePath, AcknowledgementKeepsTheLastVersion)
{
    deliver(versionReply("2.0"));
    deliver(ack);
    EXPECT_TRUE(sysexReceiver.takeAck());
    EXPECT_EQ(sysexReceiver.versionLength, 3);
    EXPECT_EQ(sysexReceiver.versionString(), "2.0");
}

TEST_F(ReceivePath, LongVersionTextIsCutToWhatFits)
{
    const std::string text(40, 'v');
    deliver(versionReply(text));
    EXPECT_TRUE(sysexReceiver.takeAck());
    EXPECT_EQ(sysexReceiver.versionLength, 40);
    EXPECT_EQ(sysexReceiver.versionString(), std::string(22, 'v'));
}

TEST_F(ReceivePath, VersionReplyWhoseLengthLiesIsIgnored)
{
    deliver(versionReply("1.0"));
    ASSERT_TRUE(sysexReceiver.takeAck());
    deliver(versionReply("2.0", 4)); // declares one byte more than it carries
    EXPECT_FALSE(sysexReceiver.takeAck());
    deliver(versionReply("2.0", 0x0FFFFFFF));
    EXPECT_FALSE(sysexReceiver.takeAck());
    deliver({0xF0, 0x7E, 0x10, 0x07, 0x02, 0x76, 0x65, 0x72, 0x2E, 0x00, 0xF7}); // length bytes cut off
    EXPECT_FALSE(sysexReceiver.takeAck());
    EXPECT_EQ(sysexReceiver.versionLength, 3);
    EXPECT_EQ(sysexReceiver.versionString(), "1.0");
}

TEST_F(ReceivePath, VersionReplyWithBytesAfterItsTextCounts)
{
    Bytes reply = versionReply("3.1");
    reply.insert(reply.end() - 1, {0x01, 0x02});
    deliver(reply);
    EXPECT_TRUE(sysexReceiver.takeAck());
    EXPECT_EQ(sysexReceiver.versionString(), "3.1");
}

TEST_F(ReceivePath, MessagesUpToThreeHundredBytesAreReceivedLongerOnesAbandoned)
{
    // A version reply of 300 bytes (0xF0, 298 data bytes, 0xF7) fills the
    // buffer exactly and is recognised.
    deliver(versionReply(std::string(286, '1')));
    EXPECT_TRUE(sysexReceiver.takeAck());
    EXPECT_EQ(rxLength, rxCapacity - 1);
    EXPECT_EQ(rxBuffer[rxCapacity - 1], 0xF7);
    EXPECT_EQ(sysexReceiver.versionLength, 286);

    // One data byte more leaves no room for its 0xF7: the message is
    // abandoned, not stored past the buffer and not taken for a reply.
    deliver(versionReply(std::string(287, '2')));
    EXPECT_FALSE(sysexReceiver.takeAck());
    EXPECT_LE(rxLength, rxCapacity - 1);
    EXPECT_EQ(sysexReceiver.versionLength, 286);

    Bytes longMessage{0xF0};
    longMessage.insert(longMessage.end(), 5000, 0x11);
    longMessage.push_back(0xF7);
    deliver(longMessage);
    EXPECT_LE(rxLength, rxCapacity - 1);
    EXPECT_FALSE(sysexReceiver.takeAck());

    // The next message is received normally.
    deliver(ack);
    EXPECT_TRUE(sysexReceiver.takeAck());
}

TEST_F(ReceivePath, DataAfterACompleteMessageStaysWithinTheBuffer)
{
    deliver(ack);
    // Channel messages whose status bytes are ignored leave their data bytes
    // to pile up behind the message; never past the buffer's end.
    for (int i = 0; i < 200; ++i)
        deliver({0x90, 0x40, 0x7F});
    EXPECT_LE(rxLength, rxCapacity - 1);
    deliver(ack);
    EXPECT_TRUE(sysexReceiver.takeAck());
}

TEST(OutgoingMessage, EndsAtTheFirstEndByteWithinReach)
{
    const unsigned char bytes[] = {0xF0, 0x01, 0x02, 0xF7, 0xF0, 0x03, 0xF7};
    EXPECT_EQ(sysexMessageLength(bytes, sizeof bytes), 4);
    EXPECT_EQ(sysexMessageLength(bytes + 3, 4), 1);
    EXPECT_EQ(sysexMessageLength(bytes, 3), 0);
    EXPECT_EQ(sysexMessageLength(bytes, 0), 0);
}

TEST(PortNames, SimilarityScores)
{
    EXPECT_EQ(MidiLink::nameSimilarity("Tessarine1", "Tessarine2"), 90);
    EXPECT_EQ(MidiLink::nameSimilarity("abc", "abd"), 66);
    EXPECT_EQ(MidiLink::nameSimilarity("abcd", "abcdefgh"), 66);
    EXPECT_EQ(MidiLink::nameSimilarity("abcdefgh", "abcd"), 66);
    EXPECT_EQ(MidiLink::nameSimilarity("Port", "Port"), 100);
    EXPECT_EQ(MidiLink::nameSimilarity("xabc", "abc"), 0); // shifted by one: no position agrees
    EXPECT_EQ(MidiLink::nameSimilarity("port", "PORT"), 0);
    EXPECT_EQ(MidiLink::nameSimilarity("", "Port"), 0);
    EXPECT_EQ(MidiLink::nameSimilarity("", ""), 0);
}

TEST(PortNames, OfEquallyAlikeOutputsTheOneEndingAsTheInputDoesIsOpened)
{
    // JACK's names for the MIDI ports of two interfaces: both outputs score
    // the same against either input.
    const QStringList system{"system:midi_playback_1", "system:midi_playback_2"};
    EXPECT_EQ(MidiLink::nameSimilarity(system[0], "system:midi_capture_2"),
              MidiLink::nameSimilarity(system[1], "system:midi_capture_2"));
    EXPECT_EQ(MidiLink::bestOutputPort(system, "system:midi_capture_2"), 1);
    EXPECT_EQ(MidiLink::bestOutputPort(system, "system:midi_capture_1"), 0);
    // The name score still comes first; with no output, none.
    EXPECT_EQ(MidiLink::bestOutputPort({"Other 2", "Tessarine <:MIDI 1"}, "Tessarine >:MIDI 2"), 1);
    EXPECT_EQ(MidiLink::bestOutputPort({}, "Tessarine >:MIDI"), -1);
}

// The uploader's own input port, named after the picked input, would win the
// match for an instrument that offers no port to send to.
TEST(PortNames, TheUploadersOwnPortsAreNeverTheOutput)
{
    const QString input = "Keys >:MIDI";
    EXPECT_EQ(MidiLink::bestOutputPort({"RtMidi Input Client:Keys >:MIDI", "Midi Through:Port-0"}, input), 1);
    EXPECT_EQ(MidiLink::bestOutputPort({"RtMidi Input Client:Keys >:MIDI"}, input), -1);
    // Another uploader's clients, as JACK renames them, and the ALSA form.
    EXPECT_TRUE(MidiLink::isOwnPort("RtMidi Input Client-01:Keys >:MIDI"));
    EXPECT_TRUE(MidiLink::isOwnPort("RtMidi Output Client:RtMidi Output 130:0"));
    // Names that only look alike are instruments' ports.
    EXPECT_FALSE(MidiLink::isOwnPort("RtMidi Input Client-x:MIDI"));
    EXPECT_FALSE(MidiLink::isOwnPort("RtMidi Input Clients:MIDI"));
    EXPECT_FALSE(MidiLink::isOwnPort("Keys:RtMidi Input Client:MIDI"));
}
} // namespace
