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
#include <set>
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
        std::string err;
    };

    // Runs tsu-check with args (words for the shell), standard input from
    // input where one is given.
    Run check(const std::string &args, const std::string &input = "/dev/null") const
    {
        const std::string errors = dir + "/stderr";
        std::string out;
        FILE *pipe = popen((std::string(TSU_CHECK_PATH) + " " + args + " <'" + input + "' 2>'" + errors + "'").c_str(),
                           "r");
        char chunk[4096];
        for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;)
            out.append(chunk, got);
        const int status = pclose(pipe);
        std::ifstream in(errors, std::ios::binary);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, std::string(std::istreambuf_iterator<char>(in), {})};
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

// An empty file, or one without a whole message, carries no update: a
// release script must not ship it.
TEST_F(TsuCheck, AFileThatCarriesNoUpdateIsNoRelease)
{
    const std::string empty = write("empty.tsu", {});
    const Run text = check("'" + empty + "'");
    EXPECT_EQ(text.status, 1);
    EXPECT_NE(text.out.find("  messages: none\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("    no update: The file is empty: it holds no message, and the uploader would send "
                            "nothing.\n"),
              std::string::npos)
        << text.out;
    const QJsonObject file = json(check("--json '" + empty + "'").out)["files"][0].toObject();
    EXPECT_EQ(file["status"].toInt(), 1);
    EXPECT_EQ(file["findings"][0]["kind"].toString(), "no-message");
    EXPECT_EQ(file["findings"][0]["severity"].toString(), "no-update");

    const Run cut = check("--json '" + write("cut.tsu", {0xF0, 0x01}) + "'");
    EXPECT_EQ(cut.status, 1);
    const QJsonArray findings = json(cut.out)["files"][0]["findings"].toArray();
    ASSERT_EQ(findings.size(), 2);
    EXPECT_EQ(findings[0]["kind"].toString(), "bytes-after-last-message");
    EXPECT_EQ(findings[1]["kind"].toString(), "no-message");
}

// Each byte a service alters is a finding; beyond the listed ones, how many
// there are and where the first not listed lies.
TEST_F(TsuCheck, EveryFindingIsCountedAndTheFirstNotListedPlaced)
{
    Bytes file{0xF0, 0x7E, 0x10, 0x07, 0x02};
    file.insert(file.end(), 28, 0x00);
    file.insert(file.end(), {'1', 0x00, 0xF7});
    for (int i = 0; i < 1000; ++i)
        file.insert(file.end(), {0xF0, 0x01, 0xF8, 0x90, 0x02, 0xF7});
    const std::string many = write("many.tsu", file);
    const Run text = check("'" + many + "'");
    EXPECT_EQ(text.status, 1);
    for (const std::string line :
         {"    refused over ALSA: Message 2 (at offset 36, 6 bytes) holds the byte 0xF8 at offset 38",
          "    refused over ALSA: Message 2 (at offset 36, 6 bytes) holds the byte 0x90 at offset 39",
          "    not listed: 1900 more altered-byte-inside findings, 2000 in all; the first not listed is at offset "
          "338, in message 52\n"})
        EXPECT_NE(text.out.find(line), std::string::npos) << line;

    const QJsonObject checked = json(check("--json '" + many + "'").out)["files"][0].toObject();
    EXPECT_EQ(checked["findings"].toArray().size(), 100);
    EXPECT_EQ(checked["findingsLeftOut"].toInt(), 1900);
    EXPECT_EQ(checked["counts"][0]["total"].toInt(), 2000);
    EXPECT_EQ(checked["counts"][0]["firstLeftOut"]["offset"].toInt(), 338);
}

// Which field of the header is wrong, and the version text the question
// shows all the same, marked as coming from a header not accepted.
TEST_F(TsuCheck, AHeaderNotAcceptedSaysWhichField)
{
    ASSERT_EQ(run(path + " --version 1.2.3 --messages 1"), 0);
    Bytes bytes = readFile();
    bytes[8] = 0x01;
    const std::string other = write("other.tsu", bytes);
    const Run text = check("'" + other + "'");
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("  header: not accepted: its format number is 1, not 0\n"
                            "  version text at offset 33: \"1.2.3\", shown in the question but not in the main window\n"),
              std::string::npos)
        << text.out;
    const QJsonObject header = json(check("--json '" + other + "'").out)["files"][0]["header"].toObject();
    EXPECT_FALSE(header["accepted"].toBool());
    EXPECT_EQ(header["fault"].toString(), "format-number");
    EXPECT_EQ(header["version"].toString(), "1.2.3");

    // A version text longer than the question shows is cut where it cuts it.
    Bytes longer(bytes.begin(), bytes.begin() + 33);
    longer[8] = 0x00;
    longer.insert(longer.end(), 70, 'x');
    longer.insert(longer.end(), {0x00, 0xF7});
    const std::string shown = write("long.tsu", longer);
    EXPECT_NE(check("'" + shown + "'").out.find("version \"" + std::string(64, 'x') + "\"\u2026 (70 bytes)\n"),
              std::string::npos);
    const QJsonObject longHeader = json(check("--json '" + shown + "'").out)["files"][0]["header"].toObject();
    EXPECT_EQ(longHeader["version"].toString().toStdString(), std::string(64, 'x'));
    EXPECT_EQ(longHeader["versionLength"].toInt(), 70);

    bytes[8] = 0x00;
    bytes.resize(20);
    bytes.push_back(0xF7);
    EXPECT_NE(check("'" + write("cut.tsu", bytes) + "'")
                  .out.find("  header: not accepted: cut short, it ends after 21 bytes, before offset 33\n"),
              std::string::npos);
}

// Every field path of a JSON value: "files[].header.version". An array's
// elements are looked into when they are objects.
void fieldPaths(const QJsonValue &value, const std::string &path, std::set<std::string> &paths)
{
    if (!path.empty() && path.back() != ']')
        paths.insert(path);
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto i = object.begin(); i != object.end(); ++i)
            fieldPaths(i.value(), path.empty() ? i.key().toStdString() : path + "." + i.key().toStdString(), paths);
    } else if (value.isArray()) {
        for (const QJsonValue element : value.toArray()) {
            if (element.isObject())
                fieldPaths(element, path + "[]", paths);
        }
    }
}

// The JSON is an interface: its fields are those the table in
// docs/tsu-check.md lists, no more and no fewer.
TEST_F(TsuCheck, TheJsonHasExactlyTheDocumentedFields)
{
    std::ifstream doc(TSU_CHECK_DOC);
    ASSERT_TRUE(doc) << TSU_CHECK_DOC;
    std::set<std::string> documented;
    bool inTable = false;
    for (std::string line; std::getline(doc, line);) {
        if (line.rfind("## ", 0) == 0)
            inTable = line == "## The JSON document";
        if (inTable && line.rfind("| `", 0) == 0)
            documented.insert(line.substr(3, line.find('`', 3) - 3));
    }
    ASSERT_GT(documented.size(), 40u);

    // A good file, a file with findings left out and a header not
    // accepted, and one that cannot be read.
    ASSERT_EQ(run(path + " --messages 2"), 0);
    Bytes bad = readFile();
    bad[8] = 0x01;
    for (int i = 0; i < 101; ++i)
        bad.insert(bad.end(), {0xF0, 0x90, 0xF7});
    const Run checked =
        check("--json '" + path + "' '" + write("bad.tsu", bad) + "' '" + dir + "/missing.tsu'");
    std::set<std::string> given;
    fieldPaths(json(checked.out).object(), "", given);
    EXPECT_EQ(given, documented);
    EXPECT_EQ(json(checked.out)["format"].toInt(), 1);
}

// As command-line tools go: --version, -h, - for standard input, -- before
// names, errors on standard error, and names that cannot forge a line.
TEST_F(TsuCheck, FollowsTheConventionsOfCommandLineTools)
{
    ASSERT_EQ(run(path), 0);
    EXPECT_EQ(check("--version").out, "tsu-check (Tessarine Uploader) " TSU_VERSION "\n");
    const Run help = check("-h");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, check("--help").out);
    EXPECT_EQ(help.out.rfind("Usage: tsu-check", 0), 0u);

    const Run piped = check("-", path);
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out.rfind("-\n  size: 4136 bytes", 0), 0u) << piped.out;
    EXPECT_EQ(check("-x").status, 2);
    std::rename(path.c_str(), (dir + "/-h").c_str());
    EXPECT_EQ(check("-- -h", "/dev/null").status, 2);  // no file "-h" in the current folder
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    EXPECT_EQ(check("-- -h").status, 0);
    ASSERT_EQ(chdir(here), 0);

    // Named on standard error, and in the report; a line break in a name is
    // printed escaped and forges no line.
    const std::string forged = dir + "/a\n  findings: none";
    const Run missing = check("'" + forged + "'");
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err, "tsu-check: " + dir + "/a\\x0a  findings: none: It cannot be opened: No such file or "
                           "directory.\n");
    EXPECT_EQ(missing.out, dir + "/a\\x0a  findings: none\n  cannot be read: It cannot be opened: No such file "
                                 "or directory.\n");

    // A Latin-1 name, not valid UTF-8: checked as any other.
    const std::string latin1 = dir + "/caf\xE9.tsu";
    std::rename((dir + "/-h").c_str(), latin1.c_str());
    const Run old = check("'" + latin1 + "'");
    EXPECT_EQ(old.status, 0) << old.out;
    EXPECT_EQ(old.out.rfind(dir + "/caf\\xe9.tsu\n", 0), 0u) << old.out;

    // A file whose size says 0 and that holds bytes: read to its end.
    const std::string proc = dir + "/proc.tsu";
    ASSERT_EQ(symlink("/proc/self/environ", proc.c_str()), 0);
    const QJsonObject environ = json(check("--json '" + proc + "'").out)["files"][0].toObject();
    EXPECT_TRUE(environ["readable"].toBool()) << environ["error"].toString().toStdString();
    EXPECT_GT(environ["size"].toInt(), 0);
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
    EXPECT_EQ(missing.err, "tsu-check: " + dir + "/missing.tsu: It cannot be opened: No such file or directory.\n");
    EXPECT_EQ(check("'" + dir + "'").status, 2);
    EXPECT_EQ(check("").status, 2);
    EXPECT_EQ(check("--bogus '" + path + "'").status, 2);
}

}  // namespace
