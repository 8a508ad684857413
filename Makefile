# Two entry points: `make demo` (build the plug-in and render the demo song) and `make test`
# (sanitizer build and every test). Both install the Debian packages they need first.

BUILD ?= build
TEST_BUILD ?= build-test
CMAKE_GEN := -G Ninja

TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 20
FUZZERS := fuzz_kpf2 fuzz_kpf fuzz_kbf fuzz_chunk fuzz_config fuzz_host_calls fuzz_scala_file fuzz_midi_file

.PHONY: all deps demo test check-threads fuzz-smoke bench clean

all: demo

deps:
	@scripts/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DKOLVA_BUILD_TESTS=OFF

demo: deps $(BUILD)/build.ninja
	cmake --build $(BUILD)
	$(BUILD)/kolva-render $(BUILD)/Kolva.so demo/demo.mid -o $(BUILD)/demo.wav

$(TEST_BUILD)/build.ninja: | deps
	cmake -S . -B $(TEST_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DKOLVA_SANITIZE=ON \
	    -DKOLVA_BUILD_BENCH=OFF

test: deps $(TEST_BUILD)/build.ninja
	cmake --build $(TEST_BUILD)
	cd $(TEST_BUILD) && ctest --output-on-failure -j2

# State restore and automation racing a rendering thread, under ThreadSanitizer.
$(TSAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DKOLVA_TSAN=ON \
	    -DKOLVA_BUILD_BENCH=OFF

check-threads: deps $(TSAN_BUILD)/build.ninja
	cmake --build $(TSAN_BUILD) --target kolva_thread_tests
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(TSAN_BUILD)/tests/core/kolva_thread_tests

# Every libFuzzer target for a short while (clang). Longer runs by hand: see the README.
$(FUZZ_BUILD)/build.ninja: | deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	    -DKOLVA_FUZZ=ON -DKOLVA_BUILD_BENCH=OFF

fuzz-smoke: deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) --target $(FUZZERS)
	scripts/fuzz-smoke.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZERS)

bench: deps $(BUILD)/build.ninja
	cmake --build $(BUILD)
	$(BUILD)/kolva-bench

clean:
	rm -rf $(BUILD) $(TEST_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
