#!/usr/bin/env bash
# velkor-costs.sh <build-dir> <result-dir>: runs build/bin/velkor_costs
# (bench/velkor_costs.cc) and prints its table. Results in
# <result-dir>/velkor-costs.json, read by table.py:
#  - on the emulated card (OpenSC over pcscd), both personalities: a
#    renewal (APDUs, wall time) and the key check inside it (C_SignInit to
#    C_Decrypt, counted in the run's own call log stamped with the card's
#    APDU counter); a refused certificate write and its rollback;
#  - PKCS#11 calls of a renewal with a renewed CA on SoftHSM2: live, and the
#    lines of tests/golden/renewal_renewed_ca.trace now and at b989dc2
#    (before the key check and the fresh-start rollback).
# Run on its own: bash bench/velkor-costs.sh build /tmp/costs
# BENCH_COST_RUNS (default 5): runs of each measurement per personality.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=$(cd "${1:?build dir}" && pwd)
out=$(mkdir -p "${2:?result dir}" && cd "$2" && pwd)
say() { echo "velkor-costs: $*"; }
if [ ! -x "$build/bin/velkor_costs" ]; then
  say "$build/bin/velkor_costs not built (needs the tests and the benchmarks on); skipped"; exit 0
fi
for tool in pcscd pkcs15-init opensc-tool softhsm2-util p11-kit; do
  command -v "$tool" >/dev/null || { say "$tool missing; skipped"; exit 0; }
done
args=(--runs "${BENCH_COST_RUNS:-5}" --trace-after "$root/tests/golden/renewal_renewed_ca.trace")
before=$out/renewal_renewed_ca-b989dc2.trace
if git -C "$root" show b989dc2:tests/golden/renewal_renewed_ca.trace >"$before" 2>/dev/null; then
  args+=(--trace-before "$before")
else
  rm -f "$before"
  say "commit b989dc2 not in this checkout; the trace before is left out"
fi
"$build/bin/velkor_costs" "$out/velkor-costs.json" "${args[@]}"
python3 "$here/table.py" --costs "$out"
