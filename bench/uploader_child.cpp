// tsu_bench_uploader: one whole update by the uploader's own code, as the
// benchmark measures it. The Updater runs with its MainWindow on the offscreen
// platform against the simulated instrument, and the "End" box is answered
// the way a user would. Run once per process: the program's MIDI objects are
// built before main() and its ports open only once.
//
// Usage: tsu_bench_uploader FILE INPUT_PORT --messages N --trace PATH
// Prints "wall_us <us>" (from the start of the update until the last reply
// was taken), "run_us <us>" (until run() returned) and "update_cpu_us <us>"
// (the process's CPU time over wall_us) on stdout, and "event TYPE COUNT US"
// for each type of Qt event the GUI thread handled during run(), with the
// time spent in them. The trace
// (clienttrace.h) follows the GUI thread's sleeps through glib's poll and
// the dispatcher's awake(), none of which the program itself is changed for.
#include "clienttrace.h"
#include "jackserver.h"

#include "midi/midilink.h"
#include "midi/rtmidiclient.h"
#include "midi/sysexreceiver.h"
#include "ui/mainwindow.h"
#include "update/updater.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QMessageBox>
#include <QMetaEnum>
#include <QProgressBar>
#include <QThread>
#include <QTimer>

#include <glib.h>

#include <rtmidi/RtMidi.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <string>

namespace {
std::unique_ptr<bench::Trace> trace;

// The receive callback as the uploader installs it, with the arrival of each
// complete message noted first.
void tracedInput(double timeStamp, std::vector<unsigned char> *bytes, void *userData)
{
    const bool complete = bytes && !bytes->empty() && bytes->back() == 0xF7;
    if (complete)
        trace->replyArrived.record(bench::monotonicMicros());
    onMidiInput(timeStamp, bytes, userData);
    if (complete)
        trace->callbackDone.record(bench::monotonicMicros());
}

// glib's poll, through which Qt's glib event dispatcher sleeps: the GUI
// thread's sleeps and wake-ups, seen from outside the program.
GPollFunc realPoll = nullptr;

gint tracedPoll(GPollFD *fds, guint count, gint timeout)
{
    // A poll that does not wait only looks: no sleep.
    if (timeout == 0)
        return realPoll(fds, count, timeout);
    trace->pollEntered.record(bench::monotonicMicros());
    const gint ready = realPoll(fds, count, timeout);
    trace->pollReturned.record(bench::monotonicMicros());
    return ready;
}

// Qt's glib dispatcher emits awake() once g_main_context_iteration() has
// dispatched what woke it, just before processEvents() returns to the update
// run; its aboutToBlock() comes before the sources are even prepared, too
// early to tell a sleep, so poll() is watched for that instead.
bool traceEventLoop()
{
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher || !dispatcher->inherits("QEventDispatcherGlib"))
        return false;
    GMainContext *context = g_main_context_default();
    realPoll = g_main_context_get_poll_func(context);
    g_main_context_set_poll_func(context, &tracedPoll);
    QObject::connect(dispatcher, &QAbstractEventDispatcher::awake,
                     [] { trace->awake.record(bench::monotonicMicros()); });
    return true;
}

// Passes every message on to the uploader's real output, noting when it was handed over.
class ForwardingOutput : public MidiOutApi
{
public:
    explicit ForwardingOutput(RtMidiOut *real) : real(real) {}
    RtMidi::Api getCurrentApi() override { return real->getCurrentApi(); }
    void openPort(unsigned int, const std::string &) override {}
    void openVirtualPort(const std::string &) override {}
    void closePort() override {}
    void setClientName(const std::string &) override {}
    void setPortName(const std::string &) override {}
    unsigned int getPortCount() override { return real->getPortCount(); }
    std::string getPortName(unsigned int port) override { return real->getPortName(port); }
    void sendMessage(const unsigned char *message, size_t size) override
    {
        trace->sent.record(bench::monotonicMicros());
        real->sendMessage(message, size);
        trace->sendReturned.record(bench::monotonicMicros());
    }

protected:
    void initialize(const std::string &) override {}

private:
    RtMidiOut *real;
};

class TracedOutput : public RtMidiOut
{
public:
    explicit TracedOutput(RtMidiOut *real)
        : RtMidiOut(RtMidi::UNIX_JACK, "Bench Trace")
    {
        // The client the base made has no port yet, so nothing of it is in use.
        delete rtapi_;
        rtapi_ = new ForwardingOutput(real);
    }
};

// Times every event the GUI thread handles while the update runs, by type:
// what the dispatch of the thread's wake-ups is made of. Only the outermost
// delivery counts; events sent from within it are in its time.
class TimedApplication : public QApplication
{
public:
    using QApplication::QApplication;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (!timing || depth > 0 || QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        ++depth;
        const int64_t begin = bench::monotonicMicros();
        const bool handled = QApplication::notify(receiver, event);
        EventCost &cost = costs[event->type()];
        ++cost.count;
        cost.micros += bench::monotonicMicros() - begin;
        --depth;
        return handled;
    }

    struct EventCost
    {
        long long count = 0;
        long long micros = 0;
    };
    bool timing = false;
    std::map<int, EventCost> costs;

private:
    int depth = 0;
};

// Answers each message box of the update with its default button, as a user
// would, when the box is shown: the tests' BoxAnswerer looks for boxes every
// 5 ms, which would wake the sleeping GUI thread 200 times a second and be
// counted as the uploader's own cost.
class ShownBoxAnswerer : public QObject
{
public:
    ShownBoxAnswerer() { qApp->installEventFilter(this); }
    std::vector<QString> texts;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *box = qobject_cast<QMessageBox *>(watched);
        if (box && event->type() == QEvent::Show) {
            texts.push_back(box->text());
            // Pressed from within the box's own event loop, once exec() runs it.
            QTimer::singleShot(0, box, [box] {
                QAbstractButton *button = box->defaultButton();
                if (!button && !box->buttons().isEmpty())
                    button = box->buttons().first();
                if (button)
                    button->click();
            });
        }
        return false;
    }
};

int fail(const std::string &problem)
{
    std::cerr << "tsu_bench_uploader: " << problem << '\n';
    return 1;
}
} // namespace

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TimedApplication app(argc, argv);

    const bench::ClientArguments args = bench::parseClientArguments(
        argc, argv, 1, "usage: tsu_bench_uploader FILE INPUT_PORT --messages N [--trace PATH]");
    if (!args.problem.empty())
        return fail(args.problem);
    const std::string &file = args.file, &port = args.ports[0], &tracePath = args.tracePath;
    const unsigned long messages = args.messages;
    trace = std::make_unique<bench::Trace>(messages);

    MainWindow window;
    window.show();
    // The server was started for this run an instant ago.
    if (!midiIn || !midiOut || !waitForMidiService(*midiIn, std::chrono::seconds(10))
        || !waitForMidiService(*midiOut, std::chrono::seconds(10)))
        return fail("the MIDI service took no client");
    // As "Ok" in the port dialog does.
    midiLink.refreshPorts();
    const int index = midiLink.indexOfPort(QString::fromStdString(port));
    if (index < 0)
        return fail("no MIDI input port \"" + port + "\"");
    try {
        midiLink.openPorts(index);
    } catch (const RtMidiError &error) {
        return fail(error.getMessage());
    }
    window.showSelectedPort(midiLink.selectedPortName);
    // The first message is sent at once: the new connection to the
    // instrument's input ("NAME <:MIDI", beside its "NAME >:MIDI") must be
    // in the server's cycles by then.
    // An ALSA subscription is in place once made.
    const char *transport = std::getenv("TSU_BENCH_TRANSPORT");
    const bool overAlsa = transport && std::string(transport) == "alsa";
    if (!overAlsa) {
        std::string instrumentInput = port;
        instrumentInput.replace(instrumentInput.rfind(" >:"), 3, " <:");
        if (!waitUntilConnected(instrumentInput))
            return fail("no connection to " + instrumentInput);
    }

    midiIn->cancelCallback();
    midiIn->setCallback(&tracedInput, nullptr);
    if (!traceEventLoop())
        std::cerr << "tsu_bench_uploader: the event dispatcher is not glib's: its sleeps are not traced\n";
    TracedOutput tracedOutput(midiOut);
    RtMidiOut *const realOutput = midiOut;
    midiOut = &tracedOutput;

    // The progress reaches 100 right after the last reply has been taken.
    int64_t lastReplyTaken = 0;
    int64_t cpuAtLastReply = 0;
    auto *bar = window.findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QObject::connect(bar, &QProgressBar::valueChanged, [&](int value) {
        if (value == 100) {
            lastReplyTaken = bench::monotonicMicros();
            cpuAtLastReply = bench::processCpuMicros();
        }
    });
    ShownBoxAnswerer boxes;

    const int64_t cpuAtStart = bench::processCpuMicros();
    const int64_t start = bench::monotonicMicros();
    Updater updater(QString::fromStdString(file), &window);
    currentUpdater = &updater;
    app.timing = true;
    updater.run(QString::fromStdString(file));
    app.timing = false;
    const int64_t runEnd = bench::monotonicMicros();
    currentUpdater = nullptr;
    midiOut = realOutput;

    if (boxes.texts.size() != 1 || boxes.texts[0] != QStringLiteral("End"))
        return fail("the update did not end with the single box \"End\""
                    + (boxes.texts.empty() ? std::string() : ": " + boxes.texts[0].toStdString()));
    if (lastReplyTaken == 0)
        return fail("the progress never reached 100%");
    if (!tracePath.empty() && !trace->write(tracePath))
        return fail("cannot write " + tracePath);
    std::printf("update_cpu_us %lld\n", static_cast<long long>(cpuAtLastReply - cpuAtStart));
    const QMetaEnum types = QMetaEnum::fromType<QEvent::Type>();
    for (const auto &[type, cost] : app.costs) {
        const char *name = types.valueToKey(type);
        std::printf("event %s %lld %lld\n", name ? name : std::to_string(type).c_str(), cost.count, cost.micros);
    }
    std::printf("wall_us %lld\nrun_us %lld\n", static_cast<long long>(lastReplyTaken - start),
                static_cast<long long>(runEnd - start));
    return 0;
}
