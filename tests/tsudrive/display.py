"""A virtual X display of its own for each test (Xvfb)."""

import os
import select
import subprocess
import time

from .processes import DriveError, dies_with_parent, end_process


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
