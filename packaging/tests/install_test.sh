#!/bin/bash
# Installs the build tree into a scratch prefix and checks what lands there:
# the programs' bundle (<libdir>/tokenenrol/{bin,lib}) and tokenenrol-setup,
# libraries, headers, pkg-config files (a small C program is compiled and
# linked with them), man pages, and the programs' exit codes and log files
# when started with wrong arguments, from the bundle, from a moved tree and
# from a copy laid out by tokenenrol-setup.  Then checks the Debian packages
# (made by packaging/make-debs): names, dependencies, contents, run paths;
# unpacks them into a scratch root (dpkg -x, nothing is installed on the
# system) and runs the programs from there.
#
# install_test.sh --build DIR --cmake CMAKE --debs DIR --cc CC --cflags FLAGS
#                 --bindir D --libdir D --includedir D --mandir D --version V --sources DIR
set -u

build="" cmake_cmd="cmake" debs="" cc="cc" cflags="" bindir="bin" libdir="lib"
includedir="include" mandir="share/man" version="" sources=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2 ;;
    --cmake) cmake_cmd=$2 ;;
    --debs) debs=$2 ;;
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
  for prog in Velkor velkor-preview Sarnet; do
    for l in libasn1x509.so.1; do
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

# check_man <label> <mandir>: pages plain (an install) or compressed (the
# packages).
check_man() {
  local label=$1 man=$2 page file
  for page in man1/Velkor.1 man1/velkor-preview.1 man1/Sarnet.1 man1/tokenenrol-setup.1 man3/tokenenrol.3; do
    file="$man/$page"
    [ -f "$file" ] || file="$man/$page.gz"
    if [ ! -f "$file" ]; then
      fail "$label: $page missing"
      continue
    fi
    if ! gzip -dcf "$file" | groff -man -Tutf8 -ww -z 2>"$scratch/groff.err" || [ -s "$scratch/groff.err" ]; then
      fail "$label: $page does not render cleanly"
      sed 's/^/    /' "$scratch/groff.err" >&2
    fi
    if command -v man >/dev/null; then
      if ! MANWIDTH=80 man -l "$file" >"$scratch/man.out" 2>"$scratch/man.err" ||
         [ -s "$scratch/man.err" ] || [ ! -s "$scratch/man.out" ]; then
        fail "$label: man -l $page"
        sed 's/^/    /' "$scratch/man.err" >&2
      fi
    fi
  done
  local alias
  for alias in GetTypicalDN CompareDN Tesk FreeASN1Memory PARVOX_NameObjToStringLDAP; do
    [ -e "$man/man3/$alias.3" ] || [ -e "$man/man3/$alias.3.gz" ] || fail "$label: man3/$alias.3 missing"
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

bundle="$libdir/tokenenrol"
for f in "$bundle/bin/Velkor" "$bundle/bin/velkor-preview" "$bundle/bin/Sarnet" "$bindir/tokenenrol-setup"; do
  [ -x "$prefix/$f" ] || fail "$f missing or not executable"
done
for l in asn1x509 Mirrel Parvox Tesk; do
  [ -e "$prefix/$libdir/lib$l.so" ] || fail "$libdir/lib$l.so missing"
  [ -e "$prefix/$bundle/lib/lib$l.so.1" ] || fail "$bundle/lib/lib$l.so.1 missing or a broken link"
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
progs=$(cd "$prefix/$bundle/bin" && ls | sort | tr '\n' ' ')
[ "$progs" = "Sarnet Velkor velkor-preview " ] || fail "$bundle/bin holds: $progs"
progs=$(cd "$prefix/$bindir" && ls | sort | tr '\n' ' ')
[ "$progs" = "tokenenrol-setup " ] || fail "$bindir holds: $progs"
ok "installed files in place"

check_libraries_resolve "installed tree" "$prefix/$bundle/bin" "$prefix/$libdir"
check_pkgconfig "installed tree" "$prefix/$libdir"
check_man "installed tree" "$prefix/$mandir"
check_programs "installed tree" "$prefix/$bundle/bin"

# tokenenrol-setup lays out a copy of programs and libraries (files, not
# links) that runs where it is, and again after being copied elsewhere.
copy="$scratch/copy"
if "$prefix/$bindir/tokenenrol-setup" "$copy" >"$scratch/setup.out" 2>&1; then
  links=$(find "$copy" -type l)
  [ -z "$links" ] || fail "tokenenrol-setup left links: $links"
  check_libraries_resolve "tokenenrol-setup copy" "$copy/bin" "$copy/lib"
  check_programs "tokenenrol-setup copy" "$copy/bin"
  echo keep >"$copy/bin/trustAnchor.config"
  "$prefix/$bindir/tokenenrol-setup" "$copy" >/dev/null 2>&1 || fail "tokenenrol-setup run again failed"
  [ "$(cat "$copy/bin/trustAnchor.config" 2>/dev/null)" = keep ] ||
    fail "tokenenrol-setup run again lost trustAnchor.config"
  cp -r "$copy" "$scratch/copy2" && rm -rf "$copy"
  check_programs "copied tokenenrol-setup copy" "$scratch/copy2/bin"
  rm -rf "$scratch/copy2"
else
  fail "tokenenrol-setup:"
  sed 's/^/    /' "$scratch/setup.out" >&2
fi
status=0
"$prefix/$bindir/tokenenrol-setup" >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "tokenenrol-setup without a folder: exit status $status, expected 2"

# Symbolic links as DIR, DIR/bin or DIR/lib are refused (exit status 1) and
# the folder they point to stays as it was: no copies, no permission change.
for link in dir bin lib; do
  copy="$scratch/linked-$link"
  elsewhere="$scratch/elsewhere-$link"
  mkdir -p "$elsewhere"
  chmod 777 "$elsewhere"
  case $link in
    dir) ln -s "$elsewhere" "$copy" ;;
    *) mkdir "$copy" && ln -s "$elsewhere" "$copy/$link" ;;
  esac
  status=0
  "$prefix/$bindir/tokenenrol-setup" "$copy/" >"$scratch/setup.out" 2>&1 || status=$?
  if [ "$status" -ne 1 ]; then
    fail "tokenenrol-setup with $link a symbolic link: exit status $status, expected 1"
  elif [ -n "$(ls -A "$elsewhere")" ] || [ "$(stat -c %a "$elsewhere")" != 777 ]; then
    fail "tokenenrol-setup with $link a symbolic link changed the link's target"
  else
    ok "tokenenrol-setup refuses $link as a symbolic link: $(cat "$scratch/setup.out")"
  fi
  rm -rf "$copy" "$elsewhere"
done

# A link placed in advance where a temporary name could be guessed (the
# script's own process id) is never written through.  exec keeps the
# shell's process id for the script.
copy="$scratch/guessed"
mkdir -p "$copy/bin" "$copy/lib"
echo "not to be overwritten" >"$scratch/victim"
if sh -c 'ln -s "$2" "$1/bin/.Velkor.tokenenrol-setup.$$" && exec "$0" "$1"' \
     "$prefix/$bindir/tokenenrol-setup" "$copy" "$scratch/victim" >"$scratch/setup.out" 2>&1; then
  if [ "$(cat "$scratch/victim")" != "not to be overwritten" ]; then
    fail "tokenenrol-setup wrote through a link at a guessable temporary name"
  elif ! cmp -s "$prefix/$bundle/bin/Velkor" "$copy/bin/Velkor" || [ -L "$copy/bin/Velkor" ]; then
    fail "tokenenrol-setup beside a planted link: $copy/bin/Velkor is not the program"
  else
    ok "tokenenrol-setup leaves a link at a guessable temporary name alone"
  fi
else
  fail "tokenenrol-setup beside a planted link failed:"
  sed 's/^/    /' "$scratch/setup.out" >&2
fi
rm -rf "$copy" "$scratch/victim"

# A copy of the tree elsewhere still runs: the run paths and the bundle's
# links are relative.
mv "$prefix" "$scratch/moved"
check_programs "moved tree" "$scratch/moved/$bundle/bin"
rm -rf "$scratch/moved"

# ---------------------------------------------------------------------------
# 2. the Debian packages
if [ -z "$debs" ]; then
  echo "no --debs: Debian packages not checked"
else
  deb_of() { find "$debs" -maxdepth 1 -name "$1_${version}_*.deb" | head -n 1; }
  runtime="libasn1x509-1 libmirrel1 libparvox1 libtesk1"
  for p in tokenenrol libtokenenrol-dev $runtime; do
    [ -n "$(deb_of "$p")" ] || fail "no package $p $version in $debs"
  done
  programs_deb=$(deb_of tokenenrol)
  dev_deb=$(deb_of libtokenenrol-dev)
  if [ -n "$programs_deb" ] && [ -n "$dev_deb" ]; then
    depends=$(dpkg-deb -f "$programs_deb" Depends)
    for d in libc6 libssl3 $runtime; do
      case ", $depends" in
        *", $d "* | *", $d,"* | *", $d") ;;
        *) fail "tokenenrol does not depend on $d: $depends" ;;
      esac
    done
    arch_libdir=$(dpkg-deb -c "$programs_deb" | awk '{ print $6 }' | sed -n 's|^\./\(usr/lib/.*\)/tokenenrol/bin/Velkor$|\1|p')
    [ -n "$arch_libdir" ] || fail "tokenenrol lacks <libdir>/tokenenrol/bin/Velkor"
    # contains <deb> <path>...
    contains() {
      local deb=$1 listing f
      shift
      listing=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
      for f in "$@"; do
        printf '%s\n' "$listing" | grep -qxF "./$f" || fail "$(basename "$deb") lacks $f"
      done
    }
    contains "$programs_deb" "$arch_libdir/tokenenrol/bin/Sarnet" "$arch_libdir/tokenenrol/bin/velkor-preview" \
      "$arch_libdir/tokenenrol/lib/libMirrel.so.1" usr/bin/tokenenrol-setup usr/share/man/man1/Velkor.1.gz \
      usr/share/man/man1/velkor-preview.1.gz usr/share/man/man1/Sarnet.1.gz \
      usr/share/man/man1/tokenenrol-setup.1.gz usr/share/doc/tokenenrol/copyright
    contains "$dev_deb" "$arch_libdir/libMirrel.so" "$arch_libdir/pkgconfig/mirrel.pc" \
      usr/include/mirrel/mirrel.h usr/share/man/man3/tokenenrol.3.gz usr/share/man/man3/CompareDN.3.gz
    contains "$(deb_of libmirrel1)" "$arch_libdir/libMirrel.so.1"
    for deb in "$debs"/*.deb; do
      dpkg-deb -c "$deb" | grep -q faultp11 && fail "$(basename "$deb") holds the fault module"
    done
    root="$scratch/root"
    for p in tokenenrol libtokenenrol-dev $runtime; do
      deb=$(deb_of "$p")
      [ -n "$deb" ] && { dpkg -x "$deb" "$root" || fail "dpkg -x $(basename "$deb")"; }
    done
    # Every ELF file of the packages: run path $ORIGIN/../lib, $ORIGIN or none.
    while IFS= read -r f; do
      if [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ]; then
        rp=$(readelf -d "$f" | sed -n 's/.*(R[UN]*PATH).*\[\(.*\)\]$/\1/p')
        case "$rp" in
          "" | '$ORIGIN/../lib' | '$ORIGIN') ;;
          *) fail "package file ${f#"$root"} has run path '$rp'" ;;
        esac
      fi
    done < <(find "$root" -type f)
    check_libraries_resolve "package" "$root/$arch_libdir/tokenenrol/bin" "$root/$arch_libdir"
    check_programs "package" "$root/$arch_libdir/tokenenrol/bin"
    check_pkgconfig "package" "$root/$arch_libdir"
    check_man "package" "$root/usr/share/man"
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all packaging checks passed"
