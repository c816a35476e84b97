#!/usr/bin/env bash
# Builds the Debian package from a build tree, checks its metadata and contents, installs it,
# runs the installed program and purges the package again, also when a check fails.
#
#   DebianPackageTest.sh <build dir>
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/TestSupport.sh"

Build=${1:?build directory}

RequireRoot "installs and purges a package"
RequireTool cpack "builds the package (cmake)"
RequireTool dpkg "installs the package"
RequireTool dpkg-deb "reads the package"
RequireTool dpkg-shlibdeps "computes the library dependencies (dpkg-dev)"
RequireTool getcap "reads the capability (libcap2-bin)"
RequireTool setpriv "runs the maintainer script without CAP_SETFCAP (util-linux)"
RequireTool lintian "checks the package against Debian's policy"
[[ -x "$Build/tarvex" ]] || Fail "no tarvex in $Build: build the project first"
[[ -f "$Build/doc/tarvex.1.gz" ]] ||
    Fail "no doc/tarvex.1.gz in $Build: build the project first (target tarvex_manual)"

# Never touch an installation that is not ours.
if dpkg-query -W -f='${Status}' tarvex 2>/dev/null | grep -q 'ok installed'; then
    Unavailable "the tarvex package is already installed (dpkg --purge tarvex first)"
fi
if [[ -e /usr/bin/tarvex ]]; then
    Unavailable "/usr/bin/tarvex exists outside any package"
fi

Work=$(mktemp -d)
Installed=0
CleanUp() {
    if [[ "$Installed" -eq 1 ]]; then
        Dpkg --purge tarvex >/dev/null 2>&1 || echo "warning: could not purge tarvex" >&2
    fi
    rm -rf "$Work"
}
trap CleanUp EXIT

# dpkg with a bounded wait for the lock that another package operation may hold.
Dpkg() {
    local attempt
    for ((attempt = 1; attempt <= 30; attempt++)); do
        if dpkg "$@" >"$Work/dpkg.log" 2>&1; then
            return 0
        fi
        grep -qi 'lock' "$Work/dpkg.log" || break
        sleep 2
    done
    cat "$Work/dpkg.log" >&2
    return 1
}

ExpectField() {
    local field=$1 expected=$2 actual
    actual=$(dpkg-deb --field "$Deb" "$field")
    [[ "$actual" == "$expected" ]] || Fail "$field: expected '$expected', got '$actual'"
}

# --- Build --------------------------------------------------------------------------------------

(cd "$Build" && cpack -G DEB -B "$Work/out") >"$Work/cpack.log" 2>&1 ||
    { cat "$Work/cpack.log" >&2; Fail "cpack -G DEB failed"; }
Arch=$(dpkg --print-architecture)
Deb="$Work/out/tarvex_0.1~b-1_${Arch}.deb"
[[ -f "$Deb" ]] || { ls -l "$Work/out" >&2; Fail "no $(basename "$Deb") was built"; }

# --- Metadata -----------------------------------------------------------------------------------

dpkg-deb --info "$Deb" >"$Work/info" || Fail "dpkg-deb --info cannot read the package"
cat "$Work/info"
ExpectField Package tarvex
ExpectField Version 0.1~b-1
ExpectField Architecture "$Arch"
ExpectField Section net
ExpectField Priority optional
ExpectField Recommends libcap2-bin
[[ "$(dpkg-deb --field "$Deb" Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] ||
    Fail "Maintainer is not of the form 'Name <address>'"
dpkg-deb --field "$Deb" Depends | grep -qE '(^|, )libc6( |,|$)' ||
    Fail "Depends does not list libc6 (library dependencies not computed?)"
[[ "$(dpkg-deb --field "$Deb" Description | head -n 1)" == \
    "console monitor that pings one host without end" ]] || Fail "unexpected Description summary"
if dpkg-deb --field "$Deb" Description | awk 'length($0) > 80 { bad = 1 } END { exit !bad }'; then
    Fail "Description has lines longer than 80 characters"
fi
dpkg --compare-versions 0.1~b-1 lt 0.1-1 || Fail "0.1~b-1 must sort before 0.1-1"

# Debian's policy checker finds neither error nor warning; overrides shipped in the package
# carry their reasons.
Status=0
lintian --fail-on error,warning "$Deb" >"$Work/lintian.out" 2>"$Work/lintian.err" || Status=$?
if [[ "$Status" -ne 0 || -s "$Work/lintian.out" ]]; then
    cat "$Work/lintian.out" "$Work/lintian.err" >&2
    Fail "lintian reports problems in the package"
fi

dpkg-deb --ctrl-tarfile "$Deb" | tar -tv >"$Work/control" || Fail "cannot list the control files"
grep -qE '^-rwxr-xr-x .* \./postinst$' "$Work/control" || Fail "postinst missing or not 0755"
dpkg-deb --info "$Deb" postinst | grep -qF "setcap cap_net_raw+ep" ||
    Fail "postinst does not set the capability"

# --- Contents -----------------------------------------------------------------------------------

dpkg-deb --contents "$Deb" >"$Work/contents" || Fail "dpkg-deb --contents cannot read the package"
cat "$Work/contents"
Expected=$(printf '%s\n' \
    ./usr/bin/tarvex \
    ./usr/share/doc/tarvex/changelog.Debian.gz \
    ./usr/share/doc/tarvex/copyright \
    ./usr/share/lintian/overrides/tarvex \
    ./usr/share/man/man1/tarvex.1.gz)
Actual=$(awk '$1 !~ /^d/ { print $6 }' "$Work/contents" | LC_ALL=C sort)
[[ "$Actual" == "$Expected" ]] ||
    { diff <(echo "$Expected") <(echo "$Actual") >&2 || true; Fail "unexpected package contents"; }
grep -qE '^-rwxr-xr-x root/root .* \./usr/bin/tarvex$' "$Work/contents" ||
    Fail "usr/bin/tarvex must be root-owned 0755"
if awk '{ print $1 }' "$Work/contents" | grep -q '[sS]'; then
    Fail "the package holds a set-user-ID or set-group-ID file"
fi

# --- Install, run, purge ------------------------------------------------------------------------

Installed=1
Dpkg -i "$Deb" || Fail "dpkg -i failed"
cat "$Work/dpkg.log"
dpkg-query -W -f='${Status}' tarvex | grep -q 'install ok installed' || Fail "not installed"

Status=0
/usr/bin/tarvex >"$Work/usage.out" 2>"$Work/usage.err" || Status=$?
[[ "$Status" -eq 0 ]] || Fail "installed tarvex without arguments exited with $Status"
[[ ! -s "$Work/usage.err" ]] || Fail "installed tarvex wrote on standard error"
ExpectLine "$Work/usage.out" 1 "Tarvex 0.1b"
ExpectLine "$Work/usage.out" 4 \
    "tarvex (+b/+beep/-b/-beep) [hostname] [timeout in ms] [delaytime in ms]"
[[ "$(wc -l <"$Work/usage.out")" -eq 4 ]] || Fail "usage output is not 4 lines"

[[ "$(getcap /usr/bin/tarvex)" == *"cap_net_raw=ep"* ]] ||
    { cat "$Work/dpkg.log" >&2; Fail "postinst did not give /usr/bin/tarvex cap_net_raw=ep"; }
# The maintainer script's fallbacks: it warns and still succeeds, never resorting to set-user-ID.
Postinst=/var/lib/dpkg/info/tarvex.postinst
[[ -x "$Postinst" ]] || Fail "no installed $Postinst"
setpriv --bounding-set=-setfcap "$Postinst" configure >"$Work/nosetfcap.out" 2>&1 ||
    Fail "postinst failed when setcap could not work"
grep -qF "tarvex: could not give /usr/bin/tarvex the cap_net_raw capability" \
    "$Work/nosetfcap.out" || { cat "$Work/nosetfcap.out" >&2; Fail "postinst did not warn"; }
env PATH=/nonexistent /bin/sh "$Postinst" configure >"$Work/nosetcap.out" 2>&1 ||
    Fail "postinst failed without setcap"
grep -qF "tarvex: setcap not found" "$Work/nosetcap.out" ||
    { cat "$Work/nosetcap.out" >&2; Fail "postinst did not report the missing setcap"; }
[[ -z "$(find /usr/bin/tarvex -perm /6000)" ]] || Fail "/usr/bin/tarvex became set-user-ID"

if command -v man >/dev/null 2>&1; then
    [[ "$(man -w tarvex)" == /usr/share/man/man1/tarvex.1.gz ]] ||
        Fail "man does not find the installed manual page"
fi

Dpkg --purge tarvex || Fail "dpkg --purge failed"
Installed=0
[[ ! -e /usr/bin/tarvex ]] || Fail "/usr/bin/tarvex is left after purge"
[[ ! -e /usr/share/doc/tarvex ]] || Fail "/usr/share/doc/tarvex is left after purge"
Left=$(dpkg-query -W -f='${Status}' tarvex 2>/dev/null || true)
[[ -z "$Left" || "$Left" == *" not-installed" ]] || Fail "dpkg still has tarvex: $Left"
echo "PASS: package built, installed, run and purged"
