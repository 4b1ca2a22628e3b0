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

# Generates a synthetic phantom in $(BUILD_DIR)/demo, segments it there and
# counts the voxels of each label in the float32 output.
DEMO_SIZE ?= 64x64x32
demo: build
	mkdir -p $(BUILD_DIR)/demo
	cd $(BUILD_DIR)/demo && ../tools/phantom/dticut-phantom --size $(DEMO_SIZE) . > volumes.txt
	cd $(BUILD_DIR)/demo && ../app/dticut $$(cat volumes.txt)
	@tail -c +353 $(BUILD_DIR)/demo/test.nii | od -An -v -tf4 -w4 | \
	  awk '{ n[$$1 + 0]++ } END { printf "label 0: %d voxels\nlabel 1: %d voxels\n", n[0], n[1] }'

# The whole test suite again under AddressSanitizer and UndefinedBehaviorSanitizer
# (clang++); any sanitizer report fails the run.
test-sanitize:
	cmake -S . -B $(SAN_BUILD_DIR) -DCMAKE_CXX_COMPILER=clang++ -DDTICUT_SANITIZE=ON -DDTICUT_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(SAN_BUILD_DIR) -j $(JOBS)
	ctest --test-dir $(SAN_BUILD_DIR) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR) $(SAN_BUILD_DIR)
