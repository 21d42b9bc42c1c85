// Tests of the developer tools: the SysEx assembly and reply bytes that
// tessarine-sim uses, and the files make-tsu writes (run as a program, so its
// option handling is covered too).

#include "sysexbytes.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<Bytes> feedAll(const std::vector<Bytes> &deliveries)
{
    SysexAssembler assembler;
    std::vector<Bytes> messages;
    for (const Bytes &d : deliveries)
        assembler.feed(d.data(), d.size(), [&](const Bytes &m) { messages.push_back(m); });
    return messages;
}

TEST(SysexAssembler, JoinsSplitMessageAndDropsRealTimeBytes)
{
    const auto got = feedAll({{0xF0, 0x01, 0xF8}, {0x02, 0xFE}, {0x03, 0xF7}});
    EXPECT_EQ(got, (std::vector<Bytes>{{0xF0, 0x01, 0x02, 0x03, 0xF7}}));
}

TEST(SysexAssembler, SplitsJoinedMessagesAndIgnoresBytesOutside)
{
    const auto got = feedAll({{0x90, 0x40, 0xF0, 0x11, 0xF7, 0x22, 0xF0, 0x33, 0xF7}});
    EXPECT_EQ(got, (std::vector<Bytes>{{0xF0, 0x11, 0xF7}, {0xF0, 0x33, 0xF7}}));
}

TEST(SysexAssembler, NewStartAbandonsUnfinishedMessage)
{
    const auto got = feedAll({{0xF0, 0x01, 0x02}, {0xF0, 0x05}, {0xF7, 0xF7}});
    EXPECT_EQ(got, (std::vector<Bytes>{{0xF0, 0x05, 0xF7}}));
}

TEST(SysexAssembler, KeepsOtherStatusBytesInsideForTheLog)
{
    const auto got = feedAll({{0xF0, 0x90, 0x7F, 0xF7}});
    EXPECT_EQ(got, (std::vector<Bytes>{{0xF0, 0x90, 0x7F, 0xF7}}));
}

TEST(Replies, VersionReplyCarriesLengthInSevenBitGroups)
{
    const std::string text(200, 'x');
    const Bytes reply = versionReply(text);
    const Bytes prefix{0xF0, 0x7E, 0x10, 0x07, 0x02, 0x76, 0x65, 0x72, 0x2E, 0x00, 0x00, 0x01, 0x48};
    ASSERT_EQ(reply.size(), prefix.size() + 200 + 1);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 13), prefix);
    EXPECT_EQ(std::string(reply.begin() + 13, reply.end() - 1), text);
    EXPECT_EQ(reply.back(), 0xF7);

    Bytes number;
    appendNumber28(number, 0x0ABCDEF1);
    EXPECT_EQ(number, (Bytes{0x55, 0x73, 0x3D, 0x71}));
}

TEST(Replies, LogTextAndAcknowledgement)
{
    EXPECT_EQ(hexLine({0xF0, 0x0A, 0xAB, 0xF7}), "f0 0a ab f7");
    EXPECT_EQ(hexLine({}), "");
    EXPECT_EQ(hexLine(acknowledgement()), "f0 7e 10 7f 00 f7");
}

class MakeTsu : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/make-tsu-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/sample.tsu";
    }

    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    static int run(const std::string &args)
    {
        const int status = std::system((std::string(MAKE_TSU_PATH) + " " + args + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    Bytes readFile() const
    {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    static uint32_t number28(const Bytes &b, size_t at)
    {
        return (uint32_t(b[at]) << 21) | (uint32_t(b[at + 1]) << 14) | (uint32_t(b[at + 2]) << 7) | b[at + 3];
    }

    std::string dir, path;
};

TEST_F(MakeTsu, WritesHeaderThenDataMessages)
{
    ASSERT_EQ(run(path + " --version 1.2.3-beta --messages 5 --length 300"), 0);
    const Bytes file = readFile();
    const size_t headerSize = 5 + 4 + 24 + 10 + 2;
    ASSERT_EQ(file.size(), headerSize + 5 * 300);

    EXPECT_EQ(Bytes(file.begin(), file.begin() + 9), (Bytes{0xF0, 0x7E, 0x10, 0x07, 0x02, 0, 0, 0, 0}));
    EXPECT_EQ(number28(file, 9), 5u);
    EXPECT_EQ(number28(file, 13), 300u);
    for (size_t at = 17; at < 33; at += 4)
        EXPECT_EQ(number28(file, at), 0u) << "header number at " << at;
    EXPECT_EQ(std::string(file.begin() + 33, file.begin() + 43), "1.2.3-beta");
    EXPECT_EQ(file[43], 0x00);
    EXPECT_EQ(file[44], 0xF7);

    for (size_t m = 0; m < 5; ++m) {
        const size_t at = headerSize + m * 300;
        EXPECT_EQ(file[at], 0xF0) << "message " << m;
        EXPECT_EQ(file[at + 299], 0xF7) << "message " << m;
        for (size_t p = at + 1; p < at + 299; ++p)
            ASSERT_LT(file[p], 0x80) << "message " << m << " offset " << p - at;
    }
    // The pattern varies with both message and position.
    EXPECT_NE(file[headerSize + 1], file[headerSize + 300 + 1]);
    EXPECT_NE(file[headerSize + 1], file[headerSize + 2]);
}

TEST_F(MakeTsu, DefaultsAndShortestMessages)
{
    ASSERT_EQ(run(path), 0);
    EXPECT_EQ(readFile().size(), 40u + 16 * 256);
    ASSERT_EQ(run(path + " --messages 2 --length 2"), 0);
    const Bytes file = readFile();
    EXPECT_EQ(Bytes(file.begin() + 40, file.end()), (Bytes{0xF0, 0xF7, 0xF0, 0xF7}));
}

TEST_F(MakeTsu, RejectsBadArguments)
{
    EXPECT_EQ(run(path + " --length 1"), 2);
    EXPECT_EQ(run(path + " --version ''"), 2);
    EXPECT_EQ(run(path + " --version 12345678901234567890"), 2);
    EXPECT_EQ(run(path + " --version 1234567890123456789"), 0);
    EXPECT_EQ(run(path + " --version \"$(printf '1.0\\001')\""), 2);
    EXPECT_EQ(run(path + " --messages x"), 2);
    EXPECT_EQ(run(path + " --messages 268435456"), 2);
    EXPECT_EQ(run(path + " --bogus 1"), 2);
    EXPECT_EQ(run(path + " --length"), 2);
    EXPECT_EQ(run("--messages 3"), 2);
    EXPECT_EQ(run(dir + "/no/such/dir/x.tsu"), 1);
}

// tsu-check, run as a firmware author runs it: what it says of a file, its
// exit status, and the same facts as JSON.
class TsuCheck : public MakeTsu
{
protected:
    struct Run
    {
        int status;
        std::string out;
    };

    static Run check(const std::string &args)
    {
        std::string out;
        FILE *pipe = popen((std::string(TSU_CHECK_PATH) + " " + args + " 2>/dev/null").c_str(), "r");
        char chunk[4096];
        for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;)
            out.append(chunk, got);
        const int status = pclose(pipe);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
    }

    std::string write(const std::string &name, const Bytes &bytes) const
    {
        const std::string file = dir + "/" + name;
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                     std::streamsize(bytes.size()));
        return file;
    }

    static QJsonDocument json(const std::string &out)
    {
        return QJsonDocument::fromJson(QByteArray::fromStdString(out));
    }
};

TEST_F(TsuCheck, AGoodFileIsDescribedAndSentOverEveryService)
{
    ASSERT_EQ(run(path + " --version 1.2.3 --messages 3 --length 300"), 0);
    const Run text = check("'" + path + "'");
    EXPECT_EQ(text.status, 0);
    const Bytes bytes = readFile();
    const QByteArray sha256 =
        QCryptographicHash::hash(QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())),
                                 QCryptographicHash::Sha256)
            .toHex();
    for (const std::string line : {"  size: 940 bytes, SHA-256 " + sha256.toStdString(),
                                   std::string("  header: format 0, numbers 3 300 0 0 0 0, version \"1.2.3\""),
                                   std::string("  messages: 4; length shortest 40 (message 1), median 300, "
                                               "longest 300 (message 2)"),
                                   std::string("  sent by the uploader over: JACK yes, ALSA yes, WinMM yes"),
                                   std::string("  findings: none")})
        EXPECT_NE(text.out.find(line + "\n"), std::string::npos) << line << "\nin:\n" << text.out;

    const QJsonObject file = json(check("--json '" + path + "'").out)["files"][0].toObject();
    EXPECT_EQ(file["sha256"].toString().toStdString(), sha256.toStdString());
    EXPECT_EQ(file["header"]["version"].toString(), "1.2.3");
    EXPECT_EQ(file["messages"]["count"].toInt(), 4);
    EXPECT_EQ(file["messages"]["longest"]["message"].toInt(), 2);
    EXPECT_TRUE(file["findings"].toArray().isEmpty());
}

TEST_F(TsuCheck, FindingsComeWithTheirPlaceAndTheServicesThatRefuseTheFile)
{
    // A note-on inside message 2, which the ALSA sequencer would cut there,
    // an empty version text, and bytes after the last whole message.
    Bytes file{0xF0, 0x7E, 0x10, 0x07, 0x02};
    file.insert(file.end(), 28, 0x00);
    file.insert(file.end(), {0x00, 0xF7, 0xF0, 0x01, 0x90, 0x40, 0x7F, 0xF7, 0xF0, 0x01});
    const std::string bad = write("bad.tsu", file);
    const Run text = check("'" + bad + "'");
    EXPECT_EQ(text.status, 1);
    EXPECT_NE(text.out.find("  sent by the uploader over: JACK no, ALSA no, WinMM no\n"), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("    warning: The version text is empty"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("    refused over ALSA: Message 2 (at offset 35, 6 bytes) holds the byte 0x90 at "
                            "offset 37"),
              std::string::npos)
        << text.out;

    const QJsonDocument checked = json(check("--json '" + bad + "'").out);
    EXPECT_EQ(checked["status"].toInt(), 1);
    const QJsonArray findings = checked["files"][0]["findings"].toArray();
    ASSERT_EQ(findings.size(), 3);
    EXPECT_EQ(findings[0]["kind"].toString(), "version-empty");
    EXPECT_TRUE(findings[0]["refusedOver"].toArray().isEmpty());
    EXPECT_EQ(findings[1]["kind"].toString(), "altered-byte-inside");
    EXPECT_EQ(findings[1]["offset"].toInt(), 37);
    EXPECT_EQ(findings[1]["value"].toInt(), 0x90);
    EXPECT_EQ(findings[1]["refusedOver"].toArray(), QJsonArray{"ALSA"});
    EXPECT_EQ(findings[2]["kind"].toString(), "bytes-after-last-message");
    EXPECT_EQ(findings[2]["refusedOver"].toArray(), (QJsonArray{"JACK", "ALSA", "WinMM"}));
}

TEST_F(TsuCheck, ExitStatusIsTheWorstOfTheFiles)
{
    ASSERT_EQ(run(path), 0);
    const std::string cut = write("cut.tsu", {0xF0, 0x01});
    EXPECT_EQ(check("'" + path + "'").status, 0);
    EXPECT_EQ(check("'" + path + "' '" + cut + "'").status, 1);
    const Run missing = check("--json '" + path + "' '" + dir + "/missing.tsu' '" + cut + "'");
    EXPECT_EQ(missing.status, 2);
    const QJsonObject unread = json(missing.out)["files"][1].toObject();
    EXPECT_FALSE(unread["readable"].toBool());
    EXPECT_EQ(unread["error"].toString(), "It cannot be opened: No such file or directory.");
    EXPECT_EQ(check("'" + dir + "'").status, 2);
    EXPECT_EQ(check("").status, 2);
    EXPECT_EQ(check("--bogus '" + path + "'").status, 2);
}

}  // namespace
