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
