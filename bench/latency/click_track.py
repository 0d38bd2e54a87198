"""The test signal: a steady 500 Hz tone (a gap in it shows a dropout) with short 3 kHz
bursts (the clicks) on top at randomly jittered spacing. Mono content on both channels."""
import array
import math
import random

from pulse_simple import RATE

TONE_HZ = 500
TONE_LEVEL = 0.1          # of full scale: far below the click threshold
CLICK_LEVEL = 0.7
CLICK_HZ = 3000
CLICK_FRAMES = RATE // 1000  # 1 ms
FULL_SCALE = 32767


def tone_period():
    """One period of the tone; 96 frames, so windows of whole periods have a steady level."""
    frames = RATE // TONE_HZ
    return [round(FULL_SCALE * TONE_LEVEL * math.sin(2 * math.pi * i / frames))
            for i in range(frames)]


def click_starts(first_s, count, spacing_s, jitter_s, seed):
    """Start frames of `count` clicks from `first_s` on, spacing_s ± jitter_s apart."""
    rng = random.Random(seed)
    starts, at = [], first_s
    for _ in range(count):
        starts.append(round(at * RATE))
        at += spacing_s + rng.uniform(-jitter_s, jitter_s)
    return starts


def render(total_frames, starts):
    """Interleaved stereo 16-bit samples of the whole track."""
    period = tone_period()
    mono = array.array("h", period * (total_frames // len(period) + 1))
    del mono[total_frames:]
    for start in starts:
        for i in range(CLICK_FRAMES):
            burst = CLICK_LEVEL * math.sin(2 * math.pi * CLICK_HZ * i / RATE)
            mono[start + i] = max(-FULL_SCALE, min(FULL_SCALE,
                                                   mono[start + i] + round(FULL_SCALE * burst)))
    stereo = array.array("h", bytes(4 * total_frames))
    stereo[0::2] = mono
    stereo[1::2] = mono
    return stereo
