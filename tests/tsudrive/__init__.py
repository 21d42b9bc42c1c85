"""The tests' way of using the real tessarine-uploader as a person would:
on a virtual X display (display), with real mouse clicks and key presses
(xdotool, through the XTEST extension) where the probe loaded into it says
the widgets are (uploader), against the simulated instrument on real MIDI
ports (instrument), with the child processes of a test ending with it
(processes); the designer forms' places for a program that cannot load the
probe (forms), and what every test program reads of its environment
(testenv). The whole-program tests (tests/whole_program.py) and the checks
of what is installed (tests/installed.py) import it as a package; the
demonstration runs its command line (python3 -m tsudrive, see __main__).

Python 3 standard library only; the programs it runs come from Debian
packages: Xvfb (xvfb), xdotool, import (imagemagick), jackd and jack_lsp
(jackd2); over ALSA, aconnect (alsa-utils).
"""

from .display import VirtualDisplay
from .forms import form_place, form_rect
from .instrument import (Instrument, alsa_address, alsa_clients, alsa_input_ports, alsa_output_ports,
                         alsa_port_name, compare_log, hex_line, midi_output_ports, tsu_messages)
from .processes import DriveError, dies_with_parent, end_process, jack_lock_fds, log_lines, tail, wait_for
from .uploader import (FILE_DIALOG_TITLE, KNOWN_TITLES, MAIN_TITLE, MESSAGE_TITLE, PORT_DIALOG_TITLE, Uploader,
                       probe_reports)
from .testenv import SYSTEM_LIBRARIES_THAT_LEAK, environment, leak_suppressions, png_size

__all__ = ["VirtualDisplay", "form_place", "form_rect", "Instrument", "alsa_address", "alsa_clients",
           "alsa_input_ports", "alsa_output_ports", "alsa_port_name", "compare_log", "hex_line", "midi_output_ports",
           "tsu_messages", "DriveError", "dies_with_parent", "end_process", "jack_lock_fds", "log_lines", "tail",
           "wait_for", "FILE_DIALOG_TITLE", "KNOWN_TITLES", "MAIN_TITLE", "MESSAGE_TITLE", "PORT_DIALOG_TITLE",
           "Uploader", "probe_reports", "SYSTEM_LIBRARIES_THAT_LEAK", "environment", "leak_suppressions", "png_size"]
