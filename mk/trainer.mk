# The bundled example training project (examples/trainer) that the module's
# default manifest path points at.
#   make trainer-test    its unit and command-line tests, and its agreement with
#                        config.schema.json on tests/schema_cases.json
#   make trainer-build   the release build that `cargo run --release` reuses
TRAINER_MANIFEST := examples/trainer/Cargo.toml
CARGO ?= cargo

.PHONY: trainer-test trainer-build

trainer-test: setup
	$(CARGO) test -q --manifest-path $(TRAINER_MANIFEST)

trainer-build: setup
	$(CARGO) build -q --release --manifest-path $(TRAINER_MANIFEST)
