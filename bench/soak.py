#!/usr/bin/python3
"""A long run of quavelink-serverd under sound server restarts and a lossy network.

Ten clients of mixed modes (PCM and the three Opus rates, reliable and best-effort) listen
through the lossy relay; the server records to WAV; the sound server is killed and started
again every `period` minutes. Every minute it prints the server's resident memory (with its
anonymous, file-backed and shared parts) and CPU use and the blocks each client received in
that minute; after each restart the time from the sound server answering to the first block
at each client; at the end the reconnects and the recording's length against the wall clock. Run inside a private network namespace
(bench/run-soak.sh does).
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

from recovery_time import Client, SoundServer, free_port


RESIDENT_FIELDS = ("VmRSS", "RssAnon", "RssFile", "RssShmem")


def resident_kib(pid):
    """Resident memory in KiB: the total, then its anonymous (heap), file-backed (mapped
    libraries) and shared (the sound server's memory pools) parts."""
    found = {}
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            name = line.split(":", 1)[0]
            if name in RESIDENT_FIELDS:
                found[name] = int(line.split()[1])
    return [found.get(name, 0) for name in RESIDENT_FIELDS]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Listener(Client):
    """A client that counts its blocks and connects again when it was dropped."""

    def __init__(self, port, name, rate_code, reliable):
        super().__init__(port, name, rate_code, reliable)
        self.port = port
        self.reconnects = 0

    def service(self):
        was = self.connected
        super().service()
        if was and not self.connected:
            self.reconnects += 1
            self.asked = False
            self.peer = self.host.connect(enet_address(self.port), 2, 1 | (1 << 31))


def enet_address(port):
    import enet
    return enet.Address(b"127.0.0.1", port)


def main():
    serverd, relay_program = sys.argv[1], sys.argv[2]
    minutes = float(sys.argv[3]) if len(sys.argv) > 3 else 30
    period = float(sys.argv[4]) if len(sys.argv) > 4 else 5
    loss = sys.argv[5] if len(sys.argv) > 5 else "0.05"
    folder = tempfile.mkdtemp(prefix="quavelink-soak-")
    sound = SoundServer(folder)
    sound.start()
    sound.wait_ready()
    subprocess.run(["pactl", "set-default-sink", "bench"], check=True)
    port = free_port()
    relay = subprocess.Popen([relay_program, str(port), loss], stdout=subprocess.PIPE, text=True)
    relay_port = int(relay.stdout.readline())
    wav = os.path.join(folder, "soak.wav")
    env = dict(os.environ, QUAVELINK_SERVER_PORT=str(port), XDG_CONFIG_HOME=folder + "/config",
               QUAVELINK_SERVER_NOWARN_48K="1")
    log = open(os.path.join(folder, "serverd.log"), "w")
    server = subprocess.Popen([serverd, "--device", "0", "--record", wav], env=env, stdout=log,
                              stderr=subprocess.STDOUT)
    clients = [Listener(relay_port, "soak%d" % i, i % 4, i % 2 == 0) for i in range(10)]
    started = time.monotonic()
    next_minute = started + 60
    next_restart = started + period * 60
    end = started + minutes * 60
    cpu_before = cpu_seconds(server.pid)
    counted = [0] * len(clients)
    print("minute  RSS(MiB)  anon  file  shmem  CPU(% of a core)  "
          "blocks received per client in the minute")
    try:
        while time.monotonic() < end:
            for client in clients:
                client.service()
            now = time.monotonic()
            if now >= next_restart:
                sound.kill()
                # The capture has ended and what was sent before it has arrived (or is lost):
                # only blocks sent after the restart count.
                quiet_since = time.monotonic()
                seen = [c.last_block for c in clients]
                while time.monotonic() < quiet_since + 10:
                    for client in clients:
                        client.service()
                    if [c.last_block for c in clients] != seen:
                        seen = [c.last_block for c in clients]
                        quiet_since = time.monotonic()
                    elif time.monotonic() - quiet_since >= 1:
                        break
                    time.sleep(0.001)
                sound.start()
                back = sound.wait_ready()
                while time.monotonic() < back + 15 and not all(
                        c.last_block and c.last_block > back for c in clients):
                    for client in clients:
                        client.service()
                    time.sleep(0.001)
                times = [(c.last_block - back) if c.last_block and c.last_block > back
                         else float("inf") for c in clients]
                print("restart at %.1f min: first block after the sound server was back: "
                      "slowest %.2f s, all within 2 s: %s"
                      % ((back - started) / 60, max(times), all(t <= 2 for t in times)))
                next_restart += period * 60
            if now >= next_minute:
                cpu = cpu_seconds(server.pid)
                blocks = [c.received - counted[i] for i, c in enumerate(clients)]
                counted = [c.received for c in clients]
                rss, anon, mapped, shared = (kib / 1024 for kib in resident_kib(server.pid))
                print("%6.0f  %8.1f  %4.1f  %4.1f  %5.1f  %16.1f  %s"
                      % ((now - started) / 60, rss, anon, mapped, shared,
                         100 * (cpu - cpu_before) / 60, " ".join(str(b) for b in blocks)))
                sys.stdout.flush()
                cpu_before = cpu
                next_minute += 60
            time.sleep(0.001)
        wall = time.monotonic() - started
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait(30)
        relay.send_signal(signal.SIGTERM)
        relay_counts = relay.communicate(timeout=10)[0].strip()
        sound.kill()
        log.close()
    recorded = (os.path.getsize(wav) - 44) / (48000 * 4)
    print("reconnects per client: %s" % " ".join(str(c.reconnects) for c in clients))
    print("blocks received per client: %s" % " ".join(str(c.received) for c in clients))
    print("recording: %.1f s of audio in %.1f s of wall clock from the start of the run "
          "(%.1f%%)" % (recorded, wall, 100 * recorded / wall))
    print("relay: %s" % relay_counts)
    subprocess.run(["rm", "-rf", folder])
    return 0


if __name__ == "__main__":
    sys.exit(main())
