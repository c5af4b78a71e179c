#!/bin/bash
# Transfer benchmark between two test hosts (run by hand, as root, not in CI):
#
#   bench/transfer-bench.sh [BUILD_DIR]        (default: build; needs its tests/nubo-drive)
#
# Makes two network namespaces joined by a veth pair (tests/netns.sh pair) and moves two data sets
# (one 1 GiB file; 20,000 files of 4 KiB in 100 folders) from host B to host A over the veth as it
# is and shaped to 1 Gbit/s, four ways in every run: two copies of the program driven through
# their widgets (nubo-drive); `tar c | nc` into `nc | tar x`; bench/zerocopy.cpp, the plainest
# copy of the same tree over one TCP connection (sendfile out, 1 MiB reads in); and the same copier
# inside one TLS 1.3 connection (zerocopy --tls), the yardstick for the program's encryption, whose
# send path (kernel TLS or user space) the tables name. Page caches are dropped before each of the
# four. A second table times what two copies of the program save
# between them: a resend of an unchanged tree, of a tree with one file changed, and the rest of a
# transfer cut at half. Progress goes to stderr; the result is markdown tables on stdout, ready for
# the README.
#
# Environment:
#   BENCH_LINKS     "veth" (as it is) and/or "1gbit" (tbf)         default: veth 1gbit
#   BENCH_SETS      "big" (one file) and/or "small" (many files)   default: big small
#   BENCH_FILE_MIB  size of the one file in MiB                    default: 1024
#   BENCH_FILES     number of 4 KiB files, in 100 folders          default: 20000
#   BENCH_RUNS      runs of every row   default: 3 for one file at 1 Gbit/s (link-bound, the
#                   slowest and steadiest row), 5 for the others; all rows take about 15 minutes
#   BENCH_KEEP_LOGS a folder that keeps the drivers' logs of every run
#   BENCH_EXT_RUNS  runs of the second table (between two copies: unchanged, changed, resumed
#                   transfers at 1 Gbit/s)                          default: 3
#   BENCH_NO_EXTENDED  leave the second table out
#   BENCH_SPARSE_GIB   size of the sparse file whose cut transfer is resumed in the last table,
#                   at 1 Gbit/s, once; 0 leaves the row out        default: 20
# Needs iproute2 (ip, tc, ss), netcat-openbsd, GNU time and g++; installs what is missing as root.

set -u
here=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != "--inside" ]; then
    build=$(cd "${1:-$here/build}" && pwd) || exit 1
    [ -x "$build/tests/nubo-drive" ] || { echo "build first: make test (no $build/tests/nubo-drive)"; exit 1; }
    [ "$(id -u)" -eq 0 ] || { echo "run as root: the benchmark makes network namespaces and drops page caches"; exit 1; }
    missing=""
    for pair in nc:netcat-openbsd tc:iproute2 ss:iproute2 /usr/bin/time:time g++:g++; do
        command -v "${pair%%:*}" >/dev/null || missing="$missing ${pair#*:}"
    done
    if [ -n "$missing" ]; then
        apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing || exit 1
    fi
    exec "$here/tests/netns.sh" pair "$0" --inside "$build"
fi

build=$2
drive=$build/tests/nubo-drive
: "${NS_A:?}" "${NS_B:?}" "${ADDR_A:?}"
work=$(mktemp -d /var/tmp/nubo-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/spent"
dest=$work/save rdir=$work/recv sdir=$work/send
export QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8
file_mib=${BENCH_FILE_MIB:-1024}
per_folder=$(( ${BENCH_FILES:-20000} / 100 ))
[ $per_folder -ge 1 ] || per_folder=1
files=$(( per_folder * 100 ))
started=$(date +%s)
if [ -n "${BENCH_KEEP_LOGS:-}" ]; then
    mkdir -p "$BENCH_KEEP_LOGS" && BENCH_KEEP_LOGS=$(cd "$BENCH_KEEP_LOGS" && pwd) || exit 1
fi

g++ -std=c++17 -O2 -Wall -Wextra -o "$work/zerocopy" "$here/bench/zerocopy.cpp" -lssl -lcrypto || exit 1

echo "making data sets in $work ..." >&2
mkdir -p "$work/data/big" "$work/data/small/many"
case " ${BENCH_SETS:-big small} " in *" big "*)
    head -c $(( file_mib * 1024 * 1024 )) /dev/urandom > "$work/data/big/one-file.bin" ;;
esac
case " ${BENCH_SETS:-big small} " in *" small "*)
    for d in $(seq -w 1 100); do
        mkdir -p "$work/data/small/many/d$d"
        head -c $(( per_folder * 4096 )) /dev/urandom | (cd "$work/data/small/many/d$d" && split -b 4096 -a 4 -d - f)
    done ;;
esac

shape() { # rate or "none"
    for ns in "$NS_A" "$NS_B"; do
        ip netns exec "$ns" tc qdisc del dev nubo0 root 2>/dev/null
        [ "$1" = none ] || ip netns exec "$ns" tc qdisc add dev nubo0 root tbf rate "$1" burst 512kb latency 20ms
    done
}

drop_caches() { sync; echo 3 > /proc/sys/vm/drop_caches; }

# wait_listen NS PORT: until something listens on PORT in NS (at most 30 s).
wait_listen() {
    local tries
    for tries in $(seq 1500); do
        [ -n "$(ss -N "$1" -Htln "sport = :$2")" ] && return 0
        sleep 0.02
    done
    echo "nothing listens on port $2 in $1" >&2
    return 1
}

# What a set's tree holds, to tell a copy that arrived from one that did not: "files bytes".
tree_size() { find "$1" -type f -printf '%s\n' | awk '{ n++; b += $1 } END { printf "%d %d\n", n, b }'; }

source_of() {
    case $1 in
    big) echo "$work/data/big/one-file.bin" ;;
    sparse) echo "$work/data/sparse/sparse.img" ;;
    *) echo "$work/data/small/many" ;;
    esac
}

arrived() { # SET DEST
    local want got
    want=$(tree_size "$(source_of "$1")"); got=$(tree_size "$2")
    [ "$want" = "$got" ] || { echo "incomplete copy: $got (files bytes) of $want" >&2; return 1; }
}

field() { awk -v k="$2" '$1 == "time" && $2 == k { print $3 }' "$1"; }
kib() { awk -v k="$2" '$1 == k ":" || $1 == k { print $2 }' "$1"; }
# drive_under PID: the nubo-drive process that PID is or started (through ip netns exec, time).
drive_under() {
    local pid
    [ "$(cat "/proc/$1/comm" 2>/dev/null)" = nubo-drive ] && { echo "$1"; return; }
    for pid in $(cat /proc/"$1"/task/*/children 2>/dev/null); do
        drive_under "$pid"
    done
}

# stop PID: ends a receiver that this script started and that is no longer wanted, and the
# driver under it, which would otherwise hold the port until its own timeout.
stop() {
    local pid
    pid=$(drive_under "$1")
    kill $1 $pid 2>/dev/null
    wait $1 2>/dev/null
}

# The sender's idle size: the same program in its send view, a small file dropped and the chooser
# waiting for a receiver that is not there; its high-water mark, read as the transfers' are. The
# driver drops at once on start, so a sender has no idle moment of its own to read. The median of
# three: a single probe now and then comes out a third smaller, which would count as growth.
sender_idle_kib() {
    local dir=$work/probe probe
    for probe in 1 2 3; do
        rm -rf "$dir"; mkdir -p "$dir"
        printf '[General]\nuserName=probe\n' > "$dir/config.ini"
        echo probe > "$dir/small.txt"
        (cd "$dir" && exec ip netns exec "$NS_B" /usr/bin/time -f 'maxrss %M' -o "$dir/rss" \
            "$drive" send --to nobody --timeout 3 "$dir/small.txt") > "$dir/log" 2>&1
        kib "$dir/rss" maxrss
    done | stats | cut -d' ' -f1
}

# spend DIR...: done with DIR. A tree of many files is moved aside and removed only when the
# benchmark ends. This root file system is ext4 without a journal: there, creating a file passes
# over, one by one, each inode freed in the last six minutes whose table block is cached, so a copy
# made right after 20,000 files were removed took up to four times as long, whichever copy it was.
# A few large files are removed at once.
spend() {
    local d
    for d in "$@"; do
        if [ "$(find "$d" -mindepth 1 2>/dev/null | head -1000 | wc -l)" -ge 1000 ]; then
            mv "$d" "$(mktemp -d "$work/spent/XXXXXX")/"
        else
            rm -rf "$d"
        fi
    done
}

# fresh_hosts: an empty save folder and fresh working folders (settings, no hash cache) for both.
fresh_hosts() {
    spend "$dest" "$rdir" "$sdir"; mkdir -p "$dest" "$rdir" "$sdir"
    printf '[General]\nuserName=hostA\nsaveDir=%s\n' "$dest" > "$rdir/config.ini"
    printf '[General]\nuserName=hostB\n' > "$sdir/config.ini"
}

# start_receiver: the receiver up and listening, as a user would open 接收 before the sender drops
# anything; sets $receiver, or returns 1.
start_receiver() {
    (cd "$rdir" && exec ip netns exec "$NS_A" /usr/bin/time -f 'maxrss %M' -o "$work/recv.rss" \
        "$drive" receive --timeout 300) > "$work/recv.log" 2>&1 &
    receiver=$!
    wait_listen "$NS_A" 42135 || { stop $receiver; return 1; }
}

# transfer SET [warm]: one transfer through the two programs' windows, between the hosts as they
# are; page caches are dropped first unless "warm". Prints "strict left recvGrowMiB sendGrowMiB
# recvStallMs sendStallMs hashS", or nothing if it failed.
transfer() {
    local set=$1
    [ "${2:-}" = warm ] || drop_caches
    start_receiver || return
    sleep 1
    local rpid ridle
    rpid=$(drive_under $receiver)
    [ -n "$rpid" ] || { echo "the receiver is not running" >&2; stop $receiver; return; }
    ridle=$(kib "/proc/$rpid/status" VmRSS)
    # From here the receiver's high-water mark counts only what the transfer adds.
    echo 5 > "/proc/$rpid/clear_refs"
    (cd "$sdir" && exec ip netns exec "$NS_B" /usr/bin/time -f 'maxrss %M' -o "$work/send.rss" \
        "$drive" send --to hostA --timeout 300 "$(source_of "$set")") > "$work/send.log" 2>&1
    local rc_send=$?
    # A sender that failed leaves the receiver waiting for a transfer that will not come.
    [ $rc_send -eq 0 ] || stop $receiver
    wait $receiver
    local rc_recv=$?
    if [ -n "${BENCH_KEEP_LOGS:-}" ]; then
        local n=$(( $(ls "$BENCH_KEEP_LOGS" | wc -l) / 2 + 1 ))
        cp "$work/recv.log" "$BENCH_KEEP_LOGS/$n-recv.log"; cp "$work/send.log" "$BENCH_KEEP_LOGS/$n-send.log"
    fi
    if [ $rc_recv -ne 0 ] || [ $rc_send -ne 0 ] || ! arrived "$set" "$dest"; then
        echo "transfer failed (receiver $rc_recv, sender $rc_send)" >&2; cat "$work/recv.log" "$work/send.log" >&2
        return
    fi
    local drop chosen question answered end hashed
    drop=$(field "$work/send.log" drop); chosen=$(field "$work/send.log" chosen)
    question=$(field "$work/recv.log" question0); answered=$(field "$work/recv.log" answered0)
    end=$(field "$work/recv.log" end0)
    # The sender's own account of hashing, which runs while the user chooses.
    hashed=$(sed -n 's/.*hashed [0-9]* files in \([0-9]*\) ms.*/\1/p' "$work/send.log" | tail -1)
    # Strict: from the drop to the receiver's 接收完成！, less only what waits for a person:
    # picking the receiver (the program lists the items meanwhile) and answering the question.
    # Whatever the receiver waits before it asks is counted.
    local left=$(( chosen - drop + answered - question ))
    awk -v t=$(( end - drop - left )) -v l=$left -v h="${hashed:-0}" \
        -v r="$(kib "$work/recv.rss" maxrss)" -v ri="$ridle" -v s="$(kib "$work/send.rss" maxrss)" -v si="$sender_idle" \
        -v gr="$(kib "$work/recv.log" maxgap)" -v gs="$(kib "$work/send.log" maxgap)" \
        'BEGIN { printf "%.3f %.3f %.1f %.1f %d %d %.3f\n", t / 1000, l / 1000, (r - ri) / 1024, (s - si) / 1024, gr, gs, h / 1000 }'
}

# nubo SET: one transfer between fresh hosts. Its line comes last, once all is cleaned up: the
# caller reads it from a process substitution and goes on to the next step at once.
nubo() {
    fresh_hosts
    local line
    line=$(transfer "$1")
    spend "$dest" "$rdir" "$sdir"
    [ -z "$line" ] || echo "$line"
}

# cut_at SET BYTES: a transfer whose sender is killed once the receiver holds BYTES of a partial
# file, which the receiver keeps for the next transfer.
cut_at() {
    drop_caches
    start_receiver || return 1
    (cd "$sdir" && exec ip netns exec "$NS_B" "$drive" send --to hostA --timeout 300 \
        "$(source_of "$1")") > "$work/send.log" 2>&1 &
    local sender=$! size=0 tries
    # Long enough for half of the sparse file at 1 Gbit/s.
    for tries in $(seq 15000); do
        size=$(find "$dest" -name '*.nubo-partial' -printf '%s\n' | sort -n | tail -1)
        [ "${size:-0}" -ge "$2" ] && break
        sleep 0.02
    done
    kill -9 "$(drive_under $sender)" 2>/dev/null
    wait $sender 2>/dev/null
    wait $receiver
    [ "${size:-0}" -ge "$2" ]
}

# tar_nc SET / zerocopy SET [--tls]: the yardsticks between the same hosts. Print seconds, or
# nothing. With --tls the sender's account of its send path is kept in $work/tls-path.
tar_nc() {
    local set=$1 dest=$work/save port=5001 src
    src=$(source_of "$set")
    spend "$dest"; mkdir -p "$dest"
    drop_caches
    ip netns exec "$NS_A" sh -c "nc -l $port | tar x -C '$dest'" &
    local receiver=$!
    wait_listen "$NS_A" $port || { stop $receiver; return; }
    local t0 t1
    t0=$(date +%s.%N)
    ip netns exec "$NS_B" sh -c "tar c -C '$(dirname "$src")' '$(basename "$src")' | nc -N $ADDR_A $port"
    wait $receiver
    t1=$(date +%s.%N)
    arrived "$set" "$dest" && awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }'
    spend "$dest"
}

zerocopy() {
    local set=$1 dest=$work/save port=5002 tls=${2:-}
    spend "$dest"; mkdir -p "$dest"
    drop_caches
    ip netns exec "$NS_A" "$work/zerocopy" $tls receive $port "$dest" 2> "$work/zerocopy-receiver.err" &
    local receiver=$!
    wait_listen "$NS_A" $port || { stop $receiver; return; }
    local t0 t1
    t0=$(date +%s.%N)
    ip netns exec "$NS_B" "$work/zerocopy" $tls send "$ADDR_A" $port "$(source_of "$set")" 2> "$work/zerocopy.err"
    local rc=$?
    wait $receiver
    t1=$(date +%s.%N)
    [ -z "$tls" ] || sed -n 's/.*, \(kernel TLS send\|user-space send\) .*/\1/p' "$work/zerocopy.err" > "$work/tls-path"
    [ $rc -eq 0 ] || cat "$work/zerocopy.err" "$work/zerocopy-receiver.err" >&2
    arrived "$set" "$dest" && awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }'
    spend "$dest"
}

# stats: numbers on stdin -> "median min max"
stats() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) { print "- - -"; exit }
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; print m, v[1], v[NR] }'; }

thousands() { echo "$1" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta'; }
human_size() { [ $(( $1 % 1024 )) -eq 0 ] && echo "$(( $1 / 1024 )) GiB" || echo "$1 MiB"; }

echo "the sender's idle size ..." >&2
sender_idle=$(sender_idle_kib)
[ "$sender_idle" -gt 0 ] 2>/dev/null || { echo "could not read the idle sender's size" >&2; exit 1; }
rows=""
for link in ${BENCH_LINKS:-veth 1gbit}; do
    case $link in
    veth | none) shape none; link_name="veth" ;;
    1gbit) shape 1gbit; link_name="veth at 1 Gbit/s (tbf)" ;;
    *) echo "unknown link $link (veth, 1gbit)" >&2; exit 1 ;;
    esac
    for set in ${BENCH_SETS:-big small}; do
        case $set in
        big) data_name="one $(human_size "$file_mib") file"; runs=${BENCH_RUNS:-$([ $link = 1gbit ] && echo 3 || echo 5)} ;;
        small) data_name="$(thousands $files) × 4 KiB in 100 folders"; runs=${BENCH_RUNS:-5} ;;
        *) echo "unknown set $set (big, small)" >&2; exit 1 ;;
        esac
        # What each row is held to, strict and in the same run as its yardsticks: one limit, or
        # on the bare link's one file two, against the TLS copier and against the plain one.
        tls_target=""
        case $link/$set in
        1gbit/big) target=1.05 against=tar ;;
        1gbit/small) target=1.20 against=tar ;;
        */big) target=2 against=zc tls_target=1.25 ;;
        */small) target=1.35 against=tar ;;
        esac
        bytes=$(tree_size "$(source_of $set)" | cut -d' ' -f2)
        results=$work/results-$link-$set
        : > "$results"
        for run in $(seq 1 "$runs"); do
            run_started=$(date +%s) secs="" ysecs="" zsecs="" tsecs=""
            # The four take turns at going first, so that none always follows the same one's
            # clean-up (deleting 20,000 files or 1 GiB is not free on a disk mounted with discard).
            for step in $(echo nubo tar_nc zerocopy zerocopy_tls nubo tar_nc zerocopy | cut -d' ' -f$(( (run - 1) % 4 + 1 ))-$(( (run - 1) % 4 + 4 ))); do
                case $step in
                nubo) read -r secs left rgrow sgrow rgap sgap _ < <(nubo $set; echo) ;;
                tar_nc) ysecs=$(tar_nc $set) ;;
                zerocopy) zsecs=$(zerocopy $set) ;;
                zerocopy_tls) tsecs=$(zerocopy $set --tls) ;;
                esac
            done
            if [ -n "$secs" ]; then
                nubo_said="program $secs s (human waits left out: $left s), growth receiver $rgrow / sender $sgrow MiB, longest stall $rgap / $sgap ms"
            else
                nubo_said="program failed"
            fi
            echo "$link_name, $data_name, run $run/$runs ($(( $(date +%s) - run_started )) s): $nubo_said;" \
                "tar|nc ${ysecs:-failed} s; zero-copy ${zsecs:-failed} s;" \
                "zero-copy TLS ${tsecs:-failed} s ($(cat "$work/tls-path" 2>/dev/null))" >&2
            [ -n "${secs:-}" ] && [ -n "$ysecs" ] && [ -n "$zsecs" ] && [ -n "$tsecs" ] &&
                echo "$secs $left $ysecs $zsecs $rgrow $sgrow $rgap $sgap $tsecs" >> "$results"
        done
        col() { awk -v c="$1" '{ print $c }' "$results" | stats; }
        ratio() { awk -v c="$1" '{ print $1 / $c }' "$results" | stats; }
        worst() { awk -v c="$1" '{ print $c }' "$results" | sort -g | tail -1; }
        rows+=$(awk -v link="$link_name" -v data="$data_name" -v ok="$(wc -l < "$results")" -v of="$runs" \
            -v b="$bytes" -v p="$(col 1)" -v l="$(col 2)" -v y="$(col 3)" -v z="$(col 4)" -v t="$(col 9)" \
            -v ry="$(ratio 3)" -v rz="$(ratio 4)" -v rt="$(ratio 9)" -v target=$target -v against=$against \
            -v tls_target="$tls_target" \
            -v rg="$(worst 5)" -v sg="$(worst 6)" -v rs="$(worst 7)" -v ss="$(worst 8)" '
            function range(s,   v) { split(s, v, " "); return v[1] == "-" ? "-" : sprintf("%.2f (%.2f–%.2f)", v[1], v[2], v[3]) }
            function med(s,   v) { split(s, v, " "); return v[1] }
            BEGIN {
                if (ok == 0) { printf "| %s | %s | 0 of %d | failed |||||||||||||\n", link, data, of; exit }
                runs = ok == of ? ok : ok " of " of
                r = med(against == "tar" ? ry : rz)
                miss = ""
                if (r > target || (tls_target != "" && med(rt) > tls_target)) miss = miss ", time"
                if (rg > 24 || sg > 24) miss = miss ", memory"
                if (rs >= 50 || ss >= 50) miss = miss ", stall"
                limits = sprintf("≤ %s× %s", target, against == "tar" ? "tar\\|nc" : "zero-copy")
                if (tls_target != "") limits = sprintf("≤ %s× zero-copy TLS, %s", tls_target, limits)
                printf "| %s | %s | %s | %s | %.1f | %.2f | %.2f | %.2f | %.2f | %s | %s | %s | %s | %.0f / %.0f | %d / %d | %s |\n",
                    link, data, runs, range(p), b / med(p) / 1e6, med(l), med(y), med(z), med(t), range(ry), range(rz),
                    range(rt), limits, rg, sg, rs, ss,
                    miss == "" ? "yes" : "no (" substr(miss, 3) ")"
            }')$'\n'
    done
done
# Between two copies of the program, at 1 Gbit/s: the first transfer, the same tree sent again
# unchanged (hash caches warm, as a resend right after finds them; then cold: both hash caches
# removed and page caches dropped), one file of the tree changed, and a transfer of the one file
# cut at half and sent again.
ext_rows=""
if [ -z "${BENCH_NO_EXTENDED:-}" ]; then
    shape 1gbit
    for set in ${BENCH_SETS:-big small}; do
        results=$work/ext-$set
        : > "$results"
        for run in $(seq 1 "${BENCH_EXT_RUNS:-3}"); do
            fresh_hosts
            first=$(transfer $set | cut -d' ' -f1)
            warm=$(transfer $set warm | awk '{ print $1 + $7 }')
            rm -f "$rdir/records.db"* "$sdir/records.db"*
            cold=$(transfer $set | awk '{ print $1 + $7 }')
            resumed=-
            changed=-
            if [ $set = small ]; then
                head -c 4096 /dev/urandom > "$(source_of small)/d050/f0000"
                changed=$(transfer $set warm | awk '{ print $1 + $7 }')
            else
                rm -f "$dest/one-file.bin"
                resumed=""
                cut_at big $(( file_mib * 1024 * 1024 / 2 )) && resumed=$(transfer big | cut -d' ' -f1)
            fi
            spend "$dest" "$rdir" "$sdir"
            echo "between two copies, $set, run $run: first ${first:-failed} s, unchanged ${warm:-failed} s" \
                "(cold ${cold:-failed} s), one changed ${changed:-failed} s, resumed at half ${resumed:-failed} s" >&2
            [ -n "$first" ] && [ -n "$warm" ] && [ -n "$cold" ] && [ -n "$changed" ] && [ -n "$resumed" ] &&
                echo "$first $warm $cold $changed $resumed" >> "$results"
        done
        data_name=$([ $set = big ] && echo "one $(human_size "$file_mib") file" || echo "$(thousands $files) × 4 KiB")
        ext_rows+=$(awk -v set=$set -v data="$data_name" '
            { for (c = 1; c <= 5; c++) v[c, NR] = $c }
            function med(c,   i, j, t, a, n) {
                n = 0
                for (i = 1; i <= NR; i++) if (v[c, i] != "-") a[++n] = v[c, i] + 0
                for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
                return n == 0 ? "-" : (n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2)
            }
            function part(c, target,   m, p) {
                m = med(c)
                if (m == "-") return "- | -"
                p = 100 * m / med(1)
                return sprintf("%.2f | %.0f %%%s", m, p, target == "" ? "" : sprintf(" (target ≤ %d %%: %s)", target, p <= target ? "met" : "not met"))
            }
            END {
                if (NR == 0) { printf "| %s | failed ||||||||||\n", data; exit }
                printf "| %s | %d | %.2f | %s | %s | %s | %s |\n", data, NR, med(1),
                    part(2, set == "small" ? 10 : ""), part(3, ""), part(4, ""), part(5, set == "big" ? 52 : "")
            }' "$results")$'\n'
    done
fi

# A file far larger than memory, cut at half and resumed: mostly holes, with 1 MiB of data at every
# GiB, so that neither disk fills. The resume must neither read the kept half on either side nor
# keep the sender waiting for the receiver's plan.
sparse_row=""
sparse_gib=${BENCH_SPARSE_GIB:-20}
if [ -z "${BENCH_NO_EXTENDED:-}" ] && [ "$sparse_gib" -gt 0 ]; then
    shape 1gbit
    mkdir -p "$work/data/sparse"
    truncate -s "${sparse_gib}G" "$(source_of sparse)"
    for g in $(seq 0 $(( sparse_gib - 1 ))); do
        head -c 1048576 /dev/urandom | dd of="$(source_of sparse)" bs=1M seek=$(( g * 1024 )) conv=notrunc status=none
    done
    fresh_hosts
    first_half=$(date +%s.%N)
    sparse_resumed=""
    cut_at sparse $(( sparse_gib * 1024 * 1024 * 1024 / 2 )) &&
        sparse_resumed=$(transfer sparse | cut -d' ' -f1)
    cut_secs=$(awk -v a="$first_half" -v b="$(date +%s.%N)" -v r="${sparse_resumed:-0}" 'BEGIN { printf "%.1f", b - a - r }')
    if [ -n "$sparse_resumed" ] && cmp -s "$(source_of sparse)" "$dest/sparse.img"; then
        sparse_row="| one ${sparse_gib} GiB sparse file, cut at half | completed | ${sparse_resumed} s (cut half and wait: ${cut_secs} s) | $(du -k "$dest/sparse.img" | cut -f1) KiB |"
    else
        sparse_row="| one ${sparse_gib} GiB sparse file, cut at half | **failed** | | |"
    fi
    echo "sparse ${sparse_gib} GiB resumed: ${sparse_resumed:-failed} s" >&2
    rm -rf "$dest" "$rdir" "$sdir" "$work/data/sparse"
fi

shape none

cores=$(nproc)
memory=$(awk '$1 == "MemTotal:" { printf "%.0f", $2 / 1048576 }' /proc/meminfo)
kind=$(grep -q '^flags.* hypervisor' /proc/cpuinfo && echo "virtual machine" || echo "machine")
os=$(. /etc/os-release && echo "${NAME%% *} $VERSION_ID")
qt=$(readlink -f "$(ldd "$drive" | awk '/libQt5Core|libQt6Core/ { print $3; exit }')" | sed 's/.*\.so\.//')
type=$(awk -F= '/^CMAKE_BUILD_TYPE:/ { print $2 }' "$build/CMakeCache.txt")
commit=$(git -C "$here" rev-parse --short HEAD 2>/dev/null)
echo "(all rows took $(( ($(date +%s) - started) / 60 )) min)" >&2
cat <<EOF
Measured on $(date +%Y-%m-%d) on a $cores-core $(uname -m) $kind with $memory GiB of memory ($os, Linux
$(uname -r | cut -d- -f1), Qt $qt, ${type:-default} build of $commit; data on $(findmnt -n -o FSTYPE --target "$work"),
load average $(cut -d' ' -f1 /proc/loadavg) at the end). Times are medians with the range of the runs in brackets;
every ratio pairs a program run with the yardsticks of the same run; memory and stalls are the
worst run; a row meets its targets when its median ratio, its memory growth (≤ 24 MiB on each
side) and its longest stall (< 50 ms on each side) do. The sender's idle size, $(( sender_idle / 1024 )) MiB, is the
high-water mark of a sender waiting in its chooser (the median of three).
The TLS copier (AES-128-GCM) sent through
$(cat "$work/tls-path" 2>/dev/null || echo "an unknown path"): $([ "$(cat "$work/tls-path" 2>/dev/null)" = "kernel TLS send" ] &&
echo "the kernel encrypted its files (SSL_sendfile)" || echo "this kernel has no TLS, so it read each file and wrote it with SSL_write").

| link | data | runs | program s (strict) | MB/s | human waits left out s | tar\|nc s | zero-copy s | zero-copy TLS s | strict ÷ tar\|nc | strict ÷ zero-copy | strict ÷ zero-copy TLS | target | peak growth receiver / sender MiB | longest stall receiver / sender ms | targets met |
|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|
${rows%$'\n'}
EOF
[ -n "$ext_rows" ] && cat <<EOF

Between two copies of the program, at 1 Gbit/s (tbf), strict times as above, medians of the runs.
An unchanged resend and the changed file add the sender's whole hashing time to their strict
time, although the program hashes while the user chooses; hash caches are warm there, as right
after the first transfer. Cold: both hash caches removed and page caches dropped. The resumed
transfer follows one cut when the receiver held half the file, page caches dropped.

| data | runs | first s | unchanged s | ÷ first | unchanged, cold s | ÷ first | one changed file s | ÷ first | resumed at half s | ÷ first |
|---|---|---|---|---|---|---|---|---|---|---|
${ext_rows%$'\n'}
EOF
[ -n "$sparse_row" ] && cat <<EOF

A resume far larger than memory, at 1 Gbit/s, once: the strict time of the resumed transfer, and
what the received file takes on disk.

| data | result | resumed transfer | allocated at the receiver |
|---|---|---|---|
$sparse_row
EOF
