"""Calls on a serial port for tty_table.py: the port and its far end, timed
and interruptible reads and writes, and waits that a busy guest only makes
longer."""
import ctypes, errno, fcntl, os, re, signal, struct, termios, time

LIBC = ctypes.CDLL(None, use_errno=True)

TIOCM_LOOP = 0x8000
BOTHER = 0o010000
TCGETS2 = 0x802C542A
TCSETS2 = 0x402C542B
TERMIOS2 = "IIIIB19sII"


class Port:
    def __init__(self, kind, path, log):
        self.kind, self.path, self.log = kind, path, log

    def open(self, flags=0, vmin=1, vtime=0, rate=termios.B9600, raw=True):
        fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY | flags)
        if raw:
            attrs = termios.tcgetattr(fd)
            attrs[0] = attrs[1] = attrs[3] = 0
            attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL | termios.HUPCL
            attrs[4] = attrs[5] = rate
            attrs[6][termios.VMIN] = vmin
            attrs[6][termios.VTIME] = vtime
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
        if self.kind == "uart":
            fcntl.ioctl(fd, termios.TIOCMBIS, struct.pack("i", TIOCM_LOOP))
        time.sleep(0.5)  # late echoes of the row before
        termios.tcflush(fd, termios.TCIFLUSH)
        return fd

    def far_lines(self):
        """DTR and RTS as the far end sees them, or None."""
        if self.kind == "uart":
            index = re.search(r"(\d+)$", self.path).group(1)
            with open("/proc/tty/driver/serial") as f:
                for line in f:
                    if line.startswith(index + ":"):
                        return "DTR" in line, "RTS" in line
            return None
        if not self.log:
            return None
        with open(self.log, errors="replace") as f:
            states = re.findall(r"DTR (on|off) RTS (on|off)", f.read())
        return (states[-1][0] == "on", states[-1][1] == "on") if states else None


def steady(fn, quiet=2.0, limit=60.0):
    """fn() once it stayed the same for `quiet` s (or after `limit` s)."""
    deadline = time.monotonic() + limit
    value, since = fn(), time.monotonic()
    while time.monotonic() - since < quiet and time.monotonic() < deadline:
        time.sleep(0.2)
        now = fn()
        if now != value:
            value, since = now, time.monotonic()
    return value


def settled(fn, want, limit=10.0):
    """fn() once it gives `want` (or a value `want` accepts, when it is a
    function), or what it gives after `limit` s: a busy guest may take longer
    than usual to pass a line change or an echo on."""
    good = want if callable(want) else lambda value: value == want
    deadline = time.monotonic() + limit
    value = fn()
    while not good(value) and time.monotonic() < deadline:
        time.sleep(0.1)
        value = fn()
    return value


def lines_text(lines):
    if lines is None:
        return "?"
    return "+".join(n for n, on in zip(("DTR", "RTS"), lines) if on) or "none"


def modem(fd):
    try:
        return struct.unpack("i", fcntl.ioctl(fd, termios.TIOCMGET, b"\0" * 4))[0]
    except OSError as error:
        return errno.errorcode[error.errno]


def mine(bits):
    if isinstance(bits, str):
        return bits
    return "+".join(n for n, b in (("DTR", termios.TIOCM_DTR), ("RTS", termios.TIOCM_RTS)) if bits & b) or "none"


def timed(fn):
    started = time.monotonic()
    try:
        result = fn()
    except OSError as error:
        result = errno.errorcode.get(error.errno, str(error.errno))
    return result, time.monotonic() - started


def when(seconds):
    # Coarse, so that a busy machine does not move a cell.
    if seconds < 0.3:
        return "at once"
    if seconds < 0.75:
        return "after about 0.5 s"
    return f"after about {round(seconds)} s"


def waiting(fd):
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0]


def raw_read(fd, size=64):
    """read(2) once: a signal ends it (os.read would start it again)."""
    buffer = ctypes.create_string_buffer(size)
    got = LIBC.read(fd, buffer, size)
    if got < 0:
        raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()))
    return buffer.raw[:got]


def raw_write(fd, data):
    done = LIBC.write(fd, data, len(data))
    if done < 0:
        raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()))
    return done


def blocking(fn, limit):
    """Runs fn with SIGALRM due after `limit` s: (result or errno name, seconds, whether the alarm came)."""
    rang = []
    old = signal.signal(signal.SIGALRM, lambda signum, frame: rang.append(True))
    signal.setitimer(signal.ITIMER_REAL, limit)
    result, seconds = timed(fn)
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, old)
    return result, seconds, bool(rang)


def count_text(result):
    if isinstance(result, str):
        return result
    return f"{len(result)} bytes" if isinstance(result, bytes) else f"{result} bytes"


def with_alarm(fn, after=1.0):
    result, _, rang = blocking(fn, after)
    return f"{count_text(result)} {'once the signal came' if rang else 'before the signal'}"
