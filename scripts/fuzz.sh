#!/usr/bin/env bash
# Builds the libFuzzer targets (build-fuzz, clang + ASan/UBSan) and runs each
# one, or the named ones, on a scratch copy of its seed corpus.
#
#   scripts/fuzz.sh [--smoke] [--time SECONDS | --runs N] [--no-build] [--keep DIR] [target...]
#
#   --smoke      every target for 10 s (the test command's setting)
#   --time S     every target for S seconds (default 60)
#   --runs N     every target for N executions instead
#   --no-build   use the targets already in build-fuzz
#   --keep DIR   leave each target's grown corpus and artifacts in DIR/<target>
#                (default: a temporary directory, removed when all passed)
#   target       fuzz_<name> or <name>; default: every fuzz/*.cpp
#
# Prints, per target: executions, executions per second, coverage (cov and ft
# of libFuzzer's last status line), corpus entries at the end, and the
# outcome. Exits 1 when a target crashed (the reproducer's path is printed).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

limit=(-max_total_time=60)
build=1
keep=
targets=()
while [ $# -gt 0 ]; do
    case $1 in
        --smoke) limit=(-max_total_time=10) ;;
        --time) limit=(-max_total_time="$2"); shift ;;
        --runs) limit=(-runs="$2"); shift ;;
        --no-build) build=0 ;;
        --keep) keep=$2; shift ;;
        -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
        *) targets+=("${1#fuzz_}") ;;
    esac
    shift
done
if [ ${#targets[@]} -eq 0 ]; then
    for f in fuzz/*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi

if [ $build = 1 ]; then
    KVD_BUILD_TARGETS="${targets[*]/#/fuzz_}" scripts/build.sh build-fuzz \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
        "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -gline-tables-only" \
        -DKVD_SANITIZE=ON -DKVD_FUZZ=ON -DKVD_SYSTEM_TESTS=OFF
fi

if [ -n "$keep" ]; then
    mkdir -p "$keep"
    work=$(cd "$keep" && pwd)
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/kvd-fuzz.XXXXXX")
fi
# A leak or an undefined behaviour is a finding like a crash.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
printf '%-20s %12s %9s %7s %7s %7s  %s\n' target execs exec/s cov ft corpus result
for t in "${targets[@]}"; do
    bin=build-fuzz/fuzz/fuzz_$t
    dir=$work/$t
    rm -rf "$dir"
    mkdir -p "$dir/corpus" "$dir/artifacts"
    # Runs never write into the repository: the seeds are copied first.
    if [ -d "fuzz/corpus/$t" ]; then cp fuzz/corpus/"$t"/* "$dir/corpus/"; fi
    rc=0
    "$bin" "${limit[@]}" -timeout=30 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
        -artifact_prefix="$dir/artifacts/" "$dir/corpus" >"$dir/log" 2>&1 || rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log" | tail -1)
    last=$(grep -E '^#[0-9]+.*cov: ' "$dir/log" | tail -1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    entries=$(find "$dir/corpus" -type f | wc -l)
    if [ $rc = 0 ]; then
        result=ok
    else
        result="FAILED (exit $rc; log $dir/log; input $(ls "$dir"/artifacts/* 2>/dev/null | head -1))"
        status=1
    fi
    printf '%-20s %12s %9s %7s %7s %7s  %s\n' "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" \
        "${ft:-?}" "$entries" "$result"
done
if [ $status = 0 ] && [ -z "$keep" ]; then rm -rf "$work"; fi
exit $status
