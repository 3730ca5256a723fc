#!/bin/bash
# Builds and runs every benchmark and ends with a table of their figures.
# With a git revision as argument, the same benchmarks are also built against
# that revision's code and each runs right before its current counterpart,
# so that both columns of the table come from one run on one machine load.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-2}
base=${1:-}
out=$root/build-bench
log=$out/bench.log

# The benchmarks and the programs they run; the tests are not needed.
targets="ramtrawl kxcr-server $(for f in "$root"/bench/*.cpp; do basename "$f" .cpp; done)"

build() {  # source dir, build dir
    cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DRAMTRAWL_BENCH=ON -DBUILD_TESTING=OFF \
        >/dev/null &&
        cmake --build "$2" -j "$jobs" --target $targets >/dev/null
}

rows() {  # column
    sed -E -e 's/\x1b\[[0-9;]*m//g' -e "s#^RESULT\|#RESULT|$1|#"
}

build "$root" "$out" || exit 1
if [ -n "$base" ]; then
    src=$root/build-bench-base/src
    rev=$(git -C "$root" rev-parse "$base") || exit 1
    # Extracted once per revision, so that a second run builds only what changed.
    if [ "$(cat "$src.rev" 2>/dev/null)" != "$rev" ]; then
        rm -rf "$src" && mkdir -p "$src" && git -C "$root" archive "$rev" | tar -x -C "$src" &&
            echo "$rev" >"$src.rev" || exit 1
    fi
    # Today's benchmarks and their build rules over the old code, with the
    # files those rules name that the old tree lacks (never its code).
    rm -rf "$src/bench" && cp -rp "$root/bench" "$src/bench" && cp -p "$root/CMakeLists.txt" "$src/"
    git -C "$root" ls-files | grep -v -E '^(driver|tools|server|sim|include|tests|fuzz)/' |
        grep -v -E '^bench/' | { cat; echo driver/kxcr.pc.in; } | while read -r f; do
            [ -e "$src/$f" ] || { mkdir -p "$src/$(dirname "$f")" && cp -p "$root/$f" "$src/$f"; }
        done
    build "$src" "$root/build-bench-base/build" || exit 1
fi

{
    echo "load at start: $(uptime)"
    for bench in "$out"/*_bench; do
        name=$(basename "$bench")
        if [ -n "$base" ]; then
            echo "== $name, before ($base)"
            "$root/build-bench-base/build/$name" 2>&1 | rows before
        fi
        echo "== $name"
        "$bench" 2>&1 | rows after
    done
    echo "load at end: $(uptime)"
} | tee "$log"

echo
awk -F'|' -v base="$base" '
    /^load at/ { load[++loads] = $0 }
    /^RESULT\|/ {
        if (!($3 in seen)) { seen[$3] = 1; order[++n] = $3 }
        value[$2, $3] = $4; goal[$3] = $5; spread[$2, $3] = $6; verdict[$2, $3] = $7
    }
    END {
        if (base != "") {
            printf "%-56s %8s %8s %-8s %-16s %s\n", "figure", "before", "after", "goal", "after spread", "after"
        } else {
            printf "%-56s %8s %-8s %-16s %s\n", "figure", "value", "goal", "spread", "verdict"
        }
        for (i = 1; i <= n; ++i) {
            f = order[i]
            if (base != "")
                printf "%-56s %8s %8s %-8s %-16s %s\n", f, value["before", f], value["after", f], goal[f], spread["after", f], verdict["after", f]
            else
                printf "%-56s %8s %-8s %-16s %s\n", f, value["after", f], goal[f], spread["after", f], verdict["after", f]
        }
        for (i = 1; i <= loads; ++i) print load[i]
    }' "$log"
