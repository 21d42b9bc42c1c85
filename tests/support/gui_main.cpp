// Test main for widget tests: a QApplication (offscreen in ctest), and with
// TSU_WITH_JACK a private JACK server that the whole binary runs against.
#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#ifdef TSU_WITH_JACK
#include "jackserver.h"

#include "midi/midilink.h"
#include "midi/rtmidiclient.h"
#endif

static int runTests(int argc, char **argv)
{
    // A runtime folder of this test's own: the uploader keeps its lock on an
    // instrument there, named after the port, and tests beside it use ports
    // of the same names on servers of their own.
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    // Widget tests need no display; ctest says so too, but listing the tests
    // runs this main without ctest's environment.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
#ifdef TSU_WITH_JACK
    // The program's MIDI clients were made before main() ran, an instant after
    // the private server started; on a loaded machine it may not have taken
    // them yet. (Listing the tests runs without a server.)
    if (qEnvironmentVariableIsSet("JACK_DEFAULT_SERVER") && midiIn && midiOut
        && (!waitForMidiService(*midiIn, std::chrono::seconds(10))
            || !waitForMidiService(*midiOut, std::chrono::seconds(10)))) {
        std::fprintf(stderr, "the private JACK server took none of the program's MIDI clients\n");
        return 1;
    }
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

int main(int argc, char **argv)
{
#ifdef TSU_WITH_JACK
    return runWithPrivateJackServer(argc, argv, runTests);
#else
    return runTests(argc, argv);
#endif
}
