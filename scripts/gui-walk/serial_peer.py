"""What sits on a simulated device server's serial port in the walk: it
writes each line it receives to LOG and answers "device got: LINE".

  serial_peer.py SERIAL_PATH LOG

Prints "ready" once the port is open; ends on SIGTERM.
"""
import os
import sys
import termios
import tty


def main(path, log_path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd, termios.TCSANOW)
    print("ready", flush=True)
    pending = b""
    with open(log_path, "ab", buffering=0) as log:
        while True:
            data = os.read(fd, 4096)
            if not data:
                return 0
            pending += data
            while True:
                ends = [at for at in (pending.find(b"\r"), pending.find(b"\n")) if at >= 0]
                if not ends:
                    break
                line, pending = pending[: min(ends)], pending[min(ends) + 1 :]
                if not line:
                    continue
                log.write(line + b"\n")
                os.write(fd, b"device got: " + line + b"\r\n")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
