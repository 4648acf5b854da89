# The two commands: `make run` and `make test`. Both install what is missing first.
# `make run` installs and builds only what running needs (RUN_BUILD, no tests); `make
# test` adds the test dependencies and builds everything in BUILD. Build output stays
# quiet (shown when a step fails) unless VERBOSE=1.
BUILD ?= build
RUN_BUILD ?= build-run
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all setup setup-test configure build run-build run test clean check-asan check-tsan fuzz

all: build

# $(call quiet,command): runs command; its output appears only when it fails (or VERBOSE=1).
ifeq ($(VERBOSE),1)
quiet = $(1)
else
quiet = log=$$(mktemp); if $(1) >"$$log" 2>&1; then rm -f "$$log"; else cat "$$log"; rm -f "$$log"; exit 1; fi
endif

setup:
	@bash scripts/setup.sh

setup-test:
	@bash scripts/setup.sh test deb

configure: setup-test
	@$(call quiet,cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DNOX_BUILD_TESTS=ON)

build: configure
	@$(call quiet,cmake --build $(BUILD) -j$(JOBS))

run-build: setup
	@$(call quiet,cmake -S . -B $(RUN_BUILD) -DCMAKE_BUILD_TYPE=Release -DNOX_BUILD_TESTS=OFF)
	@$(call quiet,cmake --build $(RUN_BUILD) -j$(JOBS))

run: run-build
	@$(RUN_BUILD)/bin/NoxHalvorant

# The Debian package of a release build without tests, checked by lintian; the .deb lands
# in DEB_BUILD.
DEB_BUILD ?= build-deb
.PHONY: deb
deb:
	@bash scripts/setup.sh deb
	@$(call quiet,cmake -S . -B $(DEB_BUILD) -DCMAKE_BUILD_TYPE=Release -DNOX_BUILD_TESTS=OFF)
	@$(call quiet,cmake --build $(DEB_BUILD) -j$(JOBS))
	@$(call quiet,cd $(DEB_BUILD) && cpack -G DEB)
	@lintian --fail-on error $(DEB_BUILD)/noxhalvorant_*.deb
	@ls $(DEB_BUILD)/noxhalvorant_*.deb

test: build
	@ctest --test-dir $(BUILD) --output-on-failure --no-tests=error -j$(JOBS)

clean:
	@rm -rf $(BUILD) $(RUN_BUILD) $(DEB_BUILD)

# ---- Sanitizer suites and fuzzing -------------------------------------------------------
# check-asan / check-tsan: the whole tree (adapters and test fixtures included) built with
# one sanitizer in its own build directory, then the whole ctest suite. Every sanitized
# process, the service children of the service tests included, writes its reports under
# <build>/sanitizer-logs; any file there fails the run, so a report in a child that was
# killed or whose exit status nobody looked at still counts. Browser tests (label
# "browser") drive a real browser against the plain build and are left out here.
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
# Wire.NoKeyTextInMemory copies every writable mapping of the service to search it; under
# a sanitizer those include the runtime's shadow memory (terabytes of reserved address
# space), which the test cannot copy. It runs in `make test`.
# Connections.UnfinishedBodiesAreCappedAndGiveTheirMemoryBack drives 48 TLS uploads at once
# and judges resident memory; the instrumented client's parallel handshakes fail there
# (curl: SSL connect error) and resident memory means nothing. It runs in `make test`.
SAN_CTEST_ARGS ?= -LE 'browser|soak' -E '^(Wire[.]NoKeyTextInMemory|Connections[.]UnfinishedBodiesAreCappedAndGiveTheirMemoryBack)$$'

# verify_asan_link_order=0: the console-user tests preload their logind stand-in into the
# service, which puts it ahead of the ASan runtime in the library list; the stand-in
# intercepts no allocation, so the order does not matter. Nothing else is relaxed.
ASAN_ENV = ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1:verify_asan_link_order=0:log_path=$(CURDIR)/$(ASAN_BUILD)/sanitizer-logs/asan \
           UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(CURDIR)/$(ASAN_BUILD)/sanitizer-logs/ubsan
# atexit_sleep_ms=0: the runtime otherwise waits a second in every exit, which a stop that
# must end within 2 s (the service tests time it) cannot afford; reports are unaffected.
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=0:log_path=$(CURDIR)/$(TSAN_BUILD)/sanitizer-logs/tsan

# $(1) build dir, $(2) environment. The suite, then the soak test (label "soak") alone, with
# its resident-memory check off (NOX_SOAK_RSS_UNCHECKED): the runtimes' quarantine and shadow
# memory grow by themselves (`make test` holds that check); lost, mixed or wrong answers
# still fail it. Last, the report directory must hold no report: a file whose only line is
# the leak checker's notice that a thread ending at that moment was not suspended is none
# (a leak it then finds is reported in the same file, and fails).
define sanitized_ctest
	@rm -rf $(1)/sanitizer-logs && mkdir -p $(1)/sanitizer-logs
	@status=0; $(2) ctest --test-dir $(1) --output-on-failure --no-tests=error -j$(JOBS) $(SAN_CTEST_ARGS) || status=$$?; \
	 $(2) NOX_SOAK_RSS_UNCHECKED=1 ctest --test-dir $(1) --output-on-failure -L soak -LE browser || status=$$?; \
	 reports=$$(for f in $$(find $(1)/sanitizer-logs -type f | sort); do \
	   grep -qvE '^==[0-9]+==Running thread [0-9]+ was not suspended. False leaks are possible.$$' "$$f" && echo "$$f"; \
	 done); \
	 if [ -n "$$reports" ]; then \
	   for f in $$reports; do echo "==== $$f"; cat "$$f"; done; \
	   echo "sanitizer reports found in $(1)/sanitizer-logs"; exit 1; \
	 fi; exit $$status
endef

check-asan: setup-test
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNOX_SANITIZE=address
	@cmake --build $(ASAN_BUILD) -j$(JOBS)
	$(call sanitized_ctest,$(ASAN_BUILD),$(ASAN_ENV))

check-tsan: setup-test
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNOX_SANITIZE=thread
	@cmake --build $(TSAN_BUILD) -j$(JOBS)
	$(call sanitized_ctest,$(TSAN_BUILD),$(TSAN_ENV))

# libFuzzer targets (clang), each run for FUZZ_SECONDS; a crash, leak or timeout fails.
fuzz:
	@bash scripts/setup.sh fuzz
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DNOX_SANITIZE=fuzzer -DNOX_BUILD_TESTS=OFF
	@cmake --build $(FUZZ_BUILD) -j$(JOBS) --target nox_fuzzers
	@bash fuzz/run.sh $(FUZZ_BUILD)/fuzz $(FUZZ_SECONDS)

# ---- Installation ------------------------------------------------------------------------
# make install [PREFIX=/usr/local] [DESTDIR=] builds first (NOBUILD=1 skips that, for a tree
# just built): by default `make run`'s tree (RUN_BUILD), which needs only what building and
# running need, none of the test tools; BUILD=DIR on the command line installs from that
# tree instead. The service finds adapters in subfolders of its own directory, so they go to
# PREFIX/bin/Nox beside it; the command noxhalvorant links to it. The systemd user units (the
# socket and the service, @PREFIX@ filled in) go to PREFIX/lib/systemd/user, and on macOS the
# launchd agent to PREFIX/share/noxhalvorant. No certificate and no key is installed: each
# user's service makes its own (noxhalvorant --trust lets the browsers trust it).
# make uninstall removes exactly these files (and the CA and trust scripts earlier versions
# installed); other adapters in PREFIX/bin/Nox stay.
.PHONY: install uninstall
PREFIX ?= /usr/local
NOX_ADAPTERS = NoxCryptAdapter NoxPkiCryptAdapter NoxIdAdapter
NOX_DEST = $(DESTDIR)$(PREFIX)
NOX_SHARE = $(NOX_DEST)/share/noxhalvorant
NOX_UNIT_DIR = $(NOX_DEST)/lib/systemd/user
NOX_PLIST = com.noxhalvorant.agent.plist
NOX_OS := $(shell uname -s)
NOX_BUILD_GIVEN := $(filter command line,$(origin BUILD))
INSTALL_BUILD := $(if $(NOX_BUILD_GIVEN),$(BUILD),$(RUN_BUILD))
# What earlier versions installed: a CA shared by every user, and scripts that trusted it.
NOX_OLD_SHARE = NoxHalvorant-CA.pem trust-ca.sh untrust-ca.sh

# PREFIX is written into the unit's ExecStart: absolute, no white space, nothing sed or
# the shell would read as more than a path.
nox_prefix_error = $(strip \
  $(if $(filter 1,$(words $(PREFIX))),,PREFIX must be one path without white space;) \
  $(if $(filter /%,$(firstword $(PREFIX))),,PREFIX must be an absolute path;) \
  $(foreach c,| & \ ' " $$ `,$(if $(findstring $(c),$(PREFIX)),PREFIX must not hold $(c))))
nox_check_prefix = $(if $(nox_prefix_error),$(error $(nox_prefix_error)))

install: $(if $(NOBUILD),,$(if $(NOX_BUILD_GIVEN),build,run-build))
	@:$(nox_check_prefix)
	@for f in bin/NoxHalvorant $(NOX_ADAPTERS:%=bin/Nox/%.dylib); do \
	   test -f "$(INSTALL_BUILD)/$$f" || { echo "install: $(INSTALL_BUILD)/$$f is missing; run make run-build first" >&2; exit 1; }; \
	 done
	install -d "$(NOX_DEST)/bin/Nox"
	install -m 755 "$(INSTALL_BUILD)/bin/NoxHalvorant" "$(NOX_DEST)/bin/NoxHalvorant"
	ln -sfn NoxHalvorant "$(NOX_DEST)/bin/noxhalvorant"
	install -m 755 $(NOX_ADAPTERS:%="$(INSTALL_BUILD)/bin/Nox/%.dylib") "$(NOX_DEST)/bin/Nox/"
	rm -f $(NOX_OLD_SHARE:%="$(NOX_SHARE)/%")
	-@rmdir "$(NOX_SHARE)" 2>/dev/null; true
ifeq ($(NOX_OS),Darwin)
	install -d "$(NOX_SHARE)"
	sed 's|@PREFIX@|$(PREFIX)|g' packaging/macos/$(NOX_PLIST) > "$(NOX_SHARE)/$(NOX_PLIST).tmp"
	install -m 644 "$(NOX_SHARE)/$(NOX_PLIST).tmp" "$(NOX_SHARE)/$(NOX_PLIST)"
	rm -f "$(NOX_SHARE)/$(NOX_PLIST).tmp"
else
	install -d "$(NOX_UNIT_DIR)"
	sed 's|@PREFIX@|$(PREFIX)|g' packaging/systemd/noxhalvorant.service > "$(NOX_UNIT_DIR)/noxhalvorant.service.tmp"
	install -m 644 "$(NOX_UNIT_DIR)/noxhalvorant.service.tmp" "$(NOX_UNIT_DIR)/noxhalvorant.service"
	rm -f "$(NOX_UNIT_DIR)/noxhalvorant.service.tmp"
	install -m 644 packaging/systemd/noxhalvorant.socket "$(NOX_UNIT_DIR)/noxhalvorant.socket"
endif
	@echo "Installed NoxHalvorant in $(NOX_DEST); see docs/installation.md to start it and trust its CA (noxhalvorant --trust)."

uninstall:
	@:$(nox_check_prefix)
	rm -f "$(NOX_DEST)/bin/NoxHalvorant" "$(NOX_DEST)/bin/noxhalvorant" $(NOX_ADAPTERS:%="$(NOX_DEST)/bin/Nox/%.dylib")
	rm -f $(NOX_OLD_SHARE:%="$(NOX_SHARE)/%") "$(NOX_SHARE)/$(NOX_PLIST)" \
	      "$(NOX_UNIT_DIR)/noxhalvorant.service" "$(NOX_UNIT_DIR)/noxhalvorant.socket"
	-@rmdir "$(NOX_DEST)/bin/Nox" "$(NOX_SHARE)" 2>/dev/null; true
	@echo "Removed NoxHalvorant from $(NOX_DEST). Browsers trust each user's CA until that user runs noxhalvorant --untrust (before uninstalling)."

# ---- Soak and benchmarks ----------------------------------------------------------------
# soak: the soak test of the running service for NOX_SOAK_SECONDS (five minutes here; the
# 30-second form runs in `make test` under the label "soak"). bench: every benchmark, one
# table of figures, ratios and goals (bench/run-all.sh).
SOAK_BUILD ?= build-soak
BENCH_BUILD ?= build-bench
NOX_SOAK_SECONDS ?= 300

.PHONY: soak bench

soak: setup-test
	@cmake -S . -B $(SOAK_BUILD) -DCMAKE_BUILD_TYPE=Release
	@cmake --build $(SOAK_BUILD) -j$(JOBS) --target soak_service_test_soak
	@NOX_SOAK_SECONDS=$(NOX_SOAK_SECONDS) $(SOAK_BUILD)/tests/soak_service_test_soak

bench:
	@bash scripts/setup.sh bench
	@bash bench/run-all.sh $(BENCH_BUILD)
