# Thin wrapper around CMake.  The first two targets are all a fresh Debian 12
# machine needs: `make demo` and `make test` install what is missing first.
JOBS ?= $(shell nproc)
CMAKE ?= cmake
# The multi-threaded tests that also run under ThreadSanitizer.
TSAN_TESTS = eventbus_bus_test eventbus_registries_test supervisor_pipe_test
TSAN_PATTERN = ^(BusConcurrency|EventRing|Dispatcher|Pacing|WritePath|RefBlockRegistry|FrameTracker|SupervisorPipe)Test
FUZZ_SECONDS ?= 60

.PHONY: demo test build deps bench fuzz clean

demo: build
	scripts/demo

test: deps
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=Release -DCORE_BUILD_TESTS=ON
	$(CMAKE) --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS)
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCORE_SANITIZE=ON -DCORE_BUILD_TESTS=ON
	$(CMAKE) --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)
	$(CMAKE) -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORE_SANITIZE_THREAD=ON -DCORE_BUILD_TESTS=ON
	$(CMAKE) --build build-tsan -j $(JOBS) --target $(TSAN_TESTS)
	cd build-tsan && ctest --output-on-failure -j $(JOBS) -R '$(TSAN_PATTERN)'

build: deps
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build -j $(JOBS)

bench: deps
	$(CMAKE) -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCORE_BUILD_BENCH=ON -DCORE_BUILD_TESTS=OFF
	$(CMAKE) --build build-bench -j $(JOBS) --target bench_bus bench_camera_load
	mkdir -p build/bench
	build-bench/bench/bench_bus --json build/bench/bus.json
	build-bench/bench/bench_camera_load --seconds 10 --json build/bench/camera_load.json

# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for
# FUZZ_SECONDS; new inputs go to build-fuzz/corpus, the seeds stay as they are.
fuzz: deps
	$(CMAKE) -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build-fuzz -j $(JOBS)
	mkdir -p build-fuzz/corpus/xml build-fuzz/corpus/pipe
	build-fuzz/xml_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -dict=fuzz/xml.dict \
	    build-fuzz/corpus/xml fuzz/corpus/xml
	build-fuzz/pipe_framing_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    build-fuzz/corpus/pipe fuzz/corpus/pipe

deps:
	@scripts/install-deps

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
