#!/usr/bin/env bash
# Installs a build of the settings library into a temporary prefix, moves the
# prefix elsewhere (the installed files must not remember where they were put),
# then builds and runs the user programs next to this script through
# pkg-config and through find_package, and checks what the shared library
# exports. Exit status 77 means a tool is missing and the check was skipped.
set -euo pipefail

cflags="" cxxflags="" ldflags="" library_architecture="" emulator=""
while (($#)); do
  case $1 in
    --build-dir) build_dir=$2 ;;
    --sources) sources=$2 ;;
    --header) header=$2 ;;
    --cmake) cmake=$2 ;;
    --generator) generator=$2 ;;
    --cc) cc=$2 ;;
    --cxx) cxx=$2 ;;
    --cflags) cflags=$2 ;;
    --cxxflags) cxxflags=$2 ;;
    --ldflags) ldflags=$2 ;;
    --library-architecture) library_architecture=$2 ;;
    --pkg-config) pkg_config=$2 ;;
    --nm) nm=$2 ;;
    --readelf) readelf=$2 ;;
    --emulator) emulator=$2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done

for tool in "$pkg_config" "$nm" "$readelf"; do
  if [[ -z $tool || $tool == *NOTFOUND ]]; then
    echo "skipped: pkg-config, nm or readelf is missing"
    exit 77
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passes=0

pass() { echo "ok: $1"; passes=$((passes + 1)); }
fail() { echo "FAILED: $1" >&2; failures=$((failures + 1)); }

"$cmake" --install "$build_dir" --prefix "$work/installed-here" >"$work/install.log"
mv "$work/installed-here" "$work/prefix"
prefix=$work/prefix

pc_file=$(find "$prefix" -name tamo-settings.pc)
shared_library=$(find "$prefix" -name 'libtamo-settings.so.*.*')
libdir=$(dirname "$shared_library")
export_dir=$work/exports
mkdir -p "$export_dir"

[[ -f $prefix/include/tamo/settings.h ]] && pass "header installed" || fail "header installed"
[[ -f $libdir/libtamo-settings.a ]] && pass "static library installed" ||
  fail "static library installed"
[[ -n $(find "$prefix" -path '*/man3/tamo-settings.3') ]] && pass "manual page installed" ||
  fail "manual page installed"

soname=$("$readelf" -d "$shared_library" | sed -n 's/.*SONAME.*\[\(.*\)\].*/\1/p')
[[ $soname == libtamo-settings.so.1 ]] && pass "soname $soname" || fail "soname '$soname'"

# Exactly the functions the header exports, nothing of the C++ inside.
sed -n 's/^TAMO_SETTINGS_EXPORT[^(]*[ *]\([a-z_0-9]*\)(.*/\1/p' "$header" | sort >"$work/declared"
# Each as the default version of the node TAMO_SETTINGS_1, which is itself
# the one other dynamic symbol.
"$nm" -D --defined-only "$shared_library" | awk '{print $3}' | sort >"$work/exported"
sed 's/$/@@TAMO_SETTINGS_1/; $a TAMO_SETTINGS_1' "$work/declared" | sort >"$work/expected"
if [[ $(wc -l <"$work/declared") -eq 70 ]] && diff "$work/expected" "$work/exported"; then
  pass "exports exactly the 70 functions, at version TAMO_SETTINGS_1"
else
  fail "exports differ from the 70 functions at version TAMO_SETTINGS_1"
fi

# The build's emulator, if any, runs what the build's compiler made.
read -r -a runner <<<"$emulator"

# run NAME PROGRAM: runs a built program with the installed library in reach.
run() {
  if LD_LIBRARY_PATH=$libdir "${runner[@]}" "$2" "$export_dir" >"$work/$1.out" 2>&1; then
    pass "$1"
  else
    fail "$1: $(cat "$work/$1.out")"
  fi
}

# build NAME COMMAND...: builds a program, then runs it.
build() {
  local name=$1
  shift
  if "$@" >"$work/$name.build.log" 2>&1; then
    run "$name" "$work/$name"
  else
    fail "$name does not build: $(cat "$work/$name.build.log")"
  fi
}

# The build's own flags (such as -m32) select the target; they are not what
# is being checked.
read -r -a c_flags <<<"$cflags $ldflags"
read -r -a cxx_flags <<<"$cxxflags $ldflags"
export PKG_CONFIG_PATH=$(dirname "$pc_file")
# A .pc file for a system prefix names that prefix (the build cannot move);
# pkg-config is told where the files are now instead.
pkg_config_prefix=()
if ! grep -q '^prefix=${pcfiledir}/' "$pc_file"; then
  pkg_config_prefix=(--define-variable=prefix="$prefix")
fi
read -r -a shared_flags <<<"$("$pkg_config" "${pkg_config_prefix[@]}" --cflags --libs tamo-settings)"
read -r -a static_flags <<<"$("$pkg_config" "${pkg_config_prefix[@]}" --static --cflags --libs \
  tamo-settings)"
build pkg-config-c-shared "$cc" "${c_flags[@]}" "$sources/program.c" "${shared_flags[@]}" \
  -o "$work/pkg-config-c-shared"
build pkg-config-cxx-shared "$cxx" "${cxx_flags[@]}" "$sources/program.cc" "${shared_flags[@]}" \
  -o "$work/pkg-config-cxx-shared"
build pkg-config-c-static "$cc" "${c_flags[@]}" -static "$sources/program.c" \
  "${static_flags[@]}" -o "$work/pkg-config-c-static"
build pkg-config-cxx-static "$cxx" "${cxx_flags[@]}" -static "$sources/program.cc" \
  "${static_flags[@]}" -o "$work/pkg-config-cxx-static"

# consumer NAME WITH_CXX PROGRAM...: configures and builds the find_package
# project, then runs its programs.
consumer() {
  local name=$1 with_cxx=$2
  shift 2
  local dir=$work/$name
  if "$cmake" -S "$sources/consumer" -B "$dir" -G "$generator" -DWITH_CXX="$with_cxx" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_FLAGS="$cflags" \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DCMAKE_LIBRARY_ARCHITECTURE="$library_architecture" -DCMAKE_PREFIX_PATH="$prefix" \
    >"$dir.log" 2>&1 && "$cmake" --build "$dir" >>"$dir.log" 2>&1; then
    for program in "$@"; do
      run "$name-$program" "$dir/$program"
    done
  else
    fail "$name does not build: $(cat "$dir.log")"
  fi
}

consumer find_package ON c_shared cxx_shared c_static cxx_static
consumer find_package-c-only OFF c_shared c_static

for program in "$work/find_package-c-only/c_static" "$work/pkg-config-c-static"; do
  if [[ -f $program ]] && "$readelf" -d "$program" | grep -q 'NEEDED.*tamo-settings'; then
    fail "$(basename "$program") needs the shared library"
  fi
done

echo "$passes passed, $failures failed"
((failures == 0))
