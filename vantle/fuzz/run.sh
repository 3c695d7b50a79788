#!/usr/bin/env bash
# Fuzzes read_one_from for SECONDS under AddressSanitizer and
# UndefinedBehaviorSanitizer, seeded with streams from our writer.
#   vantle/fuzz/run.sh SECONDS [extra libFuzzer flags]
# Exits non-zero on any finding; the reproducer is left in the work directory
# (VANTLE_FUZZ_DIR, else a fresh temporary directory, kept when something is found).
set -euo pipefail

seconds=${1:?usage: run.sh SECONDS [libFuzzer flags]}
shift
here=$(cd "$(dirname "$0")" && pwd)
lib=$(cd "$here/.." && pwd)
cxx=${VANTLE_FUZZ_CXX:-clang++}

if [[ -n "${VANTLE_FUZZ_DIR:-}" ]]; then
  work=$VANTLE_FUZZ_DIR
  keep=1
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/vantle-fuzz.XXXXXX")
  keep=0
fi
mkdir -p "$work/corpus" "$work/seeds"

common=(-std=c++20 -O1 -g -ffp-contract=off -I"$lib/include")
# Harness and library in one compiler call each (the library has no generated
# sources); the seed generator builds alongside.
"$cxx" "${common[@]}" "$here/make_seeds.cpp" "$lib"/src/*.cpp -o "$work/make_seeds" &
seeds_build=$!
"$cxx" "${common[@]}" -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  "$here/read_fuzz.cpp" "$lib"/src/*.cpp -o "$work/read_fuzz"
wait "$seeds_build"
"$work/make_seeds" "$work/seeds"
cp "$here"/seeds/*.vntl "$work/seeds/" 2>/dev/null || true

status=0
"$work/read_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$work/" "$@" "$work/corpus" "$work/seeds" || status=$?

if [[ $status -ne 0 ]]; then
  echo "vantle fuzz: finding (exit $status); artifacts in $work" >&2
  exit "$status"
fi
if [[ $keep -eq 0 ]]; then
  rm -rf "$work"
fi
echo "vantle fuzz: no findings in ${seconds}s"
