#!/usr/bin/env bash
# Builds the Debian package from a copy of the source tree as a distribution would (an
# unprivileged user, dpkg-buildpackage), checks it with lintian and hardening-check, checks that
# the distribution's compiler flags are the ones used, runs its autopkgtest on this machine
# (which installs it), checks the installed package and purges it again, also on failure.
# Run by the system tests, which first make sure that every tool is there and that no tarvex
# is installed.
#
#   DebianPackageTest.sh <source dir>
set -euo pipefail

Source=${1:?source directory}
Fail() {
    echo "FAIL: $*" >&2
    exit 1
}

Work=$(mktemp -d)
Installed=0
CleanUp() {
    if [[ "$Installed" -eq 1 ]] || dpkg-query -W tarvex >/dev/null 2>&1; then
        dpkg --purge tarvex >/dev/null 2>&1 || echo "warning: could not purge tarvex" >&2
    fi
    rm -rf "$Work"
}
trap CleanUp EXIT
chmod 755 "$Work"

# --- Build as an unprivileged user ------------------------------------------------------------

# The tracked files only: the build writes nothing into the caller's tree, and the package lands
# in the copy's parent folder.
Parent="$Work/build"
Tree="$Parent/tarvex"
mkdir -p "$Tree"
if git -C "$Source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$Source" ls-files -z | tar -C "$Source" --null --ignore-failed-read -T - -cf - |
        tar -C "$Tree" -xf -
else
    tar -C "$Source" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$Tree" -xf -
fi
chown -R nobody:nogroup "$Parent"

Status=0
(cd "$Tree" && setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env -u TARVEX_REQUIRE_ALL_TESTS HOME="$Parent" \
    DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=2}" \
    dpkg-buildpackage -us -uc -b) >"$Work/build.log" 2>&1 || Status=$?
if [[ "$Status" -ne 0 ]]; then
    tail -n 60 "$Work/build.log" >&2
    Fail "dpkg-buildpackage -us -uc -b failed as an unprivileged user"
fi
grep -E '^(100% tests passed|[0-9]+% tests passed|Total Test time)' "$Work/build.log" || true
Arch=$(dpkg --print-architecture)
Deb="$Parent/tarvex_0.1~b-1_${Arch}.deb"
Changes="$Parent/tarvex_0.1~b-1_${Arch}.changes"
[[ -f "$Deb" && -f "$Changes" ]] || { ls -l "$Parent" >&2; Fail "no $(basename "$Deb") was built"; }
dpkg-deb --info "$Deb"
dpkg-deb --contents "$Deb"

# --- Policy, hardening, flags -----------------------------------------------------------------

# Not a single tag, informational ones included; the overrides say why they apply.
Status=0
setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$Parent" \
    lintian --pedantic --info --fail-on error,warning "$Changes" >"$Work/lintian.out" 2>&1 ||
    Status=$?
if [[ "$Status" -ne 0 || -s "$Work/lintian.out" ]]; then
    cat "$Work/lintian.out" >&2
    Fail "lintian --pedantic reports on the package"
fi

dpkg-deb -x "$Deb" "$Work/unpacked"
Binary="$Work/unpacked/usr/bin/tarvex"
# Control-flow protection cannot be had: Debian 12's C start-up files lack its marking.
hardening-check --nocfprotection "$Binary" || Fail "hardening-check reports a missing protection"
# The C++ runtime is linked in (TARVEX_STATIC_CXX_RUNTIME), which keeps the private memory of
# the running program below ping's.
if readelf -d "$Binary" | grep -qE '\[lib(stdc\+\+|gcc_s)\.so'; then
    Fail "the package's tarvex loads the C++ runtime shared"
fi
[[ -z "$(find "$Work/unpacked" -perm /6000)" ]] || Fail "the package holds a set-user-ID file"

# The compiler saw exactly the distribution's flags: what the project adds are its warnings,
# the language standard, definitions and include folders. dpkg-buildflags runs in the tree, as
# dh ran it, since its prefix map names that folder.
Flags=$(cd "$Tree" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS)
Flags+=" $(cd "$Tree" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS)"
Command=$(grep -m 1 -E '"command": ".*app/main\.cpp"' "$Tree"/obj-*/compile_commands.json) ||
    Fail "no compile command for app/main.cpp in the package build"
Command=${Command#*\"command\": \"}
Command=${Command%\"*}
read -ra Words <<<"$Command"
Used=()
for ((i = 1; i < ${#Words[@]}; i++)); do
    case "${Words[i]}" in
    -o | -c | -MT | -MF) ((i += 1)) ;;
    -isystem) ((i += 1)) ;;
    -W* | -I* | -std=* | -MD | -D*TARVEX* | */app/main.cpp) ;;
    *) Used+=("${Words[i]}") ;;
    esac
done
Expected=$(tr ' ' '\n' <<<"$Flags" | grep -v '^-W' | grep . | LC_ALL=C sort -u)
Actual=$(printf '%s\n' "${Used[@]}" | LC_ALL=C sort -u)
if [[ "$Actual" != "$Expected" ]]; then
    echo "compile command: $Command" >&2
    diff <(echo "$Expected") <(echo "$Actual") >&2 || true
    Fail "the compiler flags are not the distribution's (expected left, used right)"
fi

# --- autopkgtest on this machine, then the installed package -----------------------------------

Installed=1
Status=0
autopkgtest --no-built-binaries --output-dir "$Work/autopkgtest" "$Deb" "$Tree/" -- null \
    >"$Work/autopkgtest.log" 2>&1 || Status=$?
cat "$Work/autopkgtest/summary" 2>/dev/null || true
if [[ "$Status" -ne 0 ]]; then
    tail -n 60 "$Work/autopkgtest.log" >&2
    Fail "autopkgtest failed with status $Status"
fi
grep -qE '^monitor-loopback +PASS' "$Work/autopkgtest/summary" ||
    Fail "the network namespace test did not pass (skipped?)"

dpkg-query -W -f='${Status}' tarvex | grep -q 'install ok installed' || Fail "not installed"
[[ "$(getcap /usr/bin/tarvex)" == *"cap_net_raw=ep"* ]] ||
    Fail "postinst did not give /usr/bin/tarvex cap_net_raw=ep"
# The maintainer script's fallbacks: it warns and still succeeds, never resorting to set-user-ID.
Postinst=/var/lib/dpkg/info/tarvex.postinst
setpriv --bounding-set=-setfcap "$Postinst" configure >"$Work/nosetfcap.out" 2>&1 ||
    Fail "postinst failed when setcap could not work"
grep -qF "tarvex: warning: could not give /usr/bin/tarvex the cap_net_raw capability" \
    "$Work/nosetfcap.out" || { cat "$Work/nosetfcap.out" >&2; Fail "postinst did not warn"; }
env PATH=/nonexistent /bin/sh "$Postinst" configure >"$Work/nosetcap.out" 2>&1 ||
    Fail "postinst failed without setcap"
grep -qF "tarvex: warning: setcap not found" "$Work/nosetcap.out" ||
    { cat "$Work/nosetcap.out" >&2; Fail "postinst did not report the missing setcap"; }
[[ -z "$(find /usr/bin/tarvex -perm /6000)" ]] || Fail "/usr/bin/tarvex became set-user-ID"
if command -v man >/dev/null 2>&1; then
    [[ "$(man -w tarvex)" == /usr/share/man/man1/tarvex.1.gz ]] ||
        Fail "man does not find the installed manual page"
fi

dpkg --purge tarvex >"$Work/purge.log" 2>&1 || { cat "$Work/purge.log" >&2; Fail "purge failed"; }
Installed=0
[[ ! -e /usr/bin/tarvex ]] || Fail "/usr/bin/tarvex is left after purge"
[[ ! -e /usr/share/doc/tarvex ]] || Fail "/usr/share/doc/tarvex is left after purge"
echo "PASS: package built unprivileged, lintian clean, hardened, tested, installed and purged"
