# Build, run and check Tessel. `make run` and `make test` are the README's two commands.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all build run test asan tsan fuzz bench clean

all: build

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j$(JOBS)

run: build
	$(BUILD)/bin/quarl-cli render $(BUILD)/examples/example.sgp $(BUILD)/examples/example.wav
	@echo "Rendered the example session $(BUILD)/examples/example.sgp to $(BUILD)/examples/example.wav"
	@$(BUILD)/bin/quarl-cli info $(BUILD)/examples/example.sgp

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DSANITIZE=address,undefined -DTESSEL_BENCH=OFF"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DSANITIZE=thread -DTESSEL_BENCH=OFF"

fuzz:
	fuzz/run.sh $(or $(SECONDS),60)

bench: build
	bench/run.sh $(BUILD)

clean:
	rm -rf build build-asan build-tsan build-fuzz
