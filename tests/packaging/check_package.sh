#!/usr/bin/env bash
# Installs Keyflip with `cmake --install` and builds its Debian package with
# CPack, both into a scratch folder, installs the package into a scratch root
# with dpkg, and checks that every file lands where desktops look for it:
#   check_package.sh BUILD_DIR CMAKE CPACK VERSION [DEB]
# Given DEB, that package is checked instead of a new one.
# Prints the package's contents; lintian, desktop-file-validate and
# appstreamcli also judge it when they are installed.
set -euo pipefail
# What CPack writes itself (the control folder) follows the umask; a package
# must be readable by all.
umask 022
build=$(cd -- "$1" >/dev/null && pwd)
cmake=$2
cpack=$3
version=$4
given_deb=${5:+$(cd "$(dirname "$5")" && pwd)/$(basename "$5")}

id=io.github.keyflip.Keyflip
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok   $what"
    else
        echo "FAIL $what"
        failures=$((failures + 1))
    fi
}

# Runs a command and shows what it printed only when it fails.
quietly() {
    local output
    output=$("$@" 2>&1) && return 0
    sed 's/^/     /' <<<"$output"
    return 1
}

# Under the prefix: /usr for the package, anything for cmake --install.
files=(
    bin/keyflip
    share/applications/$id.desktop
    share/metainfo/$id.metainfo.xml
    share/icons/hicolor/32x32/apps/$id.png
    share/icons/hicolor/64x64/apps/$id.png
    share/icons/hicolor/128x128/apps/$id.png
    share/man/man1/keyflip.1.gz
    share/doc/keyflip/README.md
    share/doc/keyflip/changelog.gz
    share/doc/keyflip/copyright
    share/doc/keyflip/LICENSE
)

echo "== cmake --install"
"$cmake" --install "$build" --prefix "$scratch/prefix" >/dev/null
for file in "${files[@]}"; do
    check "cmake --install puts $file" test -f "$scratch/prefix/$file"
done
check "the installed program can be run" test -x "$scratch/prefix/bin/keyflip"

deb=$scratch/package/keyflip_${version}_$(dpkg --print-architecture).deb
if [ -n "$given_deb" ]; then
    echo "== $given_deb"
    mkdir -p "$scratch/package"
    cp "$given_deb" "$deb"
else
    echo "== cpack -G DEB"
    (cd "$scratch" && "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/package" \
        >/dev/null)
fi
check "the package is $(basename "$deb")" test -f "$deb"
field() { dpkg-deb -f "$deb" "$1"; }
check "Package: keyflip" test "$(field Package)" = keyflip
check "Version: $version" test "$(field Version)" = "$version"
check "Section: sound" test "$(field Section)" = sound
depends=$(field Depends)
for dependency in libqt6widgets6 libasound2 "libjack-jackd2-0 | libjack0"; do
    check "Depends names $dependency" grep -qF -- "$dependency" <<<"$depends"
done

dpkg-deb -c "$deb" | awk '{print $6}' >"$scratch/contents"
for file in "${files[@]}"; do
    check "the package holds /usr/$file" grep -qx "\./usr/$file" "$scratch/contents"
done
outside() { grep -v -e '^\./$' -e '^\./usr/' "$scratch/contents"; }
check "the package holds nothing outside /usr" test -z "$(outside)"
echo "Contents:"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {printf "  %s %8s  %s\n", $1, $3, $6}'

echo "== dpkg --install into a scratch root"
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# Its dependencies live on this machine, not in the empty root. dpkg looks for
# ldconfig and start-stop-daemon on PATH, which lacks /sbin for most users.
PATH="$PATH:/usr/sbin:/sbin" dpkg --root="$root" --force-not-root --force-depends --log=/dev/null -i "$deb" \
    >"$scratch/dpkg.log" 2>&1 || cat "$scratch/dpkg.log"
installed() { dpkg --root="$root" -s keyflip 2>/dev/null | grep -qx 'Status: install ok installed'; }
check "dpkg reports keyflip installed" installed
for file in "${files[@]}"; do
    check "dpkg installed /usr/$file" test -f "$root/usr/$file"
done

desktop=$root/usr/share/applications/$id.desktop
entry() { sed -n "s/^$1=//p" "$desktop"; }
check "the menu entry starts /usr/bin/$(entry Exec)" test -x "$root/usr/bin/$(entry Exec)"
icons() { ls "$root"/usr/share/icons/hicolor/*/apps/"$(entry Icon)".png 2>/dev/null; }
check "its icon $(entry Icon) is in the hicolor theme" test -n "$(icons)"
for category in AudioVideo Audio Midi; do
    check "its categories include $category" grep -qx "$category" < <(entry Categories | tr ';' '\n')
done
launchable() { sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$1"; }
check "the metainfo launches $(basename "$desktop")" \
    test "$(launchable "$root/usr/share/metainfo/$id.metainfo.xml")" = "$(basename "$desktop")"
unresolved() { ldd "$root/usr/bin/keyflip" | grep 'not found' || true; }
check "every library the program needs is on this machine" test -z "$(unresolved)"

# satisfied "name (>= version)": that package is installed on this machine, in
# a version the relation accepts.
satisfied() {
    local name=${1%% *} relation operator wanted installed
    installed=$(dpkg-query -W -f='${Status} ${Version}' "$name" 2>/dev/null) || return 1
    [[ $installed == "install ok installed "* ]] || return 1
    relation=$(sed -n 's/.*(\(.*\)).*/\1/p' <<<"$1")
    [ -z "$relation" ] && return 0
    read -r operator wanted <<<"$relation"
    dpkg --compare-versions "${installed##* }" "$operator" "$wanted"
}
# Each comma-separated group holds alternatives, one of which must do.
met() {
    local group alternative
    while IFS= read -r group; do
        local found=false
        while IFS= read -r alternative; do
            satisfied "$(xargs <<<"$alternative")" && found=true
        done < <(tr '|' '\n' <<<"$group")
        $found || { echo "  not met here: $group"; return 1; }
    done < <(tr ',' '\n' <<<"$depends")
}
check "every dependency is met on this machine" met

echo "== validators"
if command -v desktop-file-validate >/dev/null; then
    check "desktop-file-validate" quietly desktop-file-validate "$desktop"
else
    echo "skip desktop-file-validate (desktop-file-utils is not installed)"
fi
if command -v appstreamcli >/dev/null; then
    check "appstreamcli validate" quietly appstreamcli validate --no-net --no-color \
        "$root/usr/share/metainfo/$id.metainfo.xml"
else
    echo "skip appstreamcli (appstream is not installed)"
fi
if command -v lintian >/dev/null; then
    check "lintian" quietly lintian --fail-on error,warning "$deb"
else
    echo "skip lintian (not installed)"
fi

if ((failures > 0)); then
    echo "$failures checks failed"
    exit 1
fi
echo "every check passed"
