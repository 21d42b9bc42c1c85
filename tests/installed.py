#!/usr/bin/env python3
"""The installed uploader: what `cmake --install` lays out in a temporary
DESTDIR, and the installed program run from there on a virtual X display of
its own (Xvfb), with XDG_DATA_DIRS pointing into the installed tree alone, so
that the icon it shows can only come from the installed icon theme.

ctest runs each test on its own: installed.py Installed.test_NAME, with
TSU_BUILD_DIR, TSU_CMAKE, TSU_PROBE_DIR and TSU_VERSION in the environment.
"""

import configparser
import gzip
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

# The driver is imported from the source tree; leave no bytecode there.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import drive_uploader as du  # noqa: E402

TIMEOUT = 30
APP_ID = "com.tessarine.Uploader"
PROGRAM = "tessarine-uploader"
ICON_SIZES = (16, 32, 48, 256)
EXPECTED_FILES = {
    f"usr/bin/{PROGRAM}",
    f"usr/share/applications/{APP_ID}.desktop",
    f"usr/share/metainfo/{APP_ID}.metainfo.xml",
    *(f"usr/share/icons/hicolor/{size}x{size}/apps/{APP_ID}.png" for size in ICON_SIZES),
    f"usr/share/man/man1/{PROGRAM}.1.gz",
    f"usr/share/doc/{PROGRAM}/copyright",
    f"usr/share/doc/{PROGRAM}/changelog.gz",
}
SYSTEM_LIBRARIES_THAT_LEAK = ["libdbus-1.so"]


def environment(name):
    value = os.environ.get(name)
    if not value:
        raise unittest.SkipTest(f"{name} is not set; run these tests through ctest")
    return value


def desktop_entry(path):
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str  # keys are case-sensitive
    parser.read(path, encoding="utf-8")
    return parser["Desktop Entry"]


def png_size(path):
    with open(path, "rb") as file:
        head = file.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        raise AssertionError(f"{path} is no PNG")
    return struct.unpack(">II", head[16:24])


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
        suppressions = os.path.join(self.workdir, "lsan.supp")
        with open(suppressions, "w") as file:
            file.write("".join(f"leak:{library}\n" for library in SYSTEM_LIBRARIES_THAT_LEAK))
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
                   LSAN_OPTIONS=":".join(filter(None, [os.environ.get("LSAN_OPTIONS"),
                                                        f"suppressions={suppressions}", "print_suppressions=0"])))
        # The program draws nothing with OpenGL: without Qt's GLX integration,
        # Mesa's driver (unloaded before the leak check, so its leaks cannot
        # be told apart by name) stays out of a sanitized run.
        env["QT_XCB_GL_INTEGRATION"] = "none"
        # No desktop's own icon theme: the hicolor theme is the one looked in.
        env.pop("XDG_CURRENT_DESKTOP", None)
        env.pop("DESKTOP_SESSION", None)
        uploader = du.Uploader(self.installed(f"usr/bin/{PROGRAM}"), display.name, self.workdir, env=env,
                               args=["-plugin", "tsuprobe"], timeout=TIMEOUT)
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


if __name__ == "__main__":
    # ctest ends a test that runs too long with SIGTERM: clean up then too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    unittest.main(verbosity=2)
