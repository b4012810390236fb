#!/usr/bin/env bash
# The workload against PostgreSQL: a data set (written, or the finished one
# already in DATA), loaded into the server of make load, its answers computed
# from the files (qemquery answers, timed), then every session run with every
# answer checked (qemquery run --check), its queries per hour on the last
# lines. The load average is shown before and after.
#
#   bench/querybench.sh [BUILD]           (make bench-queries)
#
# BUILD: the build folder with qemgen, qemload, qemquery (with run) and
# localpg (default: build). The environment: CHANNELS, DENSITY, USERS (10, 1,
# 10: the data set written when DATA holds no finished one), DATA (data),
# PGFOLDER (pgdata), SCHEMA (qem), LIMIT (only the first LIMIT queries of each
# file; empty: all of them), ANSWERS (the answers file: BUILD/bench-answers.txt).
# The server keeps running afterwards (make load-stop stops it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
channels=${CHANNELS:-10} density=${DENSITY:-1} users=${USERS:-10}
data=${DATA:-data} pgfolder=${PGFOLDER:-pgdata} schema=${SCHEMA:-qem} limit=${LIMIT:-}
answers=${ANSWERS:-$build/bench-answers.txt}
for tool in qemgen qemload qemquery localpg; do
  [ -x "$build/$tool" ] || { echo "$0: $build/$tool missing: build it first (make bench-queries does)" >&2; exit 2; }
done

# The manifests of phase N in DATA: phaseN.manifest of a data set written
# whole, phaseN.manifest.partKKKK of one written in parts (not the side files
# .new of a manifest being written).
manifests() {
  compgen -G "$data/phase$1.manifest" || true
  compgen -G "$data/phase$1.manifest.part[0-9][0-9][0-9][0-9]" | sort || true
}

if [ -n "$(manifests 3)" ] && [ ! -e "$data/qem1r2genstate" ]; then
  phase1=$(manifests 1 | head -n 1)
  echo "querybench: the finished data set in $data:" $(sed -n 's/^\(channels\|density-code\|users\) //p' "$phase1" |
    paste -sd' ' | awk '{print $1 " channels, density code " $2 ", " $3 " users"}')
else
  echo "querybench: writing a data set of $channels channels, $density %, $users users into $data"
  mkdir -p "$data"
  rm -f "$data/qem1r2genstate"
  (cd "$data" && printf '%s\n%s\n%s\n' "$channels" "$density" "$users" | "$build/qemgen" >/dev/null &&
    "$build/qemgen" </dev/null >/dev/null && "$build/qemgen" </dev/null >/dev/null)
fi

echo "querybench: load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
conninfo=$("$build/localpg" start "$pgfolder")
"$build/qemload" --replace --schema "$schema" "$conninfo" "$data" | tail -n 1

TIMEFORMAT="querybench: qemquery answers took %R s (processor: %U s user, %S s system)"
time "$build/qemquery" answers --out "$answers" "$data"
echo "querybench: load average: $(cut -d' ' -f1-3 /proc/loadavg)"

status=0
"$build/qemquery" run --schema "$schema" ${limit:+--limit "$limit"} --check "$answers" "$conninfo" "$data" || status=$?
echo "querybench: load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
