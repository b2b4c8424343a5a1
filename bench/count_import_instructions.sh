#!/bin/sh
# Prints the instructions that creating a context, importing the large file
# and freeing the context take, counted by callgrind: the one figure that a
# busy machine does not move. Also counts the large file in key order.
#
#   bench/count_import_instructions.sh [path/to/tamo_bench]
#
# Needs valgrind (callgrind_annotate comes with it). The default benchmark
# is the one the bench preset builds.
set -eu

bench=${1:-build/bench/bench/tamo_bench}
[ -x "$bench" ] || { echo "no benchmark at $bench; build the bench preset first" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tamo-count-XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
"$bench" --write-counted-inputs "$scratch"

# Counts only inside importIntoNewContext: context_create, the import and
# context_free, not the program around them.
count() {
  out="$scratch/callgrind.$1"
  valgrind --tool=callgrind --callgrind-out-file="$out" \
    --toggle-collect='tamo_bench::importIntoNewContext*' \
    "$bench" --peak-memory-child "$2" "$scratch/$3" >/dev/null 2>"$scratch/valgrind.log" ||
    { cat "$scratch/valgrind.log" >&2; exit 1; }
  instructions=$(callgrind_annotate "$out" 2>/dev/null |
    awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1; exit }')
  printf '%-40s %15s instructions\n' "$4" "$instructions"
}

count large import/large large.cfg "create, import large file, free"
count sorted import/sorted sorted.cfg "the same, file in key order"
