#!/usr/bin/env python3
"""The least a client's playout queue must hold on average, on a perfectly timed machine, for
the server's block pattern alone: 338-frame (7.04 ms) blocks that leave at the server's 5 ms
capture steps and cross a 1 ± 0.5 ms link, pulled in chunks of the given size. Prints, per
chunk size, the time-average level less its lowest point just after a pull (the average that
never runs dry) and less its mean just after a pull.
Usage: bench/playout_sawtooth.py [chunk ms ...]   (default: 5 2.5 1)"""
import math
import random
import sys

BLOCK_MS = 338 / 48


def need(pull_ms, blocks=20000, seed=1):
    rng = random.Random(seed)
    arrivals, last = [], 0.0
    for k in range(1, blocks):
        t = math.ceil(k * BLOCK_MS / 5 - 1e-9) * 5 + 1 + rng.uniform(-0.5, 0.5)
        last = max(t, last)  # first in, first out
        arrivals.append(last)
    end = arrivals[-1] - 100
    queued = area = since = 0.0
    after_pulls = []
    i, t = 0, pull_ms
    while t < end:
        while i < len(arrivals) and arrivals[i] <= t:
            area += queued * (arrivals[i] - since)
            since = arrivals[i]
            queued += BLOCK_MS
            i += 1
        area += queued * (t - since)
        since = t
        queued -= pull_ms
        after_pulls.append(queued)
        t += pull_ms
    average = area / since
    settled = after_pulls[100:]
    return average - min(settled), average - sum(settled) / len(settled)


for chunk in [float(a) for a in sys.argv[1:]] or [5, 2.5, 1]:
    lowest, mean = need(chunk)
    print(f"{chunk:g} ms pulls: average less lowest {lowest:.2f} ms, less mean after a pull {mean:.2f} ms")
