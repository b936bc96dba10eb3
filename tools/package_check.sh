#!/usr/bin/env bash
# Builds the Debian package and checks it as a user's machine would meet it (as root, or
# with sudo for dpkg). Run by `tools/dev.sh package`, which installs what it needs first.
#
#   1. builds build-pkg/ with Debian's hardening flags (dpkg-buildflags) and makes the .deb;
#   2. checks its name, fields and contents: both programs, their /usr/bin links, the desktop
#      entry, icons, metainfo, manual pages, copyright; no firmware image, no demo;
#   3. validates the desktop entry and the metainfo, and runs lintian: nothing but
#      dir-or-file-in-opt may show as an error or a warning;
#   4. installs it with dpkg -i, runs /usr/bin/vortan-cli --help, starts /usr/bin/vortan
#      under Xvfb and waits for its window;
#   5. puts a firmware image of the user's into /opt/vortan/Resources and reinstalls, removes
#      and purges the package: the image must come through every step unchanged.
# The machine is left as it was found; the script refuses to run where vortan is installed.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VORTAN_PACKAGE_BUILD_DIR:-$here/build-pkg}
jobs=$(nproc)
deb_name=vortan_2.02_amd64.deb
resources=/opt/vortan/Resources
user_image=$resources/firmware.sys

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive

step() { printf '\n== %s\n' "$*"; }
fail() {
    echo "package check FAILED: $*" >&2
    exit 1
}

start=$(date +%s)

# installed, config-files, not-installed (or another dpkg state)
package_state() {
    local state
    state=$(dpkg-query -W -f='${db:Status-Status}' vortan 2>/dev/null) || state=not-installed
    echo "${state:-not-installed}"
}

if [ "$(package_state)" != not-installed ]; then
    fail "a vortan package is installed on this machine; remove it first (dpkg -r vortan)"
fi
if [ -e /opt/vortan ]; then
    fail "/opt/vortan exists on this machine; the check installs there and would mix with it"
fi

scratch=$(mktemp -d)
xvfb_pid=
app_pid=
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    if [ "$(package_state)" != not-installed ]; then
        "${sudo[@]}" dpkg -P vortan >/dev/null 2>&1 || true
    fi
    # Only what this script put there: the test image and the folders it kept alive.
    "${sudo[@]}" rm -f "$user_image"
    "${sudo[@]}" rmdir "$resources" /opt/vortan 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

step "Building the package in $build with Debian's hardening flags"
cd "$here"
# Every hardening feature, immediate binding (-z now) included.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
# CMake takes CXXFLAGS and LDFLAGS from the environment; the preprocessor flags
# (_FORTIFY_SOURCE) are added to the compiler's.
export CXXFLAGS="$CXXFLAGS $CPPFLAGS"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None "${launcher[@]}" \
    -DVORTAN_TESTS=OFF -DVORTAN_BENCH=OFF -DVORTAN_DEV_TOOLS=OFF >/dev/null
cmake --build "$build" -j "$jobs"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$build/$deb_name
[ -f "$deb" ] || fail "cpack made no $deb_name: $(ls "$build"/*.deb 2>/dev/null)"
ls -l "$deb"

step "Fields and contents"
dpkg-deb -I "$deb"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vortan ] || fail "package name $(field Package)"
[ "$(field Version)" = 2.02 ] || fail "version $(field Version)"
[ "$(field Section)" = sound ] || fail "section $(field Section)"
field Maintainer | grep -Eq '<[^@>]+@[^>]+>' || fail "maintainer without e-mail: $(field Maintainer)"
[ "$(field Description | wc -l)" -gt 3 ] || fail "no long description"
dpkg-deb -c "$deb" | awk '{ print $6 ($7 ? " " $7 " " $8 : "") }' | sed 's|^\./|/|' > "$scratch/contents"
cat "$scratch/contents"
if grep -Ei 'firmware|demo|standin' "$scratch/contents"; then
    fail "the package carries a firmware image or a development tool"
fi
for f in /opt/vortan/bin/vortan /opt/vortan/bin/vortan-cli /opt/vortan/Resources/ \
    "/usr/bin/vortan -> /opt/vortan/bin/vortan" \
    "/usr/bin/vortan-cli -> /opt/vortan/bin/vortan-cli" \
    /usr/share/applications/com.quillmar.vortan.desktop \
    /usr/share/metainfo/com.quillmar.vortan.metainfo.xml \
    /usr/share/icons/hicolor/48x48/apps/vortan.png \
    /usr/share/icons/hicolor/128x128/apps/vortan.png \
    /usr/share/icons/hicolor/256x256/apps/vortan.png \
    /usr/share/man/man1/vortan.1.gz /usr/share/man/man1/vortan-cli.1.gz \
    /usr/share/doc/vortan/copyright \
    /usr/share/doc/vortan/changelog.gz; do
    grep -qxF -- "$f" "$scratch/contents" || fail "missing in the package: $f"
done
dpkg-deb -x "$deb" "$scratch/root"
png_size() { # width x height from the PNG header
    od -An -tu1 -j16 -N8 "$1" | awk '{ print $1*16777216+$2*65536+$3*256+$4 "x" $5*16777216+$6*65536+$7*256+$8 }'
}
for size in 48 128 256; do
    got=$(png_size "$scratch/root/usr/share/icons/hicolor/${size}x$size/apps/vortan.png")
    [ "$got" = "${size}x$size" ] || fail "the $size px icon is $got"
done
for program in vortan vortan-cli; do
    if readelf -S "$scratch/root/opt/vortan/bin/$program" | grep -q '\.symtab'; then
        fail "$program is not stripped"
    fi
done
desktop-file-validate "$scratch/root/usr/share/applications/com.quillmar.vortan.desktop"
appstreamcli validate --no-net "$scratch/root/usr/share/metainfo/com.quillmar.vortan.metainfo.xml"
for page in vortan vortan-cli; do
    man --warnings -l "$scratch/root/usr/share/man/man1/$page.1.gz" >/dev/null
done

step "lintian"
# As root lintian wants to be told that this is meant.
lintian --allow-root --tag-display-limit 0 "$deb" | tee "$scratch/lintian" || true
if grep -E '^[EW]: ' "$scratch/lintian" | grep -v ' dir-or-file-in-opt'; then
    fail "lintian reports errors or warnings"
fi

step "Installing"
if ! "${sudo[@]}" dpkg -i "$deb"; then
    "${sudo[@]}" apt-get install -f -y -q --no-install-recommends
fi
[ "$(package_state)" = installed ] || fail "not installed"
[ -d "$resources" ] || fail "no $resources after installing"
# The command-line program runs from its link, with no window system at all.
env -u DISPLAY HOME="$scratch" /usr/bin/vortan-cli --help | grep -q '^  reindex ' ||
    fail "/usr/bin/vortan-cli --help does not list its commands"

step "Starting /usr/bin/vortan under Xvfb"
# Xvfb writes its display number to file descriptor 3 once it accepts clients. It does not
# reset when its last client leaves, which would refuse a program connecting just then.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$scratch/display" >"$scratch/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 300); do
    [ -s "$scratch/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
done
display=$(head -1 "$scratch/display")
[ -n "$display" ] || fail "Xvfb did not start: $(cat "$scratch/xvfb.log")"
mkdir -p -m 700 "$scratch/home"
# A home of its own, so the user's data folder is not touched.
DISPLAY=:$display HOME=$scratch/home XDG_DATA_HOME=$scratch/home/data \
    XDG_RUNTIME_DIR=$scratch/home QT_QPA_PLATFORM=xcb /usr/bin/vortan \
    >"$scratch/vortan.log" 2>&1 &
app_pid=$!
if ! window=$(DISPLAY=:$display timeout 30 xdotool search --sync --onlyvisible --name '^VORTAN V2\.02$' |
    head -1) || [ -z "$window" ]; then
    cat "$scratch/vortan.log" >&2
    fail "no window appeared within 30 s"
fi
echo "window $window: $(DISPLAY=:$display xdotool getwindowname "$window")"
[ -d "$scratch/home/data/vortan/datesaves" ] || fail "the data folder is not .../vortan/datesaves"
kill "$app_pid"
wait "$app_pid" 2>/dev/null || true
app_pid=

step "The user's firmware image survives reinstalling, removing and purging"
head -c 4096 /dev/urandom > "$scratch/user_image"
"${sudo[@]}" cp "$scratch/user_image" "$user_image"
same_image() { cmp -s "$scratch/user_image" "$user_image" || fail "the user's image changed or went: $1"; }
"${sudo[@]}" dpkg -i "$deb" >/dev/null
same_image "after reinstalling"
dpkg -S "$user_image" 2>/dev/null && fail "dpkg claims the user's image"
"${sudo[@]}" dpkg -r vortan
[ "$(package_state)" != installed ] || fail "not removed"
same_image "after removing"
"${sudo[@]}" dpkg -i "$deb" >/dev/null
same_image "after installing again"
"${sudo[@]}" dpkg -P vortan
[ "$(package_state)" = not-installed ] || fail "not purged"
same_image "after purging"
[ ! -e /usr/bin/vortan ] || fail "/usr/bin/vortan is still there after purging"
[ ! -e /usr/bin/vortan-cli ] || fail "/usr/bin/vortan-cli is still there after purging"

step "Package check passed: $(stat -c %s "$deb") bytes, $(($(date +%s) - start)) s"
