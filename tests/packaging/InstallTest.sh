#!/usr/bin/env bash
# Checks a staged install of a build tree.
#
#   InstallTest.sh files <build dir> <TARVEX_SETCAP>
#       The staged tree holds exactly the binary, the manual page and the copyright file, nothing
#       is set-user-ID, and the raw-socket capability is granted or its absence reported in one
#       line. As root, also an install whose setcap fails: it must go on and say so. With
#       TARVEX_SETCAP off (a package build) the install leaves the capability alone, silently.
#   InstallTest.sh capability <build dir>
#       As root: the staged binary carries cap_net_raw=ep, and with it an unprivileged user pings
#       127.0.0.1 inside a private network namespace; a copy without the capability cannot.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/TestSupport.sh"

Mode=${1:?mode: files or capability}
Build=${2:?build directory}
case "${3:-ON}" in
ON | TRUE | YES | Y | 1 | on | true | yes) Setcap=1 ;;
*) Setcap=0 ;;
esac

[[ -x "$Build/tarvex" ]] || Fail "no tarvex in $Build: build the project first"
[[ -f "$Build/doc/tarvex.1.gz" ]] ||
    Fail "no doc/tarvex.1.gz in $Build: build the project first (target tarvex_manual)"

Work=$(mktemp -d)
Netns=""
CleanUp() {
    if [[ -n "$Netns" ]]; then
        ip netns delete "$Netns" 2>/dev/null || true
    fi
    rm -rf "$Work"
}
trap CleanUp EXIT
# mktemp -d is 0700; the unprivileged user must reach the staged binary.
chmod 755 "$Work"

# Installs the build tree into $Work/<name> with prefix /usr; extra words are a command prefix
# (for example setpriv options) to run the install under.
StageInstall() {
    local name=$1
    shift
    mkdir -m 755 "$Work/$name"
    if ! "$@" env DESTDIR="$Work/$name" cmake --install "$Build" --prefix /usr \
        >"$Work/$name.log" 2>&1; then
        cat "$Work/$name.log" >&2
        Fail "cmake --install into $Work/$name failed"
    fi
}

ExpectExactFiles() {
    local root=$1 expected actual
    expected=$(printf '%s\n' \
        usr/bin/tarvex \
        usr/share/doc/tarvex/copyright \
        usr/share/man/man1/tarvex.1.gz)
    actual=$(cd "$root" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
    if [[ "$actual" != "$expected" ]]; then
        diff <(echo "$expected") <(echo "$actual") >&2 || true
        Fail "staged install under $root does not hold exactly the expected files"
    fi

    [[ -z "$(find "$root" -perm /6000)" ]] || Fail "a staged file is set-user-ID or set-group-ID"
    [[ "$(stat -c %a "$root/usr/bin/tarvex")" == 755 ]] || Fail "usr/bin/tarvex is not mode 755"
    gzip -dc "$root/usr/share/man/man1/tarvex.1.gz" | cmp -s - "$Build/doc/tarvex.1" ||
        Fail "installed manual page differs from the built doc/tarvex.1"
    grep -qF "Copyright: 2026 The Tarvex developers" "$root/usr/share/doc/tarvex/copyright" ||
        Fail "copyright file lacks the copyright line"
    grep -qF "Permission is hereby granted, free of charge" \
        "$root/usr/share/doc/tarvex/copyright" || Fail "copyright file lacks the MIT licence"

    "$root/usr/bin/tarvex" >"$Work/usage.out" || Fail "installed tarvex without arguments failed"
    ExpectLine "$Work/usage.out" 4 \
        "tarvex (+b/+beep/-b/-beep) [hostname] [timeout in ms] [delaytime in ms]"
}

# The one line an install prints when the capability could not be granted.
ExpectSetcapWarning() {
    local log=$1 binary=$2
    grep -qF "Warning: could not give $binary the cap_net_raw capability" "$log" ||
        { cat "$log" >&2; Fail "install did not report the missing capability"; }
    grep -qF "fix as root: setcap cap_net_raw+ep $binary" "$log" ||
        { cat "$log" >&2; Fail "install did not say how to grant the capability"; }
}

CheckFiles() {
    RequireTool cmake "installs the build tree"
    StageInstall plain
    ExpectExactFiles "$Work/plain"

    if [[ "$Setcap" -eq 0 ]]; then
        if grep -qiE "capability|setcap" "$Work/plain.log"; then
            cat "$Work/plain.log" >&2
            Fail "install with TARVEX_SETCAP off spoke of the capability"
        fi
        if command -v getcap >/dev/null 2>&1 && [[ -n "$(getcap "$Work/plain/usr/bin/tarvex")" ]]; then
            Fail "install with TARVEX_SETCAP off granted a capability"
        fi
        return
    fi

    if [[ "$(id -u)" -ne 0 ]]; then
        # Without root setcap cannot work; the install must still succeed and say so.
        if command -v setcap >/dev/null 2>&1; then
            ExpectSetcapWarning "$Work/plain.log" "$Work/plain/usr/bin/tarvex"
        else
            grep -qF "Warning: setcap not found" "$Work/plain.log" ||
                Fail "install did not report that setcap is missing"
        fi
        return
    fi

    RequireTool setcap "grants the capability (libcap2-bin)"
    RequireTool getcap "reads the capability (libcap2-bin)"
    RequireTool setpriv "drops the capability to set file capabilities (util-linux)"
    grep -qF "Capability: cap_net_raw+ep on $Work/plain/usr/bin/tarvex" "$Work/plain.log" ||
        { cat "$Work/plain.log" >&2; Fail "root install did not grant the capability"; }

    # Root without CAP_SETFCAP: setcap fails, the install goes on and reports it.
    StageInstall nosetfcap setpriv --bounding-set=-setfcap --inh-caps=-setfcap
    ExpectExactFiles "$Work/nosetfcap"
    ExpectSetcapWarning "$Work/nosetfcap.log" "$Work/nosetfcap/usr/bin/tarvex"
    [[ -z "$(getcap "$Work/nosetfcap/usr/bin/tarvex")" ]] ||
        Fail "binary has a capability although setcap failed"
}

# Runs a binary as user nobody inside $Netns for a few seconds; output in $Work/<name>.out.
RunUnprivileged() {
    local name=$1 binary=$2 seconds=$3 status=0
    timeout -s TERM "$seconds" ip netns exec "$Netns" \
        setpriv --reuid=65534 --regid=65534 --clear-groups \
        "$binary" 127.0.0.1 500 100 >"$Work/$name.out" 2>"$Work/$name.err" || status=$?
    # The program never ends by itself: it must still be running when timeout stops it.
    [[ "$status" -eq 124 ]] ||
        { cat "$Work/$name.out" "$Work/$name.err" >&2; Fail "$name run ended with status $status"; }
}

CheckCapability() {
    RequireRoot "sets file capabilities and creates a network namespace"
    RequireTool cmake "installs the build tree"
    RequireTool setcap "grants the capability (libcap2-bin)"
    RequireTool getcap "reads the capability (libcap2-bin)"
    RequireTool ip "creates the network namespace (iproute2)"
    RequireTool setpriv "runs as an unprivileged user (util-linux)"
    RequireTool timeout "bounds the run (coreutils)"

    StageInstall staged
    local binary="$Work/staged/usr/bin/tarvex"
    [[ "$(getcap "$binary")" == *"cap_net_raw=ep"* ]] ||
        { cat "$Work/staged.log" >&2; Fail "getcap does not show cap_net_raw=ep on $binary"; }

    Netns=$(UniqueName cap)
    ip netns add "$Netns" || Fail "cannot create network namespace $Netns"
    ip -n "$Netns" link set lo up

    RunUnprivileged staged "$binary" 3
    # Only whole lines: the stop may come between "Ping " and the rest of its line.
    local out="$Work/staged.lines"
    head -n "$(wc -l <"$Work/staged.out")" "$Work/staged.out" >"$out"
    ExpectLine "$out" 1 "Tarvex 0.1b"
    ExpectLine "$out" 2 "(Marrowfen)"
    ExpectLine "$out" 3 ""
    ExpectLine "$out" 4 "Pinging [Host: 127.0.0.1] [Beep: true] [Timeout: 500ms] [Delay: 100ms]"
    ExpectLine "$out" 5 ""
    if grep -qF "Error occured" "$out"; then
        cat "$out" >&2
        Fail "unprivileged run with the capability hit the failure alarm"
    fi
    local answer='^Ping answered! 127\.0\.0\.1 \[[0-9]+ms\]$' answered others
    answered=$(sed 1,5d "$out" | grep -cE "$answer" || true)
    others=$(sed 1,5d "$out" | grep -cvE "$answer" || true)
    [[ "$answered" -ge 3 && "$others" -eq 0 ]] ||
        { cat "$out" >&2; Fail "expected only answered pings (3 or more), saw $answered and $others other lines"; }

    # A copy loses the capability: the same user cannot open the raw socket.
    mkdir -m 755 "$Work/copy"
    cp "$binary" "$Work/copy/tarvex"
    RunUnprivileged copy "$Work/copy/tarvex" 2
    grep -qE '^Error occured \[.+\]$' "$Work/copy.out" ||
        { cat "$Work/copy.out" >&2; Fail "copy without the capability did not fail to ping"; }
    if grep -qF "Ping answered!" "$Work/copy.out"; then
        Fail "copy without the capability pinged"
    fi
}

case "$Mode" in
files) CheckFiles ;;
capability) CheckCapability ;;
*) Fail "unknown mode $Mode" ;;
esac
echo "PASS: $Mode"
