#!/usr/bin/env bash
# The long series over a lossy link (2% loss, 5 ms delay each way): COUNT
# transfers of each SIZE per client (tftp-hpa 512, curl 512 and 1468, atftp
# 512 and 1468), every file compared, against qelta and against tftpd-hpa
# (in.tftpd) on the same link. The link is tc netem where the kernel has it,
# else netfilter (random drop) with tests/support/link_delay (the delay),
# else a guest (scripts/vm-run.sh). LOSSY_SERVERS picks the servers
# ("qelta in.tftpd"); LOSSY_CLIENTS the clients ("curl 1468|atftp 512");
# LOSSY_SIDE_BY_SIDE=1 starts a client's COUNT transfers at once; LOSSY_LIMIT
# bounds each transfer (seconds, default 3000).
#   bench/tftp/lossy.sh [BUILD_DIR] [COUNT] [SIZE...]   (default: 20 1 MiB and 8 MiB)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
usage="usage: bench/tftp/lossy.sh [BUILD_DIR] [COUNT] [SIZE...]   (COUNT 1..100000, SIZE 1..1073741824)"
. "$root/bench/whole_number.sh"
count=$(whole_number COUNT "${2:-20}" 1 100000) || exit 2
shift $(( $# > 2 ? 2 : $# ))
sizes=("$@")
for i in "${!sizes[@]}"; do sizes[i]=$(whole_number SIZE "${sizes[i]}" 1 1073741824) || exit 2; done
[ $# -gt 0 ] || sizes=($((1 << 20)) $((8 << 20)))
export LOSSY_SERVERS=${LOSSY_SERVERS:-qelta in.tftpd}
exec "$root/scripts/in-netns.sh" "$root/tests/utility/services/tftp/lossy_link_e2e.sh" "$build/bin" "$count" "${sizes[@]}"
