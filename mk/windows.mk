# Windows platform layer: cross-built with mingw-w64, run under wine.
#   make test-windows   set up (mingw-w64 and wine come from scripts/debian-packages.txt),
#                       cross-build into build/windows, run the Windows suites under wine
# Fails, saying why, when wine cannot run Windows programs on this machine.
WIN_BUILD := $(BUILD)/windows
WIN_DEPS := $(WIN_BUILD)/deps
WIN_JOBS ?= 2
WIN_TIMEOUT ?= 900
WIN_CMAKE := $(abspath .venv/bin/cmake)
WIN_NINJA := $(abspath .venv/bin/ninja)
WIN_TOOLCHAIN := $(abspath cmake/mingw-w64-x86_64.cmake)
# wine's own state lives in the build tree; no dialogs, no debug chatter.
WIN_ENV := WINEPREFIX=$(abspath $(WIN_BUILD)/wineprefix) WINEARCH=win64 WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= WAYLAND_DISPLAY=
WINE := $(firstword $(shell command -v wine 2>/dev/null) /usr/lib/wine/wine64)
WINESERVER := $(firstword $(shell command -v wineserver 2>/dev/null) /usr/lib/wine/wineserver)

.PHONY: test-windows windows-build windows-wine

windows-build: setup
	bash tests/windows/build-deps.sh $(abspath $(WIN_DEPS)) $(WIN_TOOLCHAIN) $(WIN_CMAKE) $(WIN_NINJA)
	$(WIN_CMAKE) -S . -B $(WIN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(WIN_NINJA) \
	  -DCMAKE_TOOLCHAIN_FILE=$(WIN_TOOLCHAIN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELMORA_BUILD_MODULE=OFF -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_WINDOWS_TESTS=ON \
	  -DGTest_DIR=$(abspath $(WIN_DEPS))/prefix/lib/cmake/GTest \
	  -DYAML_INCLUDE_DIR=$(abspath $(WIN_DEPS))/prefix/include \
	  -DYAML_LIBRARY=$(abspath $(WIN_DEPS))/prefix/lib/libyaml.a >/dev/null
	$(WIN_CMAKE) --build $(WIN_BUILD) -j $(WIN_JOBS)

# A first start creates the prefix without asking anything; then a known
# program must run and report its exit code, or wine is declared unusable.
windows-wine: windows-build
	@if [ ! -x "$(WINE)" ]; then \
	  echo "test-windows: FAILED: wine is not installed (apt-get install wine64 wine)" >&2; exit 1; fi
	@if ! timeout 300 env $(WIN_ENV) $(WINE) wineboot --init >$(WIN_BUILD)/wineboot.log 2>&1; then \
	  cat $(WIN_BUILD)/wineboot.log >&2; \
	  echo "test-windows: FAILED: wine cannot start on this machine (see above)" >&2; exit 1; fi
	@rc=0; timeout 120 env $(WIN_ENV) VELMORA_ECHO_EXIT=42 $(WINE) $(WIN_BUILD)/echo_args.exe \
	  >$(WIN_BUILD)/wine-probe.log 2>&1 || rc=$$?; \
	if [ "$$rc" != 42 ]; then cat $(WIN_BUILD)/wine-probe.log >&2; \
	  echo "test-windows: FAILED: wine cannot run Windows programs on this machine (probe exit $$rc, expected 42)" >&2; \
	  exit 1; fi

# Host symbolic links for the existence test (wine follows them as Windows would).
WIN_LINKS := $(abspath $(WIN_BUILD)/host-links)

test-windows: windows-wine
	@rm -rf $(WIN_LINKS) && mkdir -p $(WIN_LINKS) && printf '{}' >$(WIN_LINKS)/target.json && \
	  ln -s target.json $(WIN_LINKS)/good.json && ln -s gone.json $(WIN_LINKS)/dangling.json && \
	  ln -s loop.json $(WIN_LINKS)/loop.json
	@status=0; \
	for suite in velmora_windows_tests velmora_portable_cpp_tests; do \
	  [ -f $(WIN_BUILD)/$$suite.exe ] || continue; \
	  echo "== $$suite (wine)"; \
	  timeout $(WIN_TIMEOUT) env $(WIN_ENV) VELMORA_WINTEST_HOST_LINKS='Z:$(subst /,\,$(WIN_LINKS))' $(WINE) $(WIN_BUILD)/$$suite.exe --gtest_brief=1 || status=1; \
	done; \
	env $(WIN_ENV) $(WINESERVER) -w || true; \
	if [ $$status != 0 ]; then echo "test-windows: FAILED" >&2; fi; \
	exit $$status
