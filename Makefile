# Thin wrapper around CMake.  The first two targets are all a fresh Debian 12
# machine needs: `make demo` and `make test` install what is missing first.
JOBS ?= $(shell nproc)
CMAKE ?= cmake
# The multi-threaded tests that also run under ThreadSanitizer.
TSAN_TESTS = eventbus_bus_test eventbus_registries_test eventbus_limits_test plugin_guard_test supervisor_pipe_test
TSAN_PATTERN = ^(BusConcurrency|EventRing|Dispatcher|Pacing|WritePath|RefBlockRegistry|FrameTracker|SupervisorPipe|BusLimits|Guard)Test
FUZZ_SECONDS ?= 60

.PHONY: demo test build deps deps-demo bench fuzz fuzz-delta soak sizes clean

# The demo installs and builds only what it runs: no test tools.
demo: deps-demo
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=Release -DCORE_BUILD_TESTS=OFF
	$(CMAKE) --build build -j $(JOBS)
	scripts/demo

test:
	@scripts/install-deps --test
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
	mkdir -p build-fuzz/corpus/xml build-fuzz/corpus/pipe build-fuzz/corpus/delta
	build-fuzz/xml_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -dict=fuzz/xml.dict \
	    build-fuzz/corpus/xml fuzz/corpus/xml
	build-fuzz/pipe_framing_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    build-fuzz/corpus/pipe fuzz/corpus/pipe
	cat fuzz/xml.dict fuzz/delta.dict > build-fuzz/delta.dict
	build-fuzz/delta_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -dict=build-fuzz/delta.dict build-fuzz/corpus/delta fuzz/corpus/delta

	mkdir -p build-fuzz/corpus/write
	build-fuzz/write_path_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    build-fuzz/corpus/write

# The long forms: 10,000 overlapping saves by two processes and two threads
# under a polling reader and 1,000 SIGKILLs of overlapping savers; a
# 30-second flood into a slow subscriber and 1,000 read requests answered
# across the unload (release, then the requests under ASan/UBSan) and the
# watchdog's real wait; the delta fuzz target for SOAK_FUZZ_SECONDS.
SOAK_FUZZ_SECONDS ?= 600
soak: deps
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=Release -DCORE_BUILD_TESTS=ON
	$(CMAKE) --build build -j $(JOBS) --target save_race_test save_loop robustness_process_test
	CORE_SOAK=1 build/tests/save_race_test
	CORE_SOAK=1 build/tests/robustness_process_test
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCORE_SANITIZE=ON -DCORE_BUILD_TESTS=ON
	$(CMAKE) --build build-asan -j $(JOBS) --target robustness_process_test
	CORE_SOAK=1 build-asan/tests/robustness_process_test --gtest_filter='*UnloadWhileAnswers*'
	$(MAKE) fuzz-delta FUZZ_SECONDS=$(SOAK_FUZZ_SECONDS)

fuzz-delta: deps
	$(CMAKE) -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build-fuzz -j $(JOBS) --target delta_fuzz
	mkdir -p build-fuzz/corpus/delta
	cat fuzz/xml.dict fuzz/delta.dict > build-fuzz/delta.dict
	build-fuzz/delta_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -dict=build-fuzz/delta.dict build-fuzz/corpus/delta fuzz/corpus/delta

# Functions over 60 lines and files over 400 (clang-tidy on the release build).
sizes: build
	scripts/check-sizes --functions build

deps:
	@scripts/install-deps

deps-demo:
	@scripts/install-deps --demo

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
