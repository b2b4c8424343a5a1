#!/usr/bin/env bash
# The collection's checks, offline, on a copy of it under a temporary folder
# (ansible-test wants it at .../ansible_collections/tamo/settings and writes
# beside it), with the tamo-settings found first in TOOL_DIR:
#   sanity       ansible-test sanity, every test Debian's packages can run
#   units        the modules' pure functions, by ansible-test units
#   integration  tests/integration/targets, by ansible-test integration
#   lint         ansible-lint's production profile
#   package      ansible-doc of each module and the role, ansible-galaxy build
# usage: run-tests.sh TOOL_DIR [STEP...]   (all steps by default)
# Exits 77 (skipped) without ansible-core.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tool_dir=$(cd "$1" && pwd)
shift
steps=("$@")
((${#steps[@]})) || steps=(sanity units integration lint package)
if ! command -v ansible-test >/dev/null; then
  echo "skipped: ansible-test is not installed (tools/install-deps installs ansible-core)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 0755 "$work"
collections=$work/collections
collection=$collections/ansible_collections/tamo/settings
mkdir -p "${collection%/*}" "$work/home"
cp -r "$here/.." "$collection"
rm -rf "$collection/tests/output"
# Debian's Python first: ansible-test makes its environments from the python3
# it finds, and they must see Debian's packages.
export PATH=$tool_dir:/usr/sbin:/usr/bin:/sbin:/bin HOME=$work/home
export ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0 PYTHONPYCACHEPREFIX=$work/pycache
export ANSIBLE_COLLECTIONS_PATH=$collections
cd "$collection"
failures=()

# step NAME COMMAND...: runs it, keeps its output in $work/NAME.out, shows its end.
step() {
  local name=$1 status=0 started=$SECONDS
  shift
  "$@" >"$work/$name.out" 2>&1 || status=$?
  echo "---- $name: exit $status in $((SECONDS - started)) s"
  if ((status != 0)); then
    failures+=("$name")
    cat "$work/$name.out" >&2
  fi
  return 0
}

# Called through step's "||", where errexit does not hold: each check returns.
ansible_doc() {
  local kind=$1 name=$2
  ansible-doc -t "$kind" "$name" >"$work/doc.out" 2>"$work/doc.err" || return 1
  [[ ! -s $work/doc.err ]] || { cat "$work/doc.err"; return 1; }
  grep -q "^> ${name^^}" "$work/doc.out" || { head -5 "$work/doc.out"; return 1; }
}

package() {
  ansible_doc module tamo.settings.setting || return 1
  ansible_doc module tamo.settings.settings_info || return 1
  ansible_doc role tamo.settings.install_choices || return 1
  grep -q 'install_choices_web_tamo_security_level' "$work/doc.out" || return 1
  local version
  version=$(sed -n 's/^version: //p' galaxy.yml)
  ansible-galaxy collection build . --output-path "$work/dist" >"$work/build.out" 2>&1 || return 1
  cat "$work/build.out"
  if grep -qi warning "$work/build.out"; then return 1; fi
  [[ -f $work/dist/tamo-settings-$version.tar.gz ]]
}

for name in "${steps[@]}"; do
  case $name in
    sanity) step sanity "$here/prepare-sanity-venvs.sh" --skip-test changelog ;;
    units) step units ansible-test units --python 3.11 --local ;;
    integration) step integration ansible-test integration --python 3.11 --local ;;
    lint) step lint ansible-lint --offline --profile production ;;
    package) step package package ;;
    *) echo "unknown step $name" >&2; exit 64 ;;
  esac
done
for name in "${steps[@]}"; do
  grep -E '^(ERROR|FATAL)|out of [0-9]+|passed in|^testhost +: ok=|violation|Passed|Failed' \
    "$work/$name.out" | grep -v 'locale' | sed "s/^/$name: /" || true
done
((${#failures[@]} == 0)) || { echo "FAILED: ${failures[*]}" >&2; exit 1; }
echo "---- all passed"
