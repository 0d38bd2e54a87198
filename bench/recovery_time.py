#!/usr/bin/python3
"""How the server comes back after its sound server was killed and started again.

Starts a private sound server (a PulseAudio daemon; with QUAVELINK_TEST_SOUND_SERVER=pipewire,
as for the tests, pipewire, wireplumber and pipewire-pulse) and one server program
(quavelink-serverd, or the window program on Qt's offscreen platform), connects listening
clients through python3-enet, then kills the sound server and starts it again, `rounds` times.
For each round it prints the time from the sound server answering again to the first audio
block reaching each client, and how many clients stayed connected throughout. The baseline,
measured in the same round: a recorder (parec) started on the sink's monitor the moment the
sound server answers, and the time to its first bytes; it is what any program needs to get
audio from a sound server that just started. Run inside a private network namespace
(bench/run-recovery.sh does).
"""
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import enet

MSG_DATA_REQUEST = 1
FLAG_RELIABLE = 1
CONNECT_FLAG_SHARED = 1 << 31


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def spawn_ending_with_us(command, env, log):
    """Starts `command`; it is killed when this script ends, however it ends."""
    return subprocess.Popen(["setpriv", "--pdeathsig", "KILL"] + command, env=env,
                            stdout=subprocess.DEVNULL, stderr=log)


def wait_for(condition, idle, limit=10.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if condition():
            return True
        idle()
    return False


class SoundServer:
    """A private PulseAudio daemon with the null sink `bench`."""

    name = "PulseAudio"

    def __init__(self, folder):
        self.folder = folder
        self.process = None
        os.environ["PULSE_SERVER"] = "unix:" + os.path.join(folder, "native")
        # The capture asks PipeWire itself about the sinks: a folder where none runs.
        os.environ["PIPEWIRE_RUNTIME_DIR"] = os.path.join(folder, "run")

    def start(self):
        env = dict(os.environ, PULSE_RUNTIME_PATH=self.folder + "/run",
                   PULSE_STATE_PATH=self.folder + "/state", HOME=self.folder)
        self.process = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--disallow-exit", "--log-level=error",
             "--load=module-native-protocol-unix socket=%s/native auth-anonymous=1" % self.folder,
             "--load=module-null-sink sink_name=bench rate=48000"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def answers(self):
        return subprocess.run(["pactl", "info"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0

    def wait_ready(self, idle=lambda: time.sleep(0.005)):
        """When the sound server answers with the sink `bench` in place."""
        if not wait_for(self.answers, idle):
            raise RuntimeError("the sound server did not come up")
        self.answered = time.monotonic()
        return self.answered

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()

    def close(self):
        self.kill()


# WirePlumber's own start-up list without the monitors of sound cards, Bluetooth and cameras,
# as in tests/support/pulse_daemon.cpp: the private server has only the bench's sink.
WIREPLUMBER_MAIN = """load_module("metadata")
default_access.enable()
device_defaults.enable()
stream_defaults.enable()
load_script("intended-roles.lua")
load_script("suspend-node.lua")
"""


class PipeWireServer(SoundServer):
    """pipewire, wireplumber and pipewire-pulse on a private D-Bus session bus, as the tests'
    private sound server runs them (tests/support/pulse_daemon.cpp); a kill ends all three,
    as a restart of the user's PipeWire services does, and the bus stays."""

    name = "PipeWire"

    def __init__(self, folder):
        self.folder = folder
        self.run_dir = os.path.join(folder, "run")
        self.socket = os.path.join(self.run_dir, "pulse", "native")
        self.processes = []
        os.mkdir(self.run_dir, 0o700)
        for part, text in (("main.lua.d", WIREPLUMBER_MAIN), ("bluetooth.lua.d", "\n")):
            os.makedirs(os.path.join(folder, "config", "wireplumber", part))
            with open(os.path.join(folder, "config", "wireplumber", part, "90-enable-all.lua"),
                      "w") as f:
                f.write(text)
        os.environ["PULSE_SERVER"] = "unix:" + self.socket
        os.environ["PIPEWIRE_RUNTIME_DIR"] = self.run_dir
        self.env = {"XDG_RUNTIME_DIR": self.run_dir, "XDG_CONFIG_HOME": folder + "/config",
                    "XDG_STATE_HOME": folder + "/state", "HOME": folder,
                    "DBUS_SESSION_BUS_ADDRESS": "unix:path=%s/bus" % self.run_dir,
                    "PATH": "/usr/bin:/bin", "LANG": "C"}
        self.log = open(os.path.join(folder, "sound-server.log"), "a")
        self.bus = spawn_ending_with_us(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile",
             "--address=unix:path=%s/bus" % self.run_dir], self.env, self.log)
        if not wait_for(lambda: os.path.exists(self.run_dir + "/bus"),
                        lambda: time.sleep(0.01)):
            raise RuntimeError("the private session bus did not come up")

    def start(self):
        # A killed server leaves its sockets behind; the new one binds the same paths.
        for leftover in (self.socket, self.run_dir + "/pipewire-0",
                         self.run_dir + "/pipewire-0.lock", self.run_dir + "/pulse/pid"):
            if os.path.exists(leftover):
                os.remove(leftover)
        self.processes = [spawn_ending_with_us(["pipewire"], self.env, self.log)]

    def wait_ready(self, idle=lambda: time.sleep(0.005)):
        """When pipewire-pulse answers, the sink `bench` is loaded and WirePlumber has made it
        the default: what the PulseAudio daemon has the moment it answers."""
        if not wait_for(lambda: os.path.exists(self.run_dir + "/pipewire-0"), idle):
            raise RuntimeError("pipewire did not come up")
        self.processes += [spawn_ending_with_us([name], self.env, self.log)
                           for name in ("wireplumber", "pipewire-pulse")]
        if not wait_for(lambda: os.path.exists(self.socket) and self.answers(), idle):
            raise RuntimeError("pipewire-pulse did not come up")
        # Programs may reach it from here on, before the sink is there.
        self.answered = time.monotonic()
        subprocess.run(["pactl", "load-module", "module-null-sink", "sink_name=bench",
                        "rate=48000"], check=True, stdout=subprocess.DEVNULL)
        if not wait_for(lambda: self.default_sink() == "bench", idle):
            raise RuntimeError("WirePlumber picked no default sink")
        return time.monotonic()

    def default_sink(self):
        done = subprocess.run(["pactl", "get-default-sink"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
        return done.stdout.strip() if done.returncode == 0 else None

    def kill(self):
        for process in reversed(self.processes):
            process.send_signal(signal.SIGKILL)
        for process in self.processes:
            process.wait()
        self.processes = []

    def close(self):
        self.kill()
        self.bus.send_signal(signal.SIGTERM)
        self.bus.wait()
        self.log.close()


def sound_server(folder):
    """The sound server QUAVELINK_TEST_SOUND_SERVER names, as for the tests."""
    if os.environ.get("QUAVELINK_TEST_SOUND_SERVER") == "pipewire":
        return PipeWireServer(folder)
    return SoundServer(folder)


class Client:
    def __init__(self, port, name, rate_code, reliable):
        self.host = enet.Host(enet.Address(b"127.0.0.1", 0), 1, 2, 0, 0)
        self.peer = self.host.connect(enet.Address(b"127.0.0.1", port), 2,
                                      1 | CONNECT_FLAG_SHARED)
        self.name = name
        self.rate_code = rate_code
        self.reliable = reliable
        self.connected = False
        self.disconnects = 0
        self.last_block = None
        self.last_sound = None
        self.highest = -1
        self.received = 0
        self.asked = False

    def service(self):
        event = self.host.service(0)
        while event.type != enet.EVENT_TYPE_NONE:
            if event.type == enet.EVENT_TYPE_CONNECT:
                self.connected = True
            elif event.type == enet.EVENT_TYPE_DISCONNECT:
                self.connected = False
                self.disconnects += 1
            elif event.type == enet.EVENT_TYPE_RECEIVE:
                data = event.packet.data
                message, number = struct.unpack_from("<II", data) if len(data) >= 16 else (1, 0)
                # A block counts when it is new: a reliable client may still get old ones that
                # were sent again after a loss.
                if message == 0 and number > self.highest:
                    self.highest = number
                    self.received += 1
                    self.last_block = time.monotonic()
                    # Plain PCM tells sound from silence; Opus packets do not.
                    if self.rate_code == 0 and any(data[16:]):
                        self.last_sound = self.last_block
            event = self.host.service(0)
        if self.connected and not self.asked:
            flags = (FLAG_RELIABLE if self.reliable else 0) | (self.rate_code << 6)
            message = struct.pack("<IIII", MSG_DATA_REQUEST, 0, flags, 0)
            self.peer.send(0, enet.Packet(message + self.name.encode() + b"\0",
                                          enet.PACKET_FLAG_RELIABLE))
            self.asked = True


def first_recorded_bytes(result):
    """Starts parec on the sink's monitor; puts the time of its first bytes into `result`."""
    recorder = subprocess.Popen(["parec", "-d", "bench.monitor", "--raw"], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)

    def read():
        if recorder.stdout.read(1):
            result.append(time.monotonic())
        recorder.kill()

    thread = threading.Thread(target=read)
    thread.start()
    return recorder, thread


def service_for(clients, seconds, until=None):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for client in clients:
            client.service()
        if until and until():
            return True
        time.sleep(0.001)
    return False


def main():
    program = sys.argv[1]
    kind = sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    outage = float(sys.argv[4]) if len(sys.argv) > 4 else 1.0
    count = 10
    folder = tempfile.mkdtemp(prefix="quavelink-recovery-")
    sound = sound_server(folder)
    sound.start()
    sound.wait_ready()
    subprocess.run(["pactl", "set-default-sink", "bench"], check=True)
    port = free_port()
    runtime = os.path.join(folder, "xdg-run")
    os.mkdir(runtime, 0o700)
    env = dict(os.environ, QUAVELINK_SERVER_PORT=str(port), XDG_CONFIG_HOME=folder + "/config",
               XDG_RUNTIME_DIR=runtime, QUAVELINK_SERVER_NOWARN_48K="1",
               QT_QPA_PLATFORM="offscreen")
    command = [program] + (["--device", "0"] if kind == "serverd" else [])
    log = open(os.path.join(folder, "program.log"), "w")
    server = subprocess.Popen(command, env=env, stdout=log, stderr=subprocess.STDOUT)
    try:
        clients = [Client(port, "c%d" % i, i % 4, i % 2 == 0) for i in range(count)]
        if not service_for(clients, 30, lambda: all(c.last_block for c in clients)):
            print("%s: not every client got audio before the first restart" % kind)
            return 1
        for round_number in range(1, rounds + 1):
            service_for(clients, 2)
            sound.kill()
            service_for(clients, outage)
            sound.start()
            back = sound.wait_ready(lambda: service_for(clients, 0.005))
            recorded = []
            recorder, reader = first_recorded_bytes(recorded)
            player = subprocess.Popen(["sox", "-q", "-n", "-t", "pulseaudio", "bench", "synth",
                                       "30", "sine", "440"], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
            plain = [c for c in clients if c.rate_code == 0]
            service_for(clients, 15, lambda: all(c.last_block and c.last_block > back
                                                 for c in clients) and
                        all(c.last_sound and c.last_sound > back for c in plain))
            player.kill()
            player.wait()
            sound_times = sorted((c.last_sound - back) if c.last_sound and c.last_sound > back
                                 else float("inf") for c in plain)
            reader.join(10)
            recorder.wait()
            baseline = recorded[0] - back if recorded else float("inf")
            times = sorted((c.last_block - back) if c.last_block and c.last_block > back
                           else float("inf") for c in clients)
            stayed = sum(1 for c in clients if c.connected and c.disconnects == 0)
            print("%-8s on %s, round %d (sound server away %.1f s): first block after it was back: "
                  "median %.2f s, slowest %.2f s; first block with the tone played from then: "
                  "slowest %.2f s (%.2fx a fresh parec's first bytes, %.2f s); clients "
                  "connected throughout: %d of %d; it answered %.2f s before its sink was ready"
                  % (kind, sound.name, round_number, outage, times[len(times) // 2], times[-1],
                     sound_times[-1], sound_times[-1] / baseline, baseline, stayed, count,
                     back - sound.answered))
    finally:
        server.send_signal(signal.SIGTERM)
        try:
            server.wait(10)
        except subprocess.TimeoutExpired:
            server.kill()
        sound.close()
        log.close()
        subprocess.run(["rm", "-rf", folder])
    return 0


if __name__ == "__main__":
    sys.exit(main())
