"""The running uploader and its windows, used with real input events
(xdotool), clicking where the probe loaded into it says the widgets are."""

import json
import os
import subprocess

from .processes import DriveError, dies_with_parent, end_process, jack_lock_fds, tail, wait_for

# Window titles as the uploader sets them.
MAIN_TITLE = "Tessarine Uploader"
PORT_DIALOG_TITLE = "Dialog"
FILE_DIALOG_TITLE = "Select file"
MESSAGE_TITLE = "Updater message"
KNOWN_TITLES = {MAIN_TITLE, PORT_DIALOG_TITLE, FILE_DIALOG_TITLE, MESSAGE_TITLE}


def probe_reports(path):
    """What the probe loaded into the uploader reported, one state a line:
    complete lines only (the last may still be being written)."""
    try:
        with open(path) as log:
            text = log.read()
    except FileNotFoundError:
        return []
    return [json.loads(line) for line in text.split("\n")[:-1]]


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
