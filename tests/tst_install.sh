#!/bin/bash
# The program as a desktop and a Debian machine see it: `cmake --install` into a temporary prefix;
# the menu entry and the AppStream file pass their standard validators; the icon is there at every
# size it claims; the Debian package holds exactly the installed files and depends on Qt (found by
# the library scan), the CJK font and Qt's translations; and the menu entry's command starts the
# program in the per-user data folder, not in the folder it was started from.
#
#   tst_install.sh CMAKE CPACK BUILD_DIR APP_ID QT_MAJOR NETNS_SH
#
# The last step runs the program inside a private network (netns.sh host) and is skipped, with a
# note, where that cannot be made.
set -u

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Inside the private network: start the menu entry's command from HOME, as a desktop does, and
# wait until the program has written its settings.
if [ "${1:-}" = __run-entry ]; then
    bin=$2 home=$3
    shift 3
    data=$home/.local/share/NuboTransmission
    cd "$home" || exit 1
    env -u XDG_DATA_HOME -u XDG_CONFIG_HOME HOME="$home" PATH="$bin:$PATH" "$@" &
    pid=$!
    for _ in $(seq 600); do
        grep -q '^userName=' "$data/config.ini" 2>/dev/null && [ -e "$data/nubo.lock" ] && break
        if [ -e "$home/config.ini" ] || ! kill -0 $pid 2>/dev/null; then break; fi
        sleep 0.1
    done
    kill $pid 2>/dev/null
    wait $pid 2>/dev/null
    grep -q '^userName=' "$data/config.ini" 2>/dev/null || fail "no config.ini in $data"
    [ -e "$data/nubo.lock" ] || fail "no lock file in $data"
    [ ! -e "$home/config.ini" ] || fail "config.ini written to the folder the program started in"
    [ -d "$home/Downloads" ] || fail "the default save folder $home/Downloads was not made"
    exit 0
fi

[ $# -eq 6 ] || {
    echo "usage: $0 CMAKE CPACK BUILD_DIR APP_ID QT_MAJOR NETNS_SH" >&2
    exit 2
}
cmake=$1 cpack=$2 build=$3 id=$4 qt=$5 netns=$6

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root
prefix=$root/usr

"$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" || fail "cmake --install"

desktop=$prefix/share/applications/$id.desktop
metainfo=$prefix/share/metainfo/$id.metainfo.xml
[ -x "$prefix/bin/NuboTransmission" ] || fail "no program in bin/"
desktop-file-validate "$desktop" || fail "desktop-file-validate $desktop"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate $metainfo"

grep -qx "Name=Nubo文件传输助手" "$desktop" || fail "menu entry name"
grep -q "^GenericName=" "$desktop" || fail "no generic name"
grep -qx "Categories=Network;FileTransfer;" "$desktop" || fail "categories"
grep -qx "Icon=$id" "$desktop" || fail "icon name is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
    fail "AppStream launchable is not $id.desktop"

sizes=0
for icon in "$prefix"/share/icons/hicolor/*x*/apps/"$id".png; do
    [ -e "$icon" ] || fail "no PNG icons in the hicolor theme"
    dir=$(basename "$(dirname "$(dirname "$icon")")")
    file -b "$icon" | grep -q "PNG image data, ${dir%x*} x ${dir#*x}," ||
        fail "$icon is not a ${dir} PNG: $(file -b "$icon")"
    sizes=$((sizes + 1))
done
[ $sizes -ge 6 ] || fail "only $sizes icon sizes"
[ -e "$prefix/share/icons/hicolor/scalable/apps/$id.svg" ] || fail "no scalable icon"

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 || {
    cat "$tmp/cpack.log" >&2
    fail "cpack"
}
deb=$(find "$tmp/pkg" -maxdepth 1 -name '*.deb' | head -n1)
[ -n "$deb" ] || fail "cpack made no .deb"

(cd "$root" && find . -type f | sort) >"$tmp/installed"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$tmp/packaged"
diff -u "$tmp/installed" "$tmp/packaged" || fail "the package does not hold exactly the installed files"

[ "$(dpkg-deb -f "$deb" Package)" = nubotransmission ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Section)" = net ] || fail "section"
dpkg-deb -f "$deb" Maintainer | grep -q '<.*@.*>' || fail "maintainer without an address"
depends=$(dpkg-deb -f "$deb" Depends)
if [ "$qt" = 6 ]; then
    wanted="libc6 libqt6core6 libqt6widgets6 libqt6network6 fonts-noto-cjk qt6-translations-l10n"
else
    wanted="libc6 libqt5core5a libqt5widgets5 libqt5network5 fonts-noto-cjk qttranslations5-l10n"
fi
for p in $wanted; do
    echo ", $depends," | grep -Eq "[ ,]${p}[ ,(]" || fail "Depends lacks $p: $depends"
done

exec_line=$(sed -n 's/^Exec=//p' "$desktop")
case "$exec_line" in
*%*) fail "unexpected field code in Exec=$exec_line" ;;
esac
mkdir -p "$tmp/home"
# shellcheck disable=SC2086 # the Exec line is words, as a desktop splits it
"$netns" host "$0" __run-entry "$prefix/bin" "$tmp/home" $exec_line
rc=$?
if [ $rc -eq 77 ]; then
    echo "note: the menu entry was not started (no private network here)"
elif [ $rc -ne 0 ]; then
    fail "the menu entry's command did not start in the per-user data folder"
fi
echo "PASS: install, validators, icons, package and menu entry"
