// The benchmark's arithmetic: a wrong percentile or a log read off by one
// message would print plausible but false figures, so these are checked here.
#include "benchlib.h"

#include <gtest/gtest.h>

#include <numeric>
#include <sstream>

using namespace bench;

TEST(Sizes, SuffixesAndScanLists)
{
    EXPECT_EQ(parseSize("8K"), 8192u);
    EXPECT_EQ(parseSize("8k"), 8192u);
    EXPECT_EQ(parseSize("16M"), 16u * 1024 * 1024);
    EXPECT_EQ(parseSize("1000"), 1000u);
    for (const char *bad : {"", "K", "0", "0K", "-1M", "1.5M", "1G", "1MB", "12 K"})
        EXPECT_FALSE(parseSize(bad)) << bad;

    EXPECT_EQ(sizeText(64 * 1024), "64 KiB");
    EXPECT_EQ(sizeText(16 * 1024 * 1024), "16 MiB");
    EXPECT_EQ(sizeText(1536), "1536 B");

    const auto scan = parseSizeList("64K,1M,16M:2");
    ASSERT_TRUE(scan);
    ASSERT_EQ(scan->size(), 3u);
    EXPECT_EQ((*scan)[0].bytes, 65536u);
    EXPECT_EQ((*scan)[0].repetitions, 0); // left to --repetitions
    EXPECT_EQ((*scan)[2].bytes, 16u * 1024 * 1024);
    EXPECT_EQ((*scan)[2].repetitions, 2);
    for (const char *bad : {"", ",", "64K,", "1M:", "1M:0", "1M:x", "x,1M"})
        EXPECT_FALSE(parseSizeList(bad)) << bad;
}

TEST(Statistics, NearestRankPercentilesAndMedians)
{
    std::vector<double> hundred(100);
    std::iota(hundred.begin(), hundred.end(), 1.0);
    std::reverse(hundred.begin(), hundred.end()); // unsorted input
    EXPECT_EQ(percentile(hundred, 99), 99.0);
    EXPECT_EQ(percentile(hundred, 100), 100.0);
    EXPECT_EQ(percentile(hundred, 1), 1.0);
    EXPECT_EQ(percentile(hundred, 50), 50.0);

    // With few values the 99th percentile is the largest.
    EXPECT_EQ(percentile({3.0, 1.0, 2.0}, 99), 3.0);
    EXPECT_EQ(percentile({}, 99), 0.0);

    EXPECT_EQ(median({5.0, 1.0, 3.0}), 3.0);
    EXPECT_EQ(median({4.0, 1.0, 3.0, 2.0}), 2.5);
    EXPECT_EQ(median({7.0}), 7.0);
    EXPECT_EQ(median({}), 0.0);

    // One long wait among quick ones moves the mean, not the median.
    EXPECT_EQ(mean({1.0, 1.0, 1.0, 13.0}), 4.0);
    EXPECT_EQ(median({1.0, 1.0, 1.0, 13.0}), 1.0);
    EXPECT_EQ(mean({}), 0.0);
}

namespace {
// A log of three 4-byte messages: arrivals at 1000, 3000, 6500 us, each
// answered 100 us later.
const char threeMessageLog[] = "rx 1000 f0 01 02 f7\n"
                               "tx 1100 f0 7e 10 7f 00 f7\n"
                               "rx 3000 f0 03 04 f7\n"
                               "tx 3100 f0 7e 10 7f 00 f7\n"
                               "rx 6500 f0 05 06 f7\n"
                               "tx 6600 f0 7e 10 7f 00 f7\n";

SimLog logOf(const std::string &text)
{
    std::istringstream in(text);
    return parseSimLog(in);
}
} // namespace

TEST(InstrumentLog, ReplyToNextMessageTimes)
{
    const SimLog log = logOf(threeMessageLog);
    ASSERT_EQ(log.error, "");
    EXPECT_EQ(log.received, (std::vector<int64_t>{1000, 3000, 6500}));
    EXPECT_EQ(log.replied, (std::vector<int64_t>{1100, 3100, 6600}));
    EXPECT_EQ(log.receivedBytes, (std::vector<uint64_t>{4, 4, 4}));
    EXPECT_EQ(log.totalBytes, 12u); // replies are not counted
    // Message 2 arrived 1.9 ms after reply 1, message 3 3.4 ms after reply 2.
    EXPECT_EQ(replyToNextMessage(log), (std::vector<double>{1.9, 3.4}));

    // A single byte-long message still counts one byte.
    EXPECT_EQ(logOf("rx 5 f7\ntx 6 f0 f7\n").totalBytes, 1u);
}

TEST(InstrumentLog, ExchangesOutOfStepAreReported)
{
    EXPECT_NE(logOf("rx 1 f0 f7\nrx 2 f0 f7\ntx 3 f0 f7\n").error, "");  // two messages, one reply
    EXPECT_NE(logOf("tx 1 f0 f7\nrx 2 f0 f7\ntx 3 f0 f7\n").error, "");  // a reply first
    EXPECT_NE(logOf("rx 1 f0 f7\ntx 2 f0 f7\nrx 3 f0 f7\n").error, "");  // last one unanswered
    EXPECT_NE(logOf("rx x f0 f7\ntx 2 f0 f7\n").error, "");              // no time
    EXPECT_NE(logOf("f0 01 f7\n").error, "");                            // a log without --timestamps
    EXPECT_EQ(logOf("").error, "");
    EXPECT_TRUE(replyToNextMessage(logOf("")).empty());
}

TEST(ClientTraces, PartsAddUpToTheInstrumentsGap)
{
    const SimLog log = logOf(threeMessageLog);
    // The client had reply 1 at 1700 and sent message 2 at 1710; reply 2 at
    // 3900, message 3 sent at 3950. Message 1 was sent at 500.
    std::istringstream in("r 1700\nr 3900\nr 7000\ns 500\ns 1710\ns 3950\n");
    const ClientTrace trace = parseClientTrace(in);
    const GapParts parts = splitReplyToNextMessage(log, trace);
    ASSERT_EQ(parts.replyDelivery.size(), 2u);
    EXPECT_EQ(parts.replyDelivery, (std::vector<double>{0.6, 0.8}));
    EXPECT_DOUBLE_EQ(parts.clientReaction[0], 0.01);
    EXPECT_DOUBLE_EQ(parts.clientReaction[1], 0.05);
    EXPECT_DOUBLE_EQ(parts.messageDelivery[0], 1.29);
    EXPECT_DOUBLE_EQ(parts.messageDelivery[1], 2.55);
    const auto gaps = replyToNextMessage(log);
    for (size_t i = 0; i < gaps.size(); ++i)
        EXPECT_NEAR(parts.replyDelivery[i] + parts.clientReaction[i] + parts.messageDelivery[i], gaps[i], 1e-9);

    // A trace of another exchange (a send missing) is not laid beside the log.
    std::istringstream shorter("r 1700\nr 3900\nr 7000\ns 500\ns 1710\n");
    EXPECT_TRUE(splitReplyToNextMessage(log, parseClientTrace(shorter)).clientReaction.empty());
}

// The finer road of one message, as the uploader's trace gives it: the
// callback, the GUI thread's wake from poll(), the dispatch of what woke it,
// the way to the send, RtMidi's send and the message's way on. Each message's
// parts must add up to the instrument's own gap, whatever else the GUI thread
// did in between.
TEST(ClientTraces, TheRoadOfOneMessageThroughTheGuiThread)
{
    const SimLog log = logOf(threeMessageLog); // replies at 1100, 3100; arrivals at 3000, 6500
    // Message 2: reply in the callback at 1700, callback done at 1720, the
    // sleeping GUI thread out of poll() at 1760, awake() at 1790, sends at
    // 1810, RtMidi returns at 1830. Message 3: the thread was busy (a timer
    // woke it at 3800 and was dispatched by 3850, before the reply at 3900)
    // and sends at 3950 without sleeping again; RtMidi returns at 3990. In
    // between, it slept at 1850 and woke twice for nothing (2500, 2600).
    std::istringstream in("r 1700\nr 3900\nr 7000\nc 1720\nc 3915\nc 7010\n"
                          "s 500\ns 1810\ns 3950\ne 520\ne 1830\ne 3990\n"
                          "p 600\np 1850\np 2550\np 3000\n"
                          "w 1760\nw 2500\nw 2600\nw 3800\n"
                          "a 1790\na 2510\na 2610\na 3850\n");
    const GapParts parts = splitReplyToNextMessage(log, parseClientTrace(in));
    ASSERT_EQ(parts.callback.size(), 2u);
    EXPECT_DOUBLE_EQ(parts.replyDelivery[0], 0.6);
    EXPECT_DOUBLE_EQ(parts.callback[0], 0.02);
    EXPECT_DOUBLE_EQ(parts.wake[0], 0.04);
    EXPECT_DOUBLE_EQ(parts.dispatch[0], 0.03);
    EXPECT_DOUBLE_EQ(parts.toSend[0], 0.02);
    EXPECT_DOUBLE_EQ(parts.sendCall[0], 0.02);
    EXPECT_DOUBLE_EQ(parts.arrival[0], 1.17);
    // Awake when the reply came: no wake, and an awake() from before the
    // reply is not this message's dispatch.
    EXPECT_DOUBLE_EQ(parts.callback[1], 0.015);
    EXPECT_EQ(parts.wake[1], 0.0);
    EXPECT_EQ(parts.dispatch[1], 0.0);
    EXPECT_DOUBLE_EQ(parts.toSend[1], 0.035);
    EXPECT_DOUBLE_EQ(parts.arrival[1], 2.51);
    const auto gaps = replyToNextMessage(log);
    for (size_t i = 0; i < gaps.size(); ++i)
        EXPECT_NEAR(parts.replyDelivery[i] + parts.callback[i] + parts.wake[i] + parts.dispatch[i] + parts.toSend[i]
                        + parts.sendCall[i] + parts.arrival[i],
                    gaps[i], 1e-9)
            << i;
    // Out of poll() once for message 2, three times for message 3.
    EXPECT_EQ(parts.wakeUps, (std::vector<double>{1, 3}));
    // Asleep again 0.02 ms after the send of message 2; after that of
    // message 3 it never slept again.
    EXPECT_EQ(parts.busyAfterSend, (std::vector<double>{0.02}));

    // Two threads' clock reads cross: the GUI thread is out of poll() before
    // the callback says it is done. The wake is then nothing, not negative,
    // and the parts still add up. So for message 3 too, whose iteration,
    // ended by awake(), is then all dispatch.
    std::istringstream crossing("r 1700\nr 3900\nr 7000\nc 1720\nc 3915\nc 7010\n"
                                "s 500\ns 1810\ns 3950\ne 520\ne 1830\ne 3990\n"
                                "p 600\np 1850\nw 1710\nw 3910\na 1790\na 3940\n");
    const GapParts crossed = splitReplyToNextMessage(log, parseClientTrace(crossing));
    ASSERT_EQ(crossed.wake.size(), 2u);
    EXPECT_EQ(crossed.wake[0], 0.0);
    EXPECT_DOUBLE_EQ(crossed.dispatch[0], 0.07);
    EXPECT_EQ(crossed.wake[1], 0.0);
    EXPECT_DOUBLE_EQ(crossed.dispatch[1], 0.025);
}

TEST(ClientTraces, AFloorsReactionIsAllOnTheWayToTheSend)
{
    const SimLog log = logOf(threeMessageLog);
    // No callback end, no event loop: the floor sends from its callback.
    std::istringstream in("r 1700\nr 3900\nr 7000\ns 500\ns 1710\ns 3950\ne 510\ne 1712\ne 3952\n");
    const GapParts parts = splitReplyToNextMessage(log, parseClientTrace(in));
    ASSERT_EQ(parts.toSend.size(), 2u);
    EXPECT_EQ(parts.callback, (std::vector<double>{0, 0}));
    EXPECT_EQ(parts.wake, (std::vector<double>{0, 0}));
    EXPECT_EQ(parts.dispatch, (std::vector<double>{0, 0}));
    EXPECT_DOUBLE_EQ(parts.toSend[0], 0.01);
    EXPECT_DOUBLE_EQ(parts.toSend[1], 0.05);
    EXPECT_DOUBLE_EQ(parts.sendCall[0], 0.002);
    EXPECT_TRUE(parts.wakeUps.empty());
    EXPECT_TRUE(parts.busyAfterSend.empty());

    // A trace without the send's return (an older client) keeps the three
    // coarse parts and has no finer road.
    std::istringstream older("r 1700\nr 3900\nr 7000\ns 500\ns 1710\ns 3950\n");
    const GapParts coarse = splitReplyToNextMessage(log, parseClientTrace(older));
    EXPECT_EQ(coarse.clientReaction.size(), 2u);
    EXPECT_TRUE(coarse.toSend.empty());
}
