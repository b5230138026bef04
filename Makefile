# The two set-up commands: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
JOBS ?= 2

PREFIX ?= /usr/local

.PHONY: run test build configure programs deps clean coverage fuzz test-asan install deb mutants

deps:
	bash scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX)

# The programs alone, for a first window sooner; `build` adds the tests and benchmarks.
programs: configure
	cmake --build $(BUILD) -j$(JOBS) --target programs

build: configure
	cmake --build $(BUILD) -j$(JOBS)

run: programs
	bash scripts/run.sh $(BUILD)

# The benchmark scripts run once each as tests, x11vnc and its viewer included, so those come too.
test: build
	bash scripts/install-deps.sh --bench
	cd $(BUILD) && ctest -j$(JOBS) --output-on-failure
	bash scripts/fuzz.sh 20
	bash scripts/test-deb.sh $(BUILD)

# Everything a user needs, under PREFIX (and DESTDIR, for staging).
install: programs
	cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package, under /usr, into $(BUILD)/telvane_<version>_<arch>.deb.
deb: programs
	cd $(BUILD) && cpack -G DEB

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

# Plants each fault of tests/mutants.txt in a scratch tree and runs the tests named for it; not part
# of `make test` (see docs/testing.md). MUTANTS picks some by name or file, e.g. MUTANTS=floor-.
mutants: deps
	bash scripts/mutants.sh $(MUTANTS)

clean:
	rm -rf $(BUILD) build-coverage build-fuzz build-asan
