"""One set of serial-port semantics, run against several ports inside the
test machine, printed side by side: the kernel's 8250 UART (in loopback, so
what it sends comes back and RTS/DTR come back as CTS/DSR/CD), a vorpild
character device and a vorpild pty, both on a devsim echo plug.
Usage: tty_table.py [--documented FILE] LABEL=KIND:PATH[:DEVSIM_LOG] ...
KIND: uart, cuse or pty. With --documented, every row where a cuse or pty
column differs from the uart column must be named in FILE under its kind
(a line "[cuse]" or "[pty]", then one row name a line, as the table prints
it): an unnamed difference exits 1."""
import errno, fcntl, os, select, struct, sys, termios, threading, time

from tty_calls import (BOTHER, TCGETS2, TCSETS2, TERMIOS2, Port, blocking, count_text, lines_text, mine, modem,
                       raw_read, raw_write, settled, steady, timed, waiting, when, with_alarm)


def probe(port):
    rows = {}

    def row(name, fn):
        try:
            rows[name] = fn()
        except Exception as error:  # a probe that raised says so in its cell
            rows[name] = "raised " + type(error).__name__ + (f" {errno.errorcode.get(error.errno, '')}"
                                                             if isinstance(error, OSError) and error.errno else "")

    def open_lines():
        fd = port.open()
        text = mine(modem(fd))
        far = lines_text(settled(port.far_lines, (True, True)))
        os.close(fd)
        return f"{text} (far end {far})"

    def close_lines():
        fd = port.open()
        hupcl = "HUPCL on" if termios.tcgetattr(fd)[2] & termios.HUPCL else "HUPCL off"
        os.close(fd)
        return f"{hupcl}; far end {lines_text(settled(port.far_lines, (False, False)))} after close"

    def reopen_lines():
        os.close(port.open())
        fd = port.open()
        time.sleep(1)
        text = mine(modem(fd))
        os.close(fd)
        return text

    def no_hupcl():
        fd = port.open()
        attrs = termios.tcgetattr(fd)
        attrs[2] &= ~termios.HUPCL
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
        os.close(fd)
        time.sleep(1)  # a drop would come at once
        text = lines_text(port.far_lines())
        fd = port.open()
        os.close(fd)
        return f"far end {text} after close"

    row("open: DTR/RTS (TIOCMGET)", open_lines)
    row("last close: DTR/RTS", close_lines)
    row("TIOCMGET after a reopen", reopen_lines)
    row("last close without HUPCL", no_hupcl)

    def vmin_read(vmin, vtime, feed=()):
        fd = port.open(vmin=vmin, vtime=vtime)
        started = time.monotonic()

        last = []

        def feeder():
            for at, data in feed:
                time.sleep(max(0, at - (time.monotonic() - started)))
                last.append(time.monotonic())  # before: a write may return once the bytes went
                raw_write(fd, data)

        thread = threading.Thread(target=feeder, daemon=True)
        thread.start()
        result, seconds, rang = blocking(lambda: raw_read(fd), 5.0)
        ended = time.monotonic()
        thread.join(5)
        os.close(fd)
        if rang:
            return f"waits; the signal at 5 s: {count_text(result)}"
        if vmin and vtime and last:
            # The inter-byte time: the last byte came after its write began,
            # so a read that waited VTIME for more ends VTIME or more after
            # that moment, however busy the guest (a busy guest can only add).
            waited = ended - last[-1] >= vtime / 10 - 0.005
            span = f"{vtime / 10:g} s or more" if waited else f"less than {vtime / 10:g} s"
            return f"{count_text(result)} {span} after the last byte"
        if not vmin and not vtime and not rang:
            # Nothing to wait for: a second is far beyond a busy guest's delay.
            return f"{count_text(result)} at once (within 1 s)" if seconds < 1 else \
                f"{count_text(result)} {when(seconds)}"
        if vtime and not vmin and not rang:
            # VTIME is the least a read with nothing coming waits.
            if seconds >= vtime / 10 - 0.005:
                return f"{count_text(result)} after {vtime / 10:g} s or more"
            return f"{count_text(result)} before {vtime / 10:g} s"
        if len(feed) > 1 and isinstance(result, bytes):
            # Did it wait for the last bytes fed, however late they came? Told
            # by what the read returned, not by the clocks of a busy guest.
            among = "with the last bytes" if feed[-1][1] in result else "without the last bytes"
            return f"{count_text(result)} {among}"
        return f"{count_text(result)} {when(seconds)}"

    row("VMIN 0 VTIME 0, nothing there", lambda: vmin_read(0, 0))
    row("VMIN 0 VTIME 10, nothing comes", lambda: vmin_read(0, 10))
    row("VMIN 4 VTIME 0, 2 bytes", lambda: vmin_read(4, 0, [(0.2, b"ab")]))
    row("VMIN 4 VTIME 0, 2 then 2 bytes", lambda: vmin_read(4, 0, [(0.2, b"ab"), (1.2, b"cd")]))
    row("VMIN 10 VTIME 3, 3 bytes at 1 s", lambda: vmin_read(10, 3, [(1.0, b"xyz")]))

    def nonblock_read():
        fd = port.open(os.O_NONBLOCK, vmin=1)
        try:
            return count_text(os.read(fd, 64))
        except BlockingIOError:
            return "EAGAIN"
        finally:
            os.close(fd)

    def nonblock_write():
        fd = port.open(os.O_NONBLOCK)
        taken, seconds = timed(lambda: raw_write(fd, b"n" * 8192))
        try:
            again = f"{os.write(fd, b'n' * 8192)} bytes"
        except BlockingIOError:
            again = "EAGAIN"
        _, writable, _ = select.select([], [fd], [], 0)
        termios.tcflush(fd, termios.TCOFLUSH)
        os.close(fd)
        # Whether the write waited for the line (8 KiB at 9600: 8.5 s), not
        # how long a busy guest took to copy the bytes.
        how = "without waiting for the line" if seconds < 8192 * 10 / 9600 / 2 else f"after {round(seconds)} s"
        return f"{count_text(taken)} {how}; then {again}, POLLOUT {'yes' if writable else 'no'}"

    row("O_NONBLOCK read, nothing there", nonblock_read)
    row("O_NONBLOCK 8 KiB write at 9600", nonblock_write)

    def signal_read():
        fd = port.open()
        text = with_alarm(lambda: raw_read(fd))
        os.close(fd)
        return text

    def signal_write():
        fd = port.open()
        text = with_alarm(lambda: raw_write(fd, b"s" * 32768))
        termios.tcflush(fd, termios.TCOFLUSH)
        os.close(fd)
        return text

    row("SIGALRM at 1 s in a blocked read", signal_read)
    row("SIGALRM at 1 s in a 32 KiB write at 9600", signal_write)

    def polling():
        fd = port.open()
        before = select.select([fd], [fd], [], 0)
        raw_write(fd, b"p")
        after = select.select([fd], [], [], 10)
        os.close(fd)
        state = lambda r: "+".join(n for n, s in (("in", r[0]), ("out", r[1])) if s) or "none"
        return f"idle {state(before)}; echo {'in' if after[0] else 'none'}"

    def counts():
        fd = port.open()
        raw_write(fd, b"12345")
        inq = settled(lambda: waiting(fd), 5)
        outq = []
        asker = threading.Timer(0.3, lambda: outq.append(
            struct.unpack("i", fcntl.ioctl(fd, termios.TIOCOUTQ, b"\0" * 4))[0]))
        asker.start()
        blocking(lambda: raw_write(fd, b"q" * 2048), 1.0)
        asker.join()
        termios.tcflush(fd, termios.TCOFLUSH)
        os.close(fd)
        return f"FIONREAD {inq}; TIOCOUTQ {'>0' if outq and outq[0] > 0 else '0'} while writing"

    def drain():
        fd = port.open()
        fcntl.fcntl(fd, fcntl.F_SETFL, os.O_NONBLOCK)
        started = time.monotonic()
        queued = raw_write(fd, b"d" * 960)
        fcntl.fcntl(fd, fcntl.F_SETFL, 0)
        termios.tcdrain(fd)
        seconds = time.monotonic() - started
        os.close(fd)
        line_time = queued * 10 / 9600
        how = "after their line time or later" if seconds >= line_time - 0.005 else "before their line time"
        return f"{queued} bytes written with O_NONBLOCK at 9600: returns {how}"

    def flush():
        fd = port.open()
        raw_write(fd, b"f" * 10)
        settled(lambda: waiting(fd), lambda count: count >= 10)  # the echo is there
        termios.tcflush(fd, termios.TCIFLUSH)
        inq = waiting(fd)
        os.close(fd)
        return f"FIONREAD {inq} after TCIFLUSH"

    row("poll", polling)
    row("FIONREAD / TIOCOUTQ", counts)
    row("tcdrain", drain)
    row("tcflush(TCIFLUSH)", flush)

    def exclusive():
        fd = port.open()
        fcntl.ioctl(fd, termios.TIOCEXCL)
        try:
            os.close(os.open(port.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
            second = "opens"
        except OSError as error:
            second = errno.errorcode[error.errno]
        fcntl.ioctl(fd, termios.TIOCNXCL)
        try:
            os.close(os.open(port.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
            third = "opens"
        except OSError as error:
            third = errno.errorcode[error.errno]
        os.close(fd)
        return f"second open {second}; after TIOCNXCL {third}"

    def brk():
        fd = port.open()
        _, seconds = timed(lambda: termios.tcsendbreak(fd, 0))
        os.close(fd)
        # Linux sends a break of 0.25 s; a busy guest makes it look longer.
        return "tcsendbreak(0) returns after the break (0.25 s or more)" if seconds >= 0.2 else \
            f"tcsendbreak(0) returns after {seconds:.2f} s"

    row("TIOCEXCL", exclusive)
    row("break", brk)

    def rate(code):
        fd = port.open()
        attrs = termios.tcgetattr(fd)
        attrs[4] = attrs[5] = code
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
        back = termios.tcgetattr(fd)[5]
        os.close(fd)
        return "ok" if back == code else f"reads back {back}"

    def other_rate(value):
        fd = port.open()
        raw = bytearray(fcntl.ioctl(fd, TCGETS2, bytes(struct.calcsize(TERMIOS2))))
        fields = list(struct.unpack(TERMIOS2, raw))
        fields[2] = (fields[2] & ~termios.CBAUD) | BOTHER
        fields[6] = fields[7] = value
        try:
            fcntl.ioctl(fd, TCSETS2, struct.pack(TERMIOS2, *fields))
            result = "ok"
        except OSError as error:
            result = errno.errorcode[error.errno]
        back = struct.unpack(TERMIOS2, fcntl.ioctl(fd, TCGETS2, bytes(struct.calcsize(TERMIOS2))))[7]
        os.close(fd)
        return f"{result}, reads back {back}"

    row("rate B115200", lambda: rate(termios.B115200))
    row("rate BOTHER 250000", lambda: other_rate(250000))
    row("rate BOTHER 14400", lambda: other_rate(14400))

    def frame(cflag_bits, name):
        fd = port.open()
        attrs = termios.tcgetattr(fd)
        attrs[2] = (attrs[2] & ~(termios.CSIZE | termios.PARENB | termios.PARODD | termios.CSTOPB)) | cflag_bits
        try:
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
            mask = termios.CSIZE | termios.PARENB | termios.PARODD | termios.CSTOPB
            back = termios.tcgetattr(fd)[2] & mask
            result = "kept" if back == cflag_bits else f"reads back {back:#o}"
        except termios.error as error:
            result = errno.errorcode[error.args[0]]
        os.close(fd)
        return result

    row("7E1", lambda: frame(termios.CS7 | termios.PARENB, "7E1"))
    row("8O2", lambda: frame(termios.CS8 | termios.PARENB | termios.PARODD | termios.CSTOPB, "8O2"))
    row("5N1.5 (CS5 CSTOPB)", lambda: frame(termios.CS5 | termios.CSTOPB, "5N1.5"))

    def hupcl_default():
        fd = os.open(port.path, os.O_RDWR | os.O_NOCTTY)
        on = termios.tcgetattr(fd)[2] & termios.HUPCL
        os.close(fd)
        return "on" if on else "off"

    def nobody_reads():
        # 64 KiB at 115200 while nobody reads what comes back.
        fd = port.open(rate=termios.B115200)
        result, _, rang = blocking(lambda: raw_write(fd, b"r" * 65536), 20.0)
        inq = steady(lambda: waiting(fd))
        termios.tcflush(fd, termios.TCIOFLUSH)
        os.close(fd)
        if rang:
            return f"blocked until the signal at 20 s ({count_text(result)}); {inq} unread kept"
        return f"{count_text(result)} taken; {inq} unread kept"

    row("HUPCL after open", hupcl_default)
    row("writer when nobody reads the echo", nobody_reads)
    return rows


def main():
    args = sys.argv[1:]
    if args and args[0] in ("-h", "--help"):
        print(__doc__)
        return 0
    documented = None
    if len(args) >= 2 and args[0] == "--documented":
        documented = read_documented(args[1])
        if documented is None:
            return 2
        args = args[2:]
    if not args:
        print("usage: tty_table.py [--documented FILE] LABEL=KIND:PATH[:DEVSIM_LOG] ...", file=sys.stderr)
        return 2
    columns = []
    for arg in args:
        label, target = arg.split("=", 1)
        kind, path, *log = target.split(":")
        columns.append((label, kind, Port(kind, path, log[0] if log else None)))
    results = [probe(port) for _, _, port in columns]
    names = list(results[0])
    width = max(len(n) for n in names)
    cell = max(len(v) for r in results for v in r.values())
    print("| " + "row".ljust(width) + " | " + " | ".join(c[0].ljust(cell) for c in columns) + " |")
    print("|" + "-" * (width + 2) + "|" + "|".join("-" * (cell + 2) for _ in columns) + "|")
    for name in names:
        print("| " + name.ljust(width) + " | " + " | ".join(r.get(name, "").ljust(cell) for r in results) + " |")
    uart = [r for (_, kind, _), r in zip(columns, results) if kind == "uart"]
    status = 0
    for (label, kind, _), result in zip(columns, results):
        if not uart or kind == "uart":
            continue
        differing = [n for n in names if result.get(n) != uart[0].get(n)]
        print(f"rows where {label} differs from the UART: " + ("; ".join(differing) or "none"))
        if documented is not None:
            unexplained = [n for n in differing if n not in documented.get(kind, set())]
            if unexplained:
                print(f"FAIL {label}: differences not documented: " + "; ".join(unexplained))
                status = 1
    return status


def read_documented(path):
    """{kind: row names} from FILE's "[kind]" sections, or None (said why)."""
    documented, kind = {}, None
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if line.startswith("[") and line.endswith("]"):
                kind = line[1:-1]
                documented.setdefault(kind, set())
            elif kind is None:
                print(f"{path}:{number}: a row before any [cuse] or [pty] line", file=sys.stderr)
                return None
            else:
                documented[kind].add(line)
    return documented


sys.exit(main())
