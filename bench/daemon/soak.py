"""Soak of vorpild: PORTS ports, half framed and half raw TCP, each to its own
scripted device server; programs open the ports, write and read numbered
records both ways at once and close again, over and over, opening again
within 0.3 s; every fourth device server stops reading for STALL seconds (and
keeps sending) from a quarter of the run on, with a small receive buffer and
a program writing 32 times as much, so that the program is held back for
most of the stall; halfway through the device servers are killed for a few
seconds and started again. Beside them one port
talks to a hostile RFC 2217 server (a flood of option requests, never
reading) from the start until three quarters of the run, and one raw port to
an echo, whose round trips are timed. Every record carries its port, its
number and a checksum, so a lost, repeated or corrupted byte is seen. Run by
soak.sh inside a private network namespace."""

import os
import random
import select
import socket
import struct
import subprocess
import sys
import threading
import time
import zlib

RECORD = 16  # magic (2), port (2), number (8), crc32 of the rest (4)
MAGIC = 0x5AA5
RATE = 40  # records each way per port and tenth of a second, at most


def record(port, number):
    body = struct.pack(">HHQ", MAGIC, port, number)
    return body + struct.pack(">I", zlib.crc32(body))


class Records:
    """Parses a byte stream into records; counts corruption and gaps."""

    def __init__(self, port):
        self.port = port
        self.pending = b""
        self.last = None
        self.good = 0
        self.bad = 0
        self.gaps = 0  # records missing between two that arrived
        self.duplicates = 0
        self.window = None  # (start, end): gaps that span part of it are counted apart
        self.window_gaps = 0
        self.last_at = 0.0  # when the last record arrived

    def restart(self, keep_numbers=False):
        # A new session: what came before may be cut off. A device server
        # keeps counting across connections, so a record lost at a
        # reconnection is seen.
        self.pending = b""
        if not keep_numbers:
            self.last = None

    def feed(self, data):
        self.pending += data
        while len(self.pending) >= RECORD:
            chunk = self.pending[:RECORD]
            magic, port, number = struct.unpack(">HHQ", chunk[:12])
            (crc,) = struct.unpack(">I", chunk[12:])
            if magic != MAGIC or port != self.port or zlib.crc32(chunk[:12]) != crc:
                if self.last is not None:
                    self.bad += 1
                self.pending = self.pending[1:]  # find the next record
                continue
            self.pending = self.pending[RECORD:]
            if self.last is not None:
                if number <= self.last:
                    self.duplicates += 1
                elif number > self.last + 1:
                    # Lost around the kill: the record before the gap came
                    # before its end, the one after it after its start.
                    now = time.monotonic()
                    if self.window and self.last_at < self.window[1] and now >= self.window[0]:
                        self.window_gaps += number - self.last - 1
                    else:
                        self.gaps += number - self.last - 1
            self.last = number
            self.last_at = time.monotonic()
            self.good += 1


class Device:
    """A scripted device server for one port: listens, sends records, checks
    what arrives. Framed ports wrap data in 0x32 packets and skip others."""

    def __init__(self, index, framed, stalls=False):
        self.index = index
        self.framed = framed
        self.stalls = stalls
        self.listener = None
        self.port = 0
        self.sent = 0  # bytes sent to the port
        self.received = Records(index)
        self.received_bytes = 0
        self.stream = b""
        self.next_number = 0
        self.alive = True
        self.lock = threading.Lock()

    def listen(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if self.stalls:
            # Inherited by the connection: a stall holds the port back soon.
            self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.listener.bind(("127.0.0.1", self.port))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]

    def run(self, stop, down, stall=None):
        connection = None
        while not stop.is_set():
            now = time.monotonic()
            stalled = stall is not None and stall[0] <= now < stall[1]
            if down.is_set():
                if connection:
                    connection.close()
                    connection = None
                    self.received.restart(keep_numbers=True)
                if self.listener:
                    self.listener.close()
                    self.listener = None
                time.sleep(0.05)
                continue
            if not self.listener:
                self.listen()
            if not connection:
                ready = select.select([self.listener], [], [], 0.1)[0]
                if ready:
                    connection, _ = self.listener.accept()
                    connection.setblocking(False)
                    self.stream = b""
                    self.received.restart(keep_numbers=True)
                continue
            try:
                ready = select.select([connection], [], [], 0.1)[0]
                if ready and not stalled:
                    data = connection.recv(65536)
                    if not data:
                        connection.close()
                        connection = None
                        continue
                    self.take(data)
                payload = b"".join(record(self.index, self.next_number + k) for k in range(RATE))
                out = struct.pack(">BH", 0x32, len(payload)) + payload if self.framed else payload
                try:
                    count = connection.send(out)
                except BlockingIOError:
                    count = 0
                if count == len(out):
                    self.next_number += RATE
                    self.sent += len(payload)
                elif count:
                    # Finish what began, so the stream stays whole.
                    connection.setblocking(True)
                    connection.sendall(out[count:])
                    connection.setblocking(False)
                    self.next_number += RATE
                    self.sent += len(payload)
            except OSError:
                if connection:
                    connection.close()
                connection = None

    def take(self, data):
        if not self.framed:
            self.received_bytes += len(data)
            self.received.feed(data)
            return
        self.stream += data
        while len(self.stream) >= 3:
            kind, length = struct.unpack(">BH", self.stream[:3])
            if len(self.stream) < 3 + length:
                break
            payload = self.stream[3:3 + length]
            self.stream = self.stream[3 + length:]
            if kind == 0x32:
                self.received_bytes += len(payload)
                self.received.feed(payload)


class Program:
    """Opens one port again and again, writes records, reads records."""

    def __init__(self, index, path, burst=1):
        self.index = index
        self.path = path
        self.burst = burst  # rounds of records per write
        self.held = 0.0  # seconds with bytes to write that the port did not take
        self.longest_hold = 0.0
        self.written = 0
        self.next_number = 0
        self.received = Records(index)
        self.received_bytes = 0
        self.opens = 0
        self.errors = 0

    def run(self, stop):
        rng = random.Random(self.index)
        while not stop.is_set():
            try:
                fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            except OSError:
                self.errors += 1
                time.sleep(0.2)
                continue
            self.opens += 1
            self.received.restart()
            session_end = time.monotonic() + rng.uniform(0.2, 3.0)
            while time.monotonic() < session_end and not stop.is_set():
                count = RATE * self.burst
                payload = b"".join(record(self.index, self.next_number + k) for k in range(count))
                view = memoryview(payload)
                hold_began = None
                while view and not stop.is_set():
                    ready = select.select([fd], [fd], [], 0.1)
                    if ready[0]:
                        self.read(fd)
                    took = 0
                    if ready[1]:
                        try:
                            took = os.write(fd, view)
                            view = view[took:]
                        except BlockingIOError:
                            pass
                    now = time.monotonic()
                    if took:
                        hold_began = None
                    elif hold_began is None:
                        hold_began = now
                    else:
                        self.held += now - hold_began
                        self.longest_hold = max(self.longest_hold, now - hold_began)
                        hold_began = now
                self.next_number += count
                self.written += len(payload)
                end = time.monotonic() + 0.1
                while time.monotonic() < end:
                    if select.select([fd], [], [], max(0, end - time.monotonic()))[0]:
                        self.read(fd)
            os.close(fd)
            time.sleep(rng.uniform(0.0, 0.3))

    def read(self, fd):
        try:
            data = os.read(fd, 65536)
        except (BlockingIOError, OSError):
            return
        self.received_bytes += len(data)
        self.received.feed(data)


class Hostile:
    """An RFC 2217 server that asks for options without end and reads nothing."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]

    def run(self, stop, until):
        flood = bytes([255, 253, 44, 255, 251, 44, 255, 250, 44, 0, 255, 240]) * 4096
        self.listener.settimeout(0.2)
        connections = []
        while not stop.is_set() and time.monotonic() < until:
            try:
                connection, _ = self.listener.accept()
                connection.setblocking(False)
                connections.append(connection)
            except socket.timeout:
                pass
            for connection in list(connections):
                try:
                    connection.send(flood)
                except BlockingIOError:
                    pass
                except OSError:
                    connections.remove(connection)
        for connection in connections:
            connection.close()
        self.listener.close()


class Echo:
    """A raw device server that sends every byte back, and a program timing
    64-byte round trips through it."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.times = []  # (when, seconds)

    def serve(self, stop):
        self.listener.settimeout(0.2)
        while not stop.is_set():
            try:
                connection, _ = self.listener.accept()
            except socket.timeout:
                continue
            connection.settimeout(0.2)
            while not stop.is_set():
                try:
                    data = connection.recv(65536)
                except socket.timeout:
                    continue
                except OSError:
                    break
                if not data:
                    break
                connection.sendall(data)
            connection.close()

    def probe(self, stop, path):
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        message = bytes(range(64))
        while not stop.is_set():
            start = time.monotonic()
            os.write(fd, message)
            got = b""
            while len(got) < len(message) and not stop.is_set():
                if select.select([fd], [], [], 0.5)[0]:
                    got += os.read(fd, 64 - len(got))
            if got == message:
                self.times.append((start, time.monotonic() - start))
            time.sleep(0.02)
        os.close(fd)


def percentile(values, share):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def status(bin_dir, env):
    out = subprocess.run([os.path.join(bin_dir, "devcon"), "status"], env=env, capture_output=True, text=True).stdout
    counts = {}
    for line in out.splitlines():
        if line.startswith("terminal "):
            fields = dict(part.split("=", 1) for part in line.split()[2:] if "=" in part)
            counts[line.split()[1]] = {k: int(v) for k, v in fields.items() if v.isdigit()}
    return counts


def usage_of(pid):
    fields = {}
    with open("/proc/%d/status" % pid) as status_file:
        for line in status_file:
            key, _, value = line.partition(":")
            fields[key] = value.split()
    return int(fields["Threads"][0]), len(os.listdir("/proc/%d/fd" % pid)), int(fields["VmRSS"][0])


def main():
    bin_dir, ports, seconds, work = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
    stall_seconds = float(sys.argv[5]) if len(sys.argv) > 5 else 60.0
    env = dict(os.environ, VORPIL_RUNTIME_DIR=os.path.join(work, "run"))
    daemon = subprocess.Popen([os.path.join(bin_dir, "vorpild"), "--foreground", "--runtime-dir", env["VORPIL_RUNTIME_DIR"],
                               "--state-dir", os.path.join(work, "state")], stderr=open(os.path.join(work, "vorpild.log"), "w"))
    for _ in range(100):
        if os.path.exists(os.path.join(env["VORPIL_RUNTIME_DIR"], "control")):
            break
        time.sleep(0.1)
    devcon = os.path.join(bin_dir, "devcon")
    inf = os.path.join(bin_dir, "VORPIL.inf")
    devices = [Device(i, i % 2 == 0, stall_seconds > 0 and i % 4 == 1) for i in range(ports)]
    for device in devices:
        device.listen()
    start_usage = usage_of(daemon.pid)
    for i, device in enumerate(devices):
        name = "COM%d" % (i + 5)
        subprocess.run([devcon, "install", inf, "ZORV\\Rure", name], env=env, check=True, capture_output=True)
        subprocess.run([devcon, "set", name, "--remote", "127.0.0.1:%d" % device.port, "--tcp", "--client",
                        "--framed" if device.framed else "--raw", "--reconnect", "1"], env=env, check=True, capture_output=True)
        subprocess.run([devcon, "set", name, "--pacing", "off"], env=env, check=True, capture_output=True)
        subprocess.run([devcon, "connect", name], env=env, check=True, capture_output=True)
    hostile, echo = Hostile(), Echo()
    extra = {"COM%d" % (ports + 5): ("--raw", hostile.port, ["--protocol", "rfc2217"]),
             "COM%d" % (ports + 6): ("--raw", echo.port, [])}
    for name, (framing, port, more) in extra.items():
        subprocess.run([devcon, "install", inf, "ZORV\\Rure", name], env=env, check=True, capture_output=True)
        subprocess.run([devcon, "set", name, "--remote", "127.0.0.1:%d" % port, "--tcp", "--client", framing,
                        "--pacing", "off"] + more, env=env, check=True, capture_output=True)
    stop = threading.Event()
    down = threading.Event()
    began = time.monotonic()
    hostile_until = began + seconds * 3 / 4
    threading.Thread(target=hostile.run, args=(stop, hostile_until), daemon=True).start()
    threading.Thread(target=echo.serve, args=(stop,), daemon=True).start()
    for name in extra:
        subprocess.run([devcon, "connect", name], env=env, capture_output=True)
    idle_usage = usage_of(daemon.pid)
    stall_at = began + seconds / 4
    stall = (stall_at, stall_at + stall_seconds)
    programs = [Program(i, os.path.join(env["VORPIL_RUNTIME_DIR"], "dev", "COM%d" % (i + 5)),
                        32 if devices[i].stalls else 1) for i in range(ports)]
    threads = [threading.Thread(target=d.run, args=(stop, down, stall if d.stalls else None))
               for d in devices]
    threads += [threading.Thread(target=p.run, args=(stop,)) for p in programs]
    threads.append(threading.Thread(target=echo.probe,
                                    args=(stop, os.path.join(env["VORPIL_RUNTIME_DIR"], "dev", "COM%d" % (ports + 6)))))
    rss = []

    def sample():
        while not stop.is_set():
            rss.append(usage_of(daemon.pid)[2])
            time.sleep(1)
    threads.append(threading.Thread(target=sample))
    for thread in threads:
        thread.start()
    killed_at = began + seconds / 2
    # Records lost across the kill were in flight (or refused) when the
    # device servers were killed.
    for device in devices:
        device.received.window = (killed_at, killed_at + 3)
    time.sleep(max(0, killed_at - time.monotonic()))
    before_kill = status(bin_dir, env)
    down.set()  # the device servers are gone
    time.sleep(3)
    down.clear()
    after_kill_window = time.monotonic() + 5
    time.sleep(max(0, began + seconds - time.monotonic()))
    stop.set()
    for thread in threads:
        thread.join()
    time.sleep(2)  # let the last bytes land
    counts = status(bin_dir, env)
    # Every port closed by now: the daemon is back to its idle use.
    end_usage = usage_of(daemon.pid)
    daemon.terminate()
    try:
        daemon.wait(20)
    except subprocess.TimeoutExpired:
        if os.environ.get("SOAK_DEBUG"):
            subprocess.run(["gdb", "-p", str(daemon.pid), "-batch", "-ex", "thread apply all bt 15"],
                           stdout=open(os.environ["SOAK_DEBUG"], "w"), stderr=subprocess.DEVNULL)
        print("vorpild did not stop within 20 s of SIGTERM", file=sys.stderr)
        daemon.kill()
        daemon.wait()

    # The records' ports only: the echo's and the hostile server's are apart.
    names = ["COM%d" % (i + 5) for i in range(ports)]
    written = sum(p.written for p in programs)
    to_port = sum(counts.get(n, {}).get("to-port", 0) for n in names)
    not_sent = sum(counts.get(n, {}).get("not-sent", 0) for n in names)
    not_sent_before_kill = sum(before_kill.get(n, {}).get("not-sent", 0) for n in names)
    device_got = sum(d.received_bytes for d in devices)
    device_sent = sum(d.sent for d in devices)
    program_got = sum(p.received_bytes for p in programs)
    print("ports: %d (%d framed, %d raw), %.0f s, device servers killed for 3 s at %.0f s" % (
        ports, (ports + 1) // 2, ports // 2, seconds, seconds / 2))
    print("opens and closes: %d" % sum(p.opens for p in programs))
    print("program to network: written %d, taken by the port %d, counted not sent %d (%d before the kill), "
          "arrived %d, lost %d (in flight when the device servers were killed)" % (
              written, to_port, not_sent, not_sent_before_kill, device_got, to_port - device_got))
    print("  every byte written is taken or counted not sent: %s" % ("yes" if written == to_port + not_sent else
                                                                      "no, %d apart" % (written - to_port - not_sent)))
    print("  records: corrupted %d, repeated %d, missing %d outside the kill window (%d bytes), %d in it" % (
        sum(d.received.bad for d in devices), sum(d.received.duplicates for d in devices),
        sum(d.received.gaps for d in devices), RECORD * sum(d.received.gaps for d in devices),
        sum(d.received.window_gaps for d in devices)))
    print("network to program: sent %d, read by programs %d (bytes arriving while no program had a port are "
          "not kept, by rule)" % (device_sent, program_got))
    print("  records: corrupted %d, repeated %d, missing within a session %d" % (
        sum(p.received.bad for p in programs), sum(p.received.duplicates for p in programs),
        sum(p.received.gaps for p in programs)))
    print("vorpild threads/descriptors/RSS KiB: start %d/%d/%d, %d ports idle %d/%d/%d, end %d/%d/%d" % (
        start_usage + (ports,) + idle_usage + end_usage))
    held = [p for p in programs if devices[p.index].stalls]
    print("stalled device servers: %d, reading nothing for %.0f s from %.0f s; their programs held back %.0f s "
          "in all, longest %.1f s (the others' longest %.1f s)" % (
              len(held), stall_seconds, seconds / 4, sum(p.held for p in held),
              max((p.longest_hold for p in held), default=0),
              max((p.longest_hold for p in programs if p not in held), default=0)))
    phases = [("before the stall", began, stall[0]), ("stall", stall[0], stall[1]), ("kill", killed_at, after_kill_window),
              ("hostile server running", began, hostile_until), ("after it", hostile_until, float("inf"))]
    print("echo port round trips by phase (count p50/p99/max ms): " + "; ".join(
        "%s %d %.1f/%.1f/%.1f" % (name, len(ts), 1000 * percentile(ts, 0.5), 1000 * percentile(ts, 0.99),
                                  1000 * max(ts, default=float("nan")))
        for name, lo, hi in phases for ts in [[t for when, t in echo.times if lo <= when < hi]]))
    print("vorpild RSS KiB during the run: max %d, last %d" % (max(rss, default=0), rss[-1] if rss else 0))
    problems = sum(d.received.bad + d.received.duplicates + d.received.gaps for d in devices) + sum(
        p.received.bad + p.received.duplicates for p in programs)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
