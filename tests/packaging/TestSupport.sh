# Shared by the packaging checks; sourced, not run.
#
# A check that lacks a tool or root skips with one line and exit code 77, or fails when
# TARVEX_REQUIRE_ALL_TESTS=1 (CI runs everything and must not skip silently).

SkipCode=77

Unavailable() {
    if [[ "${TARVEX_REQUIRE_ALL_TESTS:-}" == 1 ]]; then
        echo "FAIL: required but unavailable: $1" >&2
        exit 1
    fi
    echo "SKIP: $1"
    exit "$SkipCode"
}

RequireRoot() {
    [[ "$(id -u)" -eq 0 ]] || Unavailable "needs root ($1)"
}

RequireTool() {
    command -v "$1" >/dev/null 2>&1 || Unavailable "needs $1: $2"
}

Fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Name unique to this run, short enough for a network namespace.
UniqueName() {
    echo "tvx$1$$$RANDOM"
}

# Tarvex output that is expected line by line; the first mismatch fails with both texts.
ExpectLine() {
    local file=$1 number=$2 expected=$3 actual
    actual=$(sed -n "${number}p" "$file")
    [[ "$actual" == "$expected" ]] ||
        Fail "line $number of $file: expected '$expected', got '$actual'"
}
