#!/bin/bash
# Runs network tests inside network namespaces made for them alone, so that nothing they send can
# leave the machine.
#
#   netns.sh host CMD [ARGS...]
#       Runs CMD in a fresh namespace with lo up and one link "nubo0" holding 10.77.0.10/24,
#       multicast on and the default route. The link drops what is sent through it, so a UDP
#       "connect" to any public address picks 10.77.0.10 and no packet goes anywhere; multicast
#       is looped back to listeners in the same namespace. IPv6 is off on the link, so only
#       what CMD sends leaves by it (a test can count it in /proc/net/dev). CMD sees
#       NUBO_NETNS_ADDR and NUBO_NETNS_IF. Exits with CMD's code.
#
#   netns.sh pair SCRIPT [ARGS...]
#       Makes two namespaces joined by a veth pair ("nubo0" in each), 10.78.0.1/24 in the first
#       and 10.78.0.2/24 in the second, lo up, multicast on, default and multicast routes over
#       the veth. Runs SCRIPT (in the current namespace) with NS_A, NS_B, ADDR_A and ADDR_B in
#       its environment; it reaches the hosts with `ip netns exec "$NS_A" cmd`. Both namespaces
#       are removed afterwards. Exits with SCRIPT's code.
#
# Exits 77 (CTest's "skipped") where namespaces cannot be made. NUBO_NETNS_NO_UNSHARE=1 makes the
# host form use its fallback (a named namespace removed on exit) even where unshare works.

set -u

readonly SKIP=77
readonly HOST_ADDR=10.77.0.10
readonly LINK=nubo0
readonly PAIR_PREFIX=nubo-pair

skip() {
    echo "netns.sh: skipped: $*" >&2
    exit $SKIP
}

usage() {
    echo "usage: $0 host CMD [ARGS...] | pair SCRIPT [ARGS...]" >&2
    exit 2
}

need_tools() {
    [ "$(id -u)" -eq 0 ] || skip "network namespaces need root (running as uid $(id -u))"
    command -v ip >/dev/null 2>&1 || skip "the 'ip' tool (iproute2) is not installed"
}

# IPv6 off on the test link: its neighbour and router chatter would be the only traffic on it, and
# tests count what leaves by it.
quiet_ipv6() {
    local knob=/proc/sys/net/ipv6/conf/$LINK/disable_ipv6
    [ ! -w $knob ] || echo 1 >$knob
}

# Inside the new namespace: lo and one link that goes nowhere. A dummy link is the natural
# choice; kernels built without it get a bridge with no ports, which drops what it sends as well.
setup_host() {
    ip link set lo up || return 1
    ip link add $LINK type dummy 2>/dev/null || ip link add $LINK type bridge mcast_snooping 0 2>/dev/null || return 1
    quiet_ipv6
    ip addr add $HOST_ADDR/24 dev $LINK || return 1
    ip link set $LINK multicast on up || return 1
    ip route add default dev $LINK || return 1
}

run_host_inside() {
    setup_host || skip "could not set up the link in the new namespace"
    export NUBO_NETNS_ADDR=$HOST_ADDR NUBO_NETNS_IF=$LINK
    exec "$@"
}

run_host() {
    [ $# -ge 1 ] || usage
    need_tools
    # unshare leaves nothing behind: the namespace goes with the last process in it, even if
    # that process is killed.
    if [ -z "${NUBO_NETNS_NO_UNSHARE:-}" ] && command -v unshare >/dev/null 2>&1 &&
        unshare --net true 2>/dev/null; then
        exec unshare --net -- "$0" __host-inside "$@"
    fi

    local ns="nubo-host-$$"
    ip netns add "$ns" 2>/dev/null || skip "neither 'unshare --net' nor 'ip netns add' works here"
    trap 'ip netns del "$ns" 2>/dev/null' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    ip netns exec "$ns" "$0" __host-inside "$@" &
    local child=$!
    wait $child
    local rc=$?
    # A signal interrupted the wait: end the command before the namespace goes.
    if kill -0 $child 2>/dev/null; then kill $child; wait $child; fi
    exit $rc
}

# Namespaces of earlier runs that were killed before they could clean up.
remove_stale_pairs() {
    local ns pid
    for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep "^$PAIR_PREFIX-[ab]-[0-9]*$"); do
        pid=${ns##*-}
        kill -0 "$pid" 2>/dev/null || ip netns del "$ns" 2>/dev/null
    done
}

PAIR_CHILD=
cleanup_pair() {
    local ns pids
    if [ -n "$PAIR_CHILD" ] && kill -0 "$PAIR_CHILD" 2>/dev/null; then
        kill "$PAIR_CHILD" 2>/dev/null
        wait "$PAIR_CHILD" 2>/dev/null
    fi
    for ns in "$NS_A" "$NS_B"; do
        # Whatever SCRIPT left running in the namespace was started by this run.
        pids=$(ip netns pids "$ns" 2>/dev/null)
        [ -n "$pids" ] && kill $pids 2>/dev/null
        ip netns del "$ns" 2>/dev/null
    done
}

setup_pair_side() {
    local ns=$1 addr=$2
    ip netns exec "$ns" bash -c "$(declare -f quiet_ipv6); LINK=$LINK; quiet_ipv6"
    ip -n "$ns" link set lo up &&
        ip -n "$ns" addr add "$addr/24" dev $LINK &&
        ip -n "$ns" link set $LINK multicast on up &&
        ip -n "$ns" route add default dev $LINK &&
        ip -n "$ns" route add 224.0.0.0/4 dev $LINK
}

run_pair() {
    [ $# -ge 1 ] || usage
    need_tools
    remove_stale_pairs

    export NS_A="$PAIR_PREFIX-a-$$" NS_B="$PAIR_PREFIX-b-$$"
    export ADDR_A=10.78.0.1 ADDR_B=10.78.0.2
    trap cleanup_pair EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM

    ip netns add "$NS_A" 2>/dev/null || skip "'ip netns add' does not work here"
    ip netns add "$NS_B" 2>/dev/null || skip "'ip netns add' does not work here"
    ip link add $LINK netns "$NS_A" type veth peer name $LINK netns "$NS_B" 2>/dev/null ||
        skip "could not make a veth pair"
    setup_pair_side "$NS_A" $ADDR_A || skip "could not set up $NS_A"
    setup_pair_side "$NS_B" $ADDR_B || skip "could not set up $NS_B"

    # In the background, so that INT and TERM reach the traps at once.
    "$@" &
    PAIR_CHILD=$!
    wait $PAIR_CHILD
    exit $?
}

[ $# -ge 1 ] || usage
mode=$1
shift
case "$mode" in
host) run_host "$@" ;;
pair) run_pair "$@" ;;
__host-inside) run_host_inside "$@" ;;
*) usage ;;
esac
