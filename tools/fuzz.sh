#!/usr/bin/env bash
# Fuzz campaigns and corpus checks for the libFuzzer targets of fuzz/ (built in build-fuzz by
# the clang configuration: -DZQ_FUZZ=ON -DZQ_SANITIZE=ON).
#
#   tools/fuzz.sh TARGET MINUTES            a campaign by hand: runs TARGET on all cores but one
#                                           for MINUTES, then minimises fuzz/corpus/TARGET with
#                                           the new finds; prints executions and features
#   tools/fuzz.sh --minimise TARGET         the corpus becomes its named inputs (the regression
#                                           cases) plus the fewest hash-named inputs that keep
#                                           its coverage (-merge=1 into a fresh directory)
#   tools/fuzz.sh --check TARGET SECONDS    every corpus input once as a regression, then a
#                                           random run of SECONDS from a scratch copy (the
#                                           corpus in the tree is left alone) with a fixed
#                                           seed and at most 20,000 inputs, so a test run
#                                           repeats what it tried before; new ground is the
#                                           campaigns' job
#
# Dictionaries: fuzz/dict/NAME.dict, chosen per target below.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${ZQ_FUZZ_BUILD:-$top/build-fuzz}/fuzz
options=(-timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1)

dictionary() {  # dictionary TARGET: the -dict option for it, if any
  case $1 in
    fuzz_http_*|fuzz_tunnel_header) echo "-dict=$top/fuzz/dict/http.dict" ;;
    fuzz_set_cookie|fuzz_cookie_store|fuzz_netscape_cookies) echo "-dict=$top/fuzz/dict/cookie.dict" ;;
    *) ;;
  esac
}

# "executions features" of a libFuzzer log (its final stats and last status line).
figures() {
  local runs ft
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$1" | tail -1 | grep -o '[0-9]*$' || true)
  ft=$(grep -o 'ft: [0-9]*' "$1" | tail -1 | grep -o '[0-9]*$' || true)
  echo "${runs:-?} ${ft:-?}"
}

# minimise TARGET LOG [DIR...]: fuzz/corpus/TARGET and the DIRs merged into the fewest inputs
# that keep their coverage. Named inputs stay whatever they cover: each is a past finding.
minimise() {
  local target=$1 log=$2
  shift 2
  local corpus=$top/fuzz/corpus/$target fresh
  fresh=$(mktemp -d)
  find "$corpus" -maxdepth 1 -type f -regextype posix-extended ! -regex '.*/[0-9a-f]{40}' -exec cp {} "$fresh/" \;
  if ! "$bin/$target" "${options[@]}" -merge=1 "$fresh" "$corpus" "$@" > "$log" 2>&1; then
    rm -rf "$fresh"
    echo "the merge of $target failed: see $log" >&2
    return 1
  fi
  find "$corpus" -maxdepth 1 -type f -regextype posix-extended -regex '.*/[0-9a-f]{40}' -delete
  cp -n "$fresh"/* "$corpus/"
  rm -rf "$fresh"
}

if [ "${1:-}" = "--minimise" ]; then
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  before=$(find "$top/fuzz/corpus/$2" -type f | wc -l)
  minimise "$2" "$log"
  echo "$2: corpus $before -> $(find "$top/fuzz/corpus/$2" -type f | wc -l) inputs," \
       "features $(grep -o 'ft: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || echo '?')"
  exit 0
fi

if [ "${1:-}" = "--check" ]; then
  target=$2 seconds=$3
  corpus=$top/fuzz/corpus/$target
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  mkdir -p "$scratch/corpus"
  [ -d "$corpus" ] && cp -r "$corpus/." "$scratch/corpus/"
  # shellcheck disable=SC2046
  if ! "$bin/$target" "${options[@]}" $(dictionary "$target") -runs=0 "$scratch/corpus" > "$scratch/regress.log" 2>&1; then
    echo "fuzz target $target failed on its corpus:"; tail -40 "$scratch/regress.log"; exit 1
  fi
  # shellcheck disable=SC2046
  if ! "$bin/$target" "${options[@]}" $(dictionary "$target") -seed=1 -runs=20000 -max_total_time="$seconds" -artifact_prefix="$scratch/" \
       "$scratch/corpus" > "$scratch/run.log" 2>&1; then
    echo "fuzz target $target failed:"; tail -40 "$scratch/run.log"
    for artifact in "$scratch"/crash-* "$scratch"/timeout-* "$scratch"/oom-* "$scratch"/leak-*; do
      [ -e "$artifact" ] && { echo "input (base64): $(base64 -w0 "$artifact")"; }
    done
    exit 1
  fi
  echo "$target $(figures "$scratch/run.log")"
  exit 0
fi

[ $# -eq 2 ] || { echo "usage: tools/fuzz.sh TARGET MINUTES | --check TARGET SECONDS | --minimise TARGET" >&2; exit 2; }
target=$1 minutes=$2
corpus=$top/fuzz/corpus/$target
work=$top/build-fuzz/campaign/$target
mkdir -p "$corpus" "$work/new" "$work/artifacts"
workers=$(( $(nproc) > 1 ? $(nproc) - 1 : 1 ))
# -jobs writes one fuzz-N.log per job into the current directory: the campaign's own.
# shellcheck disable=SC2046
(cd "$work" && nice -n 10 "$bin/$target" "${options[@]}" $(dictionary "$target") -max_total_time=$((minutes * 60)) \
  -jobs="$workers" -workers="$workers" -artifact_prefix="$work/artifacts/" "$work/new" "$corpus" \
  > "$work/campaign.log" 2>&1) || echo "the campaign stopped on a finding: see $work/artifacts and $work/fuzz-*.log"
minimise "$target" "$work/merge.log" "$work/new"
executions=$(cat "$work"/fuzz-*.log 2>/dev/null | grep -o 'stat::number_of_executed_units: [0-9]*' |
             awk '{ sum += $2 } END { print sum + 0 }')
features=$(grep -o 'ft: [0-9]*' "$work/merge.log" | tail -1 | grep -o '[0-9]*$' || echo '?')
echo "$target: executions $executions, features $features, corpus $(find "$corpus" -type f | wc -l) inputs"
