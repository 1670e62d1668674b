#!/usr/bin/env python3
"""table.py <result-dir>: the one summary table of `make bench`.

Reads what scripts/bench left in <result-dir>:
  lib-<program>.json  Google Benchmark JSON (repetitions, aggregates only)
  velkor-*.json       hyperfine JSON of the renewal benchmark (one per round)
  sarnet-*.json       hyperfine JSON of the listing benchmark (rounds, and
                      p11tool's slow listing apart)
  renewal-card.json   hyperfine JSON of the renewal on the emulated card
  card-counts.json    PKCS#11 calls and APDUs of one renewal on the card
  velkor-costs.json   runs of velkor_costs: renewal, key check and refused
                      write with rollback on the card (APDUs, ms) per
                      personality; PKCS#11 calls of a renewal on SoftHSM2
  token-info.txt      how the token benchmarks were set up (printed as notes)
`table.py --costs <result-dir>` prints the velkor_costs table only.
and prints, per comparison, our median, the peer's median, ours/peer and
the target.  Library rows use the median over repetitions of the CPU time
per iteration; program rows the median wall-clock time of hyperfine's runs.
Exit status 0 even when targets are missed (the table says so).
"""
import json
import os
import statistics
import sys

# Library pairs: (program, label, our benchmark, OpenSSL's benchmark).
LIB_PAIRS = [
    ("tesk_bench", "Tesk: 16-byte serial vs i2d_ASN1_INTEGER", "BM_TeskBytes/16", "BM_OpenSslBytes/16"),
    ("tesk_bench", "Tesk: 20-byte serial vs i2d_ASN1_INTEGER", "BM_TeskBytes/20", "BM_OpenSslBytes/20"),
    ("tesk_bench", "Tesk: 64-byte serial vs i2d_ASN1_INTEGER", "BM_TeskBytes/64", "BM_OpenSslBytes/64"),
    ("tesk_bench", "Tesk: integer serial vs i2d_ASN1_INTEGER", "BM_TeskInteger", "BM_OpenSslInteger"),
    ("mirrel_bench", "Mirrel: decode+CompareDN vs d2i+X509_NAME_cmp, Latin", "BM_Ours/0", "BM_OpenSsl/0"),
    ("mirrel_bench", "Mirrel: decode+CompareDN vs d2i+X509_NAME_cmp, Japanese", "BM_Ours/1", "BM_OpenSsl/1"),
    ("mirrel_bench", "Mirrel: decode+CompareDN vs d2i+X509_NAME_cmp, multi-valued", "BM_Ours/2", "BM_OpenSsl/2"),
    ("parvox_bench", "Parvox: LDAP text of 3 names vs X509_NAME_print_ex", "BM_ParvoxLdap", "BM_OpenSslPrintEx"),
    ("asn1x509_bench", "asn1x509: name decode+walk vs d2i_X509_NAME", "BM_NameDecodeAndWalk", "BM_OpenSslD2iName"),
    ("asn1x509_bench", "asn1x509: certificate decode vs d2i_X509", "BM_CertDecode", "BM_OpenSslD2iCert"),
]
LIB_TARGET = 1.0

# Program comparisons: (file stem, label, ours, [peers], target on ours / fastest peer).
PROGRAM_ROWS = [
    ("velkor", "Velkor renewal vs openssl + pkcs11-tool", "Velkor", ["pkcs11-tool-pipeline"], None),
    ("velkor", "Velkor renewal vs openssl + p11tool", "Velkor", ["p11tool-pipeline"], None),
    ("velkor", "Velkor renewal vs faster peer pipeline", "Velkor",
     ["pkcs11-tool-pipeline", "p11tool-pipeline"], 1 / 3),
    ("renewal-opencryptoki", "Velkor renewal vs openssl + pkcs11-tool, openCryptoki", "Velkor",
     ["pkcs11-tool-pipeline"], None),
    ("renewal-nss", "Velkor renewal vs openssl + pkcs11-tool, NSS softoken", "Velkor",
     ["pkcs11-tool-pipeline"], None),
    ("renewal-card", "Velkor renewal vs openssl + pkcs11-tool, OpenSC card", "Velkor",
     ["pkcs11-tool-pipeline"], None),
    ("sarnet", "Sarnet listing vs p11tool --list-all-certs", "Sarnet", ["p11tool --list-all-certs"], None),
    ("sarnet", "Sarnet listing vs pkcs11-tool -O --type cert", "Sarnet", ["pkcs11-tool -O --type cert"], None),
    ("sarnet", "Sarnet listing vs faster peer", "Sarnet",
     ["p11tool --list-all-certs", "pkcs11-tool -O --type cert"], 1 / 2),
]

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def fmt_ns(ns):
    if ns is None:
        return "-"
    if ns >= 1e6:
        return f"{ns / 1e6:.1f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.1f} ns"


def load_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def lib_medians(doc):
    """run_name -> median CPU time in ns (aggregate rows, or the median of plain rows)."""
    medians, plain = {}, {}
    for b in doc.get("benchmarks", []):
        if b.get("error_occurred"):
            continue
        t = b["cpu_time"] * UNIT_NS.get(b.get("time_unit", "ns"), 1.0)
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                medians[b["run_name"]] = t
        else:
            plain.setdefault(b.get("run_name", b["name"]), []).append(t)
    for name, ts in plain.items():
        medians.setdefault(name, statistics.median(ts))
    return medians


def hyperfine_medians(docs):
    """command -> median in ns of all its runs in all the given documents."""
    times = {}
    for doc in docs:
        for r in doc.get("results", []):
            t = r.get("times") or ([r["median"]] if r.get("median") is not None else [])
            times.setdefault(r["command"], []).extend(t)
    return {c: statistics.median(t) * 1e9 for c, t in times.items() if t}


def card_table(rdir):
    """The renewal on the card: time, PKCS#11 calls and APDUs per command."""
    counts = load_json(os.path.join(rdir, "card-counts.json"))
    if not counts:
        return
    times = hyperfine_medians([load_json(os.path.join(rdir, "renewal-card.json")) or {}])
    print()
    print("== Renewal on the OpenSC card (one renewal; APDUs are what a real card charges for)")
    print("| command              | median     | PKCS#11 calls | APDUs |")
    print("|----------------------|------------|---------------|-------|")
    for name, c in counts.items():
        print(f"| {name:<20} | {fmt_ns(times.get(name)):>10} | {c['calls']:>13} | {c['apdus']:>5} |")


def costs_table(rdir):
    """velkor_costs: medians over its runs of APDUs and wall time."""
    doc = load_json(os.path.join(rdir, "velkor-costs.json"))
    if not doc:
        return
    med = lambda xs: statistics.median(xs) if xs else None
    rows = []
    for personality, d in doc.get("card", {}).items():
        ren, ref = d.get("renewal", []), d.get("refused", [])
        for what, runs, pick in [
            ("renewal (with key check)", ren, lambda r: r),
            ("  key check: sign + decrypt", ren, lambda r: r["proof"]),
            ("    C_SignInit + C_Sign", ren, lambda r: r["sign"]),
            ("    C_DecryptInit + C_Decrypt", ren, lambda r: r["decrypt"]),
            ("refused certificate write, whole run", ref, lambda r: r),
            ("  rollback (refusal to exit)", ref, lambda r: r["rollback"]),
        ]:
            if not runs:
                continue
            parts = [pick(r) for r in runs]
            apdus = med([p["apdus"] for p in parts])
            ms = med([p["ms"] for p in parts])
            rows.append((f"{personality}: {what}", f"{apdus:g}", f"{ms:.1f} ms", str(len(runs))))
    print()
    print("== Costs on the OpenSC card (medians over runs; APDUs counted by the emulator, time on a "
          "shared 2-core machine: noisy)")
    header = ("what", "APDUs", "median", "runs")
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
    line = lambda r: "| " + " | ".join(c.ljust(widths[i]) if i == 0 else c.rjust(widths[i])
                                      for i, c in enumerate(r)) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))
    soft = doc.get("softhsm", {})
    fmt = lambda v: "-" if v is None else str(v)
    print()
    print("== PKCS#11 calls of a renewal with a renewed CA on SoftHSM2")
    print("| what                                            | calls |")
    print("|-------------------------------------------------|-------|")
    print(f"| golden trace at b989dc2 (before the key check)  | {fmt(soft.get('trace_before')):>5} |")
    print(f"| golden trace now                                | {fmt(soft.get('trace_after')):>5} |")
    print(f"| live run now (fault module's log)               | {fmt(soft.get('live')):>5} |")


def main():
    if sys.argv[1] == "--costs":
        costs_table(sys.argv[2])
        return
    rdir = sys.argv[1]
    rows = []  # (what, ours_ns, peer_ns, target)
    notes = []
    for prog, label, ours, peer in LIB_PAIRS:
        doc = load_json(os.path.join(rdir, f"lib-{prog}.json"))
        if doc is None:
            rows.append((label, None, None, LIB_TARGET, None))
            if f"{prog} not built or not run" not in notes:
                notes.append(f"{prog} not built or not run")
            continue
        m = lib_medians(doc)
        rows.append((label, m.get(ours), m.get(peer), LIB_TARGET,
                     None if ours in m and peer in m else f"{ours}/{peer} missing"))
    # Benchmarks of the programs that no pair above uses: shown, not judged.
    paired = {(p, n) for p, _, o, q in LIB_PAIRS for n in (o, q)}
    for fname in sorted(os.listdir(rdir)):
        if fname.startswith("lib-") and fname.endswith(".json"):
            prog = fname[4:-5]
            doc = load_json(os.path.join(rdir, fname)) or {}
            for name, t in sorted(lib_medians(doc).items()):
                if (prog, name) not in paired:
                    notes.append(f"{prog} {name}: {fmt_ns(t)} (no pair in bench/table.py)")

    for stem, label, ours, peers, target in PROGRAM_ROWS:
        docs = [load_json(os.path.join(rdir, f)) or {} for f in sorted(os.listdir(rdir))
                if f == stem + ".json" or (f.startswith(stem + "-") and f.endswith(".json"))]
        m = hyperfine_medians(docs)
        if not m:
            rows.append((label, None, None, target, f"{stem}*.json missing"))
            continue
        got = [m[p] for p in peers if p in m]
        rows.append((label, m.get(ours), min(got) if got else None, target, None))

    header = ("what", "ours (median)", "peer (median)", "ratio", "target", "met")
    table = []
    met_all = True
    for label, o, p, target, problem in rows:
        ratio = o / p if o is not None and p else None
        if target is None:
            tgt, met = "-", "-"
        elif ratio is None:
            tgt, met = f"<= {target:.2f}", "n/a"
            met_all = False
        else:
            tgt = f"<= {target:.2f}"
            met = "yes" if ratio <= target else "NO"
            met_all = met_all and ratio <= target
        table.append((label, fmt_ns(o), fmt_ns(p), "-" if ratio is None else f"{ratio:.2f}", tgt, met))
        if problem:
            notes.append(f"{label}: {problem}")

    widths = [max(len(r[i]) for r in [header] + table) for i in range(len(header))]
    line = lambda r: "| " + " | ".join(c.ljust(widths[i]) if i == 0 else c.rjust(widths[i])
                                      for i, c in enumerate(r)) + " |"
    print()
    print("== Benchmark summary (ratio = ours / peer; libraries: median CPU time per call over "
          "repetitions; programs: median wall time of hyperfine runs)")
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in table:
        print(line(r))
    card_table(rdir)
    costs_table(rdir)
    try:
        with open(os.path.join(rdir, "token-info.txt")) as f:
            notes += [line.strip() for line in f if line.strip()]
    except OSError:
        pass
    for n in notes:
        print("note: " + n)
    print("all targets met" if met_all else "some targets missed")


if __name__ == "__main__":
    main()
