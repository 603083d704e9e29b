#!/usr/bin/env bash
# Set up a fresh machine for building and testing: Debian packages, Python 3.13,
# and the project's virtual environment in .venv.
#
# Each step prints a line as it starts and its time when it ends. On a terminal
# apt and pip show their progress; elsewhere (CI logs) they stay quiet.
# VELMORA_APT_UPDATE=1 refreshes the package index even when no package is
# missing (the setup tests use it to make setup wait for a held apt lock).
set -euo pipefail
cd "$(dirname "$0")/.."

step_name=""
step_start=0
step() { echo "setup: $1"; step_name=${1%%:*}; step_start=$SECONDS; }
step_done() { echo "setup: $step_name: done in $((SECONDS - step_start)) s"; }

if [ -t 1 ]; then
  pip_quiet=(); apt_quiet=(); apt_out=/dev/stdout
else
  pip_quiet=(-q); apt_quiet=(-qq); apt_out=/dev/null
fi

# apt_get ARGS...: apt-get, waiting up to 10 minutes for every lock that another
# package manager holds (on a fresh cloud machine the upgrades at first boot do).
# apt's DPkg::Lock::Timeout covers only dpkg's locks, not the lists lock of
# "apt-get update" nor the archives lock, and waits without a word; so apt-get
# runs without it and a refusal for a held lock is retried here, said once a lock;
# the retries run quietly, so that a terminal does not fill with apt's progress.
apt_err=$(mktemp)
trap 'rm -f "$apt_err"' EXIT
apt_get() {
  local deadline=$((SECONDS + 600)) lock said="" quiet=("${apt_quiet[@]}") out=$apt_out
  while ! LC_ALL=C DEBIAN_FRONTEND=noninteractive apt-get "${quiet[@]}" "$@" >"$out" 2>"$apt_err"; do
    lock=$(grep -o -m1 'Could not get lock [^ ]*' "$apt_err") || { cat "$apt_err" >&2; return 1; }
    lock=${lock#Could not get lock }
    lock=${lock%.}
    if ((SECONDS >= deadline)); then
      echo "setup: $lock is still held after 10 minutes; giving up:" >&2
      cat "$apt_err" >&2
      exit 1
    fi
    if [ "$lock" != "$said" ]; then
      echo "setup: waiting up to 10 minutes for another package manager to release $lock ($(grep -o -m1 'held by .*' "$apt_err" || echo 'apt-get refused it'))"
      said=$lock
    fi
    quiet=(-qq)
    out=/dev/null
    sleep 1
  done
  cat "$apt_err" >&2
}

# The package index, refreshed once per run. A failed refresh (an unreachable
# mirror is an error here, not apt's warning) is tried three times.
updated=0
apt_update() {
  ((updated)) && return 0
  step "updating the package index"
  local try
  for try in 1 2 3; do
    if apt_get -o APT::Update::Error-Mode=any update; then
      updated=1
      step_done
      return 0
    fi
    ((try == 3)) || { echo "setup: apt-get update failed; trying again in 5 s" >&2; sleep 5; }
  done
  echo "setup: apt-get update failed 3 times; check the network and the sources in /etc/apt" >&2
  exit 1
}

apt_install() {
  apt_update
  step "installing Debian packages: $*"
  apt_get install -y "$@"
  step_done
}

# Debian packages (installed when missing and running as root). A line "a|b"
# names alternatives for different Debian releases: the first installed one
# counts, else the first that the archive offers is installed.
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
mapfile -t wanted < <(grep -v '^\s*#' scripts/debian-packages.txt | grep -v '^\s*$')
missing=()
for line in "${wanted[@]}"; do
  IFS='|' read -r -a choices <<<"$line"
  found=""
  for p in "${choices[@]}"; do installed "$p" && { found=$p; break; }; done
  [ -n "$found" ] && continue
  if ((${#choices[@]} > 1)) && [ "$(id -u)" = 0 ]; then
    apt_update
    for p in "${choices[@]}"; do
      apt-cache show "$p" >/dev/null 2>&1 && { found=$p; break; }
    done
  fi
  missing+=("${found:-${choices[0]}}")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" = 0 ]; then
    apt_install "${missing[@]}"
  else
    echo "setup: missing Debian packages (install them as root): ${missing[*]}" >&2
    exit 1
  fi
fi
if [ "${VELMORA_APT_UPDATE:-}" = 1 ]; then
  apt_update
fi

# cargo, for the example trainer (examples/trainer): rustup's if present, else
# Debian's (rustc 1.63 on Debian 12, which the trainer supports).
if ! command -v cargo >/dev/null 2>&1 && [ ! -x "$HOME/.cargo/bin/cargo" ]; then
  if [ "$(id -u)" = 0 ]; then
    apt_install cargo
  else
    echo "setup: cargo not found; the example trainer needs it (rustup, or apt-get install cargo as root)" >&2
  fi
fi

# Python 3.13: pyenv's build on Debian 12, the system one on Debian 13.
py=""
for cand in /root/.pyenv/versions/3.13.0/bin/python3.13 "$(command -v python3.13 || true)"; do
  if [ -n "$cand" ] && [ -x "$cand" ] && "$cand" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    py="$cand"; break
  fi
done
if [ -z "$py" ]; then
  if [ "$(id -u)" = 0 ] && apt_update && apt-cache show python3.13-dev >/dev/null 2>&1; then
    apt_install python3.13-dev python3.13-venv
    py=$(command -v python3.13)
  else
    echo "setup: Python 3.13 not found" >&2
    exit 1
  fi
fi

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
  step "creating .venv"
  rm -rf .venv
  "$py" -m venv .venv
  step_done
fi
stamp=.venv/.requirements-stamp
if [ ! -f "$stamp" ] || ! cmp -s requirements-dev.txt "$stamp"; then
  step "installing build and test tools"
  .venv/bin/python -m pip install "${pip_quiet[@]}" --upgrade pip
  .venv/bin/python -m pip install "${pip_quiet[@]}" -r requirements-dev.txt
  cp requirements-dev.txt "$stamp"
  step_done
fi
