# Front door: `make` builds, `make test` builds and runs every test,
# `make bench` builds and runs the benchmarks.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all build test bench clean configure

all: build

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

bench:
	@./bench/setup.sh
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DZN_TESTS=OFF -DZN_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS)
	cmake --build build-bench --target run-bench

clean:
	rm -rf $(BUILD) build-bench
