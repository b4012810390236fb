#!/usr/bin/env bash
# What the manifests cost the generator: qemgen built from the commit before
# the manifests beside this tree's qemgen, phases 1 and 2 of the same data set
# in alternating order (factbench --compare: medians, and the medians of the
# paired ratios of processor, wall and user time), each beside a plain write
# of the same bytes (1 MiB a call, as dd bs=1M); then qemverify and
# qemverify --regenerate on the three phases, beside qemgen writing them.
#
#   bench/manifestbench.sh [BUILD]        (make bench-manifests)
#
# BUILD: this tree's build folder with factbench, qemgen and qemverify
# (default: build). The environment: BENCH_DIR (where the data sets are
# written and the older commit is built: /dev/shm where there is one, else
# /tmp), RUNS (pairs, at least 8), CHANNELS, DENSITY, USERS (10, 1, 10), BASE
# (the commit measured against: the parent of the commit that added the
# manifests). The older commit's code is taken with git archive into a
# temporary folder and removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
bench_dir=${BENCH_DIR:-$( [ -d /dev/shm ] && echo /dev/shm || echo /tmp )}
runs=${RUNS:-8}
[ "$runs" -ge 8 ] || { echo "$0: RUNS=$runs: at least 8 pairs" >&2; exit 2; }
# 8c78004: "Manifests for every phase: content sums ... and CRC-32 computed in the writers' threads"
base=${BASE:-8c78004^}
for tool in factbench qemgen qemverify; do
  [ -x "$build/$tool" ] || { echo "$0: $build/$tool missing: build it first (make bench-manifests does)" >&2; exit 2; }
done
git -C "$root" rev-parse --verify --quiet "$base^{commit}" >/dev/null ||
  { echo "$0: commit $base not found: this needs the project's git history" >&2; exit 2; }

scratch=$(mktemp -d "$bench_dir/manifestbench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
echo "building qemgen of $(git -C "$root" log -1 --format='%h (%s)' "$base" | cut -c1-80) in $scratch" >&2
mkdir "$scratch/src"
git -C "$root" archive "$base" | tar -x -C "$scratch/src"
# Built as this tree's build was (its build type), so that both are compiled alike.
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
cmake -S "$scratch/src" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE="${build_type:-RelWithDebInfo}" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$scratch/build" --target qemgen >/dev/null

echo "this tree: $(git -C "$root" describe --always --dirty); compared: $(git -C "$root" rev-parse --short "$base")"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/factbench" --folder "$bench_dir" --skip-files --runs "$runs" \
  --channels "${CHANNELS:-10}" --density "${DENSITY:-1}" --users "${USERS:-10}" --compare "$scratch/build/qemgen"
