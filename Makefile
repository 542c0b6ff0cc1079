# Front door: `make` builds, `make test` builds and runs every test,
# `make run` builds and starts the reference daemon zndemo in the foreground,
# `make bench` builds and runs the benchmarks.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

FUZZ_SECONDS ?= 30

.PHONY: all build test run bench fuzz clean configure deps

all: build

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# What the tests need (googletest, pkg-config, ...): installed by
# scripts/install-deps.sh when it is missing and we are root; otherwise the
# command to run is named and make stops.
deps:
	@scripts/install-deps.sh --if-missing

test: deps
	cmake -S . -B $(BUILD) -DBUILD_TESTING=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# zndemo on its defaults: the local console on this terminal, remote consoles
# on 127.0.0.1 port 4700 (znconsole), its data in ./data. Only zndemo and the
# libraries it loads are built, so googletest is not needed.
run: configure
	cmake --build $(BUILD) --target zndemo -j $(JOBS)
	$(BUILD)/bin/zndemo

bench:
	@./bench/setup.sh
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DZN_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS)
	cmake --build build-bench --target run-bench

# Fuzz targets: clang, ASan+UBSan, each run for FUZZ_SECONDS.
fuzz:
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DBUILD_TESTING=OFF -DZN_FUZZ=ON -DZN_SANITIZE=ON \
	    -DZN_FUZZ_SECONDS=$(FUZZ_SECONDS) $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS)
	cmake --build build-fuzz --target run-fuzz

clean:
	rm -rf $(BUILD) build-bench build-fuzz build-i386 build-asan build-release build-clang build-notests db-bench-data
