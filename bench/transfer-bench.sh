#!/bin/bash
# Transfer benchmark between two test hosts (run by hand, as root, not in CI):
#
#   bench/transfer-bench.sh [BUILD_DIR]        (default: build)
#
# Makes two network namespaces joined by a veth pair (tests/netns.sh pair), and moves two data sets
# (one 1 GiB file; 20,000 files of 4 KiB in 100 folders) from host B to host A over the veth as it
# is and shaped to 1 Gbit/s: once with two copies of the program driven through their widgets
# (nubo-drive), once with `tar c | nc` into `nc | tar x` as the yardstick. Prints one table.
# Needs: iproute2 (ip, tc), netcat-openbsd, GNU time.

set -u
here=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != "--inside" ]; then
    build=$(cd "${1:-$here/build}" && pwd)
    [ -x "$build/tests/nubo-drive" ] || { echo "build first: make test (no $build/tests/nubo-drive)"; exit 1; }
    for tool in nc tc /usr/bin/time; do
        command -v $tool >/dev/null || { echo "missing $tool: apt-get install netcat-openbsd iproute2 time"; exit 1; }
    done
    exec "$here/tests/netns.sh" pair "$0" --inside "$build"
fi

build=$2
drive=$build/tests/nubo-drive
: "${NS_A:?}" "${NS_B:?}" "${ADDR_A:?}"
work=$(mktemp -d /var/tmp/nubo-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8

echo "making data sets in $work ..." >&2
mkdir -p "$work/data/big" "$work/data/small/many"
head -c $((1024 * 1024 * 1024)) /dev/urandom > "$work/data/big/one-gib.bin"
for d in $(seq -w 1 100); do
    mkdir -p "$work/data/small/many/d$d"
    for f in $(seq -w 1 200); do head -c 4096 /dev/urandom > "$work/data/small/many/d$d/f$f"; done
done

shape() { # rate or "none"
    for ns in "$NS_A" "$NS_B"; do
        ip netns exec "$ns" tc qdisc del dev nubo0 root 2>/dev/null
        [ "$1" = none ] || ip netns exec "$ns" tc qdisc add dev nubo0 root tbf rate "$1" burst 512kb latency 20ms
    done
}

field() { awk -v k="$2" '$1 == "time" && $2 == k { print $3 }' "$1"; }
maxrss() { awk '$1 == "maxrss" { printf "%.0f", $2 / 1024 }' "$1"; }

gap() { awk '$1 == "maxgap" { print $2 }' "$1"; }

# nubo SET: prints "seconds recvMiB sendMiB discovery recvGapMs sendGapMs"
nubo() {
    local set=$1 src dest="$work/save" rdir="$work/recv" sdir="$work/send"
    rm -rf "$dest" "$rdir" "$sdir"; mkdir -p "$dest" "$rdir" "$sdir"
    printf '[General]\nuserName=hostA\nsaveDir=%s\n' "$dest" > "$rdir/config.ini"
    printf '[General]\nuserName=hostB\n' > "$sdir/config.ini"
    if [ "$set" = big ]; then src=$work/data/big/one-gib.bin; else src=$work/data/small/many; fi
    sync; echo 3 > /proc/sys/vm/drop_caches 2>/dev/null
    # The receiver is up first, as a user would open 接收 before the sender drops anything.
    (cd "$rdir" && exec ip netns exec "$NS_A" /usr/bin/time -f 'maxrss %M' "$drive" receive --timeout 900) > "$work/recv.log" 2>&1 &
    local receiver=$!
    sleep 2
    (cd "$sdir" && exec ip netns exec "$NS_B" /usr/bin/time -f 'maxrss %M' "$drive" send --to hostA --timeout 900 "$src") > "$work/send.log" 2>&1
    local rc_send=$?
    wait $receiver
    local rc_recv=$?
    [ -n "${BENCH_KEEP_LOGS:-}" ] && cp "$work/recv.log" "$work/send.log" "$BENCH_KEEP_LOGS/"
    if [ $rc_recv -ne 0 ] || [ $rc_send -ne 0 ]; then
        echo "transfer failed (receiver $rc_recv, sender $rc_send)" >&2; cat "$work/recv.log" "$work/send.log" >&2
        echo "- - - - - -"; return
    fi
    local drop end question answered entered chosen
    drop=$(field "$work/send.log" drop); chosen=$(field "$work/send.log" chosen)
    end=$(field "$work/recv.log" end0); question=$(field "$work/recv.log" question0)
    answered=$(field "$work/recv.log" answered0); entered=$(field "$work/send.log" entered)
    # Less the human waits: picking the receiver (packing goes on meanwhile, which is the point
    # of packing while the user chooses) and answering the question. The receiver's quiet
    # period of one second before it asks is part of the protocol and stays counted.
    local waiting=$(( answered - question + chosen - drop ))
    awk -v t=$(( end - drop - waiting )) -v r="$(maxrss "$work/recv.log")" -v s="$(maxrss "$work/send.log")" \
        -v d=$(( chosen - entered )) -v gr="$(gap "$work/recv.log")" -v gs="$(gap "$work/send.log")" \
        'BEGIN { printf "%.2f %s %s %.2f %s %s\n", t / 1000, r, s, d / 1000, gr, gs }'
}

# yardstick SET: prints seconds
yardstick() {
    local set=$1 dest="$work/save" port=5001
    rm -rf "$dest"; mkdir -p "$dest"
    local dir name
    if [ "$set" = big ]; then dir=$work/data/big; name=one-gib.bin; else dir=$work/data/small; name=many; fi
    sync; echo 3 > /proc/sys/vm/drop_caches 2>/dev/null
    ip netns exec "$NS_A" sh -c "nc -l $port | tar x -C '$dest'" &
    local receiver=$!
    sleep 0.5
    local t0 t1
    t0=$(date +%s.%N)
    ip netns exec "$NS_B" sh -c "tar c -C '$dir' '$name' | nc -N $ADDR_A $port"
    wait $receiver
    t1=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }'
}

printf '%-10s %-12s %8s %8s %8s %8s %9s %9s %10s %9s %9s\n' link data nubo_s nubo_MBs tar_nc_s ratio recv_MiB send_MiB discover_s recv_gap send_gap
# BENCH_LINKS and BENCH_SETS pick rows, e.g. BENCH_LINKS=1gbit BENCH_SETS=big.
for link in ${BENCH_LINKS:-none 1gbit}; do
    shape $link
    for set in ${BENCH_SETS:-big small}; do
        bytes=$(du -sb --apparent-size "$work/data/$set" | cut -f1)
        read -r secs rmem smem disc rgap sgap < <(nubo $set)
        ysecs=$(yardstick $set)
        awk -v l="$( [ $link = none ] && echo veth || echo veth-1Gbit )" -v d="$( [ $set = big ] && echo "1GiB-file" || echo "20000x4KiB" )" \
            -v s="$secs" -v y="$ysecs" -v b="$bytes" -v r="$rmem" -v m="$smem" -v c="$disc" \
            -v gr="$rgap" -v gs="$sgap" \
            'BEGIN { mbs = (s > 0) ? b / s / 1e6 : 0; ratio = (y > 0) ? s / y : 0;
                     printf "%-10s %-12s %8s %8.1f %8s %8.2f %9s %9s %10s %9s %9s\n", l, d, s, mbs, y, ratio, r, m, c, gr, gs }'
    done
done
shape none
