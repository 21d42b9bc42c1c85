// The update file on disk and its header message.
#include "update/updater.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

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

    // No 0x00 after offset 33: the text ends with the image.
    Bytes noTerminator = header("");
    noTerminator.pop_back();
    noTerminator.pop_back();
    noTerminator.insert(noTerminator.end(), {'4', '.', '2', 0xF7});
    const auto cut = load(noTerminator);
    EXPECT_EQ(cut->fileVersion(), QByteArray("4.2\xF7"));
}

TEST_F(UpdateFile, EmptyFileReadsAsNothing)
{
    const auto updater = load({});
    EXPECT_EQ(updater->size, 0);
    EXPECT_STREQ(updater->versionText, "");
    EXPECT_TRUE(updater->endsWithCompleteMessage());
}

TEST_F(UpdateFile, TrailingBytesAfterTheLastMessageAreDetected)
{
    Bytes bytes = header("1.0");
    EXPECT_TRUE(load(bytes)->endsWithCompleteMessage());
    bytes.push_back(0xF0);
    bytes.push_back(0x01);
    EXPECT_FALSE(load(bytes)->endsWithCompleteMessage());
}

TEST_F(UpdateFile, FileThatShrinksAfterItWasProbedIsNotRead)
{
    const QString path = write(header("1.0"));
    Updater updater(path, nullptr);
    write(Bytes{0xF0, 0xF7});
    EXPECT_EQ(updater.readFile(path, updater.size), -1);
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
} // namespace
