#!/usr/bin/env bash
# Set up a fresh machine for building and testing: Debian packages, Python 3.13,
# and the project's virtual environment in .venv.
set -euo pipefail
cd "$(dirname "$0")/.."

# Debian packages (installed when missing and running as root). A line "a|b"
# names alternatives for different Debian releases: the first installed one
# counts, else the first that the archive offers is installed.
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
mapfile -t wanted < <(grep -v '^\s*#' scripts/debian-packages.txt | grep -v '^\s*$')
missing=()
updated=0
for line in "${wanted[@]}"; do
  IFS='|' read -r -a choices <<<"$line"
  found=""
  for p in "${choices[@]}"; do installed "$p" && { found=$p; break; }; done
  [ -n "$found" ] && continue
  if ((${#choices[@]} > 1)) && [ "$(id -u)" = 0 ]; then
    ((updated)) || { apt-get update -qq; updated=1; }
    for p in "${choices[@]}"; do
      apt-cache show "$p" >/dev/null 2>&1 && { found=$p; break; }
    done
  fi
  missing+=("${found:-${choices[0]}}")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" = 0 ]; then
    echo "setup: installing Debian packages: ${missing[*]}"
    ((updated)) || apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "setup: missing Debian packages (install them as root): ${missing[*]}" >&2
    exit 1
  fi
fi

# cargo, for the example trainer (examples/trainer): rustup's if present, else
# Debian's (rustc 1.63 on Debian 12, which the trainer supports).
if ! command -v cargo >/dev/null 2>&1 && [ ! -x "$HOME/.cargo/bin/cargo" ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "setup: installing Debian's cargo"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq cargo >/dev/null
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
  if [ "$(id -u)" = 0 ] && apt-cache show python3.13-dev >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3.13-dev python3.13-venv >/dev/null
    py=$(command -v python3.13)
  else
    echo "setup: Python 3.13 not found" >&2
    exit 1
  fi
fi

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
  rm -rf .venv
  "$py" -m venv .venv
fi
stamp=.venv/.requirements-stamp
if [ ! -f "$stamp" ] || ! cmp -s requirements-dev.txt "$stamp"; then
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r requirements-dev.txt
  cp requirements-dev.txt "$stamp"
fi
