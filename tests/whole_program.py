#!/usr/bin/env python3
"""Whole-program tests: the real tessarine-uploader executable on a virtual X
display of its own (Xvfb), used with real mouse clicks and key presses
(the package tsudrive), talking over a private JACK server to tessarine-sim.

The tsuprobe plugin, loaded into the program through Qt's -plugin option,
writes what is on screen to a log: the visible windows (a message box's text
too) and the main window's status labels. That log is what the assertions
about the windows read.

ctest runs each test on its own under a private JACK server,
tsu-private-jack python3 whole_program.py WholeProgram.test_NAME, with
TSU_UPLOADER, TSU_SIM, TSU_MAKE_TSU and TSU_PROBE_DIR in the environment, and
TSU_SCREENSHOT_DIR, where the screenshots the tests take are kept.

The tests of OverAlsa run over a real ALSA sequencer in the guest of
tests/alsa-vm: whole_program.py --alsa-vm OverAlsa.test_NAME... starts it.
Those of OverUsb need a USB MIDI instrument in it too:
whole_program.py --alsa-vm --usb-midi OverUsb.test_NAME...
"""

import ctypes
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import shutil
import threading
import unittest

# The driver is imported from the source tree; leave no bytecode there.
sys.dont_write_bytecode = True
import tsudrive as du  # noqa: E402
from tsudrive import environment, png_size  # noqa: E402

# Seconds any one step may take; the emulated guest of the tests over ALSA
# is slower than this machine (TSU_STEP_TIMEOUT).
TIMEOUT = float(os.environ.get("TSU_STEP_TIMEOUT", "20"))
# The windows' designed sizes.
MAIN_SIZE = (675, 332)
PORT_DIALOG_SIZE = (240, 237)
TITLE_WIDTH = 121
# A port name of 45 characters: "NAME >:MIDI".
LONG_NAME = "Tessarine Grand Stage Keyboard 88 Plus"
ELLIPSIS = "\u2026"
# The longest SysEx message that arrives whole over the ALSA sequencer.
ALSA_LONGEST = 4096
# And through the kernel's USB MIDI class driver to a USB instrument.
USB_LONGEST = 4096




class Fixture(unittest.TestCase):
    """Everything a whole-program test does but its MIDI service."""

    def setUp(self):
        self.diagnostics = ""
        self.steps = []
        self.uploader = None
        self.instruments = []
        self.paths = {key: environment(key) for key in ("TSU_UPLOADER", "TSU_SIM", "TSU_MAKE_TSU", "TSU_CHECK",
                                                             "TSU_PROBE_DIR")}
        self.workdir = tempfile.mkdtemp(prefix="tsu-wp-")
        self.addCleanup(shutil.rmtree, self.workdir, True)
        self.probe_log = os.path.join(self.workdir, "probe.log")

        self.midi_service = self.midi_setup()
        self.display = du.VirtualDisplay()
        self.addCleanup(self.display.stop)
        self.display.start()
        # Everything MIDI goes to the private server; none may start another.
        self.midi_env = dict(os.environ, JACK_NO_START_SERVER="1")

    def tearDown(self):
        # Gathered before the clean-ups remove the work folder; printed by
        # run() only when the test failed.
        parts = [f"{self.midi_service}, display {self.display.name}",
                 "steps:\n  " + "\n  ".join(self.steps)]
        if self.uploader:
            self.uploader.stop()
            parts.append("uploader's stderr (last lines):\n" + self.uploader.stderr_tail())
        parts.append("probe log:\n" + "\n".join(du.log_lines(self.probe_log)[-40:]))
        for instrument in self.instruments:
            instrument.stop()
            lines = instrument.lines()
            parts.append(f"instrument {instrument.port}: {len(lines)} messages logged; "
                         f"first bytes: {[line[:24] for line in lines[:5]]}\n{instrument.stderr_tail()}")
        self.diagnostics = "\n---- " + self.id() + "\n" + "\n".join(parts) + "\n"

    def run(self, result=None):
        result = result if result is not None else self.defaultTestResult()
        problems = len(result.failures) + len(result.errors)
        super().run(result)
        if len(result.failures) + len(result.errors) > problems:
            sys.stderr.write(self.diagnostics)
        return result

    # --- helpers ---------------------------------------------------------------

    def make_file(self, version, messages, length):
        path = os.path.join(self.workdir, f"update-{version}.tsu")
        subprocess.run([self.paths["TSU_MAKE_TSU"], path, "--version", version, "--messages", str(messages),
                        "--length", str(length)], check=True, stdout=subprocess.DEVNULL, timeout=30)
        return path

    def start_instrument(self, *args):
        log = os.path.join(self.workdir, f"instrument-{len(self.instruments)}.log")
        instrument = du.Instrument(self.paths["TSU_SIM"], log, args, env=self.midi_env)
        self.instruments.append(instrument)
        instrument.start(TIMEOUT)
        return instrument

    def use_display(self, dpi):
        """Replaces the display of 96 dpi by one of another resolution."""
        self.display.stop()
        self.display = du.VirtualDisplay(dpi=dpi)
        self.addCleanup(self.display.stop)
        self.display.start()

    def start_uploader(self, scale=1, preexec=None, name="uploader"):
        """Starts the uploader as self.uploader; another of another name
        (with a probe log and error stream of its own) is returned only."""
        probe_log = self.probe_log if name == "uploader" else os.path.join(self.workdir, name + "-probe.log")
        env = dict(self.midi_env, QT_PLUGIN_PATH=self.paths["TSU_PROBE_DIR"], TSU_PROBE_LOG=probe_log)
        env["LSAN_OPTIONS"] = du.leak_suppressions(self.workdir)
        # The windows need no OpenGL. Qt's GLX integration would load Mesa's
        # driver, which leaks and is unloaded before the leak check, where no
        # suppression can name it.
        env["QT_XCB_GL_INTEGRATION"] = "none"
        uploader = du.Uploader(self.paths["TSU_UPLOADER"], self.display.name, self.workdir, env=env,
                               args=["-plugin", "tsuprobe"], probe_log=probe_log, timeout=TIMEOUT,
                               say=self.steps.append, scale=scale, preexec=preexec, name=name)
        if name == "uploader":
            self.uploader = uploader
        else:
            self.addCleanup(uploader.stop)
        # The probe is loaded as the application starts; without it the
        # window assertions would read nothing.
        du.wait_for("the probe's first report", lambda: du.log_lines(probe_log), TIMEOUT,
                    lambda: uploader.check_running("before the probe reported"))
        return uploader

    def screens(self, uploader=None):
        """Every state the probe reported (of the uploader given, or
        self.uploader): complete lines only."""
        return du.probe_reports((uploader or self.uploader).probe_log)

    def wait_screen(self, what, predicate, after=None, uploader=None):
        """The first reported state for which predicate holds; with after,
        the first one that comes later than a state for which after holds."""
        def find():
            screens = self.screens(uploader)
            start = 0
            if after:
                start = next((i + 1 for i, s in enumerate(screens) if after(s)), len(screens))
            return next((s for s in screens[start:] if predicate(s)), None)
        return du.wait_for(what, find, TIMEOUT)

    def wait_now(self, what, predicate):
        """Waits until the state shown now (the last one reported) is one for
        which predicate holds."""
        def now():
            screens = self.screens()
            return screens[-1] if screens and predicate(screens[-1]) else None
        return du.wait_for(what, now, TIMEOUT, lambda: self.uploader.check_running("while waiting for " + what))

    @staticmethod
    def keyboard_at(window_class, widget):
        """The window of that class has the keyboard, and in it that widget."""
        return lambda screen: screen["active"] == window_class and screen["focus"] == widget

    @staticmethod
    def window(screen, window_class):
        return next((w for w in screen["windows"] if w["class"] == window_class), None)

    def assert_texts_whole(self, window, intended=None):
        """Every label and button text of the window fits its widget; a text
        that is not its whole intended text (intended: widget name -> text)
        is cut with "…" and whole in its tool tip."""
        for text in window["texts"]:
            where = f'{window["class"]}.{text["name"]} "{text["text"]}" ({text["width"]} pixels)'
            self.assertTrue(text["fits"], where + " is cut")
            whole = (intended or {}).get(text["name"], text["text"])
            if text["text"] != whole:
                self.assertTrue(text["text"].endswith(ELLIPSIS), where + " lacks the sign of a cut")
                self.assertTrue(whole.startswith(text["text"][:-1]), where)
                # The port line's tool tip names the output port on a line of its own.
                self.assertEqual(text["toolTip"].split("\n")[0], whole, where + ": its tool tip")

    def screenshot(self, window, name):
        """Saves a screenshot of the window where it is kept; returns its path."""
        folder = os.environ.get("TSU_SCREENSHOT_DIR") or self.workdir
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name)
        self.uploader.screenshot(window, path)
        self.steps.append(f"screenshot {path}")
        return path

    @staticmethod
    def only_main_window(screen):
        return [w["class"] for w in screen["windows"]] == ["MainWindow"]

    @staticmethod
    def boxes(screen):
        return [w for w in screen["windows"] if w["class"] == "QMessageBox"]

    def box_texts(self, uploader=None):
        """The text of each message box shown, once per showing."""
        texts, before = [], []
        for screen in self.screens(uploader):
            now = self.boxes(screen)
            texts += [box["text"] for box in now if box not in before]
            before = now
        return texts

    def file_dialog_appeared(self):
        return any(w["class"] == "QFileDialog" or w["title"] == du.FILE_DIALOG_TITLE
                   for s in self.screens() for w in s["windows"])

    def start_update(self, file, port=None):
        """The port (by default row 0), Ok, the file: up to the point where
        the update runs."""
        uploader = self.start_uploader()
        uploader.main_window()
        row = 0
        if port:
            shown = self.wait_now("the port dialog", lambda s: port in (self.window(s, "midiselection") or {}).get(
                "rows", []))
            row = self.window(shown, "midiselection")["rows"].index(port)
        uploader.click_ok(uploader.pick_port(row, port))
        uploader.open_file(file)
        return uploader

    def install(self, uploader, question):
        """The question asked as given, Yes, then the one "End" box closed;
        returns the main window's state after it, at 100%."""
        box = self.wait_screen("the question", lambda s: self.boxes(s))
        self.assertEqual(self.boxes(box)[0]["title"], du.MESSAGE_TITLE)
        self.assertEqual(self.boxes(box)[0]["text"], question)
        uploader.answer_question(yes=True)

        def end_box(screen):
            return [b for b in self.boxes(screen) if b["text"] == "End"]
        self.wait_screen('the "End" box', end_box)
        uploader.close_box(uploader.wait_untitled_box())
        last = self.wait_screen("the main window alone after End", self.only_main_window, after=end_box)
        self.assertEqual(last["labels"]["labelPercent"], "100%")
        self.assertEqual(self.box_texts().count("End"), 1)
        return last

    def refuse(self, uploader, file):
        """Waits for "Illegal file." and closes it; returns its informative
        text, whose reason must be tsu-check's, in the same words."""
        def illegal(screen):
            return [b for b in self.boxes(screen) if b["text"] == "Illegal file."]
        box = illegal(self.wait_screen('the "Illegal file." box', illegal, uploader=uploader))[0]
        checked = json.loads(subprocess.run([self.paths["TSU_CHECK"], "--json", file], capture_output=True,
                                            timeout=30).stdout)["files"][0]
        why = checked.get("error") or next(f["text"] for f in checked["findings"] if self.service in f["refusedOver"])
        self.assertEqual(box["informativeText"].split("\n\n")[0], why)
        uploader.close_box(uploader.wait_untitled_box())
        return box["informativeText"]

    def make_one_message_file(self, length):
        """A header (version 1.5.0) and one data message of length bytes."""
        path = os.path.join(self.workdir, f"one-{length}.tsu")
        subprocess.run([self.paths["TSU_MAKE_TSU"], path, "--version", "1.5.0", "--messages", "1", "--length",
                        str(length)], check=True, stdout=subprocess.DEVNULL, timeout=30)
        return path

    def assert_longest_message_arrives_whole_and_one_byte_more_is_refused(self, instrument, longest):
        """One update with a message of the longest length the MIDI service
        carries, another with one byte more, by two runs of the uploader."""
        whole = self.make_one_message_file(longest)
        uploader = self.start_update(whole, instrument.port)
        self.install(uploader, "Current firmware version is 1.0.0\nNew version is 1.5.0\nReplace ?")
        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        too_long = self.make_one_message_file(longest + 1)
        uploader = self.start_update(too_long, instrument.port)
        said = self.refuse(uploader, too_long)
        self.assertIn(f"Message 2 (at offset 40) is {longest + 1} bytes long;", said)
        self.assertTrue(said.endswith("Nothing was sent to the instrument."), said)
        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        self.assert_log_is(instrument, du.tsu_messages(whole))

    def assert_log_is(self, instrument, messages):
        """The instrument's complete log (it is stopped first) against the messages."""
        instrument.stop()
        got, expected = instrument.lines(), [du.hex_line(m) for m in messages]
        if got == expected:
            return
        first = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b), min(len(got), len(expected)))
        self.fail(f"the instrument received {len(got)} messages, {len(expected)} expected; "
                  f"they differ from message {first + 1} on:\n"
                  f"  received {got[first][:60] if first < len(got) else 'nothing'}\n"
                  f"  expected {expected[first][:60] if first < len(expected) else 'nothing'}")


    def assert_each_message_answered_before_the_next(self, instrument, messages):
        """The instrument's log (written with --timestamps), its version
        announcements after the first message left aside: each message
        received, then its answer sent, then the next message, and so on."""
        instrument.stop()
        received, exchange = [], []
        for line in instrument.lines():
            kind, _, data = line.split(" ", 2)
            if kind == "rx":
                received.append(data)
            if not received or (kind == "tx" and data.startswith("f0 7e 10 07 02") and len(received) > 1):
                continue
            exchange.append(kind)
        self.assertEqual(received, [du.hex_line(m) for m in messages])
        self.assertEqual(exchange, ["rx", "tx"] * len(messages))

    def refused_port_box(self, uploader):
        """The port-open error box after Ok: its text, once closed and the
        program ended as for any port failure."""
        box = uploader.wait_window(du.MESSAGE_TITLE, "the error message")
        screen = self.wait_screen("the error message", lambda s: self.boxes(s))
        text = self.boxes(screen)[0]["text"]
        uploader.close_box(box)
        code = uploader.wait_exit()
        self.assertGreater(code, 0, f"the program ended with {code}")
        self.assertFalse(self.file_dialog_appeared())
        return text


class WholeProgram(Fixture):
    """The program over a private JACK server, as on a machine without a sound card."""

    # As tsu-check names the MIDI service.
    service = "JACK"

    def midi_setup(self):
        # The private JACK server that tsu-private-jack started for this test.
        self.jack_name = environment("JACK_DEFAULT_SERVER")
        return f"JACK server {self.jack_name}"

    def screen_reader(self):
        """An AT-SPI client, as a screen reader is one: a session bus of the
        test's own (the accessibility bus is started from it), Qt's bridge
        switched on for the uploader, and pyatspi connected to both."""
        read_end, write_end = os.pipe()
        # The accessibility bus it starts keeps its socket in the runtime
        # folder, or else in the home folder, where the buses of two such
        # tests side by side would take each other's place.
        runtime = os.path.join(self.workdir, "a11y-runtime")
        os.makedirs(runtime, mode=0o700)
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", f"--print-address={write_end}"],
                               pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               env=dict(os.environ, XDG_RUNTIME_DIR=runtime),
                               start_new_session=True, preexec_fn=du.dies_with_parent())
        os.close(write_end)
        self.addCleanup(du.end_process, bus)
        with os.fdopen(read_end) as pipe:
            address = pipe.readline().strip()
        self.assertTrue(address, "the session bus gave no address")
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = address
        self.midi_env.update(DBUS_SESSION_BUS_ADDRESS=address, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        try:
            import pyatspi
        except ImportError:
            self.skipTest("no AT-SPI client here: python3-pyatspi")
        return pyatspi

    @staticmethod
    def accessible(root, role, name=None, showing=True):
        """The first object under root, depth first, with that role (and name,
        a string or a predicate), showing unless told otherwise; None if none."""
        import pyatspi
        try:
            states = root.getState()
            fits = (root.getRoleName() == role
                    and (name is None or (name(root.name) if callable(name) else root.name == name))
                    and (not showing or states.contains(pyatspi.STATE_SHOWING)))
            if fits:
                return root
            children = [root.getChildAtIndex(i) for i in range(root.childCount)]
        except Exception:  # an object that went away while it was read
            return None
        return next(filter(None, (WholeProgram.accessible(c, role, name, showing) for c in children)), None)

    def wait_accessible(self, root, role, name=None, what=None):
        return du.wait_for(what or f"the accessible {role} {name!r}", lambda: self.accessible(root, role, name),
                           TIMEOUT, lambda: self.uploader.check_running(f"while waiting for the {role}"))

    @staticmethod
    def act(accessible, action):
        """Does the object's accessible action of that name (Press, Toggle)."""
        actions = accessible.queryAction()
        names = [actions.getName(i) for i in range(actions.nActions)]
        assert action in names, f"{accessible.name!r} offers {names}, not {action}"
        actions.doAction(names.index(action))

    def test_yes_installs_the_whole_file_and_one_exit_click_ends(self):
        instrument = self.start_instrument("--version", "1.0.0")
        file = self.make_file("2.3.4", messages=40, length=200)
        uploader = self.start_update(file)

        last = self.install(uploader, "Current firmware version is 1.0.0\nNew version is 2.3.4\nReplace ?")
        self.assertEqual(last["labels"], {
            "labelMIDIportName": "Selected MIDI port: " + instrument.port,
            "labelPercent": "100%",
            "labelMsg": "Updating to version 2.3.4",
        })
        percents = [int(s["labels"]["labelPercent"].rstrip("%")) for s in self.screens()
                    if "labelPercent" in s["labels"]]
        self.assertEqual(percents, sorted(percents), "the progress went backwards")

        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        self.assert_log_is(instrument, du.tsu_messages(file))

    def test_cancel_in_the_port_dialog_ends_without_a_file_dialog(self):
        instrument = self.start_instrument()
        uploader = self.start_uploader()
        uploader.main_window()
        uploader.click_cancel(uploader.wait_window(du.PORT_DIALOG_TITLE))
        self.assertEqual(uploader.wait_exit(), 0)
        self.assertFalse(self.file_dialog_appeared())
        self.assert_log_is(instrument, [])
        # Run from the build folder, where no icon theme has it, the window
        # icon is the program's own copy.
        self.assertTrue(self.screens()[0]["windowIconDrawn"])
        if not os.path.exists("/dev/snd/seq"):
            # The missing ALSA sequencer is said once, in one line, and the
            # output is not tried on it again.
            said = [line for line in du.log_lines(uploader.stderr_path) if "Alsa" in line]
            self.assertEqual(len(said), 1, said)
            self.assertTrue(said[0].startswith("MIDI: ALSA: "), said)

    def test_cancelled_file_dialog_ends_without_sending(self):
        instrument = self.start_instrument()
        uploader = self.start_uploader()
        uploader.main_window()
        uploader.click_ok(uploader.pick_port(0))
        uploader.cancel_file_dialog()
        self.assertEqual(uploader.wait_exit(), 0)
        self.assertEqual(self.box_texts(), [])
        self.assert_log_is(instrument, [])

    def test_no_sends_only_the_first_message_and_the_window_stays(self):
        instrument = self.start_instrument("--version", "1.0.0")
        file = self.make_file("1.1.0", messages=8, length=64)
        uploader = self.start_update(file)
        # Return takes the default button, which must be No.
        uploader.answer_question(yes=False)
        self.wait_screen("the main window alone after the question", self.only_main_window, after=self.boxes)
        self.assertTrue(uploader.running(), "the program ended without Exit being clicked")
        self.assertNotIn("End", self.box_texts())

        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        self.assert_log_is(instrument, du.tsu_messages(file)[:1])

    def test_one_exit_click_ends_an_update_whose_instrument_went_silent(self):
        instrument = self.start_instrument("--stop-after", "2")
        file = self.make_file("1.2.0", messages=10, length=64)
        uploader = self.start_update(file)
        # The third message gets no reply: the update waits for it for good,
        # and after a few seconds says so, and what to check.
        du.wait_for("the third message to reach the instrument", lambda: len(instrument.lines()) >= 3, TIMEOUT,
                    lambda: uploader.check_running("during the update"))
        # The output opened beside the input is said once on the error stream.
        output = instrument.port.replace(" >:", " <:")
        self.assertEqual([line for line in du.log_lines(uploader.stderr_path) if "output" in line],
                         [f'MIDI: Jack: input "{instrument.port}", output "{output}"'])
        waiting = self.wait_now("the note that the update waits", lambda s: "labelWaitNote" in s["labels"])
        self.assertEqual(waiting["labels"]["labelWaitNote"],
                         f"Waiting for the instrument to answer message 3 of 11, sent to the MIDI output port "
                         f"\u201c{output}\u201d. Check that this is the instrument's port, that the "
                         f"instrument is in its update mode and that its cable is plugged in. Exit stops the update.")
        main = self.window(waiting, "MainWindow")
        self.assert_texts_whole(main, {"labelMIDIportName": "Selected MIDI port: " + instrument.port})
        note = next(t for t in main["texts"] if t["name"] == "labelWaitNote")
        for text in main["texts"]:
            if text is not note:
                apart = (note["y"] >= text["y"] + text["height"] or text["y"] >= note["y"] + note["height"]
                         or note["x"] >= text["x"] + text["width"] or text["x"] >= note["x"] + note["width"])
                self.assertTrue(apart, f'the note covers {text["name"]}')
        self.screenshot(uploader.main_window(), "main-window-waiting-96dpi.png")
        self.assertEqual(waiting["labels"]["labelPercent"], "15%")
        self.assertTrue(uploader.running())

        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        self.assertEqual(self.box_texts(), [])
        self.assert_log_is(instrument, du.tsu_messages(file)[:3])

    def test_keyboard_alone_chooses_the_port_installs_and_exits(self):
        first = self.start_instrument("--name", "Tessarine A", "--version", "1.0.0")
        second = self.start_instrument("--name", LONG_NAME, "--version", "1.0.0")
        file = self.make_file("1.4.0", messages=12, length=100)
        ports = du.midi_output_ports(self.jack_name)
        chosen, other = second, first
        # The long name, row 0 or 1 in the server's order, reached with the
        # arrow keys from row 0.
        arrows = ["Down"] if ports.index(chosen.port) == 1 else ["Down", "Up"]
        uploader = self.start_uploader()

        # No key below is aimed at a window: each goes wherever the program
        # has put the keyboard, as for a user without a mouse.
        self.wait_now("the port dialog with the keyboard", self.keyboard_at("midiselection", "pushButtonCancel"))
        uploader.key("Tab")
        self.wait_now("the keyboard in the port list", self.keyboard_at("midiselection", "listWidget"))
        uploader.key(*arrows, "Tab")
        self.wait_now("the keyboard on Ok", self.keyboard_at("midiselection", "pushButtonOk"))
        uploader.key("Return")
        self.wait_now("the file dialog with the keyboard", self.keyboard_at("QFileDialog", "fileNameEdit"))
        uploader.type_text(file)
        uploader.key("Return")
        self.wait_now("the question with the keyboard", lambda s: s["active"] == "QMessageBox"
                      and any(b.get("text", "").endswith("Replace ?") for b in self.boxes(s)))
        uploader.key("alt+y")
        self.wait_now('the "End" box with the keyboard', lambda s: s["active"] == "QMessageBox"
                      and any(b.get("text") == "End" for b in self.boxes(s)))
        uploader.key("Return")
        last = self.wait_now("the main window with the keyboard, on Exit", self.keyboard_at("MainWindow", "pushButton"))
        # At 96 dpi the long name is cut, whole in the tool tip.
        self.assert_texts_whole(self.window(last, "MainWindow"), {
            "labelMIDIportName": "Selected MIDI port: " + chosen.port,
            "labelPercent": "100%",
        })
        self.assertEqual(last["labels"]["labelPercent"], "100%")
        self.assertEqual({w["devicePixelRatio"] for s in self.screens() for w in s["windows"]}, {1})
        # Return, as held on from the last box, leaves Exit alone; Space presses it.
        uploader.key("Return")
        with self.assertRaises(du.DriveError):
            uploader.wait_exit(0.5)
        uploader.key("space")
        self.assertEqual(uploader.wait_exit(), 0)
        self.assert_log_is(chosen, du.tsu_messages(file))
        self.assert_log_is(other, [])

    def test_at_192_dpi_windows_scale_and_every_text_shows_whole(self):
        self.use_display(192)
        instrument = self.start_instrument("--name", LONG_NAME, "--version", "1.0.0")
        self.assertEqual(len(instrument.port), 45)
        # 19 characters, the longest a file holds: more than its line holds.
        file = self.make_file("2.30.4-beta.7+b1234", messages=20, length=100)
        uploader = self.start_uploader(scale=2)
        main = uploader.main_window()
        dialog = uploader.wait_window(du.PORT_DIALOG_TITLE, "the port dialog")
        shown = self.wait_now("the port dialog", lambda s: self.window(s, "midiselection"))
        self.assert_texts_whole(self.window(shown, "midiselection"))
        # The title asks for Calibri, which Debian lacks: a font of the same
        # metrics (Carlito) keeps it at its designed width, where a wider one
        # (DejaVu Sans, fontconfig's choice without Carlito) makes it grow.
        title = next(t for t in self.window(shown, "midiselection")["texts"] if t["name"] == "label")
        self.assertEqual(title["width"], TITLE_WIDTH, "the title is not as wide as designed; is Calibri or "
                         "Carlito (fonts-crosextra-carlito) installed?")
        dialog_shot = self.screenshot(dialog, "port-dialog-192dpi.png")
        self.assertEqual(png_size(dialog_shot), (2 * PORT_DIALOG_SIZE[0], 2 * PORT_DIALOG_SIZE[1]))

        # Clicks land where the scaled widgets are.
        uploader.click_ok(uploader.pick_port(0))
        uploader.open_file(file)
        uploader.answer_question(yes=True)
        self.wait_screen('the "End" box', lambda s: any(b["text"] == "End" for b in self.boxes(s)))
        uploader.close_box(uploader.wait_untitled_box())
        last = self.wait_screen("the main window alone after End", self.only_main_window,
                                after=lambda s: any(b["text"] == "End" for b in self.boxes(s)))
        window = self.window(last, "MainWindow")
        self.assert_texts_whole(window, {
            "labelMIDIportName": "Selected MIDI port: " + instrument.port,
            "labelPercent": "100%",
            "labelMsg": "Updating to version 2.30.4-beta.7+b1234",
            "labelVersion": "Updater version 1.0.2",
        })
        percent = next(t for t in window["texts"] if t["name"] == "labelPercent")
        self.assertEqual(percent["text"], "100%")
        self.assertEqual((percent["x"], percent["y"]), (470, 111))
        main_shot = self.screenshot(main, "main-window-192dpi.png")
        self.assertEqual(png_size(main_shot), (2 * MAIN_SIZE[0], 2 * MAIN_SIZE[1]))

        # Every window the program showed, boxes and file dialog too, was
        # scaled by exactly 2.
        ratios = {(w["class"], w["devicePixelRatio"]) for s in self.screens() for w in s["windows"]}
        self.assertEqual({ratio for _, ratio in ratios}, {2}, sorted(ratios))
        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        self.assert_log_is(instrument, du.tsu_messages(file))

    def test_at_144_dpi_windows_scale_by_one_and_a_half(self):
        # 150 %: scaled by the screen's own factor, not rounded to 2.
        self.use_display(144)
        self.start_instrument()
        uploader = self.start_uploader(scale=1.5)
        uploader.main_window()
        shown = self.wait_now("both windows", lambda s: self.window(s, "midiselection") and self.window(s, "MainWindow"))
        for window in shown["windows"]:
            self.assertEqual(window["devicePixelRatio"], 1.5, window["class"])
            self.assert_texts_whole(window)
        uploader.click_cancel(uploader.wait_window(du.PORT_DIALOG_TITLE))
        self.assertEqual(uploader.wait_exit(), 0)

    def test_port_gone_before_ok_is_reported_and_the_program_fails(self):
        first = self.start_instrument("--name", "Tessarine A")
        second = self.start_instrument("--name", "Tessarine B")
        ports = du.midi_output_ports(self.jack_name)
        self.assertEqual(sorted(ports), sorted([first.port, second.port]))
        # The list shows the ports in the server's order; row 0 is this one.
        picked = first if ports[0] == first.port else second
        other = second if picked is first else first

        uploader = self.start_uploader()
        uploader.main_window()
        dialog = uploader.pick_port(0)
        # Unplugged after it was picked: its port is gone before Ok is clicked,
        # and the other instrument's port now has its place in the list.
        picked.stop()
        du.wait_for("the picked port to go", lambda: picked.port not in du.midi_output_ports(self.jack_name), TIMEOUT)
        uploader.click_ok(dialog)

        text = self.refused_port_box(uploader)
        self.assertTrue(text.startswith("The MIDI ports could not be opened.\n"), text)
        self.assert_log_is(other, [])

    def test_an_instrument_announcing_its_version_has_each_message_answered_before_the_next(self):
        # Announcements every 2 ms from the second message on; each answer
        # comes 100 ms after its message.
        instrument = self.start_instrument("--version", "1.0.0", "--announce", "1.0.0", "--announce-interval", "2",
                                           "--announce-from", "2", "--delay", "100", "--timestamps")
        file = self.make_file("1.1.0", messages=5, length=64)
        uploader = self.start_update(file)
        self.install(uploader, "Current firmware version is 1.0.0\nNew version is 1.1.0\nReplace ?")
        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        self.assert_each_message_answered_before_the_next(instrument, du.tsu_messages(file))

    def test_a_nak_has_the_message_sent_again_and_a_cancel_stops_the_update(self):
        messages_sent_twice = self.start_instrument("--name", "Tessarine N", "--version", "1.0.0", "--nak", "3")
        file = self.make_file("1.1.0", messages=5, length=64)
        messages = du.tsu_messages(file)
        uploader = self.start_update(file, messages_sent_twice.port)
        self.install(uploader, "Current firmware version is 1.0.0\nNew version is 1.1.0\nReplace ?")
        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        self.assert_log_is(messages_sent_twice, messages[:3] + messages[2:])

        cancelling = self.start_instrument("--name", "Tessarine C", "--cancel", "3")
        uploader = self.start_update(file, cancelling.port)
        cancelled = ("The instrument cancelled the update at message 3 of 6, so the update has stopped. "
                     "Nothing more was sent to it.")
        box = uploader.wait_untitled_box()
        self.wait_screen("the box of the cancel", lambda s: [b for b in self.boxes(s) if b["text"] == cancelled])
        uploader.close_box(box)
        self.assertTrue(uploader.running())
        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        self.assertEqual(self.box_texts()[-1], cancelled)
        self.assert_log_is(cancelling, messages[:3])

    def test_an_instrument_with_no_port_to_send_to_is_never_paired_with_the_uploaders_own(self):
        # Its one port is where the uploader listens; the uploader's own
        # input, named after it, is no way to the instrument.
        instrument = self.start_instrument("--no-receive-port")
        uploader = self.start_uploader()
        uploader.main_window()
        uploader.click_ok(uploader.pick_port(0, instrument.port))
        self.assertEqual(self.refused_port_box(uploader),
                         "The MIDI ports could not be opened.\nNo MIDI output port reaches the instrument: the only "
                         "ones listed are the uploader's own.")
        self.assertEqual([line for line in du.log_lines(uploader.stderr_path) if 'output "RtMidi' in line], [])

    def test_a_message_one_byte_over_what_jack_carries_is_refused_and_one_of_its_length_arrives_whole(self):
        # Measured: RtMidi's JACK output drops, without a word, a message
        # longer than this (its ring buffer of 16,384 bytes holds the
        # message and its length); the file is refused before anything is sent.
        instrument = self.start_instrument("--version", "1.0.0")
        self.assert_longest_message_arrives_whole_and_one_byte_more_is_refused(instrument, 16379)

    def test_a_fifo_chosen_as_the_update_file_is_refused_and_exit_ends(self):
        instrument = self.start_instrument()
        fifo = os.path.join(self.workdir, "update.tsu")
        os.mkfifo(fifo)
        uploader = self.start_update(fifo)
        said = self.refuse(uploader, fifo)
        self.assertTrue(said.startswith("It is not a regular file but a folder, a device or a pipe.\n\n"), said)
        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        self.assert_log_is(instrument, [])

    def test_a_second_uploader_is_refused_the_instrument_being_updated_and_may_pick_another(self):
        busy = self.start_instrument("--name", "Tessarine A", "--version", "1.0.0")
        free = self.start_instrument("--name", "Tessarine B")
        file = self.make_file("1.6.0", messages=6, length=64)
        ports = du.midi_output_ports(self.jack_name)
        first = self.start_uploader()
        first.main_window()
        first.click_ok(first.pick_port(ports.index(busy.port)))
        first.open_file(file)
        self.wait_screen("the first uploader's question", self.boxes)

        second = self.start_uploader(name="second")
        dialog = second.pick_port(ports.index(busy.port))
        second.click_ok(dialog)
        refused = self.wait_screen("the second uploader's refusal", self.boxes, uploader=second)
        self.assertEqual(self.boxes(refused)[0]["text"],
                         "Another Tessarine Uploader is updating the instrument on this port:\n" + busy.port)
        second.close_box(second.wait_window(du.MESSAGE_TITLE))
        # Still in the port dialog: another port can be picked.
        second.click_ok(second.pick_port(ports.index(free.port)))
        second.cancel_file_dialog()
        self.assertEqual(second.wait_exit(), 0)

        self.install(first, "Current firmware version is 1.0.0\nNew version is 1.6.0\nReplace ?")
        first.click_exit()
        self.assertEqual(first.wait_exit(), 0)
        self.assert_log_is(busy, du.tsu_messages(file))
        self.assert_log_is(free, [])
        # The lock went with the program that held it.
        self.assertEqual(os.listdir(os.path.join(self.workdir, "runtime")), [])

    def test_a_screen_reader_follows_the_whole_update(self):
        atspi = self.screen_reader()
        other = self.start_instrument("--name", "Tessarine A", "--version", "1.0.0")
        chosen = self.start_instrument("--name", "Tessarine B", "--version", "1.0.0")
        file = self.make_file("1.5.0", messages=10, length=100)
        uploader = self.start_uploader()
        desktop = atspi.Registry.getDesktop(0)
        app = self.wait_accessible(desktop, "application", "tessarine-uploader", "the uploader on the AT-SPI bus")

        # The port dialog: a named list of the ports, in the program's order,
        # and Ok, which cannot be pressed before a port is chosen.
        dialog = self.wait_accessible(app, "dialog", "MIDI port selection")
        ports = self.wait_accessible(dialog, "list", "MIDI input ports")
        names = [ports.getChildAtIndex(i).name for i in range(ports.childCount)]
        self.assertEqual(names, [p for p in du.midi_output_ports(self.jack_name) if p.startswith("Tessarine")])
        ok = self.accessible(dialog, "push button", "Ok")
        self.assertIsNotNone(self.accessible(dialog, "push button", "Cancel"))
        self.assertFalse(ok.getState().contains(atspi.STATE_ENABLED))
        self.assertTrue(self.accessible(dialog, "push button", "Cancel").getState().contains(atspi.STATE_FOCUSED),
                        "the keyboard path starts on Cancel")

        # Chosen and confirmed through the accessible actions alone.
        self.act(ports.getChildAtIndex(names.index(chosen.port)), "Toggle")
        du.wait_for("Ok to be enabled", lambda: ok.getState().contains(atspi.STATE_ENABLED), TIMEOUT)
        self.act(ok, "Press")
        uploader.open_file(file)

        # The question and its answer, then the progress as a value and "End".
        question = self.wait_accessible(app, "label", lambda n: n.endswith("Replace ?"), "the question read out")
        self.assertEqual(question.name, "Current firmware version is 1.0.0\nNew version is 1.5.0\nReplace ?")
        alert = question.parent
        self.assertEqual(alert.getRoleName(), "alert")
        self.act(self.accessible(alert, "push button", "Yes"), "Press")
        end = self.wait_accessible(app, "label", "End", 'the "End" text read out')
        main = self.accessible(app, "frame", "Tessarine Uploader")
        progress = self.accessible(main, "progress bar", "Update progress")
        value = progress.queryValue()
        self.assertEqual((value.minimumValue, value.currentValue, value.maximumValue), (0, 100, 100))
        for line in ("Selected MIDI port: " + chosen.port, "Updater version 1.0.2", "Updating to version 1.5.0",
                     "100%"):
            self.assertIsNotNone(self.accessible(main, "label", line), line)
        self.act(self.accessible(end.parent, "push button", "OK"), "Press")

        # The keyboard is back on Exit, which ends the program.
        exit_button = self.accessible(main, "push button", "Exit")
        du.wait_for("Exit focused", lambda: exit_button.getState().contains(atspi.STATE_FOCUSED), TIMEOUT)
        self.act(exit_button, "Press")
        self.assertEqual(uploader.wait_exit(), 0)
        self.assert_log_is(chosen, du.tsu_messages(file))
        self.assert_log_is(other, [])


    def test_a_screen_reader_hears_that_the_update_waits_for_a_silent_instrument(self):
        atspi = self.screen_reader()
        self.use_display(192)
        instrument = self.start_instrument("--stop-after", "0")
        file = self.make_file("1.7.0", messages=4, length=64)
        # A screen reader hears of an object that starts showing. It says so
        # once the program is on the AT-SPI bus: before that, the program may
        # ask which events to send before the listener is there, and only
        # then begin to hear of new listeners (its bridge does the two in
        # that order). Its events are handled on a thread of their own, so
        # that it answers the registry at any time.
        from gi.repository import GLib
        uploader = self.start_uploader(scale=2)
        main = uploader.main_window()
        self.wait_accessible(atspi.Registry.getDesktop(0), "application", "tessarine-uploader",
                             "the uploader on the AT-SPI bus")
        shown = []
        atspi.Registry.registerEventListener(
            lambda event: shown.append((event.source.getRoleName(), event.source.name)) if event.detail1 else None,
            "object:state-changed:showing")
        events = GLib.MainLoop()
        listening = threading.Thread(target=events.run, daemon=True)
        listening.start()
        self.addCleanup(listening.join, 5)
        self.addCleanup(events.quit)
        uploader.click_ok(uploader.pick_port(0))
        uploader.open_file(file)

        said = du.wait_for("the note announced", lambda: [name for role, name in shown if role == "notification"],
                           TIMEOUT, lambda: uploader.check_running("while waiting"))
        self.assertEqual(said, ["Waiting for the instrument to answer message 1 of 5, sent to the MIDI output port "
                                f"\u201c{instrument.port.replace(' >:', ' <:')}\u201d. Check that this is the "
                                "instrument's port, that the instrument is in its update mode and that its cable "
                                "is plugged in. Exit stops the update."])
        waiting = self.wait_now("the note", lambda s: "labelWaitNote" in s["labels"])
        self.assert_texts_whole(self.window(waiting, "MainWindow"))
        self.screenshot(main, "main-window-waiting-192dpi.png")
        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        self.assert_log_is(instrument, du.tsu_messages(file)[:1])


def without_sound_devices():
    """For a child process: a mount namespace of its own in which /dev/snd
    is empty, as on a machine without a sound card (the sequencer included)."""
    libc = ctypes.CDLL(None, use_errno=True)
    clone_newns, ms_rec, ms_private = 0x20000, 0x4000, 1 << 18
    if (libc.unshare(clone_newns) != 0 or libc.mount(b"none", b"/", None, ms_rec | ms_private, None) != 0
            or libc.mount(b"tmpfs", b"/dev/snd", b"tmpfs", 0, None) != 0):
        os._exit(126)


class RawMidiRelay:
    """A MIDI interface's cable, looped: what the sequencer sends into one
    virtual raw MIDI port comes out of the other, as raw bytes. Going through
    the kernel's raw MIDI side, SysEx is cut into events of at most 256 bytes
    on its way into the sequencer, as from a real interface. Before each
    message from the first port, a foreign SysEx message of foreign_length
    bytes goes out of the second."""

    def __init__(self, first, second, foreign_length):
        self.first = os.open(first, os.O_RDWR | os.O_NONBLOCK)
        self.second = os.open(second, os.O_RDWR | os.O_NONBLOCK)
        self.foreign = bytes([0xF0, 0x7D]) + bytes(i % 128 for i in range(foreign_length - 3)) + b"\xf7"
        self.foreign_sent = 0
        self.inside = False
        self.stopping = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stopping:
            readable, _, _ = select.select([self.first, self.second], [], [], 0.1)
            for source in readable:
                data = os.read(source, 4096)
                if source == self.second:
                    self.write(self.first, data)
                    continue
                if not self.inside and data[:1] == b"\xf0":
                    self.write(self.second, self.foreign)
                    self.foreign_sent += 1
                ends, starts = data.rfind(b"\xf7"), data.rfind(b"\xf0")
                self.inside = starts > ends or (self.inside and ends < 0)
                self.write(self.second, data)

    @staticmethod
    def write(fd, data):
        while data:
            try:
                data = data[os.write(fd, data):]
            except BlockingIOError:
                select.select([], [fd], [], 1)

    def stop(self):
        self.stopping = True
        self.thread.join()
        os.close(self.first)
        os.close(self.second)


class OverAlsa(Fixture):
    """The program over a real ALSA sequencer, as on a Linux desk (the guest
    of tests/alsa-vm): "Midi Through" and two virtual raw MIDI ports are
    always listed beside the instruments, and ALSA names each port
    "CLIENT:PORT C:P"."""

    # As tsu-check names the MIDI service.
    service = "ALSA"
    MIDI_THROUGH = "Midi Through:Midi Through Port-0 14:0"
    VIRMIDI = ("Virtual Raw MIDI 0-0:VirMIDI 0-0 16:0", "Virtual Raw MIDI 0-1:VirMIDI 0-1 17:0")

    def midi_setup(self):
        if not os.path.exists("/dev/snd/seq"):
            self.fail("no ALSA sequencer here: these tests run in the guest of tests/alsa-vm")
        return "ALSA sequencer"

    @staticmethod
    def port_of(client_name):
        """"C:P" of the first port of the client called client_name."""
        client = next(c for c in du.alsa_clients() if c["name"] == client_name)
        return f'{client["number"]}:{client["ports"][0]["number"]}'

    @staticmethod
    def sends_to(client_name):
        """Where the ports of the client called client_name send to."""
        return [to for c in du.alsa_clients() if c["name"] == client_name for p in c["ports"] for to in p["to"]]

    def shown_rows(self):
        shown = self.wait_now("the port dialog", lambda s: self.window(s, "midiselection"))
        return self.window(shown, "midiselection")["rows"]

    def pick(self, port):
        """Clicks the row of port in the port list, where the probe saw it
        drawn; returns the port dialog once that row is the chosen one."""
        shown = self.window(self.wait_now("the port dialog", lambda s: self.window(s, "midiselection")),
                            "midiselection")
        row = shown["rows"].index(port)
        dialog = self.uploader.pick_port(row, port)
        self.wait_now(f"row {row} chosen", lambda s: (self.window(s, "midiselection") or {}).get("currentRow") == row)
        return dialog

    def midi_lines(self):
        return [line for line in du.log_lines(self.uploader.stderr_path) if line.startswith("MIDI: ")]

    def test_update_reaches_the_picked_instrument_among_alsa_ports(self):
        # B first, so that its numbers are lower and its ports come first.
        other = self.start_instrument("--name", "Tessarine B", "--version", "1.0.0")
        instrument = self.start_instrument("--name", "Tessarine A", "--version", "1.0.0")
        file = self.make_file("2.3.4", messages=12, length=200)
        ports = du.alsa_input_ports()
        for name in (self.MIDI_THROUGH, *self.VIRMIDI, other.port, instrument.port):
            self.assertIn(name, ports)

        uploader = self.start_uploader()
        uploader.main_window()
        # The sequencer's own order, client by client, port by port.
        self.assertEqual(self.shown_rows(), ports)
        dialog = self.pick(instrument.port)
        self.screenshot(dialog, "port-dialog-alsa.png")
        uploader.click_ok(dialog)
        uploader.open_file(file)
        # The output went to the instrument's own input port, not to
        # "Midi Through", a VirMIDI port or the other instrument's.
        du.wait_for("the uploader's output connection", lambda: self.sends_to("RtMidi Output Client"), TIMEOUT)
        self.assertEqual(self.sends_to("RtMidi Output Client"), [self.port_of("Tessarine A <")])
        last = self.install(uploader, "Current firmware version is 1.0.0\nNew version is 2.3.4\nReplace ?")
        self.assertEqual(last["labels"]["labelMIDIportName"], "Selected MIDI port: " + instrument.port)

        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        # ALSA was there, and taken: no backend failed. The pair opened is said.
        output = next(p for p in du.alsa_output_ports() if p.startswith("Tessarine A <:"))
        self.assertEqual(self.midi_lines(), [f'MIDI: ALSA: input "{instrument.port}", output "{output}"'])
        self.assert_log_is(instrument, du.tsu_messages(file))
        self.assert_log_is(other, [])

    def test_long_messages_through_a_raw_midi_port_arrive_whole(self):
        # The instrument behind a MIDI interface: its replies, 294 bytes
        # with the version text, come in cut by the kernel, each after a
        # foreign message of 300 bytes, cut too; the update's 300-byte
        # messages go out through the same cut.
        version = "1.0.0-" + "".join(chr(ord("a") + i % 26) for i in range(274))
        instrument = self.start_instrument("--version", version)
        file = self.make_file("1.1.0", messages=6, length=300)
        relay = RawMidiRelay("/dev/snd/midiC0D0", "/dev/snd/midiC0D1", foreign_length=300)
        self.addCleanup(relay.stop)
        for sender, receiver in ((du.alsa_address(instrument.port), "16:0"), ("16:0", self.port_of("Tessarine Sim <"))):
            subprocess.run(["aconnect", sender, receiver], check=True, timeout=30)

        uploader = self.start_uploader()
        uploader.main_window()
        interface = self.VIRMIDI[1]
        uploader.click_ok(self.pick(interface))
        uploader.open_file(file)
        self.install(uploader, f"Current firmware version is {version[:22]}\nNew version is 1.1.0\nReplace ?")
        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        self.assert_log_is(instrument, du.tsu_messages(file))
        self.assertEqual(relay.foreign_sent, len(du.tsu_messages(file)))

    def test_a_message_of_the_longest_length_alsa_carries_arrives_whole_and_one_byte_more_is_refused(self):
        # Measured: a raw MIDI port takes no more than this, a program's
        # sequencer port 5,572 bytes (bench/measure-limits.sh); the file is
        # refused before anything is sent.
        instrument = self.start_instrument("--version", "1.0.0")
        self.assert_longest_message_arrives_whole_and_one_byte_more_is_refused(instrument, ALSA_LONGEST)

    def test_instrument_gone_mid_update_leaves_a_window_that_exits(self):
        # Unplugged: its client vanishes from the sequencer while the
        # uploader waits for a reply.
        instrument = self.start_instrument("--delay", "100")
        file = self.make_file("1.2.0", messages=40, length=64)
        uploader = self.start_uploader()
        uploader.main_window()
        uploader.click_ok(self.pick(instrument.port))
        uploader.open_file(file)
        du.wait_for("the third message to reach the instrument", lambda: len(instrument.lines()) >= 3, TIMEOUT,
                    lambda: uploader.check_running("during the update"))
        os.kill(instrument.process.pid, signal.SIGKILL)
        du.wait_for("its client to go", lambda: instrument.port not in du.alsa_input_ports(), TIMEOUT)
        self.assertTrue(uploader.running())

        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        self.assertEqual(self.box_texts(), [])
        percent = self.screens()[-1]["labels"]["labelPercent"]
        self.assertLess(int(percent.rstrip("%")), 100)
        self.assertLess(len(instrument.lines()), 40)

    def test_announcements_answer_nothing_and_a_nak_has_the_message_sent_again(self):
        # Announcements every 5 ms from the second message on, each answer
        # 50 ms late, and the third message refused once.
        instrument = self.start_instrument("--version", "1.0.0", "--announce", "1.0.0", "--announce-interval", "5",
                                           "--announce-from", "2", "--delay", "50", "--nak", "3", "--timestamps")
        file = self.make_file("1.3.0", messages=5, length=64)
        uploader = self.start_uploader()
        uploader.main_window()
        uploader.click_ok(self.pick(instrument.port))
        uploader.open_file(file)
        self.install(uploader, "Current firmware version is 1.0.0\nNew version is 1.3.0\nReplace ?")
        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        messages = du.tsu_messages(file)
        self.assert_each_message_answered_before_the_next(instrument, messages[:3] + messages[2:])

    def test_without_the_sequencer_nothing_is_listed_and_cancel_ends(self):
        # An instrument is on the sequencer, but the program cannot reach it:
        # no /dev/snd for it, and no JACK server to fall back to.
        self.start_instrument()
        uploader = self.start_uploader(preexec=without_sound_devices)
        uploader.main_window()
        self.assertEqual(self.shown_rows(), [])
        # The empty list says why, in its place.
        shown = self.wait_now("the empty list's line", lambda s: "labelNoPort" in s["labels"])
        self.assertTrue(shown["labels"]["labelNoPort"].startswith("No MIDI input port was found."))
        # Ok with nothing to pick does nothing; the dialog still answers.
        dialog = uploader.wait_window(du.PORT_DIALOG_TITLE)
        uploader.click_ok(dialog)
        uploader.click_cancel(dialog)
        self.assertEqual(uploader.wait_exit(), 0)
        self.assertFalse(self.file_dialog_appeared())
        self.assertEqual(self.box_texts(), [])
        # ALSA failed, said once in one line, and the program fell back to
        # JACK: its input is a JACK client, with no server to list ports of.
        said = self.midi_lines()
        self.assertTrue(said and said[0].startswith("MIDI: ALSA: "), said)
        self.assertEqual(len([line for line in said if line.startswith("MIDI: ALSA: ")]), 1, said)
        self.assertTrue(any(line.startswith("MIDI: Jack: ") for line in said[1:]), said)
        self.assertNotIn("MIDI: no MIDI service could be opened; no MIDI port will be listed.", said)


class OverUsb(OverAlsa):
    """A USB MIDI instrument, as most users have one: a class-compliant
    device on the USB bus, which the kernel's own driver (snd-usb-audio)
    gives a sequencer port. The guest of tests/alsa-vm, run --usb-midi,
    holds one in software: dummy_hcd's bus, a MIDI gadget on it whose end
    ("f_midi") the simulated instrument takes (tessarine-sim --connect)."""

    PRODUCT = "Tessarine Test Instrument"
    # The gadget's own end of the cable, as ALSA lists it.
    GADGET = "f_midi:f_midi"
    USB_MIDI = os.path.join(os.path.dirname(os.path.abspath(__file__)), "alsa-vm", "usb-midi")

    def midi_setup(self):
        service = super().midi_setup()
        if not self.usb_ports():
            self.fail("no USB MIDI instrument here: these tests run in the guest of tests/alsa-vm --usb-midi")
        return service + ", USB MIDI instrument " + self.PRODUCT

    def usb_ports(self):
        """The ports of the USB device as the computer lists them: the class
        driver's client is named after the product, its port "PRODUCT MIDI 1"
        cut to 31 bytes ("Tessarine Test Instrument MIDI ")."""
        return [p for p in du.alsa_input_ports() if p.startswith(self.PRODUCT + ":")]

    def start_device(self, *args):
        """The simulated instrument at the gadget's end; its port, as the
        uploader is to pick it, is the USB device's."""
        instrument = self.start_instrument("--connect", self.GADGET, *args)
        self.assertTrue(instrument.port.startswith(self.GADGET + " "), instrument.port)
        [instrument.port] = self.usb_ports()
        return instrument

    def cable(self, action):
        subprocess.run([self.USB_MIDI, action], check=True, timeout=TIMEOUT * 2)
        self.steps.append(f"USB cable: {action}")

    def test_update_reaches_a_usb_instrument_through_its_class_driver(self):
        instrument = self.start_device("--version", "1.0.0")
        file = self.make_file("2.0.0", messages=24, length=256)
        uploader = self.start_uploader()
        uploader.main_window()
        # Listed as the kernel's class driver names it; the port cut at 31
        # bytes keeps the cut.
        self.assertIn(instrument.port, self.shown_rows())
        self.assertIn(self.PRODUCT + ":" + self.PRODUCT + " MIDI  ", instrument.port)
        dialog = self.pick(instrument.port)
        self.screenshot(dialog, "port-dialog-usb.png")
        uploader.click_ok(dialog)
        uploader.open_file(file)
        # The output paired with the input is the same USB device's port.
        du.wait_for("the uploader's output connection", lambda: self.sends_to("RtMidi Output Client"), TIMEOUT)
        self.assertEqual(self.sends_to("RtMidi Output Client"), [du.alsa_address(instrument.port)])
        self.install(uploader, "Current firmware version is 1.0.0\nNew version is 2.0.0\nReplace ?")
        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        self.assertEqual(self.midi_lines(), [f'MIDI: ALSA: input "{instrument.port}", output "{instrument.port}"'])
        self.assert_log_is(instrument, du.tsu_messages(file))

    def test_a_message_of_the_longest_length_a_usb_instrument_carries_arrives_whole_and_one_byte_more_is_refused(self):
        # Measured through snd-usb-audio to the gadget (bench/measure-limits.sh).
        instrument = self.start_device("--version", "1.0.0")
        self.assert_longest_message_arrives_whole_and_one_byte_more_is_refused(instrument, USB_LONGEST)

    def test_an_instrument_unplugged_mid_update_is_said_gone_and_found_again_by_a_new_start(self):
        instrument = self.start_device("--delay", "100")
        file = self.make_file("1.2.0", messages=40, length=64)
        uploader = self.start_update(file, instrument.port)
        du.wait_for("the third message to reach the instrument", lambda: len(instrument.lines()) >= 3, TIMEOUT,
                    lambda: uploader.check_running("during the update"))
        self.addCleanup(lambda: self.usb_ports() or self.cable("plug"))
        self.cable("unplug")
        self.assertEqual(self.usb_ports(), [])
        # The note, when due, says the instrument's port has gone, not what
        # to check of a cable.
        waiting = self.wait_now("the note that the port has gone", lambda s: "labelWaitNote" in s["labels"])
        note = waiting["labels"]["labelWaitNote"]
        self.assertIn(f"\u201c{instrument.port}\u201d has gone", note)
        self.assertTrue(note.endswith("Exit ends the program."), note)
        self.assertTrue(uploader.running())
        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        self.assertEqual(self.box_texts(), [])
        self.assertLess(int(waiting["labels"]["labelPercent"].rstrip("%")), 100)
        self.assertLess(len(instrument.lines()), 40)
        instrument.stop()

        # Plugged in again: a new start of the uploader lists it under the
        # same name, and an update reaches it.
        self.cable("plug")
        again = self.start_device("--version", "1.2.0")
        self.assertEqual(again.port.rsplit(" ", 1)[0], instrument.port.rsplit(" ", 1)[0])
        small = self.make_file("1.3.0", messages=4, length=64)
        uploader = self.start_update(small, again.port)
        self.install(uploader, "Current firmware version is 1.2.0\nNew version is 1.3.0\nReplace ?")
        uploader.click_exit()
        self.assertEqual(uploader.wait_exit(), 0)
        self.assert_log_is(again, du.tsu_messages(small))


def in_alsa_vm(tests):
    """Runs the tests named in the guest of tests/alsa-vm, within
    TSU_TIME_LIMIT seconds; the screenshots come back. Where the guest
    cannot run, says why in one line and skips (exit code 77), except in CI,
    where that fails. After --usb-midi, with OverUsb's instrument plugged in."""
    guest = []
    if tests[:1] == ["--usb-midi"]:
        guest, tests = ["--usb-midi", OverUsb.PRODUCT], tests[1:]
    runner = os.path.join(os.path.dirname(os.path.abspath(__file__)), "alsa-vm", "alsa-vm")
    why = subprocess.run([runner, "check"], capture_output=True, text=True).stdout.strip()
    if why:
        if os.environ.get("CI"):
            print(f"the ALSA sequencer's guest cannot run here: {why}", flush=True)
            return 1
        print(f"skipped: the ALSA sequencer's guest cannot run here: {why}", flush=True)
        return 77
    folder = environment("TSU_SCREENSHOT_DIR")
    os.makedirs(folder, exist_ok=True)
    # The pyenv shim that may come first in PATH takes seconds to start there.
    os.execv(runner, [runner, "run", "--timeout", os.environ.get("TSU_TIME_LIMIT", "300"), "--share", folder,
                      *guest, "--", "/usr/bin/python3", os.path.abspath(__file__), *tests])


if __name__ == "__main__":
    if sys.argv[1:2] == ["--alsa-vm"]:
        sys.exit(in_alsa_vm(sys.argv[2:]))
    # ctest ends a test that runs too long with SIGTERM: clean up then too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    unittest.main(verbosity=2)
