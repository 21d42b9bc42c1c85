// The reply hand-over between the MIDI input thread and the GUI thread. Built
// with ThreadSanitizer: one thread delivers replies while the other polls.
#include "midi/sysexreceiver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// The program defines it among its static objects; built from
// sysexreceiver.cpp alone, this test has its own.
SysexReceiver sysexReceiver;

TEST(ReplyHandover, EveryTakenVersionReplyIsComplete)
{
    constexpr int replies = 20000;
    std::atomic<bool> done{false};
    std::thread midiThread([&] {
        const std::vector<std::string> texts{"1.0", "22.22.22", std::string(22, '7')};
        for (int i = 0; i < replies; ++i) {
            const std::string &text = texts[size_t(i) % texts.size()];
            std::vector<unsigned char> reply{0xF0, 0x7E, 0x10, 0x07, 0x02, 0x76, 0x65, 0x72, 0x2E,
                                             0, 0, 0, static_cast<unsigned char>(text.size())};
            reply.insert(reply.end(), text.begin(), text.end());
            reply.push_back(0xF7);
            // Delivered in two pieces, with an acknowledgement between replies.
            std::vector<unsigned char> head(reply.begin(), reply.begin() + 7);
            std::vector<unsigned char> tail(reply.begin() + 7, reply.end());
            onMidiInput(0, &head, nullptr);
            onMidiInput(0, &tail, nullptr);
            std::vector<unsigned char> ack{0xF0, 0x7E, 0x10, 0x7F, 0x00, 0xF7};
            onMidiInput(0, &ack, nullptr);
        }
        done = true;
    });

    int taken = 0;
    while (!done) {
        if (sysexReceiver.takeAck()) {
            ++taken;
            const int length = sysexReceiver.versionLength.load(std::memory_order_relaxed);
            const std::string text = sysexReceiver.versionString();
            ASSERT_TRUE(length == 3 || length == 8 || length == 22) << length;
            ASSERT_FALSE(text.empty());
        }
    }
    midiThread.join();
    EXPECT_GT(taken, 0);
}
