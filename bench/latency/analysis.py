"""Finds the clicks and the gaps in the two recordings and pairs the clicks up."""
import math

from click_track import FULL_SCALE, TONE_LEVEL
from pulse_simple import RATE

CLICK_THRESHOLD = round(0.4 * FULL_SCALE)
QUIET_BEFORE_CLICK = RATE // 10       # a click follows at least 100 ms without one
GAP_LEVEL = round(0.1 * TONE_LEVEL * FULL_SCALE)
GAP_FRAMES = RATE // 2000             # 0.5 ms near zero: the tone stays there for ~0.1 ms
GAP_MERGE_FRAMES = RATE // 50         # gaps closer than 20 ms are one dropout
MATCH_TOLERANCE_S = 0.1               # at least this much drift from click to click


def onsets(mono):
    """Frame index of each click: the first frame above the threshold after a quiet stretch."""
    found, quiet = [], QUIET_BEFORE_CLICK
    for i, x in enumerate(mono):
        if x > CLICK_THRESHOLD or x < -CLICK_THRESHOLD:
            if quiet >= QUIET_BEFORE_CLICK:
                found.append(i)
            quiet = 0
        else:
            quiet += 1
    return found


def gaps(mono, start, end):
    """Dropouts between frames `start` and `end`: stretches of at least GAP_FRAMES where the
    tone is missing, those less than GAP_MERGE_FRAMES apart taken as one. Returns a list of
    [first frame, frames missing] per dropout."""
    found, run, last_end = [], 0, -GAP_MERGE_FRAMES
    start, end = max(0, start), min(len(mono), end)
    for i in range(start, end + 1):
        if i < end and -GAP_LEVEL <= mono[i] <= GAP_LEVEL:
            run += 1
            continue
        if run >= GAP_FRAMES:
            if found and i - run - last_end < GAP_MERGE_FRAMES:
                found[-1][1] += run
            else:
                found.append([i - run, run])
            last_end = i
        run = 0
    return found


def common_delay(sent, heard, longest_s):
    """The delay most clicks share: the densest 5 ms of all positive pairwise differences
    up to `longest_s`, then the median of those in it. None without any pair."""
    differences = sorted(h - s for s in sent for h in heard if 0 <= h - s <= longest_s)
    if not differences:
        return None
    best, lo = (0, 0, 0), 0
    for hi, d in enumerate(differences):
        while d - differences[lo] > 0.005:
            lo += 1
        if hi - lo + 1 > best[0]:
            best = (hi - lo + 1, lo, hi)
    cluster = differences[best[1]:best[2] + 1]
    return cluster[len(cluster) // 2]


def pair_clicks(sent, heard, delay):
    """Delay of each sent click that was heard near the delay of the click before it (at
    first `delay`): systems that steer their latency drift, and the clicks' smallest spacing
    bounds how far. Each heard click is used once."""
    spacing = min((b - a for a, b in zip(sent, sent[1:])), default=1.0)
    tolerance = max(MATCH_TOLERANCE_S, spacing / 2 - 0.02)
    delays, used = [], set()
    for s in sent:
        best = None
        for j, h in enumerate(heard):
            if j not in used and abs(h - s - delay) <= tolerance:
                if best is None or abs(h - s - delay) < abs(heard[best] - s - delay):
                    best = j
        if best is not None:
            used.add(best)
            delay = heard[best] - s
            delays.append(delay)
    return delays


def percentile(values, q):
    """Nearest-rank percentile of a non-empty list."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(q * len(ordered)) - 1)]


def rms(mono, start, end):
    start, end = max(0, start), min(len(mono), end)
    if end <= start:
        return 0.0
    return math.sqrt(sum(x * x for x in mono[start:end]) / (end - start))
