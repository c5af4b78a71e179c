#!/bin/bash
# End-to-end transfers between two test hosts, one program in each, driven through the widgets by
# nubo-drive. Run by CTest through `netns.sh pair`, which provides NS_A, NS_B (and removes them).
#
#   e2e.sh DRIVE CASE
#
# Host A receives, host B sends. Every case has its own working folders and save folder.

set -u
drive=$1
case_name=$2
: "${NS_A:?run me through netns.sh pair}" "${NS_B:?}"

work=$(mktemp -d /tmp/nubo-e2e.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/recv" "$work/send" "$work/save" "$work/data"

export QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8

printf '[General]\nuserName=hostA\nsaveDir=%s\n' "$work/save" > "$work/recv/config.ini"
printf '[General]\nuserName=hostB\n' > "$work/send/config.ini"

fail() {
    echo "FAIL: $*"
    for f in "$work"/*.log; do echo "--- $f"; cat "$f"; done
    exit 1
}

# receive ARGS... : starts the receiver in host A in the background.
receive() {
    (cd "$work/recv" && exec ip netns exec "$NS_A" "$drive" receive --timeout 120 "$@") \
        > "$work/recv.log" 2>&1 &
    receiver=$!
}

# send PATH... : runs one sender in host B; returns its exit code.
send() {
    (cd "$work/send" && exec ip netns exec "$NS_B" "$drive" send --to hostA --timeout 120 "$@") \
        >> "$work/send.log" 2>&1
}

expect_codes() { # expected-sender expected-receiver actual-sender
    wait "$receiver"
    local rc_recv=$?
    [ "$3" -eq "$1" ] || fail "sender exited $3, expected $1"
    [ "$rc_recv" -eq "$2" ] || fail "receiver exited $rc_recv, expected $2"
}

# Binary data that holds the stream's own markers and line ends.
tricky() {
    printf 'line one\r\nFile end\r\nOVER\r\n\x00\x01\xff' > "$1"
    head -c 70000 /dev/urandom >> "$1"
    printf '\r\nOVER\r\n' >> "$1"
}

case "$case_name" in
folder-tree)
    d="$work/data/树 tree"
    mkdir -p "$d/sub/deeper" "$d/empty folder" "$d/名字"
    tricky "$d/tricky.bin"
    : > "$d/empty.txt"
    echo hidden > "$d/.hidden"
    echo nested > "$d/sub/deeper/文件.txt"
    head -c 300000 /dev/urandom > "$d/名字/random.dat"
    printf 'no newline at end' > "$d/sub/plain"
    receive --answer yes
    send "$d"
    expect_codes 0 0 $?
    diff -r "$d" "$work/save/树 tree" || fail "the received tree differs"
    ;;
several-files)
    tricky "$work/data/one.bin"
    echo two > "$work/data/two.txt"
    : > "$work/data/三.txt"
    receive --answer yes
    send "$work/data/one.bin" "$work/data/two.txt" "$work/data/三.txt"
    expect_codes 0 0 $?
    for f in one.bin two.txt 三.txt; do
        cmp "$work/data/$f" "$work/save/$f" || fail "$f differs"
    done
    ;;
refusal)
    echo secret > "$work/data/refused.txt"
    receive --answer no
    send "$work/data/refused.txt"
    expect_codes 1 1 $?
    [ -z "$(ls -A "$work/save")" ] || fail "a refused transfer stored something"
    grep -q '拒绝' "$work/send.log" || fail "the sender does not show the refusal"
    ;;
two-in-a-row)
    echo first > "$work/data/first.txt"
    mkdir -p "$work/data/second"
    echo second > "$work/data/second/inner.txt"
    receive --answer yes --transfers 2
    send "$work/data/first.txt" || fail "first send failed"
    send "$work/data/second"
    expect_codes 0 0 $?
    cmp "$work/data/first.txt" "$work/save/first.txt" || fail "first.txt differs"
    diff -r "$work/data/second" "$work/save/second" || fail "second differs"
    ;;
typed-address)
    # Another program holds the presence port in the sender's host, so the sender hears nobody
    # and types the receiver's address.
    ip netns exec "$NS_B" perl -MIO::Socket::INET -e \
        'my $s = IO::Socket::INET->new(LocalPort => 6343, Proto => "udp") or die; sleep 300' &
    blocker=$!
    sleep 0.5
    echo typed > "$work/data/typed.txt"
    receive --answer yes
    # Nothing tells the sender when the receiver listens, as discovery would: wait for it.
    for _ in $(seq 300); do
        ip netns exec "$NS_A" ss -Htln 'sport = :42135' | grep -q . && break
        sleep 0.1
    done
    (cd "$work/send" && exec ip netns exec "$NS_B" "$drive" send --to-address "$ADDR_A" \
        --timeout 120 "$work/data/typed.txt") >> "$work/send.log" 2>&1
    rc=$?
    kill $blocker
    expect_codes 0 0 $rc
    cmp "$work/data/typed.txt" "$work/save/typed.txt" || fail "typed.txt differs"
    ;;
save-blocked)
    # The receiver cannot store the file (a folder of its name is in the way): it resets the
    # connection, and the sender must not report success. Whether the reset meets the sender in
    # the body or after it decides which failure line it shows.
    head -c 200000 /dev/urandom > "$work/data/blocked.bin"
    mkdir "$work/save/blocked.bin"
    receive --answer yes
    send "$work/data/blocked.bin"
    expect_codes 1 1 $?
    grep -qE '对方未能保存全部文件|发送中断' "$work/send.log" || fail "the sender shows no failure"
    ! grep -q '传输完成' "$work/send.log" || fail "the sender says the transfer is complete"
    ;;
large-file)
    head -c $((256 * 1024 * 1024)) /dev/urandom > "$work/data/big.bin"
    receive --answer yes
    send "$work/data/big.bin"
    expect_codes 0 0 $?
    [ "$(sha256sum < "$work/data/big.bin")" = "$(sha256sum < "$work/save/big.bin")" ] ||
        fail "checksums differ"
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac
[ -n "${E2E_VERBOSE:-}" ] && cat "$work"/*.log
echo "PASS: $case_name"
