# The two commands: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all setup configure build run test clean

all: build

setup:
	@bash scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	@$(BUILD)/bin/NoxHalvorant

test: build
	@ctest --test-dir $(BUILD) --output-on-failure --no-tests=error -j$(JOBS)

clean:
	@rm -rf $(BUILD)

# ---- Installation ------------------------------------------------------------------------
# make install [PREFIX=/usr/local] [DESTDIR=] builds first (NOBUILD=1 skips that, for a tree
# just built). The service finds adapters in subfolders of its own directory, so they go to
# PREFIX/bin/Nox beside it. The CA certificate and the trust scripts go to
# PREFIX/share/noxhalvorant, the systemd user unit (@PREFIX@ filled in) to
# PREFIX/lib/systemd/user, and on macOS the launchd agent to PREFIX/share/noxhalvorant.
# make uninstall removes exactly these files; other adapters in PREFIX/bin/Nox stay.
.PHONY: install uninstall
PREFIX ?= /usr/local
NOX_ADAPTERS = NoxCryptAdapter NoxPkiCryptAdapter NoxIdAdapter
NOX_DEST = $(DESTDIR)$(PREFIX)
NOX_SHARE = $(NOX_DEST)/share/noxhalvorant
NOX_UNIT_DIR = $(NOX_DEST)/lib/systemd/user
NOX_PLIST = com.noxhalvorant.agent.plist
NOX_OS := $(shell uname -s)

# PREFIX is written into the unit's ExecStart: absolute, no white space, nothing sed or
# the shell would read as more than a path.
nox_prefix_error = $(strip \
  $(if $(filter 1,$(words $(PREFIX))),,PREFIX must be one path without white space;) \
  $(if $(filter /%,$(firstword $(PREFIX))),,PREFIX must be an absolute path;) \
  $(foreach c,| & \ ' " $$ `,$(if $(findstring $(c),$(PREFIX)),PREFIX must not hold $(c))))
nox_check_prefix = $(if $(nox_prefix_error),$(error $(nox_prefix_error)))

install: $(if $(NOBUILD),,build)
	@:$(nox_check_prefix)
	@for f in bin/NoxHalvorant bin/NoxHalvorant-CA.pem $(NOX_ADAPTERS:%=bin/Nox/%.dylib); do \
	   test -f "$(BUILD)/$$f" || { echo "install: $(BUILD)/$$f is missing; run make first" >&2; exit 1; }; \
	 done
	install -d "$(NOX_DEST)/bin/Nox" "$(NOX_SHARE)"
	install -m 755 "$(BUILD)/bin/NoxHalvorant" "$(NOX_DEST)/bin/NoxHalvorant"
	install -m 755 $(NOX_ADAPTERS:%="$(BUILD)/bin/Nox/%.dylib") "$(NOX_DEST)/bin/Nox/"
	install -m 644 "$(BUILD)/bin/NoxHalvorant-CA.pem" "$(NOX_SHARE)/NoxHalvorant-CA.pem"
	install -m 755 scripts/trust-ca.sh "$(NOX_SHARE)/trust-ca.sh"
	install -m 755 scripts/untrust-ca.sh "$(NOX_SHARE)/untrust-ca.sh"
ifeq ($(NOX_OS),Darwin)
	sed 's|@PREFIX@|$(PREFIX)|g' packaging/macos/$(NOX_PLIST) > "$(NOX_SHARE)/$(NOX_PLIST).tmp"
	install -m 644 "$(NOX_SHARE)/$(NOX_PLIST).tmp" "$(NOX_SHARE)/$(NOX_PLIST)"
	rm -f "$(NOX_SHARE)/$(NOX_PLIST).tmp"
else
	install -d "$(NOX_UNIT_DIR)"
	sed 's|@PREFIX@|$(PREFIX)|g' packaging/systemd/noxhalvorant.service > "$(NOX_UNIT_DIR)/noxhalvorant.service.tmp"
	install -m 644 "$(NOX_UNIT_DIR)/noxhalvorant.service.tmp" "$(NOX_UNIT_DIR)/noxhalvorant.service"
	rm -f "$(NOX_UNIT_DIR)/noxhalvorant.service.tmp"
endif
	@echo "Installed NoxHalvorant in $(NOX_DEST); see docs/installation.md to start it and trust its CA."

uninstall:
	@:$(nox_check_prefix)
	rm -f "$(NOX_DEST)/bin/NoxHalvorant" $(NOX_ADAPTERS:%="$(NOX_DEST)/bin/Nox/%.dylib")
	rm -f "$(NOX_SHARE)/NoxHalvorant-CA.pem" "$(NOX_SHARE)/trust-ca.sh" "$(NOX_SHARE)/untrust-ca.sh" \
	      "$(NOX_SHARE)/$(NOX_PLIST)" "$(NOX_UNIT_DIR)/noxhalvorant.service"
	-@rmdir "$(NOX_DEST)/bin/Nox" "$(NOX_SHARE)" 2>/dev/null; true
	@echo "Removed NoxHalvorant from $(NOX_DEST). Browsers still trust its CA until untrust-ca.sh is run."

# ---- Soak and benchmarks ----------------------------------------------------------------
# soak: the soak test of the running service for NOX_SOAK_SECONDS (five minutes here; the
# 30-second form runs in `make test` under the label "soak"). bench: every benchmark, one
# table of figures, ratios and goals (bench/run-all.sh).
SOAK_BUILD ?= build-soak
BENCH_BUILD ?= build-bench
NOX_SOAK_SECONDS ?= 300

.PHONY: soak bench

soak: setup
	@cmake -S . -B $(SOAK_BUILD) -DCMAKE_BUILD_TYPE=Release
	@cmake --build $(SOAK_BUILD) -j$(JOBS) --target soak_service_test_soak
	@NOX_SOAK_SECONDS=$(NOX_SOAK_SECONDS) $(SOAK_BUILD)/tests/soak_service_test_soak

bench:
	@bash scripts/setup.sh bench
	@bash bench/run-all.sh $(BENCH_BUILD)
