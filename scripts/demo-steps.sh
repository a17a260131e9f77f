#!/usr/bin/env bash
# Demonstration steps, run inside the private network namespace by demo.sh.
# $1 is the folder of the built programs.
set -euo pipefail
bin=$1
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"

step() { printf '\n== %s\n' "$*"; }

if [ -x "$bin/devsim" ]; then
  step "devsim: five simulated device servers on 127.0.0.10 .. 127.0.0.14"
  "$bin/devsim" --devices 5 --first-address 127.0.0.10 > devsim.out 2>&1 &
  for _ in $(seq 50); do [ "$(wc -l < devsim.out)" -ge 5 ] && break; sleep 0.1; done
  cat devsim.out
fi

if [ -x "$bin/qelta" ]; then
  step "qelta: start-up (driver package check, Qelta.dat, network interface)"
  cp "$bin/../share/VORPIL.inf" . 2>/dev/null || true
  "$bin/qelta" startup || true
  step "Qelta.dat as written at exit"
  cat Qelta.dat 2>/dev/null | tr -d '\r' | head -n 40 || true
fi
echo
echo "demonstration finished"
