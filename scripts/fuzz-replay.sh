#!/usr/bin/env bash
# Runs each fuzzer briefly over its corpus, so the targets stay built and
# the corpora replay as regression tests.
set -euo pipefail
build=$1
shopt -s nullglob
count=0
for fuzzer in "$build"/bin/fuzz_*; do
  name=$(basename "$fuzzer")
  corpus=tests/fuzz/corpus/${name#fuzz_}
  scratch=$(mktemp -d)
  mkdir -p "$corpus"
  echo "fuzz: $name"
  # New inputs go to the scratch folder; the committed corpus is only read.
  "$fuzzer" -max_total_time=10 -timeout=5 "$scratch" "$corpus" 2>&1 | tail -n 2
  rm -rf "$scratch"
  count=$((count + 1))
done
echo "fuzz: $count targets replayed"
