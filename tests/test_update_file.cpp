// The update file on disk and its header message.
#include "update/fileread.h"
#include "update/updater.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <sys/stat.h>

namespace {
using Bytes = std::vector<unsigned char>;

Bytes header(const std::string &version, Bytes numbers = Bytes(28, 0))
{
    Bytes bytes{0xF0, 0x7E, 0x10, 0x07, 0x02};
    bytes.reserve(bytes.size() + numbers.size() + version.size() + 2);
    bytes.insert(bytes.end(), numbers.begin(), numbers.end());
    bytes.insert(bytes.end(), version.begin(), version.end());
    bytes.push_back(0x00);
    bytes.push_back(0xF7);
    return bytes;
}

class UpdateFile : public ::testing::Test
{
protected:
    QString write(const Bytes &bytes, const QString &name = QStringLiteral("update.tsu"))
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size()));
        return path;
    }

    // An Updater holding bytes as its image, read the way the update run reads it.
    std::unique_ptr<Updater> load(const Bytes &bytes)
    {
        const QString path = write(bytes);
        auto updater = std::make_unique<Updater>(path, nullptr);
        EXPECT_EQ(updater->readFile(path, updater->size), 0);
        updater->parseHeader();
        return updater;
    }

    QTemporaryDir dir;
};

TEST(TwentyEightBitNumber, DecodesSevenBitGroupsMostSignificantFirst)
{
    const unsigned char a[] = {0x01, 0x02, 0x03, 0x04};
    const unsigned char b[] = {0x00, 0x00, 0x01, 0x00};
    const unsigned char c[] = {0x7F, 0x7F, 0x7F, 0x7F};
    EXPECT_EQ(read28(a), 2130308);
    EXPECT_EQ(read28(b), 128);
    EXPECT_EQ(read28(c), 268435455);
}

TEST(UpdateProgress, WholePercentOfTheFileForEveryFileSize)
{
    EXPECT_EQ(progressPercent(1, 3), 33);
    EXPECT_EQ(progressPercent(2, 3), 66);
    EXPECT_EQ(progressPercent(3, 3), 100);
    // From 21,474,837 bytes on, bytes × 100 no longer fits 32 bits.
    EXPECT_EQ(progressPercent(21474837, 21474837), 100);
    EXPECT_EQ(progressPercent(25000000, 30000000), 83);
    EXPECT_EQ(progressPercent(2147483000, 2147483647), 99);
}

TEST_F(UpdateFile, AcceptedHeaderFillsTheFields)
{
    Bytes numbers(28, 0);
    const Bytes first{0x01, 0x02, 0x03, 0x04};
    std::copy(first.begin(), first.end(), numbers.begin() + 4);
    numbers[27] = 0x7F;
    const auto updater = load(header("1.2.3", numbers));
    EXPECT_EQ(updater->size, 40);
    EXPECT_EQ(updater->formatNumber, 0);
    EXPECT_EQ(updater->headerNumbers[0], 2130308);
    EXPECT_EQ(updater->headerNumbers[5], 127);
    EXPECT_STREQ(updater->versionText, "1.2.3");
}

TEST_F(UpdateFile, HeaderIsRefusedOnAWrongSignatureOrFormat)
{
    Bytes wrongStart = header("1.2.3");
    wrongStart[0] = 0xF1;
    EXPECT_STREQ(load(wrongStart)->versionText, "");

    Bytes wrongDevice = header("1.2.3");
    wrongDevice[2] = 0x11;
    EXPECT_STREQ(load(wrongDevice)->versionText, "");

    Bytes numbers(28, 0);
    numbers[3] = 0x01; // format number 1
    numbers[7] = 0x05;
    const auto otherFormat = load(header("1.2.3", numbers));
    EXPECT_EQ(otherFormat->formatNumber, 1);
    EXPECT_EQ(otherFormat->headerNumbers[0], 0);
    EXPECT_STREQ(otherFormat->versionText, "");
}

TEST_F(UpdateFile, VersionTextOfNineteenCharactersFillsTheField)
{
    const std::string text(19, '9');
    EXPECT_STREQ(load(header(text))->versionText, text.c_str());
}

TEST_F(UpdateFile, LongerVersionTextIsCutToNineteenCharacters)
{
    const auto updater = load(header(std::string(30, 'x') + "y"));
    EXPECT_STREQ(updater->versionText, std::string(19, 'x').c_str());
    EXPECT_EQ(updater->fileVersion(), QByteArray(30, 'x') + "y");
}

TEST_F(UpdateFile, HeaderCutShortStaysWithinTheImage)
{
    Bytes shortHeader{0xF0, 0x7E, 0x10, 0x07, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0xF7};
    const auto updater = load(shortHeader);
    EXPECT_EQ(updater->formatNumber, 0);
    EXPECT_STREQ(updater->versionText, "");
    EXPECT_EQ(updater->fileVersion(), QByteArray());
}

// A header message of 33 bytes is one byte short of its version text: not
// accepted, and none of its fields is taken from the message after it,
// which holds a version text where the header's would be.
TEST_F(UpdateFile, HeaderOneByteShortIsNotAcceptedWhateverFollows)
{
    Bytes cut = header("");
    cut.resize(32);
    cut.push_back(0xF7);
    Bytes next = header("9.9");
    std::fill(next.begin() + 5, next.begin() + 33, 0x01);
    Bytes file = cut;
    file.insert(file.end(), next.begin(), next.end());
    const auto updater = load(file);
    EXPECT_STREQ(updater->versionText, "");
    EXPECT_EQ(updater->headerNumbers[5], 0);
    EXPECT_EQ(updater->fileVersion(), QByteArray());
    const UpdateHeader read = readHeader(file.data(), int32_t(file.size()));
    EXPECT_FALSE(read.accepted);
    EXPECT_EQ(read.fault, UpdateHeader::Fault::CutShort);
    EXPECT_EQ(read.length, 33);

    Bytes whole = header("");
    whole.resize(33);
    whole.push_back(0xF7);
    EXPECT_EQ(readHeader(whole.data(), int32_t(whole.size())).fault, UpdateHeader::Fault::None);
}

// The version text ends with its 0x00 or with the header message, whichever
// comes first: a header without its 0x00 must not pull in the bytes of every
// message after it (a 2 MB file made a question of 2,000,065 characters).
TEST_F(UpdateFile, VersionTextEndsWithTheHeaderMessage)
{
    Bytes noTerminator = header("");
    noTerminator.resize(noTerminator.size() - 2);
    noTerminator.insert(noTerminator.end(), {'4', '.', '2', 0xF7});
    Bytes later(2000000, 0x35);
    later.front() = 0xF0;
    later.back() = 0xF7;
    Bytes file = noTerminator;
    file.insert(file.end(), later.begin(), later.end());
    const auto cut = load(file);
    EXPECT_EQ(cut->fileVersion(), QByteArray("4.2"));
    EXPECT_STREQ(cut->versionText, "4.2");

    // An 0xF7 before offset 33 ends the header message, and with it any text.
    Bytes early = header("1.0");
    early[20] = 0xF7;
    EXPECT_EQ(load(early)->fileVersion(), QByteArray());
    EXPECT_STREQ(load(early)->versionText, "");
}

// An empty file is no update: the uploader sends nothing and says so, and
// the check says so too, without refusing it over any service.
TEST_F(UpdateFile, EmptyFileReadsAsNothing)
{
    const auto updater = load({});
    EXPECT_EQ(updater->size, 0);
    EXPECT_STREQ(updater->versionText, "");
    const FileCheck check = checkUpdateFile(updater->image.get(), updater->size);
    EXPECT_EQ(check.messages, 0);
    ASSERT_EQ(check.findings.size(), 1u);
    EXPECT_EQ(check.findings[0].kind, FileFinding::Kind::NoMessage);
    EXPECT_EQ(check.findings[0].refusedOver, 0u);
    EXPECT_EQ(check.findings[0].text, "The file is empty: it holds no message, and the uploader would send nothing.");
}

// A file whose size says 0 and that holds bytes all the same (as those under
// /proc do) is read whole, as far as it goes.
TEST_F(UpdateFile, FileWhoseSizeSaysNothingIsReadToItsEnd)
{
    const QString path = dir.filePath(QStringLiteral("proc.tsu"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/proc/self/cmdline"), path));
    Updater updater(path, nullptr);
    EXPECT_EQ(updater.size, 0);
    ASSERT_EQ(updater.readFile(path, updater.size), 0) << updater.readProblem.toStdString();
    QFile own(QStringLiteral("/proc/self/cmdline"));
    ASSERT_TRUE(own.open(QIODevice::ReadOnly));
    const QByteArray expected = own.readAll();
    ASSERT_GT(expected.size(), 0);
    ASSERT_EQ(updater.size, expected.size());
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(updater.image.get()), updater.size), expected);
}

TEST_F(UpdateFile, FileThatShrinksAfterItWasProbedIsNotRead)
{
    const QString path = write(header("1.0"));
    Updater updater(path, nullptr);
    write(Bytes{0xF0, 0xF7});
    EXPECT_EQ(updater.readFile(path, updater.size), -1);
    EXPECT_EQ(updater.readProblem, readShortReason(2, 38));
}

TEST_F(UpdateFile, FileThatGrowsIsReadAsFarAsProbed)
{
    const QString path = write(header("1.0"));
    Updater updater(path, nullptr);
    Bytes longer = header("1.0");
    longer.insert(longer.end(), 10, 0x55);
    write(longer);
    ASSERT_EQ(updater.readFile(path, updater.size), 0);
    EXPECT_EQ(updater.image[updater.size - 1], 0xF7);
}

TEST_F(UpdateFile, MissingFileHasNoSizeAndCannotBeRead)
{
    const QString path = dir.filePath(QStringLiteral("missing.tsu"));
    Updater updater(path, nullptr);
    EXPECT_EQ(updater.size, 0);
    EXPECT_EQ(updater.readFile(path, updater.size), -1);
    EXPECT_EQ(updater.readProblem, "It cannot be opened: No such file or directory.");
}

// A FIFO opened for reading would block until something wrote to it, with
// the GUI thread held and Exit dead; a device or a folder is no update file
// either. Each is refused at once.
TEST_F(UpdateFile, OnlyRegularFilesAreRead)
{
    const QString fifo = dir.filePath(QStringLiteral("fifo.tsu"));
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString &path : {fifo, dir.path(), QStringLiteral("/dev/zero")}) {
        Updater updater(path, nullptr);
        EXPECT_EQ(updater.size, 0) << path.toStdString();
        EXPECT_EQ(updater.readFile(path, updater.size), -1) << path.toStdString();
        EXPECT_EQ(updater.readProblem, "It is not a regular file but a folder, a device or a pipe.");
    }
}

TEST_F(UpdateFile, FileOfTwoGibibytesIsTooLarge)
{
    const QString path = dir.filePath(QStringLiteral("huge.tsu"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_TRUE(file.resize(qint64(1) << 31)); // sparse: takes no disk space
    file.close();
    Updater updater(path, nullptr);
    EXPECT_EQ(updater.size, -1);
    EXPECT_EQ(updater.image, nullptr);
    EXPECT_EQ(updater.readFile(path, updater.size), -1);
    EXPECT_EQ(updater.readProblem, tooLargeReason(qint64(1) << 31));
}

TEST_F(UpdateFile, NonAsciiFileNamesOpen)
{
    for (const QString &name : {QStringLiteral("Überspielung.tsu"), QStringLiteral("прошивка.tsu"),
                                QStringLiteral("ファーム.tsu")}) {
        const QString path = write(header("1.0"), name);
        Updater updater(path, nullptr);
        EXPECT_EQ(updater.size, 38) << name.toStdString();
        EXPECT_EQ(updater.readFile(path, updater.size), 0) << name.toStdString();
    }
}

// The check the uploader makes before it sends anything, which tsu-check
// makes for a firmware author: each finding in its place, and whether the
// uploader refuses the file for it, over which MIDI service.
namespace checks {
Bytes message(size_t length, unsigned char fill = 0x11)
{
    Bytes bytes(length, fill);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

FileCheck check(const std::vector<Bytes> &messages, const Bytes &trailing = {})
{
    Bytes file;
    for (const Bytes &m : messages)
        file.insert(file.end(), m.begin(), m.end());
    file.insert(file.end(), trailing.begin(), trailing.end());
    return checkUpdateFile(file.data(), int32_t(file.size()));
}

unsigned bit(MidiService service)
{
    return 1u << unsigned(service);
}

// The services over which the uploader refuses the file.
unsigned refusedOver(const FileCheck &check)
{
    unsigned services = 0;
    for (MidiService service : {MidiService::Jack, MidiService::Alsa, MidiService::WindowsMultimedia,
                                MidiService::Other})
        services |= check.refusal(service) ? bit(service) : 0;
    return services;
}

const FileFinding &only(const FileCheck &check)
{
    EXPECT_EQ(check.findings.size(), 1u);
    static const FileFinding none{};
    return check.findings.empty() ? none : check.findings.front();
}

TEST(FileCheck, AWellMadeFileHasNoFindingAndIsSentOverEveryService)
{
    const FileCheck good = check({header("1.2.3"), message(256), message(6)});
    EXPECT_EQ(good.messages, 3);
    EXPECT_TRUE(good.findings.empty());
    EXPECT_EQ(refusedOver(good), 0u);
}

TEST(FileCheck, BytesAfterTheLastMessageRefuseTheFileEverywhere)
{
    const FileCheck cut = check({header("1.0"), message(10)}, {0xF0, 0x01, 0x02});
    const FileFinding &finding = only(cut);
    EXPECT_EQ(finding.kind, FileFinding::Kind::BytesAfterLastMessage);
    EXPECT_EQ(finding.message, 3);
    EXPECT_EQ(finding.offset, 48);
    EXPECT_EQ(finding.length, 3);
    EXPECT_EQ(finding.text, "The file ends with 3 bytes, from offset 48 on, that belong to no whole message: "
                            "no 0xF7 ends them.");
    EXPECT_EQ(refusedOver(cut), 0xFu);
}

TEST(FileCheck, AMessageLongerThanAServiceCarriesIsRefusedOverThatServiceAlone)
{
    for (MidiService service : measuredServices) {
        const int32_t longest = limitsOf(service).longestMessage;
        ASSERT_GT(longest, 0);
        // Whole at the limit, as far as this service is concerned.
        for (const FileFinding &f : check({header("1.0"), message(size_t(longest))}).findings)
            EXPECT_FALSE(f.refusesOver(service)) << f.text;
        const FileCheck over = check({header("1.0"), message(size_t(longest) + 1)});
        const FileFinding *refusal = over.refusal(service);
        ASSERT_NE(refusal, nullptr) << limitsOf(service).name;
        EXPECT_EQ(refusal->kind, FileFinding::Kind::LongerThanCarried);
        EXPECT_EQ(refusal->refusedOver, bit(service));
        EXPECT_EQ((std::pair{refusal->message, refusal->offset}), (std::pair{2, 38}));
        EXPECT_EQ(refusal->length, longest + 1);
        EXPECT_EQ(refusal->value, longest);
        EXPECT_NE(refusal->text.find(std::to_string(longest + 1) + " bytes long; " + limitsOf(service).name
                                     + " carries at most " + std::to_string(longest)),
                  std::string::npos)
            << refusal->text;
    }
    EXPECT_EQ(check({header("1.0"), message(1 << 20)}).refusal(MidiService::Other), nullptr);
}

TEST(FileCheck, BytesAServiceWouldNotCarryInsideAMessageAreFoundWhereTheyAre)
{
    // A status byte inside: the ALSA sequencer's encoder ends the message there.
    Bytes noteOn = message(12);
    noteOn[5] = 0x90;
    const FileCheck status = check({header("1.0"), message(4), noteOn});
    const FileFinding &finding = only(status);
    EXPECT_EQ(finding.kind, FileFinding::Kind::AlteredByteInside);
    EXPECT_EQ((std::tuple{finding.message, finding.offset, finding.value}), (std::tuple{3, 38 + 4 + 5, 0x90}));
    EXPECT_EQ(finding.refusedOver, bit(MidiService::Alsa));
    EXPECT_EQ(finding.text, "Message 3 (at offset 42, 12 bytes) holds the byte 0x90 at offset 47, inside the "
                            "message: the ALSA sequencer would end the message there, and the instrument would "
                            "receive something else.");

    // Every byte of a message that a service alters is found, each in its
    // place: a real-time byte and a status byte after it, and 0xF6, the
    // last status byte the ALSA sequencer ends a message at.
    Bytes several = message(10);
    several[2] = 0xF8;
    several[4] = 0x90;
    several[6] = 0xF6;
    const FileCheck each = check({header("1.0"), several});
    ASSERT_EQ(each.findings.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(each.findings[i].offset, int32_t(38 + 2 + 2 * i));
        EXPECT_EQ(each.findings[i].refusedOver, bit(MidiService::Alsa));
    }
    EXPECT_EQ(each.findings[2].value, 0xF6);
    EXPECT_NE(each.findings[2].text.find("would end the message there"), std::string::npos);
    EXPECT_EQ(each.refusal(MidiService::Alsa)->value, 0xF8);

    // A message that is no SysEx message at all.
    const FileCheck noStart = check({header("1.0"), {0x01, 0x02, 0xF7}});
    EXPECT_EQ(only(noStart).kind, FileFinding::Kind::NoStartByte);
    EXPECT_EQ(only(noStart).message, 2);
    unsigned sysexOnly = 0;
    for (MidiService service : measuredServices)
        sysexOnly |= limitsOf(service).carriesOnlySysex ? bit(service) : 0;
    EXPECT_EQ(refusedOver(noStart), sysexOnly);
}

// A header that is not accepted says which of its fields is wrong.
TEST(FileCheck, AHeaderNotAcceptedSaysWhy)
{
    Bytes otherSignature = header("1.0");
    otherSignature[2] = 0x11;
    Bytes otherFormat = header("1.0");
    otherFormat[8] = 0x01;
    Bytes cut = header("");
    cut.resize(20);
    cut.push_back(0xF7);
    const std::vector<std::tuple<Bytes, UpdateHeader::Fault, int32_t, std::string>> cases{
        {otherSignature, UpdateHeader::Fault::Signature, 0,
         "The first message starts with F0 7E 11 07 02, not with the header's signature F0 7E 10 07 02."},
        {otherFormat, UpdateHeader::Fault::FormatNumber, 5, "The header message's format number (at offset 5) is 1, not 0."},
        {cut, UpdateHeader::Fault::CutShort, 0,
         "The header message is cut short: it ends after 21 bytes, before its version text at offset 33."},
    };
    for (const auto &[first, fault, offset, why] : cases) {
        EXPECT_EQ(readHeader(first.data(), int32_t(first.size())).fault, fault) << why;
        const FileCheck warned = check({first, message(8)});
        EXPECT_EQ(only(warned).kind, FileFinding::Kind::NoHeader);
        EXPECT_EQ(only(warned).offset, offset);
        EXPECT_EQ(only(warned).text, why + " The header is not accepted: the instrument may not take the file, "
                                           "and the main window shows no version to update to.");
    }
}

TEST(FileCheck, TheHeaderAndItsVersionTextOnlyWarn)
{
    const std::vector<std::pair<Bytes, FileFinding::Kind>> cases{
        {message(40), FileFinding::Kind::NoHeader},
        {header(""), FileFinding::Kind::VersionEmpty},
        {header(std::string(20, '1')), FileFinding::Kind::VersionTooLong},
        {header("1.\x01"), FileFinding::Kind::VersionNotPrintable},
    };
    for (const auto &[first, kind] : cases) {
        const FileCheck warned = check({first, message(8)});
        EXPECT_EQ(only(warned).kind, kind) << only(warned).text;
        EXPECT_EQ(only(warned).message, 1);
        EXPECT_EQ(refusedOver(warned), 0u) << only(warned).text;
    }
    Bytes unended = header("1.0");
    unended.erase(unended.end() - 2);
    EXPECT_EQ(only(check({unended})).kind, FileFinding::Kind::VersionNotEnded);
    EXPECT_EQ(only(check({header(std::string(20, '1'))})).text,
              "The version text is 20 characters long; the main window shows only its first 19.");
}

TEST(FileCheck, OfManyBadMessagesAFewAreNamedAndTheRestCountedAndPlaced)
{
    Bytes noteOn = message(8);
    noteOn[2] = 0xF8;
    noteOn[3] = 0x90;
    std::vector<Bytes> messages{header("1.0")};
    messages.insert(messages.end(), 1000, noteOn);
    const FileCheck many = check(messages, {0xF0});
    EXPECT_EQ(many.messages, 1001);
    EXPECT_EQ(many.findings.size(), size_t(findingsListedOfAKind) + 1);
    EXPECT_EQ(int64_t(many.findings.size()) + many.findingsLeftOut(), 2001);
    ASSERT_EQ(many.counts.size(), 2u);
    // In the order of their kinds.
    EXPECT_EQ(many.counts[0].kind, FileFinding::Kind::BytesAfterLastMessage);
    EXPECT_EQ(many.counts[0].total, many.counts[0].listed);
    const FindingCount &altered = many.counts[1];
    EXPECT_EQ(altered.kind, FileFinding::Kind::AlteredByteInside);
    EXPECT_EQ((std::pair{altered.total, altered.listed}), (std::pair{int64_t(2000), findingsListedOfAKind}));
    // Two findings a message: the first left out is the first byte of
    // message 2 + 50.
    EXPECT_EQ((std::pair{altered.firstLeftOutMessage, altered.firstLeftOutOffset}), (std::pair{52, 38 + 50 * 8 + 2}));
    // The first refusal is still the first in the file.
    ASSERT_NE(many.refusal(MidiService::Alsa), nullptr);
    EXPECT_EQ(many.refusal(MidiService::Alsa)->message, 2);
    EXPECT_EQ(many.refusal(MidiService::Jack)->kind, FileFinding::Kind::BytesAfterLastMessage);
}
} // namespace checks
} // namespace
