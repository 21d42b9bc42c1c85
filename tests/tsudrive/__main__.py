"""The driver's command line: python3 -m tsudrive (with tests/ on the
module path), used by dev/demo.sh.

  demo     run one whole update headless and check what the instrument got
  compare  compare an instrument log with the messages of an update file
"""

import argparse
import os
import shutil
import signal
import sys
import tempfile

from . import DriveError, Uploader, VirtualDisplay, compare_log, log_lines, tsu_messages, wait_for


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
