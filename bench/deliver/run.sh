#!/usr/bin/env bash
# Builds and runs the delivery benchmark on a generated corpus.
#   bench/deliver/run.sh [N]    (default 10000 messages)
# The corpus comes from gen_corpus.py (deterministic; kept between runs in
# build/bench-corpus-N). Set GEN_CORPUS to its path if it is elsewhere.
set -eu
n=${1:-10000}
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
gen=${GEN_CORPUS:-$top/../shared/bench/gen_corpus.py}
[ -f "$gen" ] || gen=/work/shared/bench/gen_corpus.py
corpus=$top/build/bench-corpus-$n
out=$top/build/bench-deliver
if [ ! -f "$corpus/manifest.json" ]; then
  echo "Generating $n messages into $corpus ..."
  python3 "$gen" "$n" "$corpus"
fi
cmake -S "$here" -B "$out" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out" -j "$(nproc)" --target bench_deliver >/dev/null
"$out/bench_deliver" "$corpus"
