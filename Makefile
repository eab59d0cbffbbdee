# Two commands for a fresh machine:
#   make run    installs what is missing, builds, and opens the desktop program on the sample disk
#   make test   installs what is missing, builds, and runs every test
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
SAMPLE_GZ := tests/fixtures/data/sample.img.gz
SAMPLE := $(BUILD)/sample.img

PREFIX ?= /usr/local

.PHONY: all deps build run test test-asan test-fast fixtures fuzz fuzz-regress bench install clean

all: build

deps:
	@scripts/install-deps

# The project's own builds treat warnings in its code as errors (OSPRIN_WERROR).
$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSPRIN_WERROR=ON

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

$(SAMPLE): $(SAMPLE_GZ)
	@mkdir -p $(BUILD)
	gzip -dc $(SAMPLE_GZ) > $@.part && mv $@.part $@

run: build $(SAMPLE)
	scripts/run-gui $(BUILD) $(SAMPLE)

test: deps $(BUILD)/build.ninja
	cmake -S . -B $(BUILD) -DOSPRIN_WERROR=ON
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same tests built with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, plus one pass of every fuzz target over its
# seed corpus.
test-asan: deps
	CC=clang CXX=clang++ cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DOSPRIN_SANITIZE=ON -DOSPRIN_BUILD_FUZZ=ON -DOSPRIN_WERROR=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# Fuzzes every target for FUZZ_SECONDS each (default 60).
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DOSPRIN_SANITIZE=ON -DOSPRIN_BUILD_FUZZ=ON -DOSPRIN_BUILD_GUI=OFF -DOSPRIN_BUILD_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)
	fuzz/run-fuzz.sh build-fuzz $${FUZZ_SECONDS:-60}

fixtures: deps
	tests/fixtures/make-fixtures.sh

bench: deps
	cmake -S . -B $(BUILD) -G Ninja -DOSPRIN_BUILD_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	bench/run-bench.sh $(BUILD)

# Installs osprin, osprin-gui with its .desktop file and icon, and the man
# page under PREFIX (DESTDIR for staging, as packagers use it).
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz
