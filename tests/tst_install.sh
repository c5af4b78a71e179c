#!/bin/bash
# The program as a desktop and a Debian machine see it.
#
#   tst_install.sh package CMAKE CPACK BUILD_DIR APP_ID QT_MAJOR
#       `cmake --install` into a temporary prefix; the menu entry and the AppStream file pass their
#       standard validators; the icon is there at every size it claims; the licence, the changelog
#       and the manual page are where Debian wants them; the Debian package holds exactly the
#       installed files, depends on Qt (found by the library scan), the CJK font and Qt's
#       translations, and lintian (where installed) finds no error and no warning in it.
#
#   tst_install.sh menu-entry CMAKE BUILD_DIR APP_ID NETNS_SH
#       Inside a private network (netns.sh host) with a virtual X display: the menu entry's command
#       starts the program in the per-user data folder, not in the folder it was started from, and
#       the window's WM_CLASS is the entry's StartupWMClass. Exits 77 (skipped) where the private
#       network cannot be made.
set -u

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Inside the private network, on a virtual display: start the menu entry's command from HOME, as a
# desktop does, and wait until the program has written its settings and shown its window.
if [ "${1:-}" = __run-entry ]; then
    bin=$2 home=$3 wmclass=$4
    shift 4
    data=$home/.local/share/NuboTransmission
    cd "$home" || exit 1
    env -u XDG_DATA_HOME -u XDG_CONFIG_HOME HOME="$home" PATH="$bin:$PATH" QT_QPA_PLATFORM=xcb \
        "$@" &
    pid=$!
    class= locked=
    for _ in $(seq 600); do
        # xwininfo shows each top-level window's WM_CLASS as ("instance" "class").
        class=$(xwininfo -root -children 2>/dev/null |
            sed -n 's/.*: ("[^"]*" "\([^"]*\)").*/\1/p' | sort -u)
        # Looked at while it runs: the program removes its lock as it ends on the kill below.
        [ -e "$data/nubo.lock" ] && locked=yes
        grep -q '^userName=' "$data/config.ini" 2>/dev/null && [ -n "$locked" ] &&
            [ -n "$class" ] && break
        if [ -e "$home/config.ini" ] || ! kill -0 $pid 2>/dev/null; then break; fi
        sleep 0.1
    done
    kill $pid 2>/dev/null
    wait $pid 2>/dev/null
    grep -q '^userName=' "$data/config.ini" 2>/dev/null || fail "no config.ini in $data"
    [ -n "$locked" ] || fail "no lock file in $data"
    [ ! -e "$home/config.ini" ] || fail "config.ini written to the folder the program started in"
    [ -d "$home/Downloads" ] || fail "the default save folder $home/Downloads was not made"
    [ "$class" = "$wmclass" ] || fail "the window's WM_CLASS is \"$class\", the entry says \"$wmclass\""
    exit 0
fi

mode=${1:-}
case "$mode:$#" in
package:6) cmake=$2 cpack=$3 build=$4 id=$5 qt=$6 ;;
menu-entry:5) cmake=$2 build=$3 id=$4 netns=$5 ;;
*)
    echo "usage: $0 package CMAKE CPACK BUILD_DIR APP_ID QT_MAJOR" >&2
    echo "       $0 menu-entry CMAKE BUILD_DIR APP_ID NETNS_SH" >&2
    exit 2
    ;;
esac

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root
prefix=$root/usr

"$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" || fail "cmake --install"
desktop=$prefix/share/applications/$id.desktop
[ -x "$prefix/bin/NuboTransmission" ] || fail "no program in bin/"

if [ "$mode" = menu-entry ]; then
    for tool in xvfb-run xwininfo; do
        command -v $tool >/dev/null || fail "$tool is missing (Debian: xvfb, x11-utils)"
    done
    wmclass=$(sed -n 's/^StartupWMClass=//p' "$desktop")
    [ -n "$wmclass" ] || fail "no StartupWMClass in the menu entry"
    exec_line=$(sed -n 's/^Exec=//p' "$desktop")
    case "$exec_line" in
    *%*) fail "unexpected field code in Exec=$exec_line" ;;
    esac
    mkdir -p "$tmp/home"
    # shellcheck disable=SC2086 # the Exec line is words, as a desktop splits it
    "$netns" host xvfb-run -a "$0" __run-entry "$prefix/bin" "$tmp/home" "$wmclass" $exec_line
    rc=$?
    [ $rc -eq 77 ] && exit 77
    [ $rc -eq 0 ] || fail "the menu entry's command"
    echo "PASS: the menu entry starts the program in the per-user data folder, WM_CLASS $wmclass"
    exit 0
fi

metainfo=$prefix/share/metainfo/$id.metainfo.xml
desktop-file-validate "$desktop" || fail "desktop-file-validate $desktop"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate $metainfo"

grep -qx "Name=Nubo文件传输助手" "$desktop" || fail "menu entry name"
grep -q "^GenericName=" "$desktop" || fail "no generic name"
grep -qx "Categories=Network;FileTransfer;" "$desktop" || fail "categories"
grep -qx "Icon=$id" "$desktop" || fail "icon name is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
    fail "AppStream launchable is not $id.desktop"
grep -q "<project_license>GPL-3.0-or-later</project_license>" "$metainfo" ||
    fail "AppStream project licence"

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

doc=$prefix/share/doc/nubotransmission
grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
    "$doc/copyright" 2>/dev/null || fail "no machine-readable copyright file in $doc"
grep -qx "License: GPL-3+" "$doc/copyright" || fail "the copyright file names no GPL-3+ licence"
gzip -t "$doc/changelog.gz" 2>/dev/null || fail "no changelog.gz in $doc"
gzip -t "$prefix/share/man/man1/NuboTransmission.1.gz" 2>/dev/null || fail "no manual page"

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
zcat "$doc/changelog.gz" >"$tmp/changelog"
[ "$(dpkg-parsechangelog -l "$tmp/changelog" -S Version)" = "$(dpkg-deb -f "$deb" Version)" ] ||
    fail "the changelog's last version is not the package's"
depends=$(dpkg-deb -f "$deb" Depends)
if [ "$qt" = 6 ]; then
    wanted="libc6 libqt6core6 libqt6widgets6 libqt6network6 fonts-noto-cjk qt6-translations-l10n"
else
    wanted="libc6 libqt5core5a libqt5widgets5 libqt5network5 fonts-noto-cjk qttranslations5-l10n"
fi
for p in $wanted; do
    echo ", $depends," | grep -Eq "[ ,]${p}[ ,(]" || fail "Depends lacks $p: $depends"
done

if command -v lintian >/dev/null; then
    lintian --fail-on error,warning "$deb" || fail "lintian finds errors or warnings in the package"
else
    echo "note: lintian is not installed; the package was not checked by it"
fi
echo "PASS: install, validators, icons, licence, changelog, manual page and package"
