"""Plays the click track into one sink and records that sink's monitor and the far sink's
monitor in one process, then prints how long each click took from the first to the second
and how often the tone under the clicks broke up on the far side.

Both recordings are put on the process's monotonic clock: each read is stamped when it
returns, and a stream's frame 0 is placed at the earliest stamp minus the frames read by
then (a read never returns before its frames exist, and the earliest one waited least)."""
import argparse
import array
import threading
import time

import analysis
import click_track
from pulse_simple import FRAME_BYTES, RATE, Stream

# A monitor's fragment size becomes its sink's period: reading B's monitor in 2 ms pieces held
# sink B at 2 ms periods, which no listener's sink runs at, and squeezed every player's buffer
# on it to match. 10 ms is still finer than any delay measured here, and the clock stays exact:
# see the placing of frame 0 above.
READ_MS = 10
WRITE_MS = 10


class Recorder(threading.Thread):
    def __init__(self, source):
        super().__init__(daemon=True)
        self.stream = Stream(source, record=True, buffer_ms=READ_MS, name="probe " + source)
        self.chunks, self.start_time, self.error = [], None, None
        self.frames, self.last_read = 0, None
        self.stopping = threading.Event()

    def run(self):
        size = RATE * FRAME_BYTES * READ_MS // 1000
        try:
            while not self.stopping.is_set():
                chunk = self.stream.read(size)
                now = time.monotonic()
                self.chunks.append(chunk)
                self.frames += len(chunk) // FRAME_BYTES
                start = now - self.frames / RATE
                if self.start_time is None or start < self.start_time:
                    self.start_time = start
                self.last_read = now
        except OSError as e:
            self.error = e
        finally:
            self.stream.close()

    def late_ms(self):
        """How far the last read came after its frames' place on the timeline: a few ms
        unless the source paused or the recording lost data, which would skew it."""
        return 1000 * (self.last_read - self.start_time - self.frames / RATE)

    def left_channel(self):
        samples = array.array("h", b"".join(self.chunks))
        return samples[0::2]


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--play", required=True, help="sink the clicks go into")
    p.add_argument("--near", required=True, help="monitor of that sink")
    p.add_argument("--far", required=True, help="monitor of the sink the system plays on")
    p.add_argument("--clicks", type=int, default=50)
    p.add_argument("--spacing", type=float, default=0.5, help="seconds between clicks")
    p.add_argument("--jitter", type=float, default=0.15, help="± seconds of random spacing")
    p.add_argument("--warmup", type=float, default=3.0, help="tone alone before the clicks")
    p.add_argument("--tail", type=float, default=2.5, help="tone alone after the clicks")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--label", default="run")
    p.add_argument("--save", help="folder to keep both recordings in (raw s16le stereo)")
    args = p.parse_args()

    starts = click_track.click_starts(args.warmup, args.clicks, args.spacing, args.jitter,
                                      args.seed)
    total = starts[-1] + round((args.spacing + args.tail) * RATE)
    track = click_track.render(total, starts).tobytes()

    near, far = Recorder(args.near), Recorder(args.far)
    near.start()
    far.start()
    # A monitor delivers nothing for a moment after a stream opens on it; the timeline only
    # holds once both flow.
    deadline = time.monotonic() + 10
    while min(near.frames, far.frames) < RATE // 2 and time.monotonic() < deadline:
        time.sleep(0.05)
    player = Stream(args.play, record=False, buffer_ms=100, name="clicks")
    step = RATE * FRAME_BYTES * WRITE_MS // 1000
    for offset in range(0, len(track), step):
        player.write(track[offset:offset + step])
    player.close()
    time.sleep(0.2)
    for r in (near, far):
        r.stopping.set()
    for r in (near, far):
        r.join(timeout=2)
        if r.error:
            raise SystemExit(f"recording failed: {r.error}")

    if args.save:
        for name, r in (("near", near), ("far", far)):
            with open(f"{args.save}/{args.label}-{name}.raw", "wb") as out:
                out.write(b"".join(r.chunks))
    a, b = near.left_channel(), far.left_channel()
    sent = [near.start_time + i / RATE for i in analysis.onsets(a)]
    heard = [far.start_time + i / RATE for i in analysis.onsets(b)]
    longest = args.tail - 0.3
    delay = analysis.common_delay(sent, heard, longest)
    fields = {"label": args.label, "sent": len(starts), "near": len(sent)}
    if delay is None:
        fields.update(found=0, median_ms="-", p99_ms="-", dropouts="-")
    else:
        delays = [1000 * d for d in analysis.pair_clicks(sent, heard, delay)]

        def far_frame(t):
            return round((t - far.start_time) * RATE)

        def near_frame(t):
            return round((t - near.start_time) * RATE)

        window = (sent[0] + delay - 0.05, sent[-1] + delay + 0.2)
        source_gaps = analysis.gaps(a, near_frame(sent[0] - 0.05), near_frame(sent[-1] + 0.2))
        # A gap already in what went in is no fault of the system that carried it.
        source_times = [near.start_time + g[0] / RATE + delay for g in source_gaps]
        far_gaps = [g for g in analysis.gaps(b, far_frame(window[0]), far_frame(window[1]))
                    if not any(abs(far.start_time + g[0] / RATE - t) < 0.1 for t in source_times)]
        count, missing = len(far_gaps), sum(g[1] for g in far_gaps)
        source_count = len(source_gaps)
        level = (analysis.rms(b, far_frame(window[0]), far_frame(window[1])) /
                 max(1.0, analysis.rms(a, near_frame(sent[0]), near_frame(sent[-1]))))
        fields.update(found=len(delays), median_ms=f"{analysis.percentile(delays, 0.5):.1f}",
                      p99_ms=f"{analysis.percentile(delays, 0.99):.1f}",
                      min_ms=f"{min(delays):.1f}", max_ms=f"{max(delays):.1f}",
                      dropouts=count, gap_ms=f"{1000 * missing / RATE:.1f}",
                      source_dropouts=source_count, level=f"{level:.2f}",
                      late_ms=f"{max(near.late_ms(), far.late_ms()):.1f}")
    print("result " + " ".join(f"{k}={v}" for k, v in fields.items()), flush=True)


if __name__ == "__main__":
    main()
