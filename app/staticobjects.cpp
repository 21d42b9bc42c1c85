// The program's objects that exist before main() runs. They are defined in
// this one file so that the language's rule for a single translation unit
// decides their order, not the order in which the linker takes object files:
// constructed in the order below, destroyed in the reverse order when the
// process exits.
//
//   1. the resource collection (the logo), registered with Qt's resource
//      system by the object that rcc writes for it, and unregistered last;
//   2. sysexReceiver, the receive state (constant-initialized, nothing to
//      release);
//   3. midiLink, whose constructor creates the MIDI input and output, and
//      which is destroyed first.
#include "midi/midilink.h"
#include "midi/sysexreceiver.h"

// rcc's output for resources/resources.qrc (written into the build tree):
// the collection's data and the one object that registers it.
#include "qrc_resources.cpp"

SysexReceiver sysexReceiver;

MidiLink midiLink;
