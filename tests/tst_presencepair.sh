#!/bin/bash
# Two hosts joined by a link (made by netns.sh pair): each hears the other's announcement, which
# carries the address of its own side of the link.
# usage: netns.sh pair tst_presencepair.sh PRESENCETOOL
set -u
tool=$1

hears() {
    local from=$1 fromAddr=$2 to=$3 name=$4
    ip netns exec "$to" "$tool" listen "$name:$fromAddr:receive" 5000 &
    local listener=$!
    ip netns exec "$from" "$tool" announce "$name" 8000 &
    local announcer=$!
    wait $listener
    local rc=$?
    kill $announcer 2>/dev/null
    wait $announcer 2>/dev/null
    [ $rc -eq 0 ] || echo "FAIL: $to did not hear $name from $fromAddr" >&2
    return $rc
}

hears "$NS_A" "$ADDR_A" "$NS_B" alice || exit 1
hears "$NS_B" "$ADDR_B" "$NS_A" bob || exit 1
echo "PASS: both sides heard each other"
