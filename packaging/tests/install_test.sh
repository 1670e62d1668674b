#!/bin/bash
# Installs the build tree into a scratch prefix and checks what lands there:
# programs, libraries, headers, pkg-config files (a small C program is
# compiled and linked with them), man pages, and the programs' exit codes
# and log files when started with wrong arguments.  Then makes the Debian
# package with CPack, unpacks it into a scratch root (dpkg -x, nothing is
# installed on the system) and runs the programs from there.
#
# install_test.sh --build DIR --cmake CMAKE --cpack CPACK --cc CC --cflags FLAGS
#                 --bindir D --libdir D --includedir D --mandir D --version V --sources DIR
set -u

build="" cmake_cmd="cmake" cpack_cmd="cpack" cc="cc" cflags="" bindir="bin" libdir="lib"
includedir="include" mandir="share/man" version="" sources=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2 ;;
    --cmake) cmake_cmd=$2 ;;
    --cpack) cpack_cmd=$2 ;;
    --cc) cc=$2 ;;
    --cflags) cflags=$2 ;;
    --bindir) bindir=$2 ;;
    --libdir) libdir=$2 ;;
    --includedir) includedir=$2 ;;
    --mandir) mandir=$2 ;;
    --version) version=$2 ;;
    --sources) sources=$2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift 2
done
[ -n "$build" ] && [ -n "$sources" ] || { echo "need --build and --sources" >&2; exit 2; }

# Nothing from the caller's environment may help the installed programs
# find their libraries.
unset LD_LIBRARY_PATH LD_PRELOAD PKG_CONFIG_PATH PKG_CONFIG_LIBDIR DESTDIR
export LC_ALL=C.UTF-8

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tokenenrol-pkg.XXXXXX") || exit 2
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

# The message of a log file (cp932) as UTF-8.
log_text() { iconv -f CP932 -t UTF-8 "$1"; }

# check_run <label> <expected status> <log file> <expected log text> <program> [args...]
check_run() {
  local label=$1 want=$2 log=$3 text=$4
  shift 4
  rm -f "$log"
  "$@" >"$scratch/run.out" 2>"$scratch/run.err"
  local status=$?
  if [ "$status" -ne "$want" ]; then
    fail "$label: exit status $status, expected $want"
    sed 's/^/    /' "$scratch/run.err" >&2
    return
  fi
  if [ ! -f "$log" ]; then
    fail "$label: no $(basename "$log") beside the program"
    return
  fi
  local got
  got=$(log_text "$log")
  if [ "$got" != "$text" ]; then
    fail "$label: $(basename "$log") holds:"
    printf '%s\n' "$got" | sed 's/^/    /' >&2
    return
  fi
  if [ -s "$scratch/run.out" ]; then
    fail "$label: printed something on standard output"
    return
  fi
  ok "$label: exit status $status, $(basename "$log") as expected"
}

velkor_argcount=$'error:コマンドライン引数が8以外である。\nツールの戻り値 = -1'
velkor_arg5=$'error:コマンドライン引数5番目のオプション文字列がサポート外である。\nツールの戻り値 = -1'
sarnet_argcount=$'error:コマンドライン引数が2以外である。\nツールの戻り値 = -1'

# check_programs <label> <bin directory>
check_programs() {
  local label=$1 bin=$2
  check_run "$label Velkor, no arguments" 255 "$bin/Tamrin.txt" "$velkor_argcount" "$bin/Velkor"
  check_run "$label Velkor, lower-case keyword" 255 "$bin/Tamrin.txt" "$velkor_arg5" \
    "$bin/Velkor" "$scratch/none.p12" 1234 pw "$scratch/none.so" subdn ISCHKOFF ADDOFF
  check_run "$label Sarnet, no arguments" 255 "$bin/Morva.txt" "$sarnet_argcount" "$bin/Sarnet"
  check_run "$label Sarnet, two arguments" 255 "$bin/Morva.txt" "$sarnet_argcount" "$bin/Sarnet" a b
  rm -f "$bin/Tamrin.txt" "$bin/Morva.txt" "$bin/certRead.txt"
}

# check_libraries_resolve <label> <bin> <lib>: the programs take our
# libraries from <lib>, found through their run path.
check_libraries_resolve() {
  local label=$1 bin=$2 lib=$3 prog l where
  for prog in Velkor Sarnet; do
    for l in libasn1x509.so; do
      where=$(ldd "$bin/$prog" | awk -v l="$l" 'index($1, l) == 1 { print $3 }')
      if [ "$(readlink -f "$where")" != "$(readlink -f "$lib/$l")" ]; then
        fail "$label $prog: $l resolves to '${where}', not to $lib"
      fi
    done
    if ldd "$bin/$prog" | grep -q 'not found'; then
      fail "$label $prog: unresolved libraries"
      ldd "$bin/$prog" | grep 'not found' >&2
    fi
  done
  ldd "$bin/Velkor" | grep -q "libMirrel.so" || fail "$label Velkor does not link libMirrel"
  ldd "$bin/Velkor" | grep -q "libTesk.so" || fail "$label Velkor does not link libTesk"
  ldd "$bin/Sarnet" | grep -q "libParvox.so" || fail "$label Sarnet does not link libParvox"
  ok "$label: the programs find their libraries in $lib"
}

# check_pkgconfig <label> <libdir>: the .pc files answer, and a program
# compiles and links with them and runs.
check_pkgconfig() {
  local label=$1 lib=$2 pc
  export PKG_CONFIG_PATH="$lib/pkgconfig"
  for pc in asn1x509 mirrel parvox tesk; do
    if ! pkg-config --exists --print-errors "$pc"; then
      fail "$label: pkg-config does not know $pc"
      continue
    fi
    [ "$(pkg-config --modversion "$pc")" = "$version" ] || fail "$label: $pc version $(pkg-config --modversion "$pc")"
  done
  local mirrel_flags
  mirrel_flags=$(pkg-config --cflags --libs mirrel) || fail "$label: pkg-config --cflags --libs mirrel"
  case " $mirrel_flags " in
    *" -lMirrel "*) ;;
    *) fail "$label: mirrel flags lack -lMirrel: $mirrel_flags" ;;
  esac
  case " $mirrel_flags " in
    *" -lasn1x509 "*) ;;
    *) fail "$label: mirrel flags lack the object library: $mirrel_flags" ;;
  esac
  local libdir_pc
  libdir_pc=$(pkg-config --variable=libdir mirrel)
  # shellcheck disable=SC2086  # flag lists are split on purpose
  if "$cc" $cflags -std=c11 -Wall -Wextra -Werror -o "$scratch/library_user" "$sources/library_user.c" \
       $(pkg-config --cflags --libs mirrel parvox tesk) -Wl,-rpath,"$libdir_pc" 2>"$scratch/cc.err"; then
    if "$scratch/library_user" >"$scratch/user.out" 2>&1; then
      ok "$label: a program built with pkg-config (mirrel parvox tesk) links and runs: $(cat "$scratch/user.out")"
    else
      fail "$label: the program built with pkg-config failed"
      sed 's/^/    /' "$scratch/user.out" >&2
    fi
  else
    fail "$label: compiling and linking with pkg-config flags failed"
    sed 's/^/    /' "$scratch/cc.err" >&2
  fi
  # A program that uses only Mirrel's calls needs nothing but mirrel.
  # shellcheck disable=SC2086
  if ! "$cc" $cflags -std=c11 -o "$scratch/mirrel_only" -x c - $(pkg-config --cflags --libs mirrel) \
       2>"$scratch/cc.err" <<'EOF'
#include <mirrel/mirrel.h>
int main(void) {
  X509NameHandle a = 0, b = 0;
  uint32_t err = 0;
  int32_t same = 0;
  X509NameObjectCreate(&a, &err);
  X509NameObjectCreate(&b, &err);
  int rc = CompareDN(a, b, &same, &err);
  X509NameObjectDestroy(a, &err);
  X509NameObjectDestroy(b, &err);
  return rc == 0 && same == 0 ? 0 : 1;
}
EOF
  then
    fail "$label: a program using mirrel alone does not build with pkg-config --cflags --libs mirrel"
    sed 's/^/    /' "$scratch/cc.err" >&2
  fi
  unset PKG_CONFIG_PATH
}

# check_man <label> <mandir>
check_man() {
  local label=$1 man=$2 page
  for page in man1/Velkor.1 man1/Sarnet.1 man3/tokenenrol.3; do
    if [ ! -f "$man/$page" ]; then
      fail "$label: $page missing"
      continue
    fi
    if ! groff -man -Tutf8 -ww -z "$man/$page" 2>"$scratch/groff.err" || [ -s "$scratch/groff.err" ]; then
      fail "$label: $page does not render cleanly"
      sed 's/^/    /' "$scratch/groff.err" >&2
    fi
    if command -v man >/dev/null; then
      if ! MANWIDTH=80 man -l "$man/$page" >"$scratch/man.out" 2>"$scratch/man.err" ||
         [ -s "$scratch/man.err" ] || [ ! -s "$scratch/man.out" ]; then
        fail "$label: man -l $page"
        sed 's/^/    /' "$scratch/man.err" >&2
      fi
    fi
  done
  local alias
  for alias in GetTypicalDN CompareDN Tesk FreeASN1Memory PARVOX_NameObjToStringLDAP; do
    [ -f "$man/man3/$alias.3" ] || fail "$label: man3/$alias.3 missing"
  done
  if command -v man >/dev/null; then
    MANWIDTH=80 man -M "$man" 3 CompareDN 2>/dev/null | grep -q "GetTypicalDN" ||
      fail "$label: man 3 CompareDN does not show the library page"
  fi
  ok "$label: man pages render"
}

# ---------------------------------------------------------------------------
# 1. cmake --install into a scratch prefix
prefix="$scratch/prefix"
if ! "$cmake_cmd" --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
  cat "$scratch/install.log" >&2
  echo "FAIL: cmake --install" >&2
  exit 1
fi
ok "cmake --install $build --prefix <scratch>"

for f in "$bindir/Velkor" "$bindir/Sarnet"; do
  [ -x "$prefix/$f" ] || fail "$f missing or not executable"
done
for l in asn1x509 Mirrel Parvox Tesk; do
  [ -e "$prefix/$libdir/lib$l.so" ] || fail "$libdir/lib$l.so missing"
done
for h in asn1x509/asn1x509.h tesk/tesk.h mirrel/mirrel.h parvox/parvox.h; do
  [ -f "$prefix/$includedir/$h" ] || fail "$includedir/$h missing"
done
for pc in asn1x509 mirrel parvox tesk; do
  [ -f "$prefix/$libdir/pkgconfig/$pc.pc" ] || fail "$libdir/pkgconfig/$pc.pc missing"
done
# Nothing test-only is installed.
extra=$(cd "$prefix" && find . \( -name '*faultp11*' -o -name '*testtoken*' -o -name '*_test' \
          -o -name '*_bench' -o -name '*_fuzz' -o -name '*.a' \) -print)
[ -z "$extra" ] || fail "test-only files installed: $extra"
progs=$(cd "$prefix/$bindir" && ls | sort | tr '\n' ' ')
[ "$progs" = "Sarnet Velkor " ] || fail "$bindir holds: $progs"
ok "installed files in place"

check_libraries_resolve "installed tree" "$prefix/$bindir" "$prefix/$libdir"
check_pkgconfig "installed tree" "$prefix/$libdir"
check_man "installed tree" "$prefix/$mandir"
check_programs "installed tree" "$prefix/$bindir"

# A copy of the tree elsewhere still runs: the run paths are relative.
mv "$prefix" "$scratch/moved"
check_programs "moved tree" "$scratch/moved/$bindir"
rm -rf "$scratch/moved"

# ---------------------------------------------------------------------------
# 2. the Debian package
if ! command -v dpkg-deb >/dev/null; then
  echo "dpkg-deb not available: Debian package not checked"
else
  # cpack as from the build tree, except that the installation runs the
  # build tree's install script directly instead of first bringing the
  # build up to date (the "preinstall" target): the test never builds, and
  # other tests may be running from the same tree.
  cat >"$scratch/cpack_install.cmake" <<EOF
set(CMAKE_INSTALL_PREFIX "\${CPACK_PACKAGING_INSTALL_PREFIX}")
include("$build/cmake_install.cmake")
EOF
  if ! (cd "$scratch" && "$cpack_cmd" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/pkg" \
          -D CPACK_INSTALL_CMAKE_PROJECTS= -D CPACK_INSTALL_SCRIPTS="$scratch/cpack_install.cmake") \
       >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    fail "cpack -G DEB"
  else
    deb=$(find "$scratch/pkg" -maxdepth 1 -name '*.deb' | head -n 1)
    if [ -z "$deb" ]; then
      fail "cpack made no .deb"
    else
      ok "cpack made $(basename "$deb")"
      [ "$(dpkg-deb -f "$deb" Package)" = "tokenenrol" ] || fail "package name $(dpkg-deb -f "$deb" Package)"
      [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version $(dpkg-deb -f "$deb" Version)"
      depends=$(dpkg-deb -f "$deb" Depends)
      for d in libc6 libssl3; do
        case ", $depends" in
          *", $d "* | *", $d,"* | *", $d") ;;
          *) fail "the package does not depend on $d: $depends" ;;
        esac
      done
      contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
      for f in ./usr/bin/Velkor ./usr/bin/Sarnet "./usr/$libdir/libMirrel.so" \
               "./usr/$libdir/pkgconfig/mirrel.pc" "./usr/$includedir/mirrel/mirrel.h" \
               "./usr/$mandir/man1/Velkor.1" "./usr/$mandir/man3/tokenenrol.3"; do
        printf '%s\n' "$contents" | grep -qxF "$f" || printf '%s\n' "$contents" | grep -qxF "$f.gz" ||
          fail "the package lacks $f"
      done
      printf '%s\n' "$contents" | grep -q faultp11 && fail "the package holds the fault module"
      root="$scratch/root"
      if dpkg -x "$deb" "$root"; then
        check_libraries_resolve "package" "$root/usr/$bindir" "$root/usr/$libdir"
        check_programs "package" "$root/usr/$bindir"
        check_pkgconfig "package" "$root/usr/$libdir"
      else
        fail "dpkg -x"
      fi
    fi
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all packaging checks passed"
