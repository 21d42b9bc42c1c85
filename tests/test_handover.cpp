// The reply hand-over between the MIDI input thread and the GUI thread, and
// the wake-up that ends the GUI thread's sleep when a reply has come. Built
// with ThreadSanitizer: one thread delivers replies while the other polls or
// sleeps in the update's pauses.
#include "midi/sysexreceiver.h"
#include "sysexbytes.h"
#include "update/updater.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

TEST(ReplyHandover, EveryTakenVersionReplyIsComplete)
{
    constexpr int replies = 20000;
    std::atomic<bool> done{false};
    std::thread midiThread([&] {
        const std::vector<std::string> texts{"1.0", "22.22.22", std::string(22, '7')};
        for (int i = 0; i < replies; ++i) {
            const std::string &text = texts[size_t(i) % texts.size()];
            const Bytes reply = versionReply(text);
            // Delivered in two pieces, with an acknowledgement between replies.
            std::vector<unsigned char> head(reply.begin(), reply.begin() + 7);
            std::vector<unsigned char> tail(reply.begin() + 7, reply.end());
            onMidiInput(0, &head, nullptr);
            onMidiInput(0, &tail, nullptr);
            Bytes ack = acknowledgement();
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

// The GUI thread sleeps between replies in the update's own pauses; the
// receive path wakes it through its event dispatcher.
class ReplyWakeUp : public ::testing::Test
{
protected:
    void SetUp() override
    {
        app = std::make_unique<QCoreApplication>(argc, argv);
        // Whatever the application posted at its start is handled now, so a
        // pause that follows sleeps unless it is woken.
        QCoreApplication::processEvents();
        // Nor is a reply of an earlier test left.
        sysexReceiver.takeAck();
        sysexReceiver.setReplyWaiter(QAbstractEventDispatcher::instance());
        // Ends a pause that would otherwise sleep for good, so that such a
        // fault fails the test instead of hanging it.
        watchdog = std::make_unique<QTimer>();
        watchdog->setSingleShot(true);
        watchdog->start(5000);
    }
    void TearDown() override
    {
        sysexReceiver.setReplyWaiter(nullptr);
        watchdog.reset();
        app.reset();
    }

    static void deliver(std::vector<unsigned char> bytes) { onMidiInput(0, &bytes, nullptr); }

    int argc = 1;
    char name[16] = "test_handover";
    char *argv[2] = {name, nullptr};
    std::unique_ptr<QCoreApplication> app;
    std::unique_ptr<QTimer> watchdog;
};

TEST_F(ReplyWakeUp, APauseWithNothingToDoSleepsToItsEnd)
{
    QElapsedTimer clock;
    clock.start();
    waitWithEvents(50);
    EXPECT_GE(clock.elapsed(), 45);
    EXPECT_LT(clock.elapsed(), 2500) << "the pause did not end at its bound";
}

TEST_F(ReplyWakeUp, AReplyThatLandsJustBeforeThePauseEndsItAtOnce)
{
    // The last look at the reply, then the reply lands on another thread
    // before the pause has begun to sleep.
    ASSERT_FALSE(sysexReceiver.takeAck());
    std::thread([] { deliver(acknowledgement()); }).join();
    QElapsedTimer clock;
    clock.start();
    waitWithEvents(20000);
    EXPECT_LT(clock.elapsed(), 2500) << "the pause slept through the reply's wake-up";
    EXPECT_TRUE(sysexReceiver.takeAck());
}

TEST_F(ReplyWakeUp, ThousandsOfRepliesEachEndTheWaitForThem)
{
    // One message at a time, as an update sends them: the MIDI thread answers
    // message i once it has been "sent", the GUI thread waits for each answer
    // in pauses of 1 ms. A wake-up lost for good would stall the run: each
    // wait is bounded, so that the test fails rather than hangs.
    constexpr int messages = 5000;
    std::atomic<int> sent{0};
    std::atomic<bool> stop{false};
    std::thread midiThread([&] {
        for (int i = 0; i < messages && !stop.load(); ++i) {
            // Acquire: pairs with the GUI thread's release store of sent.
            while (sent.load(std::memory_order_acquire) <= i && !stop.load())
                std::this_thread::yield();
            if (i % 2)
                deliver(acknowledgement());
            else
                deliver({0xF0, 0x7E, 0x10, 0x07, 0x02, 0x76, 0x65, 0x72, 0x2E, 0, 0, 0, 3, '2', '.', '1', 0xF7});
        }
        // Replies that keep coming while the GUI thread lets its dispatcher go.
        for (int i = 0; i < 2000 && !stop.load(); ++i)
            deliver(acknowledgement());
    });
    struct Join
    {
        std::atomic<bool> &stop;
        std::thread &thread;
        ~Join()
        {
            stop = true;
            thread.join();
        }
    } join{stop, midiThread};

    for (int i = 0; i < messages; ++i) {
        // Release: the message is "sent" before the MIDI thread answers it.
        sent.store(i + 1, std::memory_order_release);
        QElapsedTimer clock;
        clock.start();
        while (!sysexReceiver.takeAck()) {
            waitWithEvents(1);
            ASSERT_LT(clock.elapsed(), 10000) << "no reply taken for message " << i;
        }
        if (i % 2 == 0) {
            ASSERT_EQ(sysexReceiver.versionString(), "2.1");
        }
    }
    sysexReceiver.setReplyWaiter(nullptr);
    watchdog.reset();
    app.reset();
}
