#!/usr/bin/env python3
"""Runs the real tessarine-uploader on a virtual X display and uses it as a
person would: real mouse clicks and key presses (xdotool, through the XTEST
extension), windows found by their titles, widgets hit at their fixed places
inside those windows.

Used by tools/demo.sh (the "demo" command below) and by the whole-program
tests in tests/whole_program.py, which import it. Python 3 standard library
only; the programs it runs come from Debian packages: Xvfb (xvfb), xdotool,
import (imagemagick), jackd and jack_lsp (jackd2); over ALSA, aconnect (alsa-utils).

Commands:
  demo     run one whole update headless and check what the instrument got
  compare  compare an instrument log with the messages of an update file
"""

import argparse
import ctypes
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from xml.etree import ElementTree

# Window titles as the uploader sets them.
MAIN_TITLE = "Tessarine Uploader"
PORT_DIALOG_TITLE = "Dialog"
FILE_DIALOG_TITLE = "Select file"
MESSAGE_TITLE = "Updater message"
KNOWN_TITLES = {MAIN_TITLE, PORT_DIALOG_TITLE, FILE_DIALOG_TITLE, MESSAGE_TITLE}

POLL = 0.05


class DriveError(Exception):
    """Something on screen or in a helper process was not as expected."""


def wait_for(what, check, timeout, alive=None):
    """Polls check() until it returns something true, and returns that.
    alive() may raise to end the wait early (a process that has gone)."""
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if alive:
            alive()
        if time.monotonic() > deadline:
            raise DriveError(f"gave up after {timeout:g} s waiting for {what}")
        time.sleep(POLL)


def end_process(process, patience=5.0):
    """SIGTERM, then SIGKILL if it is still there after patience seconds."""
    if process is None or process.poll() is not None:
        return process.returncode if process else None
    process.terminate()
    try:
        return process.wait(patience)
    except subprocess.TimeoutExpired:
        process.kill()
        return process.wait()


def dies_with_parent():
    """A preexec_fn for subprocess: the child is killed (SIGKILL) by the
    kernel when this process ends, however it ends, so that no display,
    instrument or uploader outlives the test or demonstration that started it."""
    parent = os.getpid()
    libc = ctypes.CDLL(None, use_errno=True)
    pr_set_pdeathsig = 1

    def arrange():
        if libc.prctl(pr_set_pdeathsig, signal.SIGKILL) != 0 or os.getppid() != parent:
            os._exit(127)
    return arrange


def jack_lock_fds():
    """The lock on the private JACK server's name (tsu-private-jack passes
    it on as TSU_JACK_LOCK_FD), for every MIDI client to hold: the name is
    free again only once all of them have ended."""
    fd = os.environ.get("TSU_JACK_LOCK_FD")
    return (int(fd),) if fd else ()


# --- update files and instrument logs --------------------------------------

def tsu_messages(path):
    """The SysEx messages of an update file, each up to and including its 0xF7."""
    with open(path, "rb") as file:
        data = file.read()
    messages, start = [], 0
    while start < len(data):
        end = data.find(b"\xf7", start)
        if end < 0:
            raise DriveError(f"{path} ends inside a message")
        messages.append(data[start:end + 1])
        start = end + 1
    return messages


def hex_line(message):
    """A message the way tessarine-sim logs it: lowercase hex pairs, one space apart."""
    return " ".join(f"{b:02x}" for b in message)


def tail(path, count):
    """The last count lines of a program's stderr, less the blank lines and
    the ALSA library's complaints (normal on a machine without a sequencer)."""
    lines = [line for line in log_lines(path)
             if line.strip() and "ALSA" not in line and not line.startswith("Midi")]
    return "\n".join(lines[-count:])


def log_lines(path):
    try:
        with open(path) as log:
            return log.read().splitlines()
    except FileNotFoundError:
        return []


def compare_log(tsu_path, log_path):
    """(messages in the file, lines in the log, first position where they differ or None)."""
    expected = [hex_line(m) for m in tsu_messages(tsu_path)]
    got = log_lines(log_path)
    for i, (a, b) in enumerate(zip(expected, got)):
        if a != b:
            return len(expected), len(got), i
    return len(expected), len(got), None if len(expected) == len(got) else min(len(expected), len(got))


# --- helper processes --------------------------------------------------------

class VirtualDisplay:
    """An Xvfb server on the first free display number (-displayfd picks it).

    dpi sets the screen's resolution, which Xvfb reports as the screen's size
    in whole millimetres; with no Xft.dpi resource set, Qt takes its scale
    factor from that (dpi / 96). Unless a size is given, the screen is
    10 * dpi pixels wide, 254 mm exactly, so that the resolution Qt computes
    back is dpi itself and not a neighbour of it. (Xvfb's own default is
    100 dpi, by which the uploader would grow by 4 %.)"""

    def __init__(self, size=None, dpi=96):
        self.size = size or f"{10 * dpi}x{8 * dpi}x24"
        self.dpi = dpi
        self.process = None
        self.name = None

    def start(self, timeout=30):
        read_end, write_end = os.pipe()
        try:
            # -noreset: the server would otherwise reset whenever its last
            # client leaves, between two xdotool calls.
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", self.size, "-dpi", str(self.dpi),
                 "-nolisten", "tcp", "-noreset"],
                pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True, preexec_fn=dies_with_parent())
            os.close(write_end)
            write_end = None
            number = b""
            deadline = time.monotonic() + timeout
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([read_end], [], [], left)[0]:
                    raise DriveError(f"Xvfb did not report its display within {timeout} s")
                chunk = os.read(read_end, 16)
                if not chunk:
                    raise DriveError(f"Xvfb ended at start (exit code {self.process.wait()})")
                number += chunk
        except BaseException:
            self.stop()
            raise
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)
        self.name = ":" + number.decode().strip()
        return self.name

    def stop(self):
        end_process(self.process)
        self.process = None


def midi_output_ports(server):
    """MIDI ports that can be read from on a JACK server, in the server's
    order: the order in which the uploader's port list shows them."""
    env = dict(os.environ, JACK_NO_START_SERVER="1")
    out = subprocess.run(["jack_lsp", "-s", server, "-p", "-t"], env=env, capture_output=True,
                         text=True, timeout=30).stdout
    ports, current = [], None
    for line in out.splitlines():
        if not line.startswith(("\t", " ")):
            current = {"name": line, "props": ""}
            ports.append(current)
        elif current is not None:
            current["props"] += line.strip() + "\n"
    return [p["name"] for p in ports if "midi" in p["props"] and "output" in p["props"]]


def alsa_clients(path="/proc/asound/seq/clients"):
    """The ALSA sequencer's clients as its kernel lists them, by client
    number: [{"number", "name", "ports"}], each port {"number", "name",
    "caps" (as "RWe-"), "to": ["C:P" it sends to]}. Read from /proc, so that
    no helper program has to start."""
    clients = []
    with open(path) as listing:
        for line in listing:
            client = re.match(r'Client +(\d+) : "(.*)" \[', line)
            port = re.match(r'  Port +(\d+) : "(.*)" \((....)\)', line)
            if client:
                clients.append({"number": int(client[1]), "name": client[2], "ports": []})
            elif port and clients:
                clients[-1]["ports"].append({"number": int(port[1]), "name": port[2], "caps": port[3], "to": []})
            elif line.strip().startswith("Connecting To:") and clients and clients[-1]["ports"]:
                clients[-1]["ports"][-1]["to"] += re.findall(r"\d+:\d+", line)
    return clients


def alsa_port_name(client, port):
    """A port's name as RtMidi's ALSA backend lists it: "CLIENT:PORT C:P"."""
    return f'{client["name"]}:{port["name"]} {client["number"]}:{port["number"]}'


def alsa_input_ports():
    """The ports an ALSA client can read from (subscribable), but the
    system's own: in the order in which the uploader's port list shows them."""
    return [alsa_port_name(c, p) for c in alsa_clients() if c["number"] != 0
            for p in c["ports"] if p["caps"][0] == "R"]


def alsa_output_ports():
    """The ports an ALSA client can write to (subscribable), but the
    system's own, as RtMidi names them."""
    return [alsa_port_name(c, p) for c in alsa_clients() if c["number"] != 0
            for p in c["ports"] if p["caps"][1] == "W"]


def alsa_address(port_name):
    """"C:P" of a port named as RtMidi lists it."""
    return port_name.rsplit(" ", 1)[1]


class Instrument:
    """One tessarine-sim process, logging every message it receives."""

    def __init__(self, sim, log_path, args=(), env=None, stderr_path=None):
        self.log_path = log_path
        self.stderr_path = stderr_path or log_path + ".err"
        self.command = [sim, *args, "--log", log_path]
        self.env = env
        self.process = None
        self.port = None

    def start(self, timeout=30):
        """Starts it and returns the port name it announces ("ready <name>")."""
        with open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen(self.command, env=self.env, stdout=subprocess.PIPE,
                                            stderr=err, start_new_session=True, pass_fds=jack_lock_fds(),
                                            preexec_fn=dies_with_parent())
        line = b""
        deadline = time.monotonic() + timeout
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                self.stop()
                raise DriveError(f"tessarine-sim said nothing within {timeout} s")
            chunk = os.read(self.process.stdout.fileno(), 256)
            if not chunk:
                self.stop()
                raise DriveError("tessarine-sim ended at start: " + self.stderr_tail())
            line += chunk
        text = line.decode().strip()
        if not text.startswith("ready "):
            self.stop()
            raise DriveError(f"tessarine-sim said {text!r}")
        self.port = text[len("ready "):]
        return self.port

    def stop(self):
        """Ends it (SIGTERM); its log is complete afterwards."""
        end_process(self.process)
        if self.process and self.process.stdout:
            self.process.stdout.close()
        self.process = None

    def lines(self):
        return log_lines(self.log_path)

    def stderr_tail(self, count=10):
        return tail(self.stderr_path, count)


# --- the uploader on screen ----------------------------------------------------

def probe_reports(path):
    """What the probe loaded into the uploader reported, one state a line:
    complete lines only (the last may still be being written)."""
    try:
        with open(path) as log:
            text = log.read()
    except FileNotFoundError:
        return []
    return [json.loads(line) for line in text.split("\n")[:-1]]


def form_rect(form, name):
    """(x, y, width, height) of a designer form's (.ui) widget in its
    window's pixels, or of the window itself when name is its own: for a
    program that cannot load the probe (the Windows build under Wine)."""
    def rect_of(widget):
        rect = widget.find("property[@name='geometry']/rect")
        return None if rect is None else tuple(int(rect.find(k).text) for k in ("x", "y", "width", "height"))

    def walk(node, x, y):
        for widget in node.findall("widget"):
            rect = rect_of(widget)
            at = (x + rect[0], y + rect[1]) if rect else (x, y)
            if widget.get("name") == name and rect:
                return (*at, rect[2], rect[3])
            found = walk(widget, *at)
            if found:
                return found
        return None
    top = ElementTree.parse(form).getroot().find("widget")
    if top.get("name") == name:
        return (0, 0, *rect_of(top)[2:])
    return walk(top, 0, 0)


def form_place(form, name):
    """The middle of a designer form's widget, in its window's pixels."""
    x, y, width, height = form_rect(form, name)
    return (x + width / 2, y + height / 2)


class Uploader:
    """The running uploader and its windows, used with real input events.

    preexec, if given, runs in the child before the uploader starts (after
    it is bound to die with this process), e.g. to change what it can see.

    Without a window manager nothing gives a new window the keyboard: Qt
    usually takes it itself, but a key typed just as a window appears could
    still go elsewhere, so every key press is preceded by an explicit focus
    on the window meant (xdotool windowfocus --sync)."""

    def __init__(self, executable, display, workdir, env=None, args=(), timeout=30, say=None, scale=1,
                 preexec=None, probe_log=None, name="uploader"):
        self.timeout = timeout
        # Where the probe loaded into the uploader reports its windows: the
        # clicks go where it says the widgets are.
        self.probe_log = probe_log
        # Device pixels per pixel of the windows' designed geometry: the
        # display's dpi / 96, by which the uploader scales its windows.
        self.scale = scale
        self.say = say or (lambda text: None)
        # name tells apart the error streams of two uploaders in one folder,
        # which share its runtime folder, as two of one user do.
        self.stderr_path = os.path.join(workdir, name + ".err")
        runtime = os.path.join(workdir, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        self.env = dict(os.environ if env is None else env)
        # The xcb platform on our display, and Qt's settings (the file
        # dialog remembers its folder) kept in the work folder.
        self.env.update(DISPLAY=display, QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=runtime,
                        XDG_CONFIG_HOME=os.path.join(workdir, "config"), JACK_NO_START_SERVER="1")
        self.xenv = dict(os.environ, DISPLAY=display)
        arrange = dies_with_parent()

        def prepare():
            arrange()
            if preexec:
                preexec()
        with open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen([executable, *args], cwd=workdir, env=self.env,
                                            stdout=subprocess.DEVNULL, stderr=err, start_new_session=True,
                                            pass_fds=jack_lock_fds(), preexec_fn=prepare)

    # processes
    def running(self):
        return self.process.poll() is None

    def check_running(self, what=""):
        if self.process.poll() is not None:
            raise DriveError(f"the uploader ended (exit code {self.process.returncode}) {what}".strip())

    def wait_exit(self, timeout=None):
        try:
            return self.process.wait(timeout or self.timeout)
        except subprocess.TimeoutExpired:
            raise DriveError(f"the uploader was still running {timeout or self.timeout:g} s later") from None

    def stop(self):
        end_process(self.process)

    def stderr_tail(self, count=15):
        return tail(self.stderr_path, count)

    # X
    def xdotool(self, *args, check=True):
        result = subprocess.run(["xdotool", *map(str, args)], env=self.xenv, capture_output=True,
                                text=True, timeout=30)
        if check and result.returncode != 0:
            raise DriveError(f"xdotool {' '.join(map(str, args))} failed: {result.stderr.strip()}")
        return result.stdout

    def windows(self):
        """The uploader's visible top-level windows: [(id, title)]."""
        found = []
        for word in self.xdotool("search", "--onlyvisible", "--pid", self.process.pid, check=False).split():
            # A window can go between the search and this question; skip it then.
            result = subprocess.run(["xdotool", "getwindowname", word], env=self.xenv,
                                    capture_output=True, text=True, timeout=30)
            if result.returncode == 0:
                found.append((int(word), result.stdout.rstrip("\n")))
        return found

    def titled(self, title):
        return [w for w, name in self.windows() if name == title]

    def wait_window(self, title, what=None):
        what = what or f'the window "{title}"'
        found = wait_for(what, lambda: self.titled(title), self.timeout,
                         lambda: self.check_running("while waiting for " + what))
        return found[0]

    def wait_gone(self, window, what):
        wait_for(what, lambda: window not in [w for w, _ in self.windows()], self.timeout,
                 lambda: self.check_running("while waiting for " + what))

    def wait_untitled_box(self):
        """A message box with no title of its own ("End", "Illegal file."): a
        visible window of the uploader that is none of the titled ones."""
        what = "a message box without a title"
        found = wait_for(what, lambda: [w for w, name in self.windows() if name not in KNOWN_TITLES],
                         self.timeout, lambda: self.check_running("while waiting for " + what))
        return found[0]

    def click(self, window, point):
        x, y = (round(c * self.scale) for c in point)
        self.xdotool("mousemove", "--window", window, x, y, "click", "1")

    def press(self, window, *keys):
        self.xdotool("windowfocus", "--sync", window)
        self.xdotool("key", *keys)

    def key(self, *keys):
        """Presses keys as a user at the keyboard does: they go to whichever
        window has the keyboard, with no window focused for them."""
        self.xdotool("key", *keys)

    def type_text(self, text):
        self.xdotool("type", "--delay", "5", text)

    def type_into(self, window, text):
        self.xdotool("windowfocus", "--sync", window)
        self.xdotool("type", "--delay", "5", text)

    def screenshot(self, window, path):
        result = subprocess.run(["import", "-window", str(window), path], env=self.xenv, capture_output=True,
                                text=True, timeout=60)
        if result.returncode != 0:
            raise DriveError(f"the screenshot failed: {result.stderr.strip()}")

    # the user's steps
    def main_window(self):
        return self.wait_window(MAIN_TITLE, "the main window")

    def shown(self, window_class, what):
        """The probe's latest report of the window of that class, once it
        has one."""
        def latest():
            reports = probe_reports(self.probe_log) if self.probe_log else []
            return next((w for w in reports[-1]["windows"] if w["class"] == window_class), None) if reports else None
        if not self.probe_log:
            raise DriveError(f"no probe in the uploader to say where {what} is")
        return wait_for(f"the probe to report {what}", latest, self.timeout,
                        lambda: self.check_running(f"while waiting for {what}"))

    def place(self, window_class, widget):
        """The middle of a widget, where the probe last saw it."""
        def found():
            texts = self.shown(window_class, f"{window_class}.{widget}")["texts"]
            return next(((t["x"] + t["width"] / 2, t["y"] + t["height"] / 2) for t in texts if t["name"] == widget),
                        None)
        return wait_for(f"{window_class}.{widget} to be shown", found, self.timeout,
                        lambda: self.check_running(f"while waiting for {widget}"))

    def pick_port(self, row=0, port=None):
        """Clicks a row of the port list, where the probe saw it drawn;
        returns the port dialog."""
        dialog = self.wait_window(PORT_DIALOG_TITLE, "the port dialog")
        wait_for(f"row {row} of the port list", lambda: len(self.shown("midiselection", "the port list")["rows"]) > row,
                 self.timeout)
        shown = self.shown("midiselection", "the port list")
        name = f' ("{port}")' if port else ""
        self.say(f"port dialog shown (window {dialog}); clicking row {row} of the port list{name}")
        self.click(dialog, (shown["rowX"], shown["rowMiddles"][row]))
        return dialog

    def click_ok(self, dialog):
        self.say("clicking Ok in the port dialog")
        self.click(dialog, self.place("midiselection", "pushButtonOk"))

    def click_cancel(self, dialog):
        self.say("clicking Cancel in the port dialog")
        self.click(dialog, self.place("midiselection", "pushButtonCancel"))

    def open_file(self, path):
        """Types the path into the file dialog's name field and presses Return."""
        dialog = self.wait_window(FILE_DIALOG_TITLE, "the file dialog")
        self.say(f"file dialog shown (window {dialog}); typing {path} and Return")
        self.type_into(dialog, path)
        self.press(dialog, "Return")
        return dialog

    def cancel_file_dialog(self):
        dialog = self.wait_window(FILE_DIALOG_TITLE, "the file dialog")
        self.say(f"file dialog shown (window {dialog}); pressing Escape")
        self.press(dialog, "Escape")
        return dialog

    def answer_question(self, yes):
        """Answers "Replace ?": Alt+Y for Yes, Return (the default, No) for No."""
        box = self.wait_window(MESSAGE_TITLE, 'the question "Replace ?"')
        self.say(f"question shown (window {box}); answering " + ("Yes (Alt+Y)" if yes else "No (Return)"))
        self.press(box, "alt+y" if yes else "Return")
        self.wait_gone(box, "the question to close")
        return box

    def close_box(self, box):
        self.press(box, "Return")
        self.wait_gone(box, "the message box to close")

    def click_exit(self):
        window = self.main_window()
        self.say("clicking Exit")
        self.click(window, self.place("MainWindow", "pushButton"))


# --- the demonstration ---------------------------------------------------------

def run_demo(args):
    """The whole update on a display of its own, each step printed; 0 on success."""
    step = [0]

    def say(text):
        step[0] += 1
        print(f"{step[0]}. {text}", flush=True)

    workdir = tempfile.mkdtemp(prefix="tsu-demo-")
    display = VirtualDisplay()
    uploader = None
    try:
        name = display.start(args.timeout)
        print(f"virtual display {name} started (Xvfb)", flush=True)
        # The probe says where the widgets are drawn.
        probe_log = os.path.join(workdir, "probe.log")
        uploader = Uploader(args.uploader, name, workdir, timeout=args.timeout, say=say,
                            env=dict(os.environ, QT_PLUGIN_PATH=args.probe_dir, TSU_PROBE_LOG=probe_log),
                            args=["-plugin", "tsuprobe"], probe_log=probe_log)
        uploader.main_window()
        dialog = uploader.pick_port(0, args.port)
        uploader.click_ok(dialog)
        uploader.open_file(args.file)
        uploader.answer_question(yes=True)
        expected = len(tsu_messages(args.file))
        say(f"update running; waiting for the instrument to get all {expected} messages")
        wait_for("the instrument to receive the whole file", lambda: len(log_lines(args.instrument_log)) >= expected,
                 args.timeout, lambda: uploader.check_running("during the update"))
        box = uploader.wait_untitled_box()
        say(f'"End" box shown (window {box}); pressing Return')
        uploader.close_box(box)
        main = uploader.main_window()
        uploader.screenshot(main, args.screenshot)
        say(f"main window at 100% saved to {args.screenshot}")
        uploader.click_exit()
        code = uploader.wait_exit()
        say(f"the uploader ended with exit code {code}")
        count, got, differs = compare_log(args.file, args.instrument_log)
        print(f"the instrument received {got} messages; the file has {count}", flush=True)
        if code != 0:
            raise DriveError(f"the uploader's exit code was {code}, not 0")
        if differs is not None:
            raise DriveError(f"the instrument's log differs from the file at message {differs + 1}")
        print("the instrument's log equals the file's messages, in order", flush=True)
        return 0
    except DriveError as error:
        print(f"demo failed: {error}", file=sys.stderr)
        messages = uploader.stderr_tail() if uploader else ""
        if messages:
            print("the uploader's last messages:\n" + messages, file=sys.stderr)
        return 1
    finally:
        if uploader:
            uploader.stop()
        display.stop()
        shutil.rmtree(workdir, ignore_errors=True)


def main():
    # SIGTERM ends the run through the same clean-up as an error.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="run one whole update on a display of its own")
    demo.add_argument("--uploader", required=True, help="the tessarine-uploader executable")
    demo.add_argument("--file", required=True, help="the update file to install")
    demo.add_argument("--instrument-log", required=True, help="the log of the running tessarine-sim")
    demo.add_argument("--port", help="the instrument's port name, for the messages")
    demo.add_argument("--screenshot", required=True, help="where to save the main window at 100%%")
    demo.add_argument("--timeout", type=float, default=60, help="seconds to wait for each step")
    demo.add_argument("--probe-dir", required=True, help="the folder holding generic/ with the tsuprobe plugin")
    compare = commands.add_parser("compare", help="compare an instrument log with an update file")
    compare.add_argument("--file", required=True)
    compare.add_argument("--instrument-log", required=True)
    args = parser.parse_args()
    if args.command == "demo":
        return run_demo(args)
    count, got, differs = compare_log(args.file, args.instrument_log)
    print(f"the instrument received {got} messages; the file has {count}")
    if differs is None:
        print("the instrument's log equals the file's messages, in order")
        return 0
    print(f"they differ from message {differs + 1} on")
    return 1


if __name__ == "__main__":
    sys.exit(main())
