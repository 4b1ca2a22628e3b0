# Entry points for a fresh machine: `make test` and `make demo`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

SAN_BUILD_DIR ?= build-sanitize
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60

# Sanitizer reports end the process with a status no test expects (86), so
# that a report in a subprocess fails its test even where the test expects a
# failure; LeakSanitizer runs with AddressSanitizer.
SAN_ENV = ASAN_OPTIONS=detect_leaks=1:exitcode=86 UBSAN_OPTIONS=print_stacktrace=1:exitcode=86

.PHONY: all configure build test demo test-sanitize fuzz fuzz-build clean

all: build

configure:
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# Generates a synthetic phantom in $(BUILD_DIR)/demo, segments it there,
# counts the voxels of each label in the float32 output and draws the result
# in demo-preview.png beside it. With the default
# weights every anisotropy in (0, 1) costs 0 for both labels; a data weight
# of 100 resolves it to hundredths, which puts the fibre bundles (anisotropy
# about 0.8) in label 1 and the background (about 0.15) in label 0.
DEMO_SIZE ?= 64x64x32
DEMO_WEIGHTS ?= --data-lambda 100
# Builds only the two programs it runs, so that a first demo takes about a
# minute; `make test` builds the rest.
demo: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target dticut dticut-phantom
	mkdir -p $(BUILD_DIR)/demo
	cd $(BUILD_DIR)/demo && ../tools/phantom/dticut-phantom --size $(DEMO_SIZE) . > volumes.txt
	@echo "weights: $(DEMO_WEIGHTS) (any weight not given stays 1)"
	cd $(BUILD_DIR)/demo && ../app/dticut $(DEMO_WEIGHTS) --preview demo-preview.png $$(cat volumes.txt)
	@tail -c +353 $(BUILD_DIR)/demo/test.nii | od -An -v -tf4 -w4 | \
	  awk '{ n[$$1 + 0]++ } END { printf "label 0: %d voxels\nlabel 1: %d voxels\n", n[0], n[1] }'
	@echo "labels: $(BUILD_DIR)/demo/test.nii"
	@echo "picture: $(BUILD_DIR)/demo/demo-preview.png (axial, coronal and sagittal slices of the anisotropy, label 1 in red)"

# The whole test suite again under AddressSanitizer (with LeakSanitizer) and
# UndefinedBehaviorSanitizer (clang++); any sanitizer report fails the run.
test-sanitize:
	cmake -S . -B $(SAN_BUILD_DIR) -DCMAKE_CXX_COMPILER=clang++ -DDTICUT_SANITIZE=ON -DDTICUT_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(SAN_BUILD_DIR) -j $(JOBS)
	$(SAN_ENV) ctest --test-dir $(SAN_BUILD_DIR) --output-on-failure -j $(JOBS)

# libFuzzer targets (clang++, with AddressSanitizer and UBSan), each run for
# FUZZ_SECONDS from its seed corpus in fuzz/corpus; any crash, leak, report
# or timeout fails. New inputs and crash artefacts go to $(FUZZ_BUILD_DIR),
# never into the source tree.
FUZZ_TARGETS = nifti dimacs
FUZZ_MAX_LEN_nifti = 4096
FUZZ_MAX_LEN_dimacs = 32768

fuzz-build:
	cmake -S . -B $(FUZZ_BUILD_DIR) -DCMAKE_CXX_COMPILER=clang++ -DDTICUT_FUZZ=ON -DDTICUT_BUILD_TESTS=OFF -DDTICUT_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) $(addprefix --target ,$(addsuffix _fuzz,$(FUZZ_TARGETS)))

fuzz: $(addprefix fuzz-run-,$(FUZZ_TARGETS))

# The full log stays in the build folder; the console gets the final
# figures, or the end of the log and the artefact on a failure.
fuzz-run-%: fuzz-build
	mkdir -p $(FUZZ_BUILD_DIR)/corpus/$* $(FUZZ_BUILD_DIR)/artifacts
	@echo "fuzz $*: $(FUZZ_SECONDS) s, log in $(FUZZ_BUILD_DIR)/fuzz-$*.log"
	@if $(SAN_ENV) $(FUZZ_BUILD_DIR)/fuzz/$*_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=30 \
	    -rss_limit_mb=2048 -max_len=$(FUZZ_MAX_LEN_$*) -dict=fuzz/$*.dict -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD_DIR)/artifacts/$*- $(FUZZ_BUILD_DIR)/corpus/$* fuzz/corpus/$* \
	    > $(FUZZ_BUILD_DIR)/fuzz-$*.log 2>&1; then \
	  grep -E '^#[0-9]+[[:space:]]+DONE|^stat::' $(FUZZ_BUILD_DIR)/fuzz-$*.log; \
	else \
	  tail -n 60 $(FUZZ_BUILD_DIR)/fuzz-$*.log; echo "fuzz $*: FAILED"; exit 1; \
	fi

clean:
	rm -rf $(BUILD_DIR) $(SAN_BUILD_DIR) $(FUZZ_BUILD_DIR)
