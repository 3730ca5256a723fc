#!/usr/bin/env bash
# Runs the fuzz targets built in BUILD, two at a time, each for SECONDS on a
# scratch copy of its seed corpus (fuzz/corpus/<target>, without the known/
# folder of faults not fixed yet) with its dictionary. Fails on any crash,
# leak, timeout or sanitizer report; the inputs that failed are kept in
# BUILD/fuzz-findings/<target>/.
#   fuzz/run.sh BUILD SECONDS [TARGET...]
#   fuzz/run.sh BUILD known     runs each known/ input once: which still fail
set -uo pipefail
build=$(cd "$1" && pwd)
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for binary in "$build"/*_fuzz; do targets+=("$(basename "${binary%_fuzz}")"); done
fi

# Memory-backed when possible: every input is written to a file.
work=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
# The targets keep their chip images and files under TMPDIR.
export TMPDIR=$work
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

if [ "$seconds" = known ]; then
    status=0
    for known in "$here"/corpus/*/known/*; do
        [ -f "$known" ] || continue
        target=$(basename "$(dirname "$(dirname "$known")")")
        if "$build/${target}_fuzz" -close_fd_mask=3 "$known" >"$work/log" 2>&1; then
            echo "fixed:       $target ${known#"$here"/}"
        else
            echo "still fails: $target ${known#"$here"/}"
            status=1
        fi
    done
    exit $status
fi

# One target; its log ends with libFuzzer's final statistics.
run_one() {
    local target=$1 dir=$work/$1
    mkdir -p "$dir/corpus"
    find "$here/corpus/$target" -maxdepth 1 -type f -exec cp {} "$dir/corpus/" \;
    "$build/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -close_fd_mask=3 \
        -dict="$here/dict/$target.dict" -artifact_prefix="$dir/" -print_final_stats=1 \
        "$dir/corpus" >"$dir/log" 2>&1
}

report() {
    local target=$1 rc=$2 dir=$work/$1
    local execs cov
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log")
    cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$dir/log" | tail -1)
    if [ "$rc" -eq 0 ]; then
        echo "ok     $target: ${execs:-?} inputs, $cov"
        return 0
    fi
    mkdir -p "$build/fuzz-findings/$target"
    cp "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-* "$build/fuzz-findings/$target/" 2>/dev/null
    echo "FAILED $target (status $rc): inputs in $build/fuzz-findings/$target/"
    grep -E 'ERROR|fuzz:|SUMMARY|#[0-9]+ 0x' "$dir/log" | head -30
    return 1
}

status=0
declare -A pids
for target in "${targets[@]}"; do
    if [ ! -x "$build/${target}_fuzz" ]; then
        echo "no target ${target}_fuzz in $build"
        exit 1
    fi
    run_one "$target" &
    pids[$target]=$!
    # Two at a time: the machine has two cores.
    while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n; done
done
for target in "${targets[@]}"; do
    wait "${pids[$target]}"
    report "$target" $? || status=1
done
exit $status
