# Two entry points: `make demo` (build the plug-in and render the demo song) and `make test`
# (sanitizer build and every test). Both install the Debian packages they need first.

BUILD ?= build
TEST_BUILD ?= build-test
CMAKE_GEN := -G Ninja

.PHONY: all deps demo test bench clean

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

bench: deps $(BUILD)/build.ninja
	cmake --build $(BUILD)
	$(BUILD)/kolva-bench

clean:
	rm -rf $(BUILD) $(TEST_BUILD)
