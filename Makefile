# Build, run and check Tessel. `make run` and `make test` are the README's two commands.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
# Empty: the project's default (RelWithDebInfo). CI also checks Release.
BUILD_TYPE ?=
# Checks treat compiler warnings as errors; a plain build only reports them.
CHECK_FLAGS = -DTESSEL_WERROR=ON $(if $(BUILD_TYPE),-DCMAKE_BUILD_TYPE=$(BUILD_TYPE))

.PHONY: all build run test check-build asan tsan release fuzz bench clean

all: build

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(if $(BUILD_TYPE),-DCMAKE_BUILD_TYPE=$(BUILD_TYPE)) $(CMAKE_FLAGS)

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j$(JOBS)

run: build
	$(BUILD)/bin/quarl-cli render $(BUILD)/examples/example.sgp $(BUILD)/examples/example.wav
	@echo "Rendered the example session $(BUILD)/examples/example.sgp to $(BUILD)/examples/example.wav"
	@$(BUILD)/bin/quarl-cli info $(BUILD)/examples/example.sgp

# Configured every time, so that a build folder first made without warnings as errors is
# checked with them too.
check-build:
	cmake -S . -B $(BUILD) -G Ninja $(CHECK_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

test: check-build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The optimised build a distribution makes, with every test run on it.
release:
	$(MAKE) test BUILD=build-release BUILD_TYPE=Release

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DSANITIZE=address,undefined -DTESSEL_BENCH=OFF"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DSANITIZE=thread -DTESSEL_BENCH=OFF"

fuzz:
	fuzz/run.sh $(or $(SECONDS),60)

bench: build
	bench/run.sh $(BUILD)

clean:
	rm -rf build build-asan build-tsan build-fuzz build-release
