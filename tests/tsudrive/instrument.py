"""MIDI ports and the simulated instrument: update files and what the
instrument logs of them, the ports a JACK server or the ALSA sequencer
lists, and tessarine-sim as a child process."""

import os
import re
import select
import subprocess
import time

from .processes import DriveError, dies_with_parent, end_process, jack_lock_fds, log_lines, tail


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


def compare_log(tsu_path, log_path):
    """(messages in the file, lines in the log, first position where they differ or None)."""
    expected = [hex_line(m) for m in tsu_messages(tsu_path)]
    got = log_lines(log_path)
    for i, (a, b) in enumerate(zip(expected, got)):
        if a != b:
            return len(expected), len(got), i
    return len(expected), len(got), None if len(expected) == len(got) else min(len(expected), len(got))


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
