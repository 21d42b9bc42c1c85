// Whole update runs against the simulated instrument over a private JACK
// server: what the instrument receives, what the user is asked and shown.
#include "instrument.h"
#include "jackserver.h"
#include "modalboxes.h"
#include "sysexbytes.h"

#include "midi/midilink.h"
#include "midi/sysexreceiver.h"
#include "ui/mainwindow.h"
#include "update/fileread.h"
#include "update/updater.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <rtmidi/RtMidi.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <sstream>

namespace {
Bytes message(size_t length, unsigned char fill)
{
    Bytes bytes(length, fill);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

Bytes header(const std::string &version)
{
    Bytes bytes{0xF0, 0x7E, 0x10, 0x07, 0x02};
    bytes.insert(bytes.end(), 28, 0x00);
    bytes.insert(bytes.end(), version.begin(), version.end());
    bytes.push_back(0x00);
    bytes.push_back(0xF7);
    return bytes;
}

// The 1000-byte file of three messages of 38, 462 and 500 bytes whose header carries 2.1.
std::vector<Bytes> threeMessages()
{
    return {header("2.1"), message(462, 0x11), message(500, 0x22)};
}

struct ProgressStep
{
    int value;
    bool messageShown;
    QString message;
    bool operator==(const ProgressStep &o) const
    {
        return value == o.value && messageShown == o.messageShown && message == o.message;
    }
};

std::ostream &operator<<(std::ostream &out, const ProgressStep &step)
{
    return out << '{' << step.value << ", " << step.messageShown << ", " << step.message.toStdString() << '}';
}

std::vector<std::string> parts(const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    std::string word;
    while (in >> word)
        words.push_back(word);
    return words;
}

class UpdateRun : public ::testing::Test
{
protected:
    // Opens the uploader's ports to the instrument, as "Ok" in the port dialog does.
    void connectTo(const SimulatedInstrument &instrument)
    {
        ASSERT_TRUE(instrument.ready());
        midiLink.refreshPorts();
        const int index = midiLink.indexOfPort(QString::fromStdString(instrument.portName()));
        ASSERT_GE(index, 0) << instrument.portName();
        midiLink.openPorts(index);
        ASSERT_TRUE(waitUntilConnected(instrument.inputPortName()));
    }

    QString writeFile(const std::vector<Bytes> &messages, const Bytes &trailing = {},
                      const QString &name = QStringLiteral("update.tsu"))
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        for (const Bytes &m : messages)
            file.write(reinterpret_cast<const char *>(m.data()), qint64(m.size()));
        file.write(reinterpret_cast<const char *>(trailing.data()), qint64(trailing.size()));
        return path;
    }

    // Runs a whole update of the file, recording each step of the progress display.
    void runUpdate(const QString &path)
    {
        auto *bar = window.findChild<QProgressBar *>(QStringLiteral("progressBar"));
        auto *line = window.findChild<QLabel *>(QStringLiteral("labelMsg"));
        QObject::connect(bar, &QProgressBar::valueChanged, [this, line](int value) {
            steps.push_back({value, line->isVisible(), line->text()});
        });
        updater = std::make_unique<Updater>(path, &window);
        currentUpdater = updater.get();
        if (configure)
            configure(*updater);
        const size_t boxesBefore = BoxAnswerer::seenInProcess.size();
        updater->run(path);
        expectCheckerAgrees(path, std::vector<SeenBox>(BoxAnswerer::seenInProcess.begin() + boxesBefore,
                                                       BoxAnswerer::seenInProcess.end()));
    }

    // tsu-check says of the file what the run did with it over JACK: refused
    // for the same reason, in the same words, or sent.
    static void expectCheckerAgrees(const QString &path, const std::vector<SeenBox> &boxes)
    {
        QProcess checker;
        checker.start(QStringLiteral(TSU_CHECK_PATH), {QStringLiteral("--json"), path});
        ASSERT_TRUE(checker.waitForFinished(10000));
        const QJsonObject file =
            QJsonDocument::fromJson(checker.readAllStandardOutput())[QStringLiteral("files")][0].toObject();
        QString checkerSays;
        if (!file[QStringLiteral("readable")].toBool()) {
            checkerSays = file[QStringLiteral("error")].toString();
        } else {
            for (const QJsonValue finding : file[QStringLiteral("findings")].toArray()) {
                if (finding[QStringLiteral("refusedOver")].toArray().contains(QStringLiteral("JACK"))) {
                    checkerSays = finding[QStringLiteral("text")].toString();
                    break;
                }
            }
        }
        const auto illegal = std::find_if(boxes.begin(), boxes.end(),
                                          [](const SeenBox &box) { return box.text == "Illegal file."; });
        const QString uploaderSays =
            illegal == boxes.end() ? QString() : illegal->informativeText.section(QStringLiteral("\n\n"), 0, 0);
        EXPECT_EQ(uploaderSays, checkerSays) << path.toStdString();
    }

    std::vector<std::string> expectedLog(const std::vector<Bytes> &messages)
    {
        std::vector<std::string> lines;
        for (const Bytes &m : messages)
            lines.push_back(hexLine(m));
        return lines;
    }

    // Runs a whole update of the three-message file; returns its messages.
    std::vector<Bytes> runThreeMessages()
    {
        auto messages = threeMessages();
        runUpdate(writeFile(messages));
        return messages;
    }

    // The instrument's log against the messages, once anything still on its
    // way has arrived and the instrument has ended.
    void expectReceived(SimulatedInstrument &instrument, const std::vector<Bytes> &messages)
    {
        QTest::qWait(100);
        instrument.stop();
        EXPECT_EQ(instrument.logLines(), expectedLog(messages));
    }

    void SetUp() override { window.show(); }
    void TearDown() override { currentUpdater = nullptr; }

    QTemporaryDir dir;
    MainWindow window;
    std::unique_ptr<Updater> updater;
    std::vector<ProgressStep> steps;
    // Set up the next run's Updater before it runs.
    std::function<void(Updater &)> configure;
};

const std::vector<ProgressStep> threeMessageSteps{
    {0, false, "TextLabel"},
    {3, true, "Updating to version 2.1"},
    {50, true, "Updating to version 2.1"},
    {100, true, "Updating to version 2.1"},
};

TEST_F(UpdateRun, VersionReplyLeadsToTheQuestionAndYesSendsEverything)
{
    SimulatedInstrument instrument({"--version", "2.0"});
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes([](const SeenBox &) { return QMessageBox::Yes; });
    const auto messages = runThreeMessages();

    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[0].title, "Updater message");
    EXPECT_EQ(boxes.boxes[0].text, "Current firmware version is 2.0\nNew version is 2.1\nReplace ?");
    EXPECT_EQ(boxes.boxes[1].text, "End");
    EXPECT_EQ(steps, threeMessageSteps);
    EXPECT_EQ(window.findChild<QLabel *>(QStringLiteral("labelPercent"))->text(), "100%");
    expectReceived(instrument, messages);
}

TEST_F(UpdateRun, AcknowledgementsOnlyAskNothing)
{
    SimulatedInstrument instrument;
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes;
    const auto messages = runThreeMessages();

    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, "End");
    EXPECT_EQ(steps, threeMessageSteps);
    expectReceived(instrument, messages);
}

TEST_F(UpdateRun, AnsweringNoSendsOnlyTheFirstMessage)
{
    SimulatedInstrument instrument({"--version", "2.0"});
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes([](const SeenBox &) { return QMessageBox::No; });
    const auto messages = runThreeMessages();

    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].title, "Updater message");
    EXPECT_TRUE(updater->abortFlag);
    EXPECT_TRUE(steps.empty());
    EXPECT_FALSE(window.findChild<QProgressBar *>(QStringLiteral("progressBar"))->isVisible());
    expectReceived(instrument, {messages[0]});
}

// Exit clicked, or the window closed by the window manager (Alt+F4, the task
// bar), while the instrument is silent.
class EndDuringUpdate : public UpdateRun, public ::testing::WithParamInterface<std::string>
{
};

TEST_P(EndDuringUpdate, WhileAReplyIsAwaitedStopsAtOnce)
{
    SimulatedInstrument instrument({"--stop-after", "1"});
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes;
    // The end comes once the instrument has the second message and stays
    // silent, a few milliseconds into the wait for its reply.
    QTimer ender;
    QElapsedTimer sinceEnd;
    QObject::connect(&ender, &QTimer::timeout, [&] {
        if (instrument.logLines().size() >= 2) {
            ender.stop();
            sinceEnd.start();
            if (GetParam() == "Exit") {
                QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("pushButton")), Qt::LeftButton);
            } else {
                QCloseEvent close;
                QApplication::sendEvent(window.windowHandle(), &close);
            }
        }
    });
    ender.start(10);
    const auto messages = runThreeMessages();

    // The run sees the end at its next look, within a pause of about a
    // millisecond; far below this bound, however loaded the machine.
    ASSERT_TRUE(sinceEnd.isValid());
    EXPECT_LT(sinceEnd.elapsed(), 500);
    EXPECT_TRUE(updater->abortFlag);
    EXPECT_TRUE(MainWindow::exitRequested());
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(steps, std::vector<ProgressStep>(threeMessageSteps.begin(), threeMessageSteps.begin() + 2));
    expectReceived(instrument, {messages[0], messages[1]});
}

INSTANTIATE_TEST_SUITE_P(ExitOrClose, EndDuringUpdate, ::testing::Values("Exit", "close"),
                         [](const auto &info) { return info.param; });

TEST_F(UpdateRun, ReturnHeldThroughTheQuestionDoesNotAbort)
{
    // Each message takes the instrument a while, so that the held key's
    // repeats come while the update runs.
    SimulatedInstrument instrument({"--version", "2.0", "--delay", "40"});
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    auto *exitButton = window.findChild<QPushButton *>(QStringLiteral("pushButton"));
    int repeatsOnExit = 0;
    QTimer repeats;
    QObject::connect(&repeats, &QTimer::timeout, [&] {
        QWidget *focus = QApplication::focusWidget();
        if (!focus || repeatsOnExit >= 10)
            return;
        repeatsOnExit += focus == exitButton;
        QKeyEvent held(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"), true);
        QApplication::sendEvent(focus, &held);
    });
    BoxAnswerer boxes;
    // "Replace ?" answered by Return on Yes, and the key held down.
    boxes.onBox = [&](const SeenBox &seen) {
        if (!seen.text.endsWith("Replace ?"))
            return;
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        // A key goes to the window that has the keyboard: the box, once it has it.
        (void)QTest::qWaitFor([box] { return box->isActiveWindow(); });
        QAbstractButton *yes = box->button(QMessageBox::Yes);
        yes->setFocus();
        QTest::keyPress(yes, Qt::Key_Return);
        repeats.start(5);
    };
    const auto messages = runThreeMessages();
    repeats.stop();

    EXPECT_GT(repeatsOnExit, 0) << "the held key never reached Exit";
    EXPECT_FALSE(updater->abortFlag);
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].text, "End");
    EXPECT_EQ(steps, threeMessageSteps);
    expectReceived(instrument, messages);
}

// A silent instrument looks like a frozen program: after a pause (short
// here) the main window says which message the update waits for and where
// it went; the note goes with the reply, and nothing else changes.
TEST_F(UpdateRun, ASilentInstrumentIsExplainedUntilItAnswers)
{
    SimulatedInstrument instrument({"--delay", "1200"});
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes;
    auto *note = window.findChild<QLabel *>(QStringLiteral("labelWaitNote"));
    ASSERT_NE(note, nullptr);
    // Each time the note comes or goes: its text when it came, "" when it went.
    QStringList changes;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QString now = note->isVisible() ? note->text() : QString();
        if (now != (changes.isEmpty() ? QString() : changes.last()))
            changes << now;
    });
    watch.start(5);
    configure = [](Updater &updater) { updater.silenceNoteDelay = 50; };
    const auto messages = runThreeMessages();
    watch.stop();

    ASSERT_EQ(changes.size(), 6) << changes.join(" | ").toStdString();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(changes[2 * i],
                  QStringLiteral("Waiting for the instrument to answer message %1 of 3, sent to the MIDI output port "
                                 "\u201c%2\u201d. Check that this is the instrument's port, that the instrument "
                                 "is in its update mode and that its cable is plugged in. Exit stops the update.")
                      .arg(i + 1)
                      .arg(QString::fromStdString(instrument.inputPortName())));
        EXPECT_EQ(changes[2 * i + 1], QString());
    }
    EXPECT_FALSE(note->isVisible());
    EXPECT_EQ(steps, threeMessageSteps);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, "End");
    expectReceived(instrument, messages);
}

// The note follows what the instrument said: a WAIT is no silence to check
// the cable for, and a port that has gone (unplugged, switched off, its
// program ended) is said to be gone.
TEST_F(UpdateRun, TheWaitNoteSaysWhatTheInstrumentSaidOrThatItHasGone)
{
    SimulatedInstrument instrument({"--wait", "2", "--wait-time", "1200", "--stop-after", "2"});
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes;
    auto *note = window.findChild<QLabel *>(QStringLiteral("labelWaitNote"));
    QStringList shown;
    QElapsedTimer clock;
    clock.start();
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (note->isVisible() && (shown.isEmpty() || shown.last() != note->text()))
            shown << note->text();
        // Once the third message waits in vain, the instrument goes.
        if (shown.size() == 2 && instrument.logLines().size() == 3)
            instrument.stop();
        // And Exit, once it is said; or, bounded, if it never is.
        if (shown.size() == 3 || clock.elapsed() > 20000)
            QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("pushButton")), Qt::LeftButton);
    });
    watch.start(5);
    configure = [](Updater &updater) { updater.silenceNoteDelay = 50; };
    const auto messages = runThreeMessages();
    watch.stop();

    ASSERT_EQ(shown.size(), 3) << shown.join(" | ").toStdString();
    EXPECT_EQ(shown[0], "The instrument asked the update to wait: it is busy with message 2 of 3. The update goes "
                        "on when the instrument answers. Exit stops the update.");
    EXPECT_TRUE(shown[1].startsWith("Waiting for the instrument to answer message 3 of 3, sent to"));
    EXPECT_EQ(shown[2], QStringLiteral("The instrument's MIDI port \u201c%1\u201d has gone (it was unplugged or "
                                       "switched off) while the update waited for its answer to message 3 of 3. "
                                       "Exit ends the program.")
                            .arg(QString::fromStdString(instrument.portName())));
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(instrument.logLines(), expectedLog(messages));
}

// The MIDI standard's NAK: the message went wrong on its way, and goes again
// as it is; an instrument that refuses it three times in a row will not
// take it, and the update stops there.
TEST_F(UpdateRun, ANakSendsTheMessageAgain)
{
    SimulatedInstrument instrument({"--nak", "2"});
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes;
    const auto messages = runThreeMessages();
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, "End");
    EXPECT_EQ(steps, threeMessageSteps);
    expectReceived(instrument, {messages[0], messages[1], messages[1], messages[2]});
}

TEST_F(UpdateRun, ThreeNaksInARowStopTheUpdate)
{
    SimulatedInstrument instrument({"--nak", "2", "--nak", "3", "--nak", "4", "--nak", "5"});
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes;
    const auto messages = runThreeMessages();
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text,
              "The instrument refused message 2 of 3 (462 bytes) 3 times in a row, so the update has stopped.");
    EXPECT_EQ(steps, std::vector<ProgressStep>(threeMessageSteps.begin(), threeMessageSteps.begin() + 2));
    expectReceived(instrument, {messages[0], messages[1], messages[1], messages[1]});
}

// The MIDI standard's CANCEL: the instrument stops the update, and not one
// more message goes.
TEST_F(UpdateRun, ACancelStopsTheUpdateWithItsBox)
{
    SimulatedInstrument instrument({"--version", "2.0", "--cancel", "2"});
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes([](const SeenBox &) { return QMessageBox::Yes; });
    const auto messages = runThreeMessages();

    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].text, "The instrument cancelled the update at message 2 of 3, so the update has "
                                   "stopped. Nothing more was sent to it.");
    EXPECT_TRUE(boxes.boxes[1].plain);
    EXPECT_EQ(steps, std::vector<ProgressStep>(threeMessageSteps.begin(), threeMessageSteps.begin() + 2));
    expectReceived(instrument, {messages[0], messages[1]});
}

TEST_F(UpdateRun, ThousandsOfMessagesGoThroughWithoutAStall)
{
    SimulatedInstrument instrument;
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes;
    std::vector<Bytes> messages{header("4.0")};
    for (int i = 0; i < 2000; ++i)
        messages.push_back(message(8, static_cast<unsigned char>(i % 128)));
    // Bounded: a run that stalls is ended by Exit, and fails below.
    QTimer::singleShot(30000, &window, [this] {
        QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("pushButton")), Qt::LeftButton);
    });
    runUpdate(writeFile(messages));

    EXPECT_FALSE(updater->abortFlag) << "stalled";
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, "End");
    expectReceived(instrument, messages);
}

TEST_F(UpdateRun, OneMessageFile)
{
    SimulatedInstrument instrument;
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes;
    const std::vector<Bytes> messages{header("3.0")};
    runUpdate(writeFile(messages));

    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, "End");
    const std::vector<ProgressStep> expected{{0, false, "TextLabel"}, {100, true, "Updating to version 3.0"}};
    EXPECT_EQ(steps, expected);
    expectReceived(instrument, messages);
}

TEST_F(UpdateRun, EmptyFileSendsNothing)
{
    SimulatedInstrument instrument;
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes;
    runUpdate(writeFile({}));

    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, "End");
    EXPECT_EQ(boxes.boxes[0].informativeText, "The file holds no message, so nothing was sent to the instrument.");
    EXPECT_TRUE(steps.empty());
    QTest::qWait(100);
    instrument.stop();
    EXPECT_TRUE(instrument.logLines().empty());
}

// A file the uploader cannot use is refused before anything is sent, with
// "Illegal file." and, below it, why and what to do.
TEST_F(UpdateRun, IllegalFilesSendNothingAndSayWhy)
{
    SimulatedInstrument instrument;
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes;
    const QString fifo = dir.filePath(QStringLiteral("fifo.tsu"));
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const int32_t longest = limitsOf(MidiService::Jack).longestMessage;
    const std::vector<std::pair<QString, QString>> files{
        {writeFile(threeMessages(), {0xF0, 0x01, 0x02}, QStringLiteral("cut.tsu")),
         "The file ends with 3 bytes, from offset 1000 on, that belong to no whole message: no 0xF7 ends them."},
        {dir.filePath(QStringLiteral("missing.tsu")), "It cannot be opened: No such file or directory."},
        // A FIFO would block the program until something wrote to it.
        {fifo, "It is not a regular file but a folder, a device or a pipe."},
        {dir.path(), "It is not a regular file but a folder, a device or a pipe."},
        // One byte more than JACK carries in one message.
        {writeFile({header("2.1"), message(8, 0x11), message(size_t(longest) + 1, 0x22)}, {},
                   QStringLiteral("long.tsu")),
         QStringLiteral("Message 3 (at offset 46) is %1 bytes long; JACK carries at most %2 bytes in one message.")
             .arg(longest + 1)
             .arg(longest)},
    };
    for (const auto &[path, why] : files) {
        boxes.boxes.clear();
        runUpdate(path);
        ASSERT_EQ(boxes.boxes.size(), 1u) << path.toStdString();
        EXPECT_EQ(boxes.boxes[0].text, "Illegal file.");
        EXPECT_TRUE(boxes.boxes[0].plain);
        EXPECT_EQ(boxes.boxes[0].informativeText.section(QStringLiteral("\n\n"), 0, 0), why);
        EXPECT_TRUE(boxes.boxes[0].informativeText.endsWith("Nothing was sent to the instrument."))
            << boxes.boxes[0].informativeText.toStdString();
    }
    EXPECT_TRUE(steps.empty());
    QTest::qWait(100);
    instrument.stop();
    EXPECT_TRUE(instrument.logLines().empty());
}

// Both versions in the question come from outside: an instrument's markup
// must not hide the rest of the question, and a header without its 0x00 must
// not pull the file's later messages into it.
TEST_F(UpdateRun, TheQuestionShowsBothVersionsAsTheyAre)
{
    SimulatedInstrument instrument({"--version", "<b>1.0</b><!--"});
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes([](const SeenBox &) { return QMessageBox::No; });
    Bytes unended = header("");
    unended.resize(unended.size() - 2);
    unended.insert(unended.end(), {'2', '.', '2', 0xF7});
    Bytes later(10000, 0x35);
    later.front() = 0xF0;
    later.back() = 0xF7;
    runUpdate(writeFile({unended, later}));

    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, "Current firmware version is <b>1.0</b><!--\nNew version is 2.2\nReplace ?");
    EXPECT_TRUE(boxes.boxes[0].plain);
}

// A file's version text of 64 bytes is shown whole in the question; one of 65
// is cut at 64 and ends with "…". Its header is accepted or not: the question
// shows the text at offset 33 either way.
TEST_F(UpdateRun, TheQuestionCutsALongVersionTextAtSixtyFourBytes)
{
    SimulatedInstrument instrument({"--version", "1.0"});
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes([](const SeenBox &) { return QMessageBox::No; });
    std::string text;
    for (int i = 0; text.size() < 65; ++i)
        text += char('a' + i % 26);
    Bytes otherFormat = header(text.substr(0, 64));
    otherFormat[8] = 0x01;
    runUpdate(writeFile({otherFormat, message(8, 0x11)}));
    runUpdate(writeFile({header(text), message(8, 0x11)}));

    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("Current firmware version is 1.0\nNew version is %1\nReplace ?")
                                       .arg(QString::fromStdString(text.substr(0, 64))));
    EXPECT_EQ(boxes.boxes[1].text, QStringLiteral("Current firmware version is 1.0\nNew version is %1\u2026\nReplace ?")
                                       .arg(QString::fromStdString(text.substr(0, 64))));
}

// An output whose driver fails, as when the instrument is unplugged mid-update
// on a system whose MIDI driver reports it: with an error, or, as RtMidi's
// ALSA output does, only with a warning, after which nothing was sent.
struct SendFailure
{
    std::string name;
    RtMidiError::Type type;
    std::string text;
};

void PrintTo(const SendFailure &failure, std::ostream *out)
{
    *out << failure.name;
}

class FailingOutput : public MidiOutApi
{
public:
    RtMidi::Api getCurrentApi() override { return RtMidi::UNSPECIFIED; }
    void openPort(unsigned int, const std::string &) override {}
    void openVirtualPort(const std::string &) override {}
    void closePort() override {}
    void setClientName(const std::string &) override {}
    void setPortName(const std::string &) override {}
    unsigned int getPortCount() override { return 0; }
    std::string getPortName(unsigned int) override { return {}; }
    void sendMessage(const unsigned char *, size_t) override { error(failure.type, failure.text); }

    static inline SendFailure failure;

protected:
    void initialize(const std::string &) override {}
};

class UnpluggedOutput : public RtMidiOut
{
public:
    UnpluggedOutput()
        : RtMidiOut(RtMidi::UNIX_JACK, "Unplugged")
    {
        // The JACK output it replaces is kept, not deleted: deleting a JACK
        // output while its client runs can crash inside the JACK library.
        replaced = rtapi_;
        rtapi_ = new FailingOutput;
    }
    static inline MidiApi *replaced = nullptr;
};

class FailedSend : public UpdateRun, public ::testing::WithParamInterface<SendFailure>
{
};

TEST_P(FailedSend, StopsTheUpdateWithABoxNamingTheMessage)
{
    FailingOutput::failure = GetParam();
    SimulatedInstrument instrument({"--delay", "300"});
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes;
    RtMidiOut *const working = midiOut;
    UnpluggedOutput unplugged;
    // Unplugged while the instrument works on the first message.
    QTimer unplug;
    QObject::connect(&unplug, &QTimer::timeout, [&] {
        if (!instrument.logLines().empty()) {
            unplug.stop();
            midiOut = &unplugged;
        }
    });
    unplug.start(5);
    // A run that waits for the reply to a message that never left is ended
    // by Exit, and fails below.
    QTimer::singleShot(10000, &window, [this] {
        QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("pushButton")), Qt::LeftButton);
    });
    const auto messages = runThreeMessages();
    midiOut = working;

    EXPECT_FALSE(updater->abortFlag) << "the run waited for a reply to a message that was not sent";
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("Sending to the instrument failed, so the update has stopped.\n"
                                                  "Message 2 of 3 (462 bytes): ")
                                       + QString::fromStdString(GetParam().text));
    EXPECT_TRUE(boxes.boxes[0].plain);
    EXPECT_EQ(steps, std::vector<ProgressStep>(threeMessageSteps.begin(), threeMessageSteps.begin() + 2));
    expectReceived(instrument, {messages[0]});
}

INSTANTIATE_TEST_SUITE_P(
    ErrorOrWarning, FailedSend,
    ::testing::Values(SendFailure{"error", RtMidiError::DRIVER_ERROR, "MIDI device disconnected"},
                      SendFailure{"warning", RtMidiError::WARNING,
                                  "MidiOutAlsa::sendMessage: error sending MIDI message to port."}),
    [](const auto &info) { return info.param.name; });

TEST_F(UpdateRun, NoOutputToSendToStopsTheUpdateWithAMessage)
{
    RtMidiOut *const working = midiOut;
    midiOut = nullptr;
    BoxAnswerer boxes;
    runUpdate(writeFile(threeMessages()));
    midiOut = working;

    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_TRUE(boxes.boxes[0].text.startsWith("Sending to the instrument failed, so the update has stopped.\n"))
        << boxes.boxes[0].text.toStdString();
    EXPECT_TRUE(steps.empty());
}

// An instrument that announces its version on its own before the update: the
// announcement is no answer to the first message.
class UpdateAfterAnnouncement : public UpdateRun
{
protected:
    void waitForAnnouncement()
    {
        QElapsedTimer clock;
        clock.start();
        while (sysexReceiver.versionLength.load() == 0 && clock.elapsed() < 5000)
            QTest::qWait(1);
        ASSERT_NE(sysexReceiver.versionLength.load(), 0);
    }

    // In the instrument's log, leaving its announcements aside, a message
    // received, its answer sent, the next message received, and so on; and
    // "End" after the last answer.
    void expectEachMessageAnsweredBeforeTheNext(const SimulatedInstrument &instrument,
                                                const std::vector<Bytes> &messages, int64_t endShownAt)
    {
        std::vector<std::string> exchange;
        std::vector<std::string> received;
        int64_t lastReplyAt = 0;
        for (const std::string &line : instrument.logLines()) {
            const auto words = parts(line);
            ASSERT_GE(words.size(), 3u) << line;
            const std::string bytes = line.substr(line.find(' ', 3) + 1);
            if (words[0] == "rx")
                received.push_back(bytes);
            if (received.empty() || (words[0] == "tx" && bytes.rfind("f0 7e 10 07 02", 0) == 0
                                     && received.size() > 1))
                continue;
            exchange.push_back(words[0]);
            if (words[0] == "tx")
                lastReplyAt = std::stoll(words[1]);
        }
        EXPECT_EQ(received, expectedLog(messages));
        EXPECT_EQ(exchange, std::vector<std::string>({"rx", "tx", "rx", "tx", "rx", "tx"}));
        EXPECT_GT(endShownAt, lastReplyAt);
    }

    static int64_t nowMicroseconds()
    {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

TEST_F(UpdateAfterAnnouncement, EachMessageWaitsForTheAnswerToTheOneBefore)
{
    // Replies come 50 ms late, so a run that took the announcement for the
    // answer to its first message, and went on one message ahead of the
    // instrument, would show in the log as two messages in a row.
    SimulatedInstrument instrument(
        {"--announce", "1.9", "--announce-interval", "300", "--delay", "50", "--timestamps"});
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    int64_t endShownAt = 0;
    BoxAnswerer boxes([](const SeenBox &) { return QMessageBox::Yes; });
    boxes.onBox = [&](const SeenBox &box) {
        if (box.text == "End")
            endShownAt = nowMicroseconds();
    };
    ASSERT_NO_FATAL_FAILURE(waitForAnnouncement());
    const auto messages = runThreeMessages();

    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[0].text, "Current firmware version is 1.9\nNew version is 2.1\nReplace ?");
    EXPECT_EQ(boxes.boxes[1].text, "End");
    EXPECT_EQ(steps, threeMessageSteps);
    instrument.stop();

    expectEachMessageAnsweredBeforeTheNext(instrument, messages, endShownAt);
}

// After the first message, a version reply is an announcement, however
// often it comes: each message still waits for its own acknowledgement.
TEST_F(UpdateAfterAnnouncement, AnnouncementsDuringTheUpdateAnswerNothing)
{
    SimulatedInstrument instrument({"--version", "2.0", "--announce", "2.0", "--announce-interval", "2",
                                    "--announce-from", "2", "--delay", "150", "--timestamps"});
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    int64_t endShownAt = 0;
    BoxAnswerer boxes([](const SeenBox &) { return QMessageBox::Yes; });
    boxes.onBox = [&](const SeenBox &box) {
        if (box.text == "End")
            endShownAt = nowMicroseconds();
    };
    const auto messages = runThreeMessages();

    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].text, "End");
    EXPECT_EQ(steps, threeMessageSteps);
    instrument.stop();
    expectEachMessageAnsweredBeforeTheNext(instrument, messages, endShownAt);
}

TEST_F(UpdateAfterAnnouncement, AnsweringNoSendsOnlyTheFirstMessage)
{
    SimulatedInstrument instrument({"--announce", "1.9", "--announce-interval", "300"});
    ASSERT_NO_FATAL_FAILURE(connectTo(instrument));
    BoxAnswerer boxes([](const SeenBox &) { return QMessageBox::No; });
    ASSERT_NO_FATAL_FAILURE(waitForAnnouncement());
    const auto messages = runThreeMessages();

    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, "Current firmware version is 1.9\nNew version is 2.1\nReplace ?");
    EXPECT_TRUE(steps.empty());
    expectReceived(instrument, {messages[0]});
}
} // namespace
