"""An orderly stop of vorpild with the character-device front end, inside the
test machine: a program writes 4096 bytes with O_NONBLOCK to a port paced at
9600 baud (the write is answered at once, the bytes take about 4 s to go)
and vorpild gets SIGTERM 0.3 s later. With the stop's default wait every
byte must reach the device server; with --stop-wait 1 what did not go must
be in the stop's log line ("N bytes not sent"), so that what arrived and
what is reported make the whole write. A stop while a blocking write waits
for a device server that reads nothing ends within its wait.
Usage: stop_checks.py BIN_DIR WORK_DIR
Prints "ok NAME" or "FAIL NAME: why" per check; exits 1 when any failed."""
import os, re, signal, socket, subprocess, sys, termios, threading, time, tty

from checking import check, failures, run, wait_for

if len(sys.argv) == 2 and sys.argv[1] in ("-h", "--help"):
    print(__doc__)
    sys.exit(0)
if len(sys.argv) != 3:
    print("usage: stop_checks.py BIN_DIR WORK_DIR", file=sys.stderr)
    sys.exit(2)
BIN, WORK = sys.argv[1:3]
SIZE = 4096


def one_stop(case, stop_wait, stalled=False):
    """Returns (bytes written, bytes the device server got, intact, the stop's log, seconds to exit).
    A stalled device server reads nothing; the program then writes 4 MiB unpaced, blocking."""
    run = os.path.join(WORK, "stop-%s" % case)
    os.makedirs(run, exist_ok=True)
    env = dict(os.environ, VORPIL_RUNTIME_DIR=os.path.join(run, "run"))
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.40", 7001))
    listener.listen(1)
    received = bytearray()
    accepted = threading.Event()

    def device():
        conn, _ = listener.accept()
        accepted.set()
        if stalled:
            time.sleep(60)
            return
        while True:
            try:
                chunk = conn.recv(65536)
            except ConnectionResetError:  # vorpild's exit may reset the connection
                break
            if not chunk:
                break
            received.extend(chunk)
        conn.close()

    reader = threading.Thread(target=device, daemon=True)
    reader.start()
    args = [os.path.join(BIN, "vorpild"), "--foreground", "--frontend", "cuse", "--runtime-dir", env["VORPIL_RUNTIME_DIR"],
            "--state-dir", os.path.join(run, "state")]
    if stop_wait is not None:
        args += ["--stop-wait", str(stop_wait)]
    log_path = os.path.join(run, "vorpild.err")
    with open(log_path, "w") as log:
        daemon = subprocess.Popen(args, stderr=log, env=env)
    try:
        wait_for(lambda: os.path.exists(os.path.join(env["VORPIL_RUNTIME_DIR"], "control")))
        devcon = lambda *a: subprocess.run([os.path.join(BIN, "devcon"), *a], env=env, capture_output=True, check=True)
        devcon("install", os.path.join(BIN, "VORPIL.inf"), "ZORV\\Rure", "COM11")
        devcon("set", "COM11", "--remote", "127.0.0.40:7001", "--tcp", "--client", "--raw", "--pacing",
               "off" if stalled else "on")
        devcon("connect", "COM11")
        if not accepted.wait(15):
            raise RuntimeError("the port did not connect")
        path = "/dev/vorpil/COM11"
        wait_for(lambda: os.path.exists(path))
        fd = os.open(path, os.O_WRONLY | os.O_NOCTTY | (0 if stalled else os.O_NONBLOCK))
        tty.setraw(fd)
        attributes = termios.tcgetattr(fd)
        attributes[4] = attributes[5] = termios.B9600
        termios.tcsetattr(fd, termios.TCSANOW, attributes)
        data = bytes((i * 7 + 3) % 251 for i in range(SIZE))
        written = 0
        if stalled:
            # Blocks once the connection's buffers are full; fails when vorpild goes.
            def blocked():
                try:
                    os.write(fd, bytes(4 << 20))
                except OSError:
                    pass
            threading.Thread(target=blocked, daemon=True).start()
            time.sleep(5)
        while written < SIZE and not stalled:
            try:
                written += os.write(fd, data[written:])
            except BlockingIOError:
                break
        time.sleep(0.3)
        started = time.monotonic()
        daemon.send_signal(signal.SIGTERM)
        daemon.wait(90)
        took = time.monotonic() - started
        try:
            os.close(fd)
        except OSError:
            pass
        reader.join(15)
        intact = bytes(received) == data[:len(received)]
        with open(log_path, errors="replace") as f:
            log = f.read()
        return written, len(received), intact, log, took
    finally:
        if daemon.poll() is None:
            daemon.kill()
            daemon.wait()
        listener.close()


def not_sent(log):
    found = re.search(r"COM11: stopping: (\d+) bytes sent, (\d+) bytes not sent", log)
    return None if not found else int(found.group(2))


def stop_sends_what_was_written():
    written, got, intact, log, took = one_stop("all", None)
    check("an orderly stop sends the bytes an O_NONBLOCK write left (%d of %d arrived, exit after %.1f s)"
          % (got, written, took), written == SIZE and got == written and intact and not_sent(log) == 0, log[-600:])


def stop_out_of_time_counts_the_rest():
    written, got, intact, log, took = one_stop("short", 1)
    missing = not_sent(log)
    check("a stop out of time names what it dropped (%d arrived, %s reported not sent, of %d; exit after %.1f s)"
          % (got, missing, written, took), written == SIZE and intact and missing is not None and missing > 0
          and got + missing == written, log[-600:])


def stop_with_a_stalled_device_server_ends():
    written, got, intact, log, took = one_stop("stalled", 1, stalled=True)
    missing = not_sent(log)
    check("a stop ends while a device server reads nothing (exit after %.1f s, %s reported not sent)" % (took, missing),
          took < 20 and missing is not None and missing > 0, log[-600:])


run("stop", stop_sends_what_was_written)
run("stop out of time", stop_out_of_time_counts_the_rest)
run("stop with a stalled device server", stop_with_a_stalled_device_server_ends)
sys.exit(1 if failures else 0)
