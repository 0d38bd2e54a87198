"""Plays the click track into one sink and records that sink's monitor and the far sink's
monitor in one process, then prints how long each click took from the first to the second
and how often the tone under the clicks broke up on the far side.

Both recordings are put on the process's monotonic clock: each read is stamped when it
returns, and the frames it completes are placed back from the stamp of the least delayed read
of the next few seconds (a read never returns before its frames exist, and the one that waited
least tells best when they did). Placing every frame from one read for the whole run held
only while the recording lost nothing: one that lost data once put every later frame early
by what it lost, and over ten minutes the median delay came out wrong by tens of ms."""
import argparse
import array
import bisect
import collections
import threading
import time

import analysis
import click_track
from pulse_simple import FRAME_BYTES, RATE, Stream

# A monitor's fragment size becomes its sink's period: reading B's monitor in 2 ms pieces held
# sink B at 2 ms periods, which no listener's sink runs at, and squeezed every player's buffer
# on it to match. 10 ms is still finer than any delay measured here, and the clock stays exact:
# see the placing of the frames above.
READ_MS = 10
WRITE_MS = 10
# How far ahead a frame's place is looked for: many reads, and shorter than the time between
# two losses of a recording.
PLACE_WINDOW_S = 2.0


class Recorder(threading.Thread):
    def __init__(self, source):
        super().__init__(daemon=True)
        self.stream = Stream(source, record=True, buffer_ms=READ_MS, name="probe " + source)
        self.chunks, self.error = [], None
        self.frames = 0
        # Per read: the frames read by its end, and when frame 0 would have been had nothing
        # been lost (its stamp less those frames' length).
        self.read_ends, self.read_origins = [], []
        self.placed = None
        self.stopping = threading.Event()

    def run(self):
        size = RATE * FRAME_BYTES * READ_MS // 1000
        try:
            while not self.stopping.is_set():
                chunk = self.stream.read(size)
                now = time.monotonic()
                self.chunks.append(chunk)
                self.frames += len(chunk) // FRAME_BYTES
                self.read_ends.append(self.frames)
                self.read_origins.append(now - self.frames / RATE)
        except OSError as e:
            self.error = e
        finally:
            self.stream.close()

    def place(self):
        """Settles each read's origin: the least of its own and the next few seconds' reads'.
        A read that came late stands above that floor and gets it; a loss raises the floor
        from the read that lost on, and a late read before it still finds the old floor."""
        origins, placed = self.read_origins, []
        window = max(1, round(PLACE_WINDOW_S * 1000 / READ_MS))
        low = collections.deque()  # reads ahead, their origins rising from the front
        for k in range(len(origins) - 1, -1, -1):
            while low and origins[low[-1]] >= origins[k]:
                low.pop()
            low.append(k)
            while low[0] > k + window:
                low.popleft()
            placed.append(origins[low[0]])
        placed.reverse()
        self.placed = placed

    def time_of(self, frame):
        k = min(bisect.bisect_right(self.read_ends, frame), len(self.placed) - 1)
        return self.placed[k] + frame / RATE

    def frame_of(self, t):
        """The frame heard at `t`: the inverse of `time_of`, by the read whose frames it is in."""
        lo, hi = 0, len(self.placed) - 1
        while lo < hi:
            mid = (lo + hi) // 2
            if self.placed[mid] + self.read_ends[mid] / RATE < t:
                lo = mid + 1
            else:
                hi = mid
        return round((t - self.placed[lo]) * RATE)

    def late_ms(self):
        """How far the last read came after its frames' place on the timeline: a few ms
        unless the machine was busy at the end."""
        return 1000 * (self.read_origins[-1] - self.placed[-1])

    def lost_ms(self, since_read):
        """How much the recording lost from read `since_read` on: its floor's rise. (Its first
        reads may bring frames from before it started, which lower the floor at first.)"""
        return 1000 * (self.placed[-1] - self.placed[min(since_read, len(self.placed) - 1)])

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
    marks = {r: len(r.read_ends) for r in (near, far)}
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
    for r in (near, far):
        r.place()
    a, b = near.left_channel(), far.left_channel()
    sent = [near.time_of(i) for i in analysis.onsets(a)]
    heard = [far.time_of(i) for i in analysis.onsets(b)]
    longest = args.tail - 0.3
    delay = analysis.common_delay(sent, heard, longest)
    fields = {"label": args.label, "sent": len(starts), "near": len(sent)}
    if delay is None:
        fields.update(found=0, median_ms="-", p99_ms="-", dropouts="-")
    else:
        delays = [1000 * d for d in analysis.pair_clicks(sent, heard, delay)]

        window = (sent[0] + delay - 0.05, sent[-1] + delay + 0.2)
        source_gaps = analysis.gaps(a, near.frame_of(sent[0] - 0.05),
                                    near.frame_of(sent[-1] + 0.2))
        # A gap already in what went in is no fault of the system that carried it.
        source_times = [near.time_of(g[0]) + delay for g in source_gaps]
        far_gaps = [g for g in analysis.gaps(b, far.frame_of(window[0]), far.frame_of(window[1]))
                    if not any(abs(far.time_of(g[0]) - t) < 0.1 for t in source_times)]
        count, missing = len(far_gaps), sum(g[1] for g in far_gaps)
        source_count = len(source_gaps)
        level = (analysis.rms(b, far.frame_of(window[0]), far.frame_of(window[1])) /
                 max(1.0, analysis.rms(a, near.frame_of(sent[0]), near.frame_of(sent[-1]))))
        fields.update(found=len(delays), median_ms=f"{analysis.percentile(delays, 0.5):.1f}",
                      p99_ms=f"{analysis.percentile(delays, 0.99):.1f}",
                      min_ms=f"{min(delays):.1f}", max_ms=f"{max(delays):.1f}",
                      dropouts=count, gap_ms=f"{1000 * missing / RATE:.1f}",
                      source_dropouts=source_count, level=f"{level:.2f}",
                      late_ms=f"{max(near.late_ms(), far.late_ms()):.1f}",
                      lost_ms=f"{max(r.lost_ms(marks[r]) for r in (near, far)):.1f}")
    print("result " + " ".join(f"{k}={v}" for k, v in fields.items()), flush=True)


if __name__ == "__main__":
    main()
