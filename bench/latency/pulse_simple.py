"""Blocking PulseAudio streams (libpulse-simple through ctypes): 48 kHz 16-bit stereo, with
small buffers so that what they read or write is close in time to what the sinks play."""
import ctypes

RATE = 48000
FRAME_BYTES = 4

_STREAM_PLAYBACK = 1
_STREAM_RECORD = 2
_SAMPLE_S16LE = 3


class _SampleFormat(ctypes.Structure):
    _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32), ("channels", ctypes.c_uint8)]


class _BufferAttr(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint32)
                for name in ("maxlength", "tlength", "prebuf", "minreq", "fragsize")]


_lib = ctypes.CDLL("libpulse-simple.so.0")
_lib.pa_simple_new.restype = ctypes.c_void_p
_lib.pa_simple_new.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                               ctypes.c_char_p, ctypes.POINTER(_SampleFormat), ctypes.c_void_p,
                               ctypes.POINTER(_BufferAttr), ctypes.POINTER(ctypes.c_int)]
_lib.pa_simple_read.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t,
                                ctypes.POINTER(ctypes.c_int)]
_lib.pa_simple_write.argtypes = _lib.pa_simple_read.argtypes
_lib.pa_simple_free.argtypes = [ctypes.c_void_p]


def _bytes_for_ms(ms):
    return RATE * FRAME_BYTES * ms // 1000


class Stream:
    """One record stream (`device` a source, e.g. "a.monitor") or playback stream (a sink)."""

    def __init__(self, device, record, buffer_ms, name):
        unset = 0xFFFFFFFF
        attr = _BufferAttr(unset, unset, unset, unset, unset)
        if record:
            attr.fragsize = _bytes_for_ms(buffer_ms)
        else:
            attr.tlength = _bytes_for_ms(buffer_ms)
            attr.prebuf = attr.tlength // 2
        sample_format = _SampleFormat(_SAMPLE_S16LE, RATE, 2)
        error = ctypes.c_int(0)
        self.handle = _lib.pa_simple_new(None, b"latency-probe",
                                         _STREAM_RECORD if record else _STREAM_PLAYBACK,
                                         device.encode(), name.encode(),
                                         ctypes.byref(sample_format),
                                         None, ctypes.byref(attr), ctypes.byref(error))
        if not self.handle:
            raise OSError(f"PulseAudio stream on {device} failed (error {error.value})")

    def read(self, size):
        buffer = ctypes.create_string_buffer(size)
        if _lib.pa_simple_read(self.handle, buffer, size, None) < 0:
            raise OSError("PulseAudio read failed")
        return buffer.raw

    def write(self, data):
        if _lib.pa_simple_write(self.handle, data, len(data), None) < 0:
            raise OSError("PulseAudio write failed")

    def close(self):
        if self.handle:
            _lib.pa_simple_free(self.handle)
            self.handle = None
