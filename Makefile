# Front door: `make` builds, `make test` builds and runs every test,
# `make run` builds and starts the reference daemon zndemo in the foreground,
# `make bench` builds and runs the benchmarks.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

FUZZ_SECONDS ?= 30

.PHONY: all build test run bench fuzz clean configure

all: build

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# zndemo on its defaults: the local console on this terminal, remote consoles
# on 127.0.0.1 port 4700 (znconsole), its data in ./data.
run: build
	$(BUILD)/bin/zndemo

bench:
	@./bench/setup.sh
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DZN_TESTS=OFF -DZN_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS)
	cmake --build build-bench --target run-bench

# Fuzz targets: clang, ASan+UBSan, each run for FUZZ_SECONDS.
fuzz:
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DZN_TESTS=OFF -DZN_FUZZ=ON -DZN_SANITIZE=ON \
	    -DZN_FUZZ_SECONDS=$(FUZZ_SECONDS) $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS)
	cmake --build build-fuzz --target run-fuzz

clean:
	rm -rf $(BUILD) build-bench build-fuzz build-i386 build-asan db-bench-data
