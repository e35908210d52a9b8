# The two commands a newcomer needs:
#   make demo   install what is missing, build, run the main job
#   make test   install what is missing, build (plain, sanitizer builds), run every test
# And for those who ship the client library:
#   make install PREFIX=/opt/q   the server, the tools, the client library
#                                (headers, shared and static, pkg-config file,
#                                CMake package); needs no test libraries
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
MINUTES ?= 10

.PHONY: demo test deps build build-asan build-tsan bench fuzz soak install clean

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j $(JOBS)

build-asan: deps
	cmake -S . -B build-asan -DRH_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug -DRH_BUILD_BENCH=OFF >/dev/null
	cmake --build build-asan -j $(JOBS)

build-tsan: deps
	cmake -S . -B build-tsan -DRH_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug -DRH_BUILD_BENCH=OFF >/dev/null
	cmake --build build-tsan -j $(JOBS) --target rh_tsan_tests

demo: build
	scripts/demo.sh build

test: build build-asan build-tsan
	cd build && ctest --output-on-failure -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)
	cd build-tsan && ctest --output-on-failure -j $(JOBS) -L tsan

# The benchmarks' own packages (libsndfile for the load benchmark's baseline,
# perf for its profile of the server) are installed only here.
bench:
	@RH_EXTRA_PKGS="libsndfile1-dev linux-perf" scripts/install-deps.sh
	$(MAKE) build
	scripts/bench.sh build

# libFuzzer (clang) build of the parser harnesses in tests/fuzz; each runs
# FUZZ_SECONDS over a scratch copy of its seed corpus.
fuzz:
	@RH_EXTRA_PKGS="clang libclang-rt-14-dev" scripts/install-deps.sh
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DRH_FUZZ=ON -DRH_SANITIZE=address -DRH_BUILD_BENCH=OFF >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target rh_fuzzers
	scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS)

# A build of its own, without tests or benchmarks, so that neither
# GoogleTest nor Google Benchmark is needed.
install:
	@RH_DEPS=build scripts/install-deps.sh
	cmake -S . -B build-install -DCMAKE_BUILD_TYPE=Release -DRH_BUILD_TESTS=OFF -DRH_BUILD_BENCH=OFF \
	      -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	cmake --build build-install -j $(JOBS)
	cmake --install build-install

# The real server under client churn (tests/soak/Soak.cpp) for MINUTES
# minutes; prints the server's memory and descriptor figures.
soak: build
	build/tests/soak/Soak --seconds $$(( $(MINUTES) * 60 )) --server build/bin/QuilloranticsServer

clean:
	rm -rf build build-asan build-tsan build-fuzz build-install
