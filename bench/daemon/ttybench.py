"""Measures a serial terminal carried over TCP: round trips through an echo
server, and throughput each way with every byte checked. Used by
latency_bench.sh for a vorpild port and a socat pty bridge alike."""
import errno, os, socket, sys, termios, threading, time, tty


def open_tty(path):
    # A character-device port admits one open: while devcon still holds it
    # (connecting), the open fails with EBUSY for a moment.
    deadline = time.monotonic() + 10
    while True:
        try:
            fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
            break
        except OSError as error:
            if error.errno != errno.EBUSY or time.monotonic() > deadline:
                raise
            time.sleep(0.01)
    tty.setraw(fd)
    attributes = termios.tcgetattr(fd)
    attributes[4] = attributes[5] = termios.B921600
    termios.tcsetattr(fd, termios.TCSANOW, attributes)
    return fd


def read_exactly(fd, count):
    data = bytearray()
    while len(data) < count:
        chunk = os.read(fd, count - len(data))
        if not chunk:
            raise RuntimeError("terminal closed")
        data += chunk
    return bytes(data)


def pattern(start, count):
    return bytes(((i * 7 + i // 251) & 0xFF) for i in range(start, start + count))


def round_trips(path, rounds, pause_ms):
    fd = open_tty(path)
    message = bytes(range(64))
    times = []
    for _ in range(20):  # warm up
        os.write(fd, message)
        read_exactly(fd, len(message))
    for _ in range(rounds):
        if pause_ms:
            time.sleep(pause_ms / 1000)
        start = time.perf_counter_ns()
        os.write(fd, message)
        if read_exactly(fd, len(message)) != message:
            raise RuntimeError("echo differs")
        times.append((time.perf_counter_ns() - start) / 1000)
    os.close(fd)
    times.sort()
    print("p50 %.0f p99 %.0f" % (times[len(times) // 2], times[len(times) * 99 // 100]), flush=True)


def listen(port):
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(1)
    print("listening", flush=True)
    connection, _ = server.accept()
    server.close()
    return connection


def to_network(path, port, size):
    connection = listen(port)
    fd = open_tty(path)
    data = pattern(0, size)
    result = {}

    def sink():
        got = bytearray()
        while len(got) < size:
            chunk = connection.recv(65536)
            if not chunk:
                break
            got += chunk
        result["ok"] = bytes(got) == data
        result["end"] = time.perf_counter()

    reader = threading.Thread(target=sink)
    reader.start()
    start = time.perf_counter()
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view[:4096]):]
    reader.join(120)
    os.close(fd)
    connection.close()
    seconds = result.get("end", time.perf_counter()) - start
    print("%.0f KiB/s %s" % (size / 1024 / seconds, "verified" if result.get("ok") else "WRONG"), flush=True)


def to_program(path, port, size):
    connection = listen(port)
    fd = open_tty(path)
    time.sleep(0.2)  # the terminal is attached before the first byte
    data = pattern(0, size)

    def source():
        connection.sendall(data)

    start = time.perf_counter()
    sender = threading.Thread(target=source)
    sender.start()
    got = read_exactly(fd, size)
    seconds = time.perf_counter() - start
    sender.join(10)
    os.close(fd)
    connection.close()
    print("%.0f KiB/s %s" % (size / 1024 / seconds, "verified" if got == data else "WRONG"), flush=True)


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "rtt":
        round_trips(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]))
    elif mode == "tx":
        to_network(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif mode == "rx":
        to_program(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
