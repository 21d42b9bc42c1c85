// tsu-private-jack COMMAND [ARG...]: runs a command (a whole-program test, a
// script) under a private JACK server of its own, as the MIDI test binaries
// run themselves. The command finds the server through JACK_DEFAULT_SERVER
// and the server name's lock through TSU_JACK_LOCK_FD (pass that descriptor on
// to every MIDI client it starts). The exit code is the command's.
#include "jackserver.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: tsu-private-jack COMMAND [ARG...]\n");
        return 2;
    }
    return runUnderPrivateJackServer(std::vector<std::string>(argv + 1, argv + argc));
}
