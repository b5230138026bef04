# The two set-up commands: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
JOBS ?= 2

.PHONY: run test build deps clean coverage fuzz test-asan

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

# The whole suite on a build with ASan and UBSan (longer than `make test`; not run by CI).
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVANE_SANITIZE=ON
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=0 ctest -j$(JOBS) --output-on-failure

# Every fuzz target for a longer while (FUZZ_SECONDS each).
FUZZ_SECONDS ?= 300
fuzz: deps
	bash scripts/fuzz.sh $(FUZZ_SECONDS)

# Line, branch and function coverage of every test run, per folder (see docs/testing.md).
coverage:
	bash scripts/coverage.sh build-coverage

clean:
	rm -rf $(BUILD) build-coverage build-fuzz build-asan
