"""What every test program of the project reads of its environment and its
files: the paths ctest gives it, the leaks of the system's libraries that
are not the program's, a PNG image's size."""

import os
import struct
import unittest

# Built with the sanitizers, a program's exit code also reports its leaks;
# those of the system's desktop libraries are not the program's.
SYSTEM_LIBRARIES_THAT_LEAK = ["libdbus-1.so"]


def environment(name):
    """The value ctest sets for name; the test is skipped when it is not set."""
    value = os.environ.get(name)
    if not value:
        raise unittest.SkipTest(f"{name} is not set; run these tests through ctest")
    return value


def leak_suppressions(folder):
    """LSAN_OPTIONS for a program under test: the caller's own, and the
    system's leaks suppressed through a file written into folder."""
    suppressions = os.path.join(folder, "lsan.supp")
    with open(suppressions, "w") as file:
        file.write("".join(f"leak:{library}\n" for library in SYSTEM_LIBRARIES_THAT_LEAK))
    return ":".join(filter(None, [os.environ.get("LSAN_OPTIONS"), f"suppressions={suppressions}",
                                  "print_suppressions=0"]))


def png_size(path):
    """(width, height) of a PNG image, from its header."""
    with open(path, "rb") as file:
        header = file.read(24)
    if header[:8] != b"\x89PNG\r\n\x1a\n" or header[12:16] != b"IHDR":
        raise AssertionError(f"{path} is no PNG image")
    return struct.unpack(">II", header[16:24])
