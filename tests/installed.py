#!/usr/bin/env python3
"""The installed uploader: what `cmake --install` lays out in a temporary
DESTDIR, and the installed program run from there on a virtual X display of
its own (Xvfb), with XDG_DATA_DIRS pointing into the installed tree alone, so
that the icon it shows can only come from the installed icon theme.

The program for Windows likewise, from the zip its users get: the DLLs it
needs and its resources, and the program itself run under Wine on a virtual
display.

ctest runs each test on its own: installed.py Installed.test_NAME, with
TSU_BUILD_DIR, TSU_CMAKE, TSU_PROBE_DIR and TSU_VERSION in the environment;
installed.py WindowsProgram.test_NAME with TSU_WIN64_ZIP, TSU_VERSION,
TSU_OBJDUMP, TSU_WINE64, TSU_WINESERVER, TSU_WINE_PREFIX and
TSU_SCREENSHOT_DIR.
"""

import configparser
import gzip
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import unittest
import time
import xml.etree.ElementTree as ET
import zipfile

# The driver is imported from the source tree; leave no bytecode there.
sys.dont_write_bytecode = True
import tsudrive as du  # noqa: E402
from tsudrive import environment, png_size  # noqa: E402

TIMEOUT = 30
APP_ID = "com.tessarine.Uploader"
PROGRAM = "tessarine-uploader"
ICON_SIZES = (16, 32, 48, 256)
EXPECTED_FILES = {
    f"usr/bin/{PROGRAM}",
    "usr/bin/tsu-check",
    "usr/share/man/man1/tsu-check.1.gz",
    f"usr/share/applications/{APP_ID}.desktop",
    f"usr/share/metainfo/{APP_ID}.metainfo.xml",
    *(f"usr/share/icons/hicolor/{size}x{size}/apps/{APP_ID}.png" for size in ICON_SIZES),
    f"usr/share/man/man1/{PROGRAM}.1.gz",
    f"usr/share/doc/{PROGRAM}/copyright",
    f"usr/share/doc/{PROGRAM}/changelog.gz",
}
SOURCE_ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
# DLLs that every Windows has: the program for Windows may import these alone.
WINDOWS_DLLS = {name.lower() for name in (
    "ADVAPI32.dll", "COMCTL32.dll", "COMDLG32.dll", "dwmapi.dll", "GDI32.dll", "IMM32.dll", "KERNEL32.dll",
    "msvcrt.dll", "NETAPI32.dll", "ole32.dll", "OLEAUT32.dll", "SHELL32.dll", "SHLWAPI.dll", "USER32.dll",
    "USERENV.dll", "UxTheme.dll", "VERSION.dll", "WINMM.dll", "WINSPOOL.DRV", "WS2_32.dll", "WTSAPI32.dll")}



def desktop_entry(path):
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str  # keys are case-sensitive
    parser.read(path, encoding="utf-8")
    return parser["Desktop Entry"]



class Installed(unittest.TestCase):
    def setUp(self):
        self.paths = {key: environment(key) for key in ("TSU_BUILD_DIR", "TSU_CMAKE", "TSU_PROBE_DIR", "TSU_VERSION")}
        self.workdir = tempfile.mkdtemp(prefix="tsu-installed-")
        self.addCleanup(shutil.rmtree, self.workdir, True)
        # Installed with the prefix the Debian package has.
        self.root = os.path.join(self.workdir, "root")
        result = subprocess.run([self.paths["TSU_CMAKE"], "--install", self.paths["TSU_BUILD_DIR"], "--prefix", "/usr"],
                                env=dict(os.environ, DESTDIR=self.root), capture_output=True, text=True,
                                timeout=120)
        if result.returncode != 0:
            self.fail(f"cmake --install failed:\n{result.stdout}{result.stderr}")

    def installed(self, path):
        return os.path.join(self.root, path)

    def test_install_lays_out_exactly_the_program_its_menu_entry_icons_and_metainfo(self):
        found = set()
        for folder, _, files in os.walk(self.root):
            found |= {os.path.relpath(os.path.join(folder, name), self.root) for name in files}
        self.assertEqual(sorted(found), sorted(EXPECTED_FILES))
        program = self.installed(f"usr/bin/{PROGRAM}")
        self.assertTrue(os.access(program, os.X_OK), "the program is not executable")

        # One id throughout: the menu entry's file name and icon, the icons'
        # file names, the metainfo's id and the entry it launches.
        entry = desktop_entry(self.installed(f"usr/share/applications/{APP_ID}.desktop"))
        self.assertEqual(entry["Icon"], APP_ID)
        self.assertEqual(entry["Exec"].split()[0], PROGRAM)
        for size in ICON_SIZES:
            self.assertEqual(png_size(self.installed(f"usr/share/icons/hicolor/{size}x{size}/apps/{APP_ID}.png")),
                             (size, size))
        component = ET.parse(self.installed(f"usr/share/metainfo/{APP_ID}.metainfo.xml")).getroot()
        self.assertEqual(component.findtext("id"), APP_ID)
        self.assertEqual(component.findtext("launchable[@type='desktop-id']"), f"{APP_ID}.desktop")
        self.assertEqual(component.findtext("provides/binary"), PROGRAM)

        # The release in hand is named where users and package tools read it.
        version = self.paths["TSU_VERSION"]
        self.assertEqual(component.find("releases/release").get("version"), version,
                         "the metainfo's latest release is not this version")
        with gzip.open(self.installed(f"usr/share/doc/{PROGRAM}/changelog.gz"), "rt") as changelog:
            self.assertTrue(changelog.readline().startswith(f"{PROGRAM} ({version}) "),
                            "the changelog's latest entry is not this version")
        with gzip.open(self.installed(f"usr/share/man/man1/{PROGRAM}.1.gz"), "rt") as page:
            self.assertIn(f'"Tessarine Uploader {version}"', page.readline())

    def test_installed_program_shows_its_port_dialog_with_the_icon_of_the_installed_theme(self):
        display = du.VirtualDisplay()
        self.addCleanup(display.stop)
        display.start(TIMEOUT)
        probe_log = os.path.join(self.workdir, "probe.log")
        # The hicolor theme's index is the desktop's (hicolor-icon-theme), not
        # the uploader's: a small one stands in for it, in a folder of its own.
        desktop_share = os.path.join(self.workdir, "desktop")
        os.makedirs(os.path.join(desktop_share, "icons", "hicolor"))
        folders = [f"{size}x{size}/apps" for size in ICON_SIZES]
        with open(os.path.join(desktop_share, "icons", "hicolor", "index.theme"), "w") as index:
            index.write("[Icon Theme]\nName=Hicolor\nDirectories=" + ",".join(folders) + "\n")
            index.write("".join(f"\n[{folder}]\nSize={size}\nContext=Applications\nType=Threshold\n"
                                for folder, size in zip(folders, ICON_SIZES)))
        env = dict(os.environ,
                   XDG_DATA_DIRS=self.installed("usr/share") + os.pathsep + desktop_share, XDG_DATA_HOME=os.path.join(self.workdir, "data"),
                   QT_PLUGIN_PATH=self.paths["TSU_PROBE_DIR"], TSU_PROBE_LOG=probe_log,
                   LSAN_OPTIONS=du.leak_suppressions(self.workdir))
        # The program draws nothing with OpenGL: without Qt's GLX integration,
        # Mesa's driver (unloaded before the leak check, so its leaks cannot
        # be told apart by name) stays out of a sanitized run.
        env["QT_XCB_GL_INTEGRATION"] = "none"
        # No desktop's own icon theme: the hicolor theme is the one looked in.
        env.pop("XDG_CURRENT_DESKTOP", None)
        env.pop("DESKTOP_SESSION", None)
        uploader = du.Uploader(self.installed(f"usr/bin/{PROGRAM}"), display.name, self.workdir, env=env,
                               args=["-plugin", "tsuprobe"], probe_log=probe_log, timeout=TIMEOUT)
        self.addCleanup(uploader.stop)

        dialog = uploader.wait_window(du.PORT_DIALOG_TITLE, "the port dialog")

        def dialog_reported():
            """The probe's first complete report of a visible port dialog."""
            try:
                with open(probe_log) as log:
                    lines = log.read().split("\n")[:-1]
            except FileNotFoundError:
                return None
            return next((screen for screen in map(json.loads, lines)
                         if any(w["class"] == "midiselection" for w in screen["windows"])), None)
        screen = du.wait_for("the probe to report the port dialog", dialog_reported, TIMEOUT,
                             lambda: uploader.check_running("before the port dialog was reported"))
        self.assertEqual(screen["windowIcon"], APP_ID,
                         "the window icon does not come from the installed icon theme\n" + uploader.stderr_tail())

        # X11 desktops match a window with its menu entry by the window's class.
        main = uploader.main_window()
        wm_class = subprocess.run(["xprop", "-id", str(main), "WM_CLASS"], env=uploader.xenv, capture_output=True,
                                  text=True, timeout=30).stdout
        entry = desktop_entry(self.installed(f"usr/share/applications/{APP_ID}.desktop"))
        self.assertIn(f'"{entry["StartupWMClass"]}"', wm_class)

        uploader.click_cancel(dialog)
        self.assertEqual(uploader.wait_exit(), 0, uploader.stderr_tail())


def ico_images(data):
    """The images of an icon file (or of an icon group as wrestool extracts
    it): [((width, height, bit count), bytes)], in their order."""
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    if kind != 1:
        raise AssertionError("no icon")
    images = []
    for i in range(count):
        width, height, _, _, _, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        images.append(((width or 256, height or 256, bits), data[offset:offset + size]))
    return images


def rgb_pixels(path):
    """(width, height, bytes of RGB triples) of an image, through ImageMagick."""
    width, height = png_size(path)
    raw = subprocess.run(["convert", path, "-depth", "8", "rgb:-"], capture_output=True, check=True,
                         timeout=30).stdout
    return width, height, raw


def pixels_in(image, box):
    """The RGB triples of the image inside box (x, y, width, height)."""
    width, _, raw = image
    x0, y0, w, h = box
    return [tuple(raw[3 * (y * width + x):3 * (y * width + x) + 3]) for y in range(y0, y0 + h)
            for x in range(x0, x0 + w)]


def inside(box, margin):
    x, y, w, h = box
    return x + margin, y + margin, w - 2 * margin, h - 2 * margin


class WindowsProgram(unittest.TestCase):
    """The program for Windows from the zip that packaging/windows/make-win64-zip.sh made,
    unpacked as a user would."""

    # The windows' designed places, read from their forms.
    MAIN_FORM = os.path.join(SOURCE_ROOT, "ui", "mainwindow.ui")
    DIALOG_FORM = os.path.join(SOURCE_ROOT, "ui", "midiselection.ui")
    MAIN_SIZE = du.form_rect(MAIN_FORM, "MainWindow")[2:]
    DIALOG_SIZE = du.form_rect(DIALOG_FORM, "midiselection")[2:]
    TITLE = du.form_rect(DIALOG_FORM, "label")
    LIST = du.form_rect(DIALOG_FORM, "listWidget")
    OK = du.form_rect(DIALOG_FORM, "pushButtonOk")
    CANCEL = du.form_rect(DIALOG_FORM, "pushButtonCancel")
    VERSION = du.form_rect(MAIN_FORM, "labelVersion")
    LOGO = du.form_rect(MAIN_FORM, "label")

    def setUp(self):
        self.paths = {key: environment(key) for key in ("TSU_WIN64_ZIP", "TSU_VERSION")}
        self.workdir = tempfile.mkdtemp(prefix="tsu-windows-")
        self.addCleanup(shutil.rmtree, self.workdir, True)
        with zipfile.ZipFile(self.paths["TSU_WIN64_ZIP"]) as archive:
            self.names = archive.namelist()
            archive.extractall(self.workdir)
        self.folder = os.path.join(self.workdir, f"tessarine-uploader-{self.paths['TSU_VERSION']}-win64")
        self.program = os.path.join(self.folder, "tessarine-uploader.exe")

    def tool(self, *command):
        result = subprocess.run(command, capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 0, f"{command}: {result.stderr.decode(errors='replace')}")
        return result.stdout

    def test_zip_holds_one_stripped_program_of_windows_dlls_alone_with_its_icon_and_version(self):
        top = f"tessarine-uploader-{self.paths['TSU_VERSION']}-win64/"
        files = sorted(name[len(top):] for name in self.names if not name.endswith("/"))
        self.assertTrue(all(name.startswith(top) for name in self.names), self.names)
        self.assertEqual(files, sorted([
            "tessarine-uploader.exe", "tsu-check.exe", "README.txt", "LICENSES.txt",
            "third-party/LGPL-3.txt", "third-party/GPL-3.txt", "third-party/Qt-copyright.txt",
            "third-party/RtMidi-copyright.txt", "third-party/mingw-w64-copyright.txt",
            "third-party/GCC-runtime-copyright.txt", "qt-build/build-qt-win64.sh", "qt-build/BUILDINFO.txt"]))

        # One file: the mingw runtimes, Qt and RtMidi are linked in, and
        # Windows has every DLL it names. A GUI program, which opens no
        # console window, without symbols or debugging information.
        headers = self.tool(environment("TSU_OBJDUMP"), "-p", "-h", self.program).decode()
        imported = {line.split(":", 1)[1].strip() for line in headers.splitlines() if "DLL Name:" in line}
        self.assertIn("winmm.dll", {name.lower() for name in imported}, "MIDI goes through Windows Multimedia")
        self.assertEqual(sorted(name for name in imported if name.lower() not in WINDOWS_DLLS), [],
                         "the program needs DLLs that Windows does not have")
        self.assertRegex(headers, r"Subsystem\s+00000002\s+\(Windows GUI\)")
        self.assertIn("symbols stripped", headers)
        self.assertNotIn(".debug_", headers)
        # The file checker beside it, a console program, is one file too.
        checker = self.tool(environment("TSU_OBJDUMP"), "-p", "-h", os.path.join(self.folder, "tsu-check.exe")).decode()
        imported = {line.split(":", 1)[1].strip() for line in checker.splitlines() if "DLL Name:" in line}
        self.assertEqual(sorted(name for name in imported if name.lower() not in WINDOWS_DLLS), [],
                         "tsu-check needs DLLs that Windows does not have")
        self.assertRegex(checker, r"Subsystem\s+00000003\s+\(Windows CUI\)")
        self.assertIn("symbols stripped", checker)

        # The icon group IDI_ICON1 holds the images of the project's icon file.
        group = self.tool("wrestool", "-x", "--type=group_icon", "--name=IDI_ICON1", self.program)
        with open(os.path.join(SOURCE_ROOT, "resources", "tessarine-uploader.ico"), "rb") as file:
            designed = ico_images(file.read())
        self.assertEqual([image for image, _ in ico_images(group)],
                         [(16, 16, 8), (32, 32, 8), (48, 48, 32), (256, 256, 32)])
        self.assertTrue(ico_images(group) == designed, "IDI_ICON1's images are not those of the icon file")

        # The version resource: file and product version, as numbers and as texts.
        version = self.tool("wrestool", "-x", "--raw", "--type=version", self.program)
        fixed = version.find(struct.pack("<I", 0xFEEF04BD))
        self.assertGreater(fixed, 0, "no VS_FIXEDFILEINFO")
        file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", version, fixed + 8)
        expected = tuple(int(part) for part in self.paths["TSU_VERSION"].split(".")) + (0,)
        self.assertEqual((file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF), expected)
        self.assertEqual((product_ms >> 16, product_ms & 0xFFFF, product_ls >> 16, product_ls & 0xFFFF), expected)
        # Each text is its key, zeros up to a 4-byte boundary, then its value.
        texts = version.decode("utf-16-le", errors="replace")
        for key in ("FileVersion", "ProductVersion"):
            value = re.search(key + "\0+([^\0]*)\0", texts)
            self.assertEqual(value and value.group(1), ".".join(map(str, expected)), key)

        # The texts a Windows user reads: Windows' line ends, every blank
        # filled in, and Qt's source named as exactly the one the program was
        # linked against.
        with open(os.path.join(self.folder, "qt-build", "BUILDINFO.txt"), "rb") as file:
            buildinfo = file.read().decode().splitlines()
        built_from = next(line for line in buildinfo if line.startswith("Debian sources:"))
        qt_source = built_from.split()[2:4]
        qt_version = re.match(r"Static Qt ([0-9.]+) ", buildinfo[0]).group(1)
        for name in ("README.txt", "LICENSES.txt"):
            with open(os.path.join(self.folder, name), "rb") as file:
                text = file.read()
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), name + " has lines without CR")
            self.assertNotIn(b"@", text.replace(b"support@tessarine.com", b""), name + " has a blank left")
        licences = text.decode().replace("\r\n  ", " ")
        self.assertIn(f"{qt_source[0]}, version {qt_source[1].rstrip(',')}", licences)
        self.assertIn(f"\r\nQt {qt_version} (", licences)

    def test_under_wine_without_midi_devices_it_lists_no_port_and_cancel_ends_it(self):
        wine = {key: environment(key) for key in ("TSU_WINE64", "TSU_WINESERVER", "TSU_WINE_PREFIX")}
        prefix = wine["TSU_WINE_PREFIX"]
        display = du.VirtualDisplay()
        self.addCleanup(display.stop)
        display.start(TIMEOUT)
        # Wine's DLLs for .NET and HTML would offer to download themselves,
        # and winemenubuilder would write menu entries into the user's home.
        env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all", DISPLAY=display.name,
                   WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d")
        # What Wine and its libraries keep of their own (the server's socket
        # folder, the sound library's settings) stays in the work folder.
        for name, folder in (("HOME", "home"), ("TMPDIR", "tmp"), ("XDG_CONFIG_HOME", "config"),
                             ("XDG_DATA_HOME", "data"), ("XDG_CACHE_HOME", "cache"), ("XDG_RUNTIME_DIR", "runtime")):
            env[name] = os.path.join(self.workdir, folder)
            os.makedirs(env[name], mode=0o700)

        def end_wine():
            """Ends every process of the prefix: through its server, and then
            by PID whatever still names the prefix, so none outlives the test."""
            subprocess.run([wine["TSU_WINESERVER"], "-k"], env=env, capture_output=True, timeout=30)
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open(f"/proc/{pid}/environ", "rb") as file:
                        named = f"WINEPREFIX={prefix}".encode() in file.read().split(b"\0")
                    if named and int(pid) != os.getpid():
                        os.kill(int(pid), signal.SIGKILL)
                except (OSError, ProcessLookupError):
                    pass
            shutil.rmtree(prefix, ignore_errors=True)

        # A fresh prefix for each run (it takes the place of the last run's).
        shutil.rmtree(prefix, ignore_errors=True)
        self.addCleanup(end_wine)
        started = time.monotonic()
        boot = subprocess.run([wine["TSU_WINE64"], "wineboot", "-i"], env=env, capture_output=True, text=True,
                              timeout=90, preexec_fn=du.dies_with_parent())
        self.assertEqual(boot.returncode, 0, boot.stderr)
        # Wine has no Calibri, the port dialog title's font, and takes the
        # first family it lists instead: without Carlito (Calibri's metrics,
        # fonts-crosextra-carlito) a mathematical font whose line is far
        # taller than the title's label, which then shows nothing. The
        # replacement names Carlito rather than leave it to the order of the
        # installed fonts. No crash dialog: a crash ends the program at once.
        settings = os.path.join(self.workdir, "settings.reg")
        with open(settings, "w") as file:
            file.write("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\n\"Calibri\"=\"Carlito\"\n"
                       "\n[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\n\"ShowCrashDialog\"=dword:00000000\n")
        subprocess.run([wine["TSU_WINE64"], "regedit", settings], env=env, check=True, capture_output=True,
                       timeout=60, preexec_fn=du.dies_with_parent())
        prepared = time.monotonic()

        stderr_path = os.path.join(self.workdir, "uploader.err")
        with open(stderr_path, "wb") as err:
            program = subprocess.Popen([wine["TSU_WINE64"], self.program], cwd=self.folder, env=env,
                                       stdout=subprocess.DEVNULL, stderr=err, start_new_session=True,
                                       preexec_fn=du.dies_with_parent())
        self.addCleanup(du.end_process, program)
        xenv = dict(os.environ, DISPLAY=display.name)

        def window(title):
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{title}$"], env=xenv,
                                   capture_output=True, text=True, timeout=30).stdout.split()
            if program.poll() is not None:
                raise du.DriveError(f"the program ended (exit code {program.returncode}): "
                                    + "\n".join(du.log_lines(stderr_path)[-10:]))
            return int(found[0]) if found else None

        main = du.wait_for("the main window", lambda: window(du.MAIN_TITLE), TIMEOUT)
        dialog = du.wait_for("the port dialog", lambda: window(du.PORT_DIALOG_TITLE), TIMEOUT)
        shown = time.monotonic()
        screenshots = os.environ.get("TSU_SCREENSHOT_DIR") or self.workdir
        os.makedirs(screenshots, exist_ok=True)

        def look(window_id, name):
            path = os.path.join(screenshots, name)
            subprocess.run(["import", "-window", str(window_id), path], env=xenv, check=True, capture_output=True,
                           timeout=60)
            return rgb_pixels(path)

        def bright(pixels, level=180):
            return sum(1 for pixel in pixels if min(pixel) >= level)

        def dialog_as_designed():
            """What is wrong with the port dialog as shown now; empty if nothing."""
            image = look(dialog, "wine-port-dialog.png")
            if image[:2] != self.DIALOG_SIZE:
                return [f"the dialog is {image[:2]}, not {self.DIALOG_SIZE}"]
            wrong = []
            # The title, light grey on blue: its letters' pixels are bright.
            if bright(pixels_in(image, self.TITLE)) < 40:
                wrong.append("the title does not show")
            # An empty list: no row at its top, white there, and in its
            # middle the grey line that says why.
            x, y, w, _ = inside(self.LIST, 3)
            if any(min(pixel) < 235 for pixel in pixels_in(image, (x, y, w, 18))):
                wrong.append("the port list is not empty")
            if sum(1 for pixel in pixels_in(image, inside(self.LIST, 3)) if max(pixel) < 150) < 40:
                wrong.append("the empty list does not say why")
            # Ok disabled: its text grey (about 120 in each channel), where
            # Cancel's is black (its thin strokes, smoothed, about 70).
            if min(map(sum, pixels_in(image, inside(self.CANCEL, 5)))) >= 290:
                wrong.append("Cancel has no dark text")
            if min(map(sum, pixels_in(image, inside(self.OK, 5)))) < 290:
                wrong.append("Ok's text is dark: it is enabled")
            return wrong

        # Wine maps a window before its contents are drawn.
        wrong = []
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            wrong = dialog_as_designed()
            if not wrong:
                break
            time.sleep(0.3)
        self.assertEqual(wrong, [], "the port dialog as shown under Wine (wine-port-dialog.png)")

        image = look(main, "wine-main-window.png")
        self.assertEqual(image[:2], self.MAIN_SIZE)
        self.assertGreaterEqual(bright(pixels_in(image, self.VERSION), 200), 40, "no version text in the main window")
        self.assertGreaterEqual(sum(1 for pixel in pixels_in(image, self.LOGO) if max(pixel) > 60), 2000,
                                "no logo in the main window")

        def place(widget):
            """Where the port dialog's form puts widget: the probe cannot be
            loaded into the Windows program."""
            return [str(round(c)) for c in du.form_place(self.DIALOG_FORM, widget)]

        # A click into the empty list chooses nothing: Ok stays disabled.
        subprocess.run(["xdotool", "mousemove", "--window", str(dialog), *place("listWidget"), "click", "1"],
                       env=xenv, check=True, timeout=30)
        time.sleep(0.5)
        self.assertEqual(dialog_as_designed(), [], "after a click into the empty list")

        subprocess.run(["xdotool", "mousemove", "--window", str(dialog), *place("pushButtonCancel"), "click", "1"],
                       env=xenv, check=True, timeout=30)
        try:
            code = program.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            self.fail("the program still ran after Cancel")
        said = du.log_lines(stderr_path)
        self.assertEqual(code, 0, "\n".join(said[-10:]))
        # Wine's sound driver reports through the ALSA library that the
        # machine has no sound card; everything else is the program's: one
        # line, that Windows has no MIDI input device.
        own = [line for line in said if line.strip() and not line.startswith("ALSA lib ")]
        self.assertEqual(len(own), 1, own)
        self.assertRegex(own[0], r"^MIDI: Windows MultiMedia: .*no MIDI input devices")
        print(f"Wine prefix made in {prepared - started:.1f} s; the port dialog shown "
              f"{shown - prepared:.1f} s after start", file=sys.stderr)


if __name__ == "__main__":
    # ctest ends a test that runs too long with SIGTERM: clean up then too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    unittest.main(verbosity=2)
