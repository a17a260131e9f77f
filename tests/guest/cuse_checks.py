"""Programs nobody here wrote on a vorpild character-device port, inside the
test machine: pyserial, stty and picocom against a devsim device server whose
serial side is an echo plug (RTS wired to CTS, DTR to DSR and DCD).
Usage: cuse_checks.py PORT DEVSIM_LOG DEVCON BULK_PORT
PORT's device server logs its packets to DEVSIM_LOG; BULK_PORT leads to a
quiet one for the bulk transfer (CUSE_BULK_MIB MiB each way, default 20).
Prints "ok NAME" or "FAIL NAME: why" per check; exits 1 when any failed."""
import errno, fcntl, hashlib, os, pty, re, select, signal, struct, subprocess, sys, termios, threading, time

import serial

from checking import check, failures, run, wait_for

if len(sys.argv) == 2 and sys.argv[1] in ("-h", "--help"):
    print(__doc__)
    sys.exit(0)
if len(sys.argv) != 5:
    print("usage: cuse_checks.py PORT DEVSIM_LOG DEVCON BULK_PORT", file=sys.stderr)
    sys.exit(2)
PORT, LOG, DEVCON, BULK_PORT = sys.argv[1:5]
BULK_MIB = int(os.environ.get("CUSE_BULK_MIB", "20"))


def log_offset():
    return os.path.getsize(LOG)


def log_since(offset):
    with open(LOG, errors="replace") as f:
        f.seek(offset)
        return f.read()


def devcon(*args):
    return subprocess.run([DEVCON, *args], capture_output=True, text=True)


def line_and_modem():
    offset = log_offset()
    port = serial.Serial(PORT, 9600, bytesize=7, parity="E", timeout=1)
    check("pyserial 7E1 reaches the device server as 7 data bits, even parity",
          wait_for(lambda: "serial 9600 7E1" in log_since(offset)), log_since(offset)[-400:])

    for attribute, on, off in (("dtr", "0x13", "0x11"), ("rts", "0x14", "0x12")):
        offset = log_offset()
        setattr(port, attribute, False)
        setattr(port, attribute, True)
        text = lambda: log_since(offset)
        check(f"set{attribute.upper()} reaches the device server as control packets",
              wait_for(lambda: f"ControlPacket {off}" in text() and f"ControlPacket {on}" in text()), text()[-400:])

    # The echo plug answers every line change with a modem status report.
    port.rts = False
    check("a modem report clears CTS", wait_for(lambda: not port.cts))
    port.rts = True
    check("a modem report raises CTS", wait_for(lambda: port.cts))
    port.dtr = False
    check("a modem report clears DSR and CD", wait_for(lambda: not port.dsr and not port.cd))
    port.dtr = True
    check("a modem report raises DSR and CD", wait_for(lambda: port.dsr and port.cd))
    check("RI follows the device server's report (RI low on an echo plug)", not port.ri)

    # TIOCMIWAIT wakes on the CTS change the report brings.
    port.rts = False
    wait_for(lambda: not port.cts)
    woke = threading.Event()

    def waiter():
        fcntl.ioctl(port.fd, termios.TIOCMIWAIT, termios.TIOCM_CTS)
        woke.set()

    thread = threading.Thread(target=waiter, daemon=True)
    thread.start()
    time.sleep(0.5)
    still_waiting = not woke.is_set()
    port.rts = True
    check("TIOCMIWAIT waits for a change and wakes on the report",
          still_waiting and woke.wait(15), f"waited before the change: {still_waiting}")

    offset = log_offset()
    port.send_break(0.25)
    text = lambda: log_since(offset)
    check("send_break reaches the device (break on, then off)",
          wait_for(lambda: "ControlPacket 0x17" in text() and "ControlPacket 0x16" in text()), text()[-400:])

    try:
        serial.Serial(PORT)
        check("a second open fails with EBUSY", False, "it was opened")
    except serial.SerialException as error:
        check("a second open fails with EBUSY", getattr(error, "errno", None) == errno.EBUSY or "Errno 16" in str(error),
              str(error))
    port.close()
    second = serial.Serial(PORT, 9600, bytesize=7, parity="E")
    check("the port opens the moment the holder closed it", second.is_open)
    second.close()


def stty_shows_the_port():
    out = subprocess.run(["stty", "-F", PORT, "-a"], capture_output=True, text=True)
    text = out.stdout
    check("stty -a shows what the port holds (9600, cs7, parenb, -parodd)",
          out.returncode == 0 and "speed 9600 baud" in text and re.search(r"\bcs7\b", text)
          and re.search(r"(^|\s)parenb\b", text) and "-parodd" in text, out.stdout + out.stderr)


def picocom_both_ways():
    master, slave = pty.openpty()
    program = subprocess.Popen(["picocom", "-b", "115200", PORT], stdin=slave, stdout=slave, stderr=slave,
                               start_new_session=True)
    os.close(slave)
    seen = bytearray()

    def read_until(token, limit):
        deadline = time.monotonic() + limit
        while token not in seen and time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.2)
            if ready:
                try:
                    seen.extend(os.read(master, 4096))
                except OSError:
                    break
        return token in seen

    ready = read_until(b"Terminal ready", 30)
    os.write(master, b"ping-through-picocom")
    echoed = read_until(b"ping-through-picocom", 20)
    os.write(master, b"\x01\x18")  # C-a C-x: leave
    try:
        program.wait(15)
    except subprocess.TimeoutExpired:
        program.kill()
        program.wait()
    os.close(master)
    check("picocom sends and receives through the port", ready and echoed, bytes(seen[-300:]).decode(errors="replace"))


def configure_then_write():
    # Each round opens at a new rate and writes at once: the device server
    # must get each round's bytes after that round's rate.
    rates = [9600, 19200, 38400, 57600, 115200]
    offset = log_offset()
    # The rate the port has before the first round (that round sends none if it is the same).
    before = re.findall(r"control 0x1[59]: serial (\d+) ", log_since(0))
    current = int(before[-1]) if before else None
    for round_ in range(20):
        rate = rates[round_ % len(rates)]
        port = serial.Serial(PORT, rate)
        port.write(bytes([0x41 + round_]) * 20)
        port.flush()
        port.close()
    wait_for(lambda: sum(int(n) for n in re.findall(r"DataPacket \((\d+) bytes\)", log_since(offset))) >= 400, 20)
    got = []
    for line in log_since(offset).splitlines():
        m = re.search(r"control 0x1[59]: serial (\d+) ", line)
        if m:
            current = int(m.group(1))
        m = re.search(r"<- .*DataPacket \((\d+) bytes\)", line)
        if m:
            if got and got[-1][0] == current:
                got[-1][1] += int(m.group(1))
            else:
                got.append([current, int(m.group(1))])
    wanted = [[rates[r % len(rates)], 20] for r in range(20)]
    check("open-configure-write sends every round's bytes at its new rate, 20 rounds of 20", got == wanted,
          f"got {got}")


def bulk_both_ways():
    print(devcon("set", os.path.basename(BULK_PORT), "--pacing", "off").stdout.strip(), flush=True)
    size = BULK_MIB * 1024 * 1024
    data = bytes((i * 7 + i // 251) & 0xFF for i in range(1 << 16)) * (size >> 16)
    port = serial.Serial(BULK_PORT, 921600, timeout=30)
    received = bytearray()
    error = []
    # The echo plug has a device server's small buffers: the writer stays at
    # most a window ahead of what came back, as a program talking to a
    # device without flow control must.
    window = 192 * 1024
    progress = threading.Condition()

    def writer():
        try:
            for start in range(0, size, 1 << 15):
                with progress:
                    if not progress.wait_for(lambda: start - len(received) < window, 60):
                        raise RuntimeError(f"nothing came back for 60 s at {start}")
                port.write(data[start:start + (1 << 15)])
        except Exception as e:
            error.append(repr(e))

    started = time.monotonic()
    thread = threading.Thread(target=writer, daemon=True)
    thread.start()
    while len(received) < size:
        chunk = port.read(min(1 << 16, size - len(received)))
        if not chunk:
            break
        with progress:
            received += chunk
            progress.notify_all()
    thread.join(60)
    if thread.is_alive():
        error.append("the writer is still blocked")
    seconds = time.monotonic() - started
    port.close()
    intact = hashlib.sha256(received).digest() == hashlib.sha256(data).digest()
    check(f"{BULK_MIB} MiB intact both ways ({seconds:.1f} s)", intact and not error,
          f"{len(received)} bytes back, writer {error}")


def sigkill_releases():
    holder = subprocess.Popen([sys.executable, "-c",
                               "import serial, sys, time; p = serial.Serial(sys.argv[1]); print('open', flush=True); "
                               "time.sleep(120)", PORT], stdout=subprocess.PIPE, text=True)
    opened = holder.stdout.readline().strip() == "open"
    os.kill(holder.pid, signal.SIGKILL)
    holder.wait()
    started = time.monotonic()
    tries = 0
    while True:
        tries += 1
        try:
            serial.Serial(PORT).close()
            break
        except serial.SerialException:
            if time.monotonic() - started > 5:
                break
            time.sleep(0.01)
    seconds = time.monotonic() - started
    check(f"SIGKILL releases the port at once ({tries} open(s), {seconds * 1000:.0f} ms)",
          opened and seconds < 1.0, f"opened={opened}")


def raw_fd(flags=0, vmin=1, vtime=0, rate=termios.B9600):
    fd = os.open(PORT, os.O_RDWR | os.O_NOCTTY | flags)
    attrs = termios.tcgetattr(fd)
    attrs[0] = 0
    attrs[1] = 0
    attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL | termios.HUPCL
    attrs[3] = 0
    attrs[4] = attrs[5] = rate
    attrs[6][termios.VMIN] = vmin
    attrs[6][termios.VTIME] = vtime
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    return fd


def drain_input(fd):
    time.sleep(0.3)
    termios.tcflush(fd, termios.TCIFLUSH)


def writes_never_hold_the_port():
    # At 9600 with pacing on a KiB takes about a second on the line. The
    # time limits leave a busy guest room and stay far below what a write
    # that holds everything takes (8 KiB: 8.5 s, 32 KiB: 34 s).
    print(devcon("set", os.path.basename(PORT), "--pacing", "on").stdout.strip(), flush=True)
    fd = raw_fd(os.O_NONBLOCK)
    started = time.monotonic()
    taken = os.write(fd, b"n" * 8192)
    seconds = time.monotonic() - started
    check(f"an O_NONBLOCK 8 KiB write takes what fits and returns ({taken} bytes, {seconds:.2f} s)",
          0 < taken < 8192 and seconds < 4.0)
    try:
        os.write(fd, b"n" * 8192)
        check("an O_NONBLOCK write into a full output gets EAGAIN", False, "it was taken")
    except BlockingIOError:
        check("an O_NONBLOCK write into a full output gets EAGAIN", True)
    _, ready, _ = select.select([], [fd], [], 0)
    check("poll does not say writable while the output is full", not ready)
    _, ready, _ = select.select([], [fd], [], 15)
    check("poll says writable once there is room again", bool(ready))
    termios.tcdrain(fd)
    os.close(fd)

    fd = raw_fd()
    drain_input(fd)
    done = threading.Event()
    threading.Thread(target=lambda: (os.write(fd, b"w" * 8192), done.set()), daemon=True).start()
    time.sleep(0.5)
    started = time.monotonic()
    fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0")
    check(f"FIONREAD does not wait behind a blocking write ({time.monotonic() - started:.2f} s)",
          time.monotonic() - started < 3.0 and not done.is_set())
    done.wait(30)

    class Alarm(Exception):
        pass

    def ring(signum, frame):
        raise Alarm()

    old = signal.signal(signal.SIGALRM, ring)
    signal.setitimer(signal.ITIMER_REAL, 1.0)
    started = time.monotonic()
    try:
        count = os.write(fd, b"s" * 32768)
        outcome = f"{count} bytes"
        ok = 0 < count < 32768
    except Alarm:
        outcome = "EINTR"
        ok = True
    seconds = time.monotonic() - started
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, old)
    check(f"SIGALRM ends a blocking 32 KiB write ({outcome} after {seconds:.2f} s)", ok and seconds < 6.0)
    os.close(fd)

    # A killed program's close comes with an interrupt of its own; whenever
    # the kill comes, the port is free again a moment later (a loaded guest
    # may take seconds, a write that went on at 9600 more than a minute).
    rounds = []
    for delay in (0.05, 0.3, 1.0, 0.15, 0.6, 0.02):
        writer = subprocess.Popen([sys.executable, "-c",
                                   "import os, sys; fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY); "
                                   "print('open', flush=True); os.write(fd, b'k' * 65536)", PORT],
                                  stdout=subprocess.PIPE, text=True)
        opened = writer.stdout.readline().strip() == "open"
        time.sleep(delay)
        os.kill(writer.pid, signal.SIGKILL)
        started = time.monotonic()
        writer.wait(30)
        gone = time.monotonic() - started
        started = time.monotonic()
        while True:
            try:
                os.close(os.open(PORT, os.O_RDWR | os.O_NOCTTY))
                reopened = True
                break
            except OSError as error:
                reopened = repr(error)
                if error.errno != errno.EBUSY or time.monotonic() - started > 30:
                    break
                time.sleep(0.05)
        freed = time.monotonic() - started
        rounds.append((opened and gone < 6.0 and reopened is True, f"{gone:.2f}/{freed:.2f} s"))
        if reopened is not True:
            break
    check(f"SIGKILLed 64 KiB writers end and free the port ({len(rounds)} kills, gone/freed: "
          + ", ".join(r[1] for r in rounds) + ")", len(rounds) == 6 and all(r[0] for r in rounds))
    print(devcon("set", os.path.basename(PORT), "--pacing", "off").stdout.strip(), flush=True)


def timed_read(fd, size=64):
    started = time.monotonic()
    data = os.read(fd, size)
    return data, time.monotonic() - started


def read_rules():
    # The echo plug sends back what is written: bytes arrive when we write them.
    cases = []
    fd = raw_fd(vmin=0, vtime=0)
    drain_input(fd)
    data, seconds = timed_read(fd)
    cases.append(("VMIN 0 VTIME 0 with nothing there returns 0 bytes at once", data == b"" and seconds < 0.9,
                  f"{data!r} after {seconds:.2f} s"))
    os.close(fd)
    fd = raw_fd(vmin=0, vtime=10)
    drain_input(fd)
    data, seconds = timed_read(fd)
    cases.append(("VMIN 0 VTIME 10 with nothing coming returns 0 bytes after 1 s",
                  data == b"" and 0.8 < seconds < 4.0, f"{data!r} after {seconds:.2f} s"))
    os.close(fd)
    fd = raw_fd(vmin=4, vtime=0)
    drain_input(fd)
    got = []
    reader = threading.Thread(target=lambda: got.append(timed_read(fd)), daemon=True)
    reader.start()
    os.write(fd, b"ab")
    time.sleep(1.0)
    early = list(got)
    os.write(fd, b"cd")
    reader.join(10)
    cases.append(("VMIN 4 waits for 4 bytes (2 then 2)", not early and got and got[0][0] == b"abcd",
                  f"early {early}, got {got}"))
    os.close(fd)
    fd = raw_fd(vmin=10, vtime=3)
    drain_input(fd)
    got = []
    reader = threading.Thread(target=lambda: got.append(timed_read(fd)), daemon=True)
    reader.start()
    time.sleep(1.0)
    waited = not got
    sent = time.monotonic()
    os.write(fd, b"xyz")
    reader.join(10)
    after = time.monotonic() - sent
    cases.append(("VMIN 10 VTIME 3: no limit before the first byte, 3 bytes 0.3 s after the last",
                  waited and got and got[0][0] == b"xyz" and 0.25 < after < 3.0,
                  f"waited {waited}, got {got}, {after:.2f} s after the write"))
    os.close(fd)
    for name, passed, detail in cases:
        check(name, passed, detail)
    fd = raw_fd()
    attrs = termios.tcgetattr(fd)
    attrs[3] |= termios.ICANON
    try:
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
        check("canonical mode is refused with EINVAL", False, "it was taken")
    except termios.error as error:
        check("canonical mode is refused with EINVAL", error.args[0] == errno.EINVAL, str(error))
    os.close(fd)


def modem_bits(fd):
    return struct.unpack("i", fcntl.ioctl(fd, termios.TIOCMGET, b"\0\0\0\0"))[0]


def lines_follow_open_and_close():
    offset = log_offset()
    fd = os.open(PORT, os.O_RDWR | os.O_NOCTTY)
    # The device server's reports of the lines follow each change (one may
    # still tell of the close before): they settle with both up.
    both = termios.TIOCM_DTR | termios.TIOCM_RTS
    check("open raises DTR and RTS (TIOCMGET)", wait_for(lambda: modem_bits(fd) & both == both, 3),
          hex(modem_bits(fd)))
    text = lambda: log_since(offset)
    check("open raises DTR and RTS at the device server",
          wait_for(lambda: "ControlPacket 0x13" in text() and "ControlPacket 0x14" in text()), text()[-400:])
    offset = log_offset()
    os.close(fd)
    check("the last close with HUPCL drops DTR and RTS at the device server",
          wait_for(lambda: "ControlPacket 0x11" in text() and "ControlPacket 0x12" in text()), text()[-400:])
    fd = os.open(PORT, os.O_RDWR | os.O_NOCTTY)
    bits = struct.unpack("i", fcntl.ioctl(fd, termios.TIOCMGET, b"\0\0\0\0"))[0]
    check("after a reopen TIOCMGET shows DTR and RTS up", bits & termios.TIOCM_DTR and bits & termios.TIOCM_RTS,
          hex(bits))
    attrs = termios.tcgetattr(fd)
    attrs[2] &= ~termios.HUPCL
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    offset = log_offset()
    os.close(fd)
    time.sleep(1)
    check("without HUPCL the last close leaves the lines", "ControlPacket 0x11" not in text(), text()[-400:])
    fd = os.open(PORT, os.O_RDWR | os.O_NOCTTY)
    attrs = termios.tcgetattr(fd)
    attrs[2] |= termios.HUPCL
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    os.close(fd)


ONLY = os.environ.get("CHECKS_ONLY")
if ONLY == "bulk":
    run("bulk", bulk_both_ways)
    sys.exit(1 if failures else 0)
if ONLY in ("table", "stop"):
    sys.exit(0)
if ONLY == "tty":
    run("writes", writes_never_hold_the_port)
    run("read rules", read_rules)
    run("lines", lines_follow_open_and_close)
    sys.exit(1 if failures else 0)
run("line and modem checks", line_and_modem)
run("stty", stty_shows_the_port)
run("picocom", picocom_both_ways)
run("configure then write", configure_then_write)
run("sigkill", sigkill_releases)
run("writes", writes_never_hold_the_port)
run("read rules", read_rules)
run("lines", lines_follow_open_and_close)
run("bulk", bulk_both_ways)
status = devcon("status").stdout
check("devcon status names the character-device front end", "frontend=cuse" in status, status)
print(f"{len(failures)} check(s) failed" if failures else "all checks passed", flush=True)
sys.exit(1 if failures else 0)
