"""Processes of a test or the demonstration: waiting for something to
happen, ending a process, children that die with their parent, and the
program logs they leave."""

import ctypes
import os
import signal
import subprocess
import time

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
