# Shared by the soak and budget tests (sourced, not run).
# Exit status 77 means "skipped"; with TARVEX_REQUIRE_ALL_TESTS=1 a missing requirement fails.

skip() {
    if [[ ${TARVEX_REQUIRE_ALL_TESTS:-} == 1 ]]; then
        echo "required but unavailable: $*" >&2
        exit 1
    fi
    echo "skipped: $*" >&2
    exit 77
}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

require_root_and_tools() {
    [[ $(id -u) == 0 ]] || skip "needs root (raw sockets, namespaces)"
    local tool
    for tool in ip "$@"; do
        command -v "$tool" >/dev/null 2>&1 || skip "needs $tool"
    done
}

# Namespaces made here are listed and removed on exit, with every process still in them.
made_namespaces=()
started_pids=()
work_dir=$(mktemp -d "${TMPDIR:-/tmp}/tarvex-soak.XXXXXX")
cleanup() {
    local pid ns
    for pid in "${started_pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    for ns in "${made_namespaces[@]}"; do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do
            kill -KILL "$pid" 2>/dev/null || true
        done
        ip netns del "$ns" 2>/dev/null || true
    done
    if [[ ${TARVEX_KEEP_SOAK_FILES:-} == 1 ]]; then
        echo "files kept in $work_dir" >&2
    else
        rm -rf "$work_dir"
    fi
}
trap cleanup EXIT

# new_namespace VAR TAG: makes a fresh namespace with its loopback up and stores its name in
# VAR. Not for use in $(...): the list the clean-up reads must be this shell's own.
new_namespace() {
    # Names of its own, so that the caller's variable (ns, say) is not shadowed.
    local -n made_name=$1
    local made_ns="tvx$2$$x${#made_namespaces[@]}"
    ip netns add "$made_ns" || fail "cannot make namespace $made_ns"
    made_namespaces+=("$made_ns")
    ip -n "$made_ns" link set lo up || fail "cannot bring up lo in $made_ns"
    made_name=$made_ns
}

# run_in NS OUT ERR COMMAND...: starts the command in the namespace in the background with
# standard output and error to the files, standard input from /dev/null and no descriptor
# beyond 2 inherited; sets started_pid. ip netns exec replaces itself with the command, so the
# pid is the command's.
run_in() {
    local ns=$1 out=$2 err=$3
    shift 3
    (
        for fd in /proc/self/fd/*; do
            fd=${fd##*/}
            ((fd > 2)) && eval "exec $fd>&-" 2>/dev/null
        done
        exec ip netns exec "$ns" "$@" <"/dev/null" >"$out" 2>"$err"
    ) &
    started_pid=$!
    started_pids+=("$started_pid")
}

# wait_for_text FILE TEXT SECONDS: true once the file holds the text (a fixed string).
wait_for_text() {
    local file=$1 text=$2 deadline=$((SECONDS + $3))
    while ((SECONDS <= deadline)); do
        grep -qF -- "$text" "$file" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

# wait_for_exit PID SECONDS: true once the process has ended; its status in exit_status.
wait_for_exit() {
    local pid=$1 deadline=$((SECONDS + $2))
    while ((SECONDS <= deadline)); do
        if ! kill -0 "$pid" 2>/dev/null || [[ $(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null) == Z ]]; then
            wait "$pid"
            exit_status=$?
            return 0
        fi
        sleep 0.05
    done
    return 1
}

# descriptor_count PID: open descriptors of the process.
descriptor_count() {
    local entries=(/proc/"$1"/fd/*)
    [[ -e ${entries[0]} ]] && echo "${#entries[@]}" || echo 0
}

# status_kib PID FIELD: a size field of /proc/PID/status (VmRSS, VmHWM) in KiB.
status_kib() {
    awk -v field="$2:" '$1 == field { print $2 }' "/proc/$1/status" 2>/dev/null
}

# The end of a run: a keyboard interrupt starts the alarm, a second one ends the program with
# the report of the unhandled EControlC and status 1 (the sanitizers' leak check runs then).
interrupt_twice() {
    local pid=$1 out=$2 err=$3
    kill -INT "$pid"
    wait_for_text "$out" "Error occured [" 2 || fail "no alarm within 2 s of the first Control-C"
    kill -INT "$pid"
    wait_for_exit "$pid" 5 || fail "the second Control-C did not end the program within 5 s"
    [[ $exit_status == 1 ]] || fail "exit status $exit_status after the second Control-C (want 1); stderr: $(head -c 2000 "$err")"
    grep -q '^Exception EControlC in module .* at .*\.$' "$err" || fail "no EControlC report on stderr: $(head -c 2000 "$err")"
    grep -qx 'Control-C hit\.' "$err" || fail "no 'Control-C hit.' line on stderr"
}
