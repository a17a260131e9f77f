#!/bin/sh
# Runs one test program in a network namespace of its own (loopback up, a
# multicast route on lo), so tests running side by side never share ports and
# nothing they send leaves the machine. ctest starts every test through this.
flags=-n
[ "$(id -u)" -eq 0 ] || flags=-rn
exec unshare "$flags" -- sh -c 'ip link set lo up && { ip route add 224.0.0.0/4 dev lo 2>/dev/null || true; }; exec "$@"' sh "$@"
