#!/usr/bin/env bash
# Makes the virtual environments ansible-test sanity asks for from Debian's
# Python packages, so the tests run offline. ansible-test 2.14 fills each of
# them from the package index even with --local and has no switch for system
# packages; an environment that already holds its marker files is taken as
# filled. So: run the tests, make the environment the first failure names, and
# again, until no test asks for another one. Run from the collection's folder
# (.../ansible_collections/tamo/settings), with HOME at a scratch folder.
#   usage: prepare-sanity-venvs.sh [ANSIBLE-TEST SANITY OPTION...]
# Prints the last run's output; exits with its status.
set -euo pipefail
python=/usr/bin/python3
libyaml=$("$python" -c 'import yaml; print("true" if yaml.__with_libyaml__ else "false")')
made=()
for _ in $(seq 1 20); do
  status=0
  out=$(ansible-test sanity --python 3.11 --local "$@" 2>&1) || status=$?
  venv=$(sed -n 's|^FATAL: Python [0-9.]* at "\(.*\)/bin/python" does not have pip available\.$|\1|p' \
    <<<"$out")
  if [[ -z $venv ]]; then
    ((${#made[@]} == 0)) || echo "---- made ${#made[@]} virtual environments from the system's packages"
    echo "$out"
    exit "$status"
  fi
  if [[ -e $venv/marker.txt ]]; then
    echo "$out"
    echo "$venv: prepared, and still asked for: ansible-test expects more of it" >&2
    exit 1
  fi
  "$python" -m venv --system-site-packages --without-pip "$venv"
  echo '[]' >"$venv/meta.install.json"
  echo "$libyaml" >"$venv/meta.yaml.json"
  : >"$venv/marker.txt"
  made+=("$venv")
done
echo "more than 20 virtual environments asked for; giving up" >&2
exit 1
