#!/usr/bin/env bash
# Cross-builds the Windows test dependencies into <deps>/prefix:
#   GoogleTest from Debian's sources in /usr/src/googletest (libgtest-dev),
#   libyaml from Debian's source package (fetched with apt-get source into
#   <deps>/apt, leaving the system's apt configuration untouched).
# Usage: build-deps.sh <deps dir> <toolchain file> <cmake> <ninja>
set -euo pipefail
deps=$1 toolchain=$2 cmake=$3 ninja=$4
prefix=$deps/prefix
mkdir -p "$deps"
common=(-G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" -DCMAKE_TOOLCHAIN_FILE="$toolchain"
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF)

if [ ! -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  [ -f /usr/src/googletest/CMakeLists.txt ] || { echo "windows deps: /usr/src/googletest missing (apt-get install libgtest-dev)" >&2; exit 1; }
  echo "windows deps: building GoogleTest for Windows"
  "$cmake" -S /usr/src/googletest -B "$deps/googletest" "${common[@]}" \
    -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -Dgtest_disable_pthreads=ON >"$deps/googletest.log" 2>&1 \
    || { cat "$deps/googletest.log" >&2; exit 1; }
  "$cmake" --build "$deps/googletest" -j 2 --target install >>"$deps/googletest.log" 2>&1 \
    || { tail -40 "$deps/googletest.log" >&2; exit 1; }
fi

if [ ! -f "$prefix/lib/libyaml.a" ]; then
  echo "windows deps: fetching and building libyaml for Windows"
  apt=$deps/apt
  mkdir -p "$apt/parts" "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/src"
  cat >"$apt/parts/debian-src.sources" <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  aptopts=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt/parts"
           -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" -o APT::Sandbox::User=root)
  if ! ls "$apt"/src/libyaml_*.orig.tar.gz >/dev/null 2>&1; then
    apt-get "${aptopts[@]}" update -qq >"$deps/apt.log" 2>&1 \
      && (cd "$apt/src" && apt-get "${aptopts[@]}" source --download-only libyaml >>"$deps/apt.log" 2>&1) \
      || { cat "$deps/apt.log" >&2; echo "windows deps: could not fetch libyaml's Debian source package" >&2; exit 1; }
  fi
  rm -rf "$apt/tree" && mkdir -p "$apt/tree"
  tar -xzf "$(ls "$apt"/src/libyaml_*.orig.tar.gz | head -1)" -C "$apt/tree" --strip-components=1
  "$cmake" -S "$apt/tree" -B "$deps/libyaml" "${common[@]}" -DBUILD_TESTING=OFF \
    -DCMAKE_POLICY_VERSION_MINIMUM=3.5 >"$deps/libyaml.log" 2>&1 || { cat "$deps/libyaml.log" >&2; exit 1; }
  "$cmake" --build "$deps/libyaml" -j 2 --target install >>"$deps/libyaml.log" 2>&1 \
    || { tail -40 "$deps/libyaml.log" >&2; exit 1; }
fi
