// The program's objects that exist before main(), seen from inside: the
// resource collection is registered once, in format version 2, before
// midiLink is constructed, and is still registered when midiLink is
// destroyed at exit.
//
// This program defines qRegisterResourceData and qUnregisterResourceData,
// which the collection's registration calls, and __cxa_atexit, through which
// each static object's destructor is registered as its construction ends;
// each records the call and passes it on to Qt or the C++ runtime. The
// exit-time half runs in a child: this same program, started with
// TSU_STATIC_OBJECTS_CHILD set, returns from main() at once and reports what
// it saw while its static objects were destroyed.
#include "midi/midilink.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QProcess>
#include <QResource>
#include <QString>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// Only constant-initialized state: the calls come during static
// initialization, in whatever order the objects' files are initialized.
struct Registration
{
    const unsigned char *tree;
    int version;
    // midiLink's storage still all zero bytes: its constructor has not run.
    bool beforeMidiLink;
};
constexpr int maxRegistrations = 16;
Registration registrations[maxRegistrations];
int registrationCount = 0;
// The collection that holds the logo, once its registration has been seen.
const unsigned char *logoTree = nullptr;
bool logoRegistered = false;
bool logoRegisteredAtMidiLinkConstructed = false;

void (*midiLinkDestructor)(void *) = nullptr;

const char logoPath[] = ":/new/prefix1/FileVari/Logo.png";

bool midiLinkUnconstructed()
{
    unsigned char bytes[sizeof(MidiLink)];
    std::memcpy(bytes, static_cast<const void *>(&midiLink), sizeof bytes);
    for (unsigned char b : bytes) {
        if (b != 0)
            return false;
    }
    return true;
}

template <class Function>
Function next(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

bool isChild()
{
    return std::getenv("TSU_STATIC_OBJECTS_CHILD") != nullptr;
}

// Runs in place of midiLink's destructor at exit, then runs it.
void destroyMidiLink(void *object)
{
    if (isChild())
        std::printf("midiLink destroyed; logo registered: %s\n", logoRegistered ? "yes" : "no");
    midiLinkDestructor(object);
}
} // namespace

bool qRegisterResourceData(int version, const unsigned char *tree, const unsigned char *name,
                           const unsigned char *data)
{
    using Register = bool (*)(int, const unsigned char *, const unsigned char *, const unsigned char *);
    static const Register qt = next<Register>("_Z21qRegisterResourceDataiPKhS0_S0_");
    const bool hadLogo = QResource(QLatin1String(logoPath)).isValid();
    const bool done = qt(version, tree, name, data);
    if (registrationCount < maxRegistrations)
        registrations[registrationCount] = {tree, version, midiLinkUnconstructed()};
    ++registrationCount;
    if (!hadLogo && QResource(QLatin1String(logoPath)).isValid()) {
        logoTree = tree;
        logoRegistered = true;
    }
    return done;
}

bool qUnregisterResourceData(int version, const unsigned char *tree, const unsigned char *name,
                             const unsigned char *data)
{
    using Unregister = bool (*)(int, const unsigned char *, const unsigned char *, const unsigned char *);
    static const Unregister qt = next<Unregister>("_Z23qUnregisterResourceDataiPKhS0_S0_");
    if (tree == logoTree) {
        if (isChild())
            std::printf("logo unregistered\n");
        logoRegistered = false;
    }
    return qt(version, tree, name, data);
}

extern "C" int __cxa_atexit(void (*destructor)(void *), void *object, void *dso)
{
    using AtExit = int (*)(void (*)(void *), void *, void *);
    static const AtExit runtime = next<AtExit>("__cxa_atexit");
    if (object == static_cast<void *>(&midiLink)) {
        logoRegisteredAtMidiLinkConstructed = logoRegistered;
        midiLinkDestructor = destructor;
        destructor = destroyMidiLink;
    }
    return runtime(destructor, object, dso);
}

namespace {
TEST(StaticObjects, CollectionRegisteredOnceInFormatTwoBeforeMidiLink)
{
    ASSERT_NE(logoTree, nullptr) << "the logo was never registered";
    ASSERT_LE(registrationCount, maxRegistrations);
    int logoRegistrations = 0;
    for (int i = 0; i < registrationCount; ++i) {
        if (registrations[i].tree != logoTree)
            continue;
        ++logoRegistrations;
        EXPECT_EQ(registrations[i].version, 2);
        EXPECT_TRUE(registrations[i].beforeMidiLink) << "registered after midiLink was constructed";
    }
    EXPECT_EQ(logoRegistrations, 1);
    EXPECT_TRUE(logoRegisteredAtMidiLinkConstructed);
    EXPECT_TRUE(QResource(QLatin1String(logoPath)).isValid());
    EXPECT_EQ(QResource(QLatin1String(logoPath)).compressionAlgorithm(), QResource::NoCompression);
}

TEST(StaticObjects, MidiLinkDestroyedFirstThenTheCollectionUnregistered)
{
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TSU_STATIC_OBJECTS_CHILD"), QStringLiteral("1"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::SeparateChannels);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    ASSERT_TRUE(child.waitForFinished(60000));
    EXPECT_EQ(child.exitCode(), 0) << child.readAllStandardError().toStdString();
    EXPECT_EQ(child.readAllStandardOutput().toStdString(),
              "midiLink destroyed; logo registered: yes\nlogo unregistered\n");
}
} // namespace

int main(int argc, char **argv)
{
    if (isChild())
        return 0;
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
