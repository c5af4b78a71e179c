#!/bin/bash
# End-to-end transfers between two test hosts, one program in each, driven through the widgets by
# nubo-drive. Run by CTest through `netns.sh pair`, which provides NS_A, NS_B (and removes them).
#
#   e2e.sh DRIVE CASE [PROGRAM]
#
# Host A receives, host B sends. Every case has its own working folders and save folder. The
# cli-* cases run PROGRAM's terminal commands on one side and the window on the other.

set -u
drive=$1
case_name=$2
program=${3:-}
: "${NS_A:?run me through netns.sh pair}" "${NS_B:?}"

work=$(mktemp -d /tmp/nubo-e2e.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/recv" "$work/send" "$work/save" "$work/data"

export QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8

printf '[General]\nuserName=hostA\nsaveDir=%s\n' "$work/save" > "$work/recv/config.ini"
printf '[General]\nuserName=hostB\n' > "$work/send/config.ini"

wait_for() { for _ in $(seq 600); do eval "$1" && return 0; sleep 0.1; done; return 1; } # a minute

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


# A partial file the receiver keeps of a cut transfer; prints its size in bytes, or 0.
partial_size() {
    find "$work/save" -name '*.nubo-partial' -printf '%s\n' 2>/dev/null | sort -n | tail -1 |
        grep . || echo 0
}

# A sender that speaks the extended protocol by hand, inside TLS with a certificate of its own
# whose fingerprint is its id; it pairs as the protocol says, and lies about the hash of its file.
liar() {
    openssl req -x509 -newkey ed25519 -nodes -subj /CN=liar -days 1 -keyout "$work/liar.key" \
        -out "$work/liar.crt" 2>/dev/null || fail "no certificate for the liar"
    local id=$(openssl x509 -in "$work/liar.crt" -outform DER | sha256sum | cut -d' ' -f1)
    ip netns exec "$NS_B" perl -MIO::Socket::SSL -MDigest::SHA=sha256 -e '
        my ($addr, $data, $id, $cert, $key) = @ARGV;
        my $manifest = "F " . length($data) . " " . ("0" x 16) . " - bad.bin\n";
        my $s = IO::Socket::SSL->new(PeerAddr => $addr, PeerPort => 42136, SSL_verify_mode => 0,
            SSL_cert_file => $cert, SSL_key_file => $key) or die "connect: $SSL_ERROR";
        (my $theirs = Net::SSLeay::X509_get_fingerprint($s->peer_certificate, "sha256")) =~ s/://g;
        my $material = Net::SSLeay::export_keying_material($s->_get_ssl_object, 32,
            "EXPORTER-nubo-pairing", pack("H*", $id . $theirs));
        my $nonce = join "", map { chr int rand 256 } 1 .. 32;
        my $commitment = unpack "H*", sha256("nubo-pairing-commitment" . $nonce . $material);
        print $s "MYPOST /bad.bin HTTP/1.1\r\nConnection: Keep-Alive\r\n" .
            "Content-Type: application/file\r\nFiles-Number: 1\r\nItems-Number: 1\r\n" .
            "Content-Length: " . length($data) . "\r\nUser-Agent: Dalvik\r\nHost: localhost\r\n" .
            "sender-name: liar\r\nNubo-Sender-Id: $id\r\nNubo-Pairing: $commitment\r\n" .
            "Manifest-Length: " . length($manifest) . "\r\n\r\n" . $manifest;
        my $reply = "";
        while ($reply !~ /(^|\n)[YN] [^\n]*\n/) {
            sysread($s, $reply, 4096, length $reply) or die "no reply";
            print $s "S " . unpack("H*", $nonce) . "\n" if $reply =~ s/^R [0-9a-f]{64}\n//;
        }
        $reply =~ /(^|\n)Y 0\n/ or die "refused: $reply";
        print $s "P 0 0\n" . $data . "H " . ("0" x 32) . "\nE\n";
        1 while sysread($s, my $rest, 4096);
        print "liar: connection ended\n";
    ' "$ADDR_A" "$1" "$id" "$work/liar.crt" "$work/liar.key"
}

# A machine in the middle, in host B at 127.0.0.1: it takes the sender's connection with a
# certificate of its own and makes its own to the receiver at $ADDR_A, pairing with each side as
# the protocol says, and relays everything else.
middle() {
    openssl req -x509 -newkey ed25519 -nodes -subj /CN=middle -days 1 -keyout "$work/mid.key" \
        -out "$work/mid.crt" 2>/dev/null || fail "no certificate for the middle"
    local id=$(openssl x509 -in "$work/mid.crt" -outform DER | sha256sum | cut -d' ' -f1)
    ip netns exec "$NS_B" perl -MIO::Socket::SSL -MIO::Select -MDigest::SHA=sha256 -e '
        my ($addr, $id, $cert, $key) = @ARGV;
        my %tls = (SSL_cert_file => $cert, SSL_key_file => $key, SSL_verify_mode => 0);
        my $l = IO::Socket::SSL->new(LocalAddr => "127.0.0.1", LocalPort => 42136, Listen => 1,
            ReuseAddr => 1, SSL_server => 1, %tls, SSL_verify_mode => 1,
            SSL_verify_callback => sub { 1 }) or die "listen: $!";
        open(my $up, ">", "$cert.up"); close $up;
        my $s = $l->accept or die "accept: $SSL_ERROR";
        my $r = IO::Socket::SSL->new(PeerAddr => $addr, PeerPort => 42136, %tls) or die "connect";
        my $fp = sub { (my $h = Net::SSLeay::X509_get_fingerprint($_[0]->peer_certificate,
                                                                 "sha256")) =~ s/://g; $h };
        my $material = Net::SSLeay::export_keying_material($r->_get_ssl_object, 32,
            "EXPORTER-nubo-pairing", pack("H*", $id . $fp->($r)));
        my $nonce = join "", map { chr int rand 256 } 1 .. 32;
        my $commitment = unpack "H*", sha256("nubo-pairing-commitment" . $nonce . $material);
        my $head = "";
        while ($head !~ /\r\n\r\n/) { sysread($s, $head, 65536, length $head) or die "no request" }
        $head =~ s/Nubo-Sender-Id: \w+/Nubo-Sender-Id: $id/;
        $head =~ s/Nubo-Pairing: \w+/Nubo-Pairing: $commitment/;
        $head =~ s/Nubo-Known: \w+\r\n//;
        print $r $head;
        my $sel = IO::Select->new($s, $r);
        for (;;) {
            my @ready = grep { $_->pending } ($s, $r);
            @ready = $sel->can_read(60) unless @ready;
            last unless @ready;
            for my $from (@ready) {
                sysread($from, my $bytes, 65536) or exit 0;
                $bytes =~ s/(^|\n)S \w{64}\n/"$1S " . unpack("H*", $nonce) . "\n"/e
                    if $from == $s;
                print { $from == $s ? $r : $s } $bytes;
            }
        }
    ' "$ADDR_A" "$id" "$work/mid.crt" "$work/mid.key" > "$work/middle.log" 2>&1 &
    wait_for '[ -e "$work/mid.crt.up" ]' || fail "the middle does not listen"
}

# A passive capture of every frame on host A's link, until $work/capture.stop exists.
capture() {
    local link=$(ip netns exec "$NS_A" ip -o -4 addr show to "$ADDR_A" | awk '{print $2}')
    ip netns exec "$NS_A" perl -MSocket -e '
        socket(my $raw, 17, SOCK_RAW, 0x0300) or die "raw: $!";  # AF_PACKET, ETH_P_ALL
        open(my $index, "<", "/sys/class/net/$ARGV[2]/ifindex") or die "no link $ARGV[2]";
        bind($raw, pack("S n i S C C a8", 17, 3, scalar <$index>, 0, 0, 0, "")) or die "bind: $!";
        open(my $out, ">", $ARGV[0]) or die; binmode $out;
        open(my $up, ">", "$ARGV[0].up"); close $up;
        my $bits = ""; vec($bits, fileno($raw), 1) = 1;
        until (-e $ARGV[1]) {
            select(my $ready = $bits, undef, undef, 0.2) or next;
            recv($raw, my $frame, 65536, 0); print $out $frame;
        }
    ' "$work/capture" "$work/capture.stop" "$link" &
    capturer=$!
    wait_for '[ -e "$work/capture.up" ]' || fail "no capture"
}

# A receiver that knows only the plain protocol, as the phone application: announces itself on
# the presence port, takes one transfer on 42135 and keeps every byte of it in the file $1. Any
# connection to the extended port is noted in "$1.extended".
plain_receiver() {
    ip netns exec "$NS_A" perl -MIO::Socket::INET -MIO::Select -e '
        my ($addr, $out) = @ARGV;
        my $presence = IO::Socket::INET->new(PeerAddr => "224.0.0.1", PeerPort => 6343,
                                             Proto => "udp") or die "udp: $!";
        my %listen = (LocalAddr => $addr, Listen => 1, ReuseAddr => 1);
        my $plain = IO::Socket::INET->new(%listen, LocalPort => 42135) or die "42135: $!";
        my $extended = IO::Socket::INET->new(%listen, LocalPort => 42136) or die "42136: $!";
        my $select = IO::Select->new($plain, $extended);
        for (1 .. 120) {
            $presence->send("hostA:$addr:receive");
            for my $ready ($select->can_read(1)) {
                if ($ready == $extended) { open(my $f, ">", "$out.extended"); exit 3 }
                my $c = $plain->accept;
                my $bytes = "";
                while (index($bytes, "\r\n\r\n") < 0) { sysread($c, $bytes, 65536, length $bytes) or exit 4 }
                print $c "HTTP/1.1 200 OK\r\nTransfer-Version: 1\r\nServer: Nubo Name Response Server\r\n" .
                    "Content-Type: text/html\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK";
                while (substr($bytes, -6) ne "OVER\r\n") { sysread($c, $bytes, 65536, length $bytes) or last }
                open(my $f, ">", $out) or die; binmode $f; print $f $bytes; close $f;
                close $c;
                exit 0;
            }
        }
        exit 2;
    ' "$ADDR_A" "$1" &
    receiver=$!
}


# The *-plain cases hold the extended port in host A, so that its receiver is a plain one.
plain=0
case "$case_name" in *-plain)
    plain=1
    ip netns exec "$NS_A" perl -MIO::Socket::INET -e 'IO::Socket::INET->new(LocalAddr => $ARGV[0],
        LocalPort => 42136, Listen => 1)->accept and open(F, ">", $ARGV[1])' "$ADDR_A" "$work/tried" &
    wait_for 'ip netns exec "$NS_A" ss -Htln "sport = :42136" | grep -q .' || fail "port not held"
esac

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
ext-skip-unchanged)
    d="$work/data/album"
    mkdir -p "$d/sub"
    for i in 1 2 3; do head -c 100000 /dev/urandom > "$d/photo$i.jpg"; done
    echo note > "$d/sub/note.txt"
    receive --answer yes --transfers 2
    send "$d" || fail "first send failed"
    send "$d"
    expect_codes 0 0 $?
    diff -r "$d" "$work/save/album" || fail "the received tree differs"
    grep -q '跳过 4 个未改变的文件' "$work/send.log" || fail "the sender does not say it skipped"
    grep -q '跳过 4 个未改变的文件' "$work/recv.log" || fail "the receiver does not say it skipped"
    ;;
ext-changed-file)
    d="$work/data/album"
    mkdir -p "$d"
    for i in 1 2 3; do head -c 100000 /dev/urandom > "$d/photo$i.jpg"; done
    receive --answer yes --transfers 2
    send "$d" || fail "first send failed"
    # Same size, other contents: only the hash tells.
    head -c 100000 /dev/urandom > "$d/photo2.jpg"
    send "$d"
    expect_codes 0 0 $?
    diff -r "$d" "$work/save/album" || fail "the changed file did not arrive"
    grep -q '跳过 2 个未改变的文件' "$work/send.log" || fail "the unchanged files were not skipped"
    ;;
ext-resume)
    # Resumes continue at multiples of 64 MiB: the cut comes past the first.
    head -c $((160 * 1024 * 1024)) /dev/urandom > "$work/data/big.bin"
    # A slow link, so that the cut comes in the middle.
    ip netns exec "$NS_B" tc qdisc add dev nubo0 root tbf rate 200mbit burst 256kb latency 20ms
    receive --answer yes
    (cd "$work/send" && exec ip netns exec "$NS_B" "$drive" send --to hostA --timeout 120 \
        "$work/data/big.bin") >> "$work/send.log" 2>&1 &
    sender=$!
    for _ in $(seq 600); do
        [ "$(partial_size)" -gt $((80 * 1024 * 1024)) ] && break
        sleep 0.1
    done
    cut_at=$(partial_size)
    [ "$cut_at" -gt 0 ] || fail "no partial file while receiving"
    ip netns pids "$NS_B" | xargs -r kill -9
    wait $sender
    wait "$receiver"
    mv "$work/recv.log" "$work/cut.log"
    [ "$(partial_size)" -gt 0 ] || fail "the cut transfer's partial file was not kept"
    grep -q '可续传：big.bin' "$work/cut.log" || fail "the receiver did not list the kept file"
    [ ! -e "$work/save/big.bin" ] || fail "a cut file took its final name"
    ip netns exec "$NS_B" tc qdisc del dev nubo0 root
    receive --answer yes
    send "$work/data/big.bin"
    expect_codes 0 0 $?
    cmp "$work/data/big.bin" "$work/save/big.bin" || fail "the resumed file differs"
    grep -q '处继续' "$work/send.log" || fail "the sender did not resume"
    grep -q '处继续' "$work/recv.log" || fail "the receiver does not say it resumed"
    [ "$(partial_size)" -eq 0 ] || fail "the partial file stayed"
    ;;
ext-rewritten-in-place)
    # Rewritten with the same size and its time set back, as a tag editor or `touch -d` leaves
    # it: the resend must carry the new contents, not skip the file.
    d="$work/data/album"
    mkdir -p "$d"
    for i in 1 2; do head -c 100000 /dev/urandom > "$d/song$i.mp3"; done
    receive --answer yes --transfers 2
    send "$d" || fail "first send failed"
    stamp=$(stat -c %y "$d/song1.mp3")
    head -c 100000 /dev/urandom | dd of="$d/song1.mp3" conv=notrunc status=none
    touch -d "$stamp" "$d/song1.mp3"
    send "$d"
    expect_codes 0 0 $?
    diff -r "$d" "$work/save/album" || fail "the receiver kept the old contents"
    grep -q '跳过 1 个未改变的文件' "$work/send.log" || fail "the unchanged file was not skipped"
    ;;
ext-hash-mismatch)
    receive --answer yes
    for _ in $(seq 300); do
        ip netns exec "$NS_A" ss -Htln 'sport = :42136' | grep -q . && break
        sleep 0.1
    done
    liar "hello" >> "$work/send.log" 2>&1
    expect_codes 0 1 0
    grep -q '文件校验失败' "$work/recv.log" || fail "the receiver does not name the bad file"
    [ ! -e "$work/save/bad.bin" ] || fail "a file that does not match its hash was kept"
    ;;
ext-over-4gib)
    # One byte past what the plain protocol can carry; sparse here, written whole there.
    [ "$(df --output=avail -B1 "$work" | tail -1)" -gt $((9 * 1024 * 1024 * 1024)) ] ||
        { echo "SKIP: not enough free space for a file of 4 GiB"; exit 77; }
    truncate -s $((4 * 1024 * 1024 * 1024 + 1)) "$work/data/huge.iso"
    printf 'end' | dd of="$work/data/huge.iso" bs=1 seek=$((4 * 1024 * 1024 * 1024 - 2)) \
        conv=notrunc status=none
    receive --answer yes
    send "$work/data/huge.iso"
    expect_codes 0 0 $?
    cmp "$work/data/huge.iso" "$work/save/huge.iso" || fail "the file of 4 GiB differs"
    ;;
cli-send | cli-send-plain)
    # No display and no platform for the terminal side, as in a script over ssh. Its user says
    # the codes match only when they do.
    mkdir -p "$work/data/folder/sub"
    tricky "$work/data/folder/sub/tricky.bin"
    echo note > "$work/data/folder/note.txt"
    receive --answer yes --code-file "$work/code"
    mkfifo "$work/answers"
    (cd "$work/send" && exec env -u DISPLAY -u QT_QPA_PLATFORM ip netns exec "$NS_B" \
        "$program" send "$work/data/folder" --to hostA --wait 20 --json < "$work/answers") \
        > "$work/cli.json" 2> "$work/send.log" &
    sender=$!
    exec 3> "$work/answers"
    if [ $plain -eq 0 ]; then
        wait_for 'grep -q "\"event\":\"question\"" "$work/cli.json" && [ -s "$work/code" ]' ||
            fail "no pairing code on both sides"
        mine=$(grep -o '"code":"[0-9]*"' "$work/cli.json" | grep -o '[0-9]\{6\}')
        [ "$mine" = "$(cat "$work/code")" ] || fail "the terminal shows $mine, the window another"
        echo y >&3
    fi
    wait $sender
    rc=$?
    exec 3>&-
    expect_codes 0 0 $rc
    diff -r "$work/data/folder" "$work/save/folder" || fail "the received tree differs"
    grep -q '"event":"ended".*"outcome":"Delivered"' "$work/cli.json" || fail "no ended event"
    ;;
cli-receive | cli-receive-plain)
    tricky "$work/data/one.bin"
    echo two > "$work/data/two.txt"
    (cd "$work/recv" && exec env -u DISPLAY -u QT_QPA_PLATFORM ip netns exec "$NS_A" \
        "$program" receive --accept all --once --json) > "$work/cli.json" 2> "$work/recv.log" &
    receiver=$!
    send "$work/data/one.bin" "$work/data/two.txt"
    expect_codes 0 0 $?
    for f in one.bin two.txt; do
        cmp "$work/data/$f" "$work/save/$f" || fail "$f differs"
    done
    grep -q '"event":"ended".*"outcome":"Complete"' "$work/cli.json" || fail "no ended event"
    grep -q '警告' "$work/recv.log" || fail "no warning that anyone may write into the folder"
    # Unattended, as in a journal: the transfer is one line, who sent what from where.
    sed '1,/等待对方发送/d' "$work/recv.log" > "$work/lines"
    [ "$(wc -l < "$work/lines")" -eq 1 ] || fail "not one line for the transfer"
    grep -q "^接收完成：来自 hostB（$ADDR_B）的" "$work/lines" || fail "the line does not say who"
    [ "$(grep -c 未加密 "$work/lines")" -eq $plain ] || fail "未加密 where it is plain only"
    ;;
cli-receive-known)
    # A sender this installation never paired with is refused, whatever its name.
    echo secret > "$work/data/unknown.txt"
    (cd "$work/recv" && exec env -u DISPLAY -u QT_QPA_PLATFORM ip netns exec "$NS_A" \
        "$program" receive --accept known --once --json) > "$work/cli.json" 2> "$work/recv.log" &
    receiver=$!
    send "$work/data/unknown.txt"
    expect_codes 1 3 $?
    [ -z "$(ls -A "$work/save")" ] || fail "a transfer from an unknown device was stored"
    grep -q "^已拒绝接收（不是已配对的设备）：来自 hostB（$ADDR_B）" "$work/recv.log" ||
        fail "the terminal does not say who and why"
    ;;
cli-name-twice)
    # Two receivers announce the same name, one in each host: the terminal must not pick one.
    tool="$(dirname "$drive")/presencetool"
    for ns in "$NS_A" "$NS_B"; do
        ip netns exec "$ns" "$tool" announce twin 20000 > /dev/null 2>&1 &
    done
    echo twin > "$work/data/twin.txt"
    (cd "$work/send" && exec env -u DISPLAY ip netns exec "$NS_B" "$program" send \
        "$work/data/twin.txt" --to twin --wait 10) > "$work/send.log" 2>&1
    rc=$?
    kill %1 %2 2>/dev/null
    [ "$rc" -eq 2 ] || fail "sender exited $rc, expected 2"
    grep -q '有多个名为 twin 的接收方' "$work/send.log" || fail "the sender does not say why"
    ;;
cli-receive-ask | cli-receive-ask-plain)
    echo asked > "$work/data/asked.txt"
    mkfifo "$work/answers"
    (cd "$work/recv" && exec env -u DISPLAY -u QT_QPA_PLATFORM ip netns exec "$NS_A" \
        "$program" receive --accept ask --once) < "$work/answers" > "$work/recv.log" 2>&1 &
    receiver=$!
    exec 3> "$work/answers"
    send "$work/data/asked.txt" &
    wait_for 'grep -q "是否接收文件" "$work/recv.log"' || fail "the terminal did not ask"
    echo y >&3
    wait $!
    expect_codes 0 0 $?
    cmp "$work/data/asked.txt" "$work/save/asked.txt" || fail "asked.txt differs"
    [ "$(grep -cx 未加密 "$work/recv.log")" -eq $plain ] || fail "未加密 where it is plain only"
    ;;
service)
    # The user unit's own command, as systemd runs it: no terminal, no display, a bare environment,
    # the program found on the search path, the output a journal. An unpaired sender is refused.
    unit=$(dirname "$0")/../../dist/nubotransmission-receive.service
    command=$(sed -n 's/^ExecStart=//p' "$unit")
    [ "${command%% *}" = NuboTransmission ] || fail "the unit runs $command"
    home=$work/home/.local/share/NuboTransmission
    mkdir -p "$home" && mv "$work/recv/config.ini" "$home/"
    echo secret > "$work/data/x.txt"
    ip netns exec "$NS_A" unshare -m --propagation private sh -c "mount -t tmpfs tmpfs /usr/local/bin &&
        ln -s '$program' /usr/local/bin/NuboTransmission && cd / && exec env -i \
        PATH=/usr/local/bin:/usr/bin:/bin HOME='$work/home' LANG=C.UTF-8 $command" \
        < /dev/null > "$work/journal" 2>&1 &
    receiver=$!
    send "$work/data/x.txt"
    rc=$?
    wait_for 'grep -q "^已拒绝接收" "$work/journal"' || fail "no line for the transfer"
    kill -TERM $(ip netns pids "$NS_A")
    expect_codes 1 0 $rc
    [ "$(sed '1,/等待对方发送/d' "$work/journal" | wc -l)" -eq 1 ] || fail "not one line"
    [ -z "$(ls -A "$work/save")" ] || fail "an unpaired sender's file was stored"
    ;;
ext-mitm)
    # The codes differ, the user says so, and nothing arrives.
    echo secret > "$work/data/mitm.txt"
    receive --answer yes --code-file "$work/code"
    middle
    (cd "$work/send" && exec ip netns exec "$NS_B" "$drive" send --to-address 127.0.0.1 \
        --code-file "$work/code" --timeout 120 "$work/data/mitm.txt") >> "$work/send.log" 2>&1
    expect_codes 1 1 $?
    [ -z "$(ls -A "$work/save")" ] || fail "something was stored through the middle"
    grep -q '配对码不一致' "$work/send.log" || fail "the sender does not say the codes differ"
    grep -q '对方没有确认配对码' "$work/recv.log" || fail "the receiver does not say why"
    grep 'receiver shows' "$work/send.log" | grep -qv 'code \([0-9]*\), receiver shows \1$' ||
        fail "the codes matched across the middle"
    ;;
ext-identity-changed)
    echo one > "$work/data/one.txt"
    echo two > "$work/data/two.txt"
    receive --answer yes
    send "$work/data/one.txt"
    expect_codes 0 0 $?
    # The same name from another installation: never a question, never a byte.
    rm "$work/recv/identity.key" "$work/recv/identity.crt"
    receive --answer yes --timeout 20
    send "$work/data/two.txt"
    expect_codes 1 2 $?
    grep -q '「hostA」的身份与上次不同，已停止发送' "$work/send.log" || fail "no red line"
    [ ! -e "$work/save/two.txt" ] || fail "sent to another identity"
    ;;
ext-downgrade)
    echo one > "$work/data/one.txt"
    echo two > "$work/data/two.txt"
    receive --answer yes
    send "$work/data/one.txt"
    expect_codes 0 0 $?
    # The paired receiver now answers only in the clear: no, then yes.
    plain_receiver "$work/captured"
    send --unencrypted no "$work/data/two.txt"
    rc=$?
    [ "$rc" -eq 1 ] || fail "sender exited $rc after no, expected 1"
    [ ! -e "$work/captured" ] || fail "sent in the clear without a yes"
    grep -q '已取消发送' "$work/send.log" || fail "the sender does not say it stopped"
    send --unencrypted yes "$work/data/two.txt"
    expect_codes 0 0 $?
    grep -q 'two' "$work/captured" || fail "the plain receiver got nothing after the yes"
    ;;
ext-capture)
    # Neither the name nor the contents of a file can be read off the link.
    perl -e 'print "NUBO-SECRET-CONTENT-" x 2000' > "$work/data/secret-name-4711.txt"
    capture
    receive --answer yes
    send "$work/data/secret-name-4711.txt"
    expect_codes 0 0 $?
    touch "$work/capture.stop"
    wait "$capturer"
    [ "$(stat -c %s "$work/capture")" -gt 40000 ] || fail "the capture missed the transfer"
    grep -aq 'hostA' "$work/capture" || fail "the capture does not even hold the announcements"
    ! grep -aq 'secret-name-4711' "$work/capture" || fail "the file's name is on the link"
    ! grep -aq 'NUBO-SECRET-CONTENT' "$work/capture" || fail "the file's contents are on the link"
    ;;
plain-exact-bytes)
    printf 'hello\n' > "$work/data/plain.txt"
    plain_receiver "$work/captured"
    send "$work/data/plain.txt"
    expect_codes 0 0 $?
    [ ! -e "$work/captured.extended" ] || fail "the sender tried the extended port"
    printf 'MYPOST /plain.txt HTTP/1.1\r\nConnection: Keep-Alive\r\nContent-Type: application/file\r\nFiles-Number: 1\r\nItems-Number: 1\r\nContent-Length: 6\r\nUser-Agent: Dalvik\r\nHost: localhost\r\nsender-name: hostB\r\n\r\nplain.txt\r\nfile\r\n6\r\nhello\nFile end\r\nOVER\r\n' > "$work/expected"
    cmp "$work/expected" "$work/captured" || fail "the plain receiver got other bytes"
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac
[ ! -e "$work/tried" ] || fail "the extended port was tried"
[ -n "${E2E_VERBOSE:-}" ] && cat "$work"/*.log
echo "PASS: $case_name"
