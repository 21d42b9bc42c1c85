// Creating the RtMidi input and output objects.
//
// RtMidi, asked for no particular API, tries its compiled backends in a fixed
// order and throws as soon as one of them has no service behind it: on a
// machine without an ALSA sequencer (a sound-card-less machine running JACK)
// constructing RtMidiIn throws before JACK is ever tried. The uploader's
// objects are built before main() runs, so that would end the program before
// it shows anything. createMidiClient keeps RtMidi's own choice first and
// falls back to each compiled API in turn.
#pragma once

#include <rtmidi/RtMidi.h>

#include <iostream>
#include <string>
#include <vector>

template <class Client, class... Args>
Client *createMidiClient(const Args &...args)
{
    try {
        return new Client(RtMidi::UNSPECIFIED, args...);
    } catch (const RtMidiError &error) {
        std::cerr << "MIDI: " << error.getMessage() << " Trying each MIDI API in turn.\n";
    }
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    for (RtMidi::Api api : apis) {
        try {
            return new Client(api, args...);
        } catch (const RtMidiError &error) {
            std::cerr << "MIDI: " << RtMidi::getApiDisplayName(api) << ": " << error.getMessage() << '\n';
        }
    }
    std::cerr << "MIDI: no MIDI API could be opened; no MIDI port will be listed.\n";
    return nullptr;
}
