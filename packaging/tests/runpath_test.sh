#!/bin/bash
# Run paths of every ELF file of the build tree's bin/ and lib/ and of an
# installed tree: none, "$ORIGIN/../lib" or "$ORIGIN", nothing else (no
# absolute folder of the build machine, no empty entry, which the loader
# reads as the working directory).  The installed programs and libraries
# are the very files of the build tree.  Then Velkor and Sarnet run once
# each from a scratch working directory under LD_DEBUG=libs: the loader
# may try no file by a relative path.
#
# runpath_test.sh --build DIR --cmake CMAKE
set -u

build="" cmake_cmd="cmake"
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2 ;;
    --cmake) cmake_cmd=$2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift 2
done
[ -n "$build" ] || { echo "need --build" >&2; exit 2; }
unset LD_LIBRARY_PATH LD_PRELOAD DESTDIR
export LC_ALL=C

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tokenenrol-runpath.XXXXXX") || exit 2
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

# elf_files <folder>...: regular ELF files (links are checked through their targets).
elf_files() {
  find "$@" -type f -print0 2>/dev/null |
    while IFS= read -r -d '' f; do
      [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ] && printf '%s\n' "$f"
    done
}

# check_tree <label> <folder>...
check_tree() {
  local label=$1 f tag value dynamic count=0
  shift
  while IFS= read -r f; do
    count=$((count + 1))
    # readelf failing must not read as "no run path".
    dynamic=$(readelf -d "$f") || fail "$label: readelf cannot read ${f#"$build"/}"
    for tag in RPATH RUNPATH; do
      value=$(printf '%s\n' "$dynamic" | sed -n "s/.*(${tag}).*\[\(.*\)\]\$/\1/p")
      case "$value" in
        "" | '$ORIGIN/../lib' | '$ORIGIN') ;;
        *) fail "$label: ${f#"$build"/} has $tag '$value'" ;;
      esac
    done
  done < <(elf_files "$@")
  [ "$count" -gt 0 ] || fail "$label: no ELF files found"
  ok "$label: $count ELF files, each with no run path, \$ORIGIN/../lib or \$ORIGIN"
}

# check_loader <label> <program> [args...]: run from an empty working
# directory; every file the loader tries has an absolute path.
check_loader() {
  local label=$1 prog=$2
  shift 2
  local cwd="$scratch/cwd.$label"
  mkdir -p "$cwd"
  (cd "$cwd" && LD_DEBUG=libs LD_DEBUG_OUTPUT="$scratch/ld.$label" "$prog" "$@" >/dev/null 2>&1)
  local log
  log=$(cat "$scratch/ld.$label".* 2>/dev/null)
  if [ -z "$log" ]; then
    fail "$label: LD_DEBUG wrote nothing"
    return
  fi
  local tried relative
  tried=$(printf '%s\n' "$log" | sed -n 's/.*trying file=\(.*\)$/\1/p')
  relative=$(printf '%s\n' "$tried" | grep -v '^/')
  if [ -n "$relative" ]; then
    fail "$label: the loader tried relative paths:"
    printf '%s\n' "$relative" | sed 's/^/    /' >&2
  fi
  # Search paths: every entry absolute and none empty.
  local paths
  paths=$(printf '%s\n' "$log" | sed -n 's/.*search path=\([^	 ]*\).*/\1/p')
  if printf '%s\n' "$paths" | tr ':' '\n' | grep -q -v '^/'; then
    fail "$label: a search path holds an empty or relative entry:"
    printf '%s\n' "$paths" | sort -u | sed 's/^/    /' >&2
  fi
  [ -z "$(ls "$cwd")" ] || fail "$label: the run left files in the working directory"
  ok "$label: $(printf '%s\n' "$tried" | grep -c .) files tried, all by absolute path"
}

# 1. the build tree
check_tree "build tree" "$build/bin" "$build/lib"

# 2. an installed tree, made of the same files
prefix="$scratch/prefix"
if ! "$cmake_cmd" --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
  cat "$scratch/install.log" >&2
  echo "FAIL: cmake --install" >&2
  exit 1
fi
check_tree "installed tree" "$prefix"
bundle=$(dirname "$(dirname "$(find "$prefix" -type f -name Velkor | head -n 1)")")
for prog in Velkor Sarnet; do
  cmp -s "$build/bin/$prog" "$bundle/bin/$prog" || fail "installed $prog differs from the build tree's"
done

# 3. the loader, from a scratch working directory: Velkor with a PKCS#12
# file that does not exist, Sarnet with a module given by bare file name
# (which dlopen searches for).
for where in "$build" "$bundle"; do
  label=$([ "$where" = "$build" ] && echo build || echo installed)
  # The build tree's programs run as copies beside a link to its lib/, so
  # their log files do not land in the build tree.
  if [ "$label" = build ]; then
    mkdir -p "$scratch/copy/bin"
    cp "$build/bin/Velkor" "$build/bin/Sarnet" "$scratch/copy/bin/"
    ln -s "$build/lib" "$scratch/copy/lib"
    where="$scratch/copy"
  fi
  check_loader "$label-Velkor" "$where/bin/Velkor" "$scratch/none.p12" 1234 pw tkvault11.dll \
    SUBDN ISCHKOFF ADDOFF
  check_loader "$label-Sarnet" "$where/bin/Sarnet" tkvault11.dll
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all run path checks passed"
