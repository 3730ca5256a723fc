#!/usr/bin/env bash
# Remote-access demo: a kxcr-server serving a simulated chip on a free
# loopback port, and ramtrawl reaching it over TCP to dump an array, write
# one entry and read it back.
#
# usage: examples/demo.sh BUILD_DIR
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 1
fi
build=$(cd "$1" && pwd)
examples=$(cd "$(dirname "$0")" && pwd)
for prog in ramtrawl kxcr-server; do
    if [ ! -x "$build/$prog" ]; then
        echo "demo: $build/$prog is not built" >&2
        exit 1
    fi
done

work=$(mktemp -d)
server_pid=
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The server says "listening on 127.0.0.1:PORT" once it accepts connections.
line=
mkfifo "$work/ready"
"$build/kxcr-server" --sim "$work/chip.img" --db "$examples/arr_db.txt" --port 0 \
    >"$work/ready" 2>"$work/server.log" &
server_pid=$!
read -r -t 10 line <"$work/ready" || true
port=${line##*:}
if [[ ! "$line" =~ ^listening\ on\ 127\.0\.0\.1:[0-9]+$ ]]; then
    echo "demo: the server did not start:" >&2
    cat "$work/server.log" >&2
    exit 1
fi
echo "kxcr-server serves a simulated chip on 127.0.0.1:$port"

device="127.0.0.1:$port,@dev@kdt@kx31001_pciconf0"

# ramtrawl finds arr_db.txt in its current directory.
run() {
    echo "\$ ramtrawl $*"
    (cd "$examples" && "$build/ramtrawl" "$@")
}

run "$device" -arr top.dut.hca.qpc_cache
run "$device" -arr top.dut.hca.qpc_cache -a 5 -d 1122334455667788aabbccdd00ff00ff
readback=$(run "$device" -arr top.dut.hca.qpc_cache -a 5)
echo "$readback"
if ! grep -q ":   5 : 11223344 55667788 aabbccdd 00ff00ff $" <<<"$readback"; then
    echo "demo: the entry read back is not the one written" >&2
    exit 1
fi
