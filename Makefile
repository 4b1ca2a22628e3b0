# Entry points for a fresh machine: `make test` and `make demo`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

SAN_BUILD_DIR ?= build-sanitize

.PHONY: all configure build test demo test-sanitize clean

all: build

configure:
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

demo: build

# The whole test suite again under AddressSanitizer and UndefinedBehaviorSanitizer
# (clang++); any sanitizer report fails the run.
test-sanitize:
	cmake -S . -B $(SAN_BUILD_DIR) -DCMAKE_CXX_COMPILER=clang++ -DDTICUT_SANITIZE=ON -DDTICUT_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(SAN_BUILD_DIR) -j $(JOBS)
	ctest --test-dir $(SAN_BUILD_DIR) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR) $(SAN_BUILD_DIR)
