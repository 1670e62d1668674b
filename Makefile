# The two everyday commands: `make check` and `make demo`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)

.PHONY: all deps build check check-asan fuzz demo bench clean

all: build

deps:
	./scripts/install-deps

# The tests are switched on explicitly: a demo build in the same folder
# leaves them off in its cache.
build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOKENENROL_TESTS=ON -DTOKENENROL_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)

check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

check-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTOKENENROL_SANITIZE=ON -DTOKENENROL_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTOKENENROL_FUZZ=ON \
	  -DTOKENENROL_SANITIZE=ON -DTOKENENROL_TESTS=OFF -DTOKENENROL_BENCH=OFF -DTOKENENROL_WERROR=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	./scripts/run-fuzzers $(FUZZ_BUILD)/fuzz $${FUZZ_SECONDS:-20}

# The demo installs only what it needs, builds only the two programs (and
# the libraries they link) without the tests, and keeps the output of apt
# and the compiler in $(BUILD)/demo-build.log.
demo:
	@mkdir -p $(BUILD)
	@echo "demo: installing what is missing and building Velkor and Sarnet (log: $(BUILD)/demo-build.log)"
	@{ ./scripts/install-deps --demo && \
	   cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOKENENROL_TESTS=OFF -DTOKENENROL_BENCH=OFF && \
	   cmake --build $(BUILD) -j $(JOBS) --target Velkor Sarnet; } >$(BUILD)/demo-build.log 2>&1 || \
	  { tail -n 30 $(BUILD)/demo-build.log; echo "demo: the build failed; see $(BUILD)/demo-build.log"; exit 1; }
	./scripts/demo $(BUILD)

bench: build
	./scripts/bench $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
