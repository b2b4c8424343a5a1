#!/usr/bin/env bash
# The experiment behind the writers' lock: WRITERS processes started at once,
# each setting a distinct key of one file, ROUNDS times, on tmpfs, on
# loop-mounted ext4 and xfs and on a bind-mounted file (which can only be
# rewritten in place); for tamo-settings (with and without --no-lock) and,
# for comparison, for
# `git config --file` and crudini where they are installed. Prints, per
# place and writer, the keys kept and the writers that reported a failure.
#   bench/concurrent_writers.sh TAMO_SETTINGS [WRITERS [ROUNDS]]
# Needs root (mounts in a private mount namespace of its own; the host sees
# none of them), mkfs.ext4 and mkfs.xfs. A place whose mount is refused is
# skipped with its reason.
set -uo pipefail

if [[ ${TAMO_WRITERS_INSIDE:-} != 1 ]]; then
  (($# >= 1)) || { echo "usage: $0 TAMO_SETTINGS [WRITERS [ROUNDS]]" >&2; exit 64; }
  ((EUID == 0)) || { echo "$0: needs root for its mounts" >&2; exit 77; }
  export TAMO_WRITERS_INSIDE=1
  exec unshare --mount --propagation private "$0" "$@"
fi

tool=$(realpath "$1")
writers=${2:-20}
rounds=${3:-100}
work=$(mktemp -d)
trap 'umount -R "$work/mnt" 2>/dev/null; rm -rf "$work"' EXIT

# One writer's command: set key k$1 to r$2 in file $3.
write_tamo() { "$tool" set "$3" "k$1=r$2"; }
write_unlocked() { "$tool" set --no-lock "$3" "k$1=r$2"; }
write_git() { git config --file "$3" "sec.k$1" "r$2"; }
write_crudini() { crudini --set "$3" sec "k$1" "r$2"; }

# Keys kept and failures reported over all rounds, for one writer kind.
run() {
  local kind=$1 file=$2 kept=0 failed=0 round i status
  local -A statuses=()
  for ((round = 0; round < rounds; ++round)); do
    local pids=()
    for ((i = 0; i < writers; ++i)); do
      "write_$kind" "$i" "$round" "$file" >/dev/null 2>&1 &
      pids+=($!)
    done
    for pid in "${pids[@]}"; do
      wait "$pid"
      status=$?
      ((status == 0)) && continue
      ((++failed))
      statuses[$status]=$((${statuses[$status]:-0} + 1))
    done
    for ((i = 0; i < writers; ++i)); do
      grep -Eq "^[[:space:]]*k$i[[:space:]]*=[[:space:]]*r$round\$" "$file" && ((++kept))
    done
  done
  local codes=""
  for status in "${!statuses[@]}"; do codes+=" exit $status: ${statuses[$status]}"; done
  printf '%-9s %-8s kept %5d of %5d, writers failing %5d%s\n' "$place" "$kind" "$kept" \
    $((writers * rounds)) "$failed" "$codes"
}

# Mounts the place on $work/mnt; the file to write is printed.
prepare() {
  mkdir -p "$work/mnt"
  case $1 in
    tmpfs) mount -t tmpfs -o size=64m tmpfs "$work/mnt" || return 1 ;;
    ext4 | xfs)
      rm -f "$work/image"
      truncate -s $([[ $1 == xfs ]] && echo 320M || echo 64M) "$work/image"
      "mkfs.$1" -q "$work/image" >/dev/null 2>&1 || return 1
      mount -o loop "$work/image" "$work/mnt" || return 1
      ;;
    in-place)
      mount -t tmpfs -o size=64m tmpfs "$work/mnt" || return 1
      : >"$work/mnt/app.cfg"
      mount --bind "$work/mnt/app.cfg" "$work/mnt/app.cfg" || return 1
      ;;
  esac
}

for place in tmpfs ext4 xfs in-place; do
  for kind in tamo unlocked git crudini; do
    [[ $kind == tamo || $kind == unlocked ]] || command -v "$kind" >/dev/null || continue
    if ! prepare "$place" 2>/dev/null; then
      echo "$place: skipped, the mount is refused here"
      umount -R "$work/mnt" 2>/dev/null
      break
    fi
    [[ $place == in-place ]] || : >"$work/mnt/app.cfg"
    run "$kind" "$work/mnt/app.cfg"
    umount -R "$work/mnt"
  done
done
