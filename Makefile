# The two set-up commands: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
JOBS ?= 2

.PHONY: run test build deps clean coverage fuzz

deps:
	bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

run: build
	bash scripts/run.sh $(BUILD)

test: build
	cd $(BUILD) && ctest -j$(JOBS) --output-on-failure
	bash scripts/fuzz.sh 20

# Every fuzz target for a longer while (FUZZ_SECONDS each).
FUZZ_SECONDS ?= 300
fuzz: deps
	bash scripts/fuzz.sh $(FUZZ_SECONDS)

# Line, branch and function coverage of every test run, per folder (see docs/testing.md).
coverage:
	bash scripts/coverage.sh build-coverage

clean:
	rm -rf $(BUILD) build-coverage build-fuzz
