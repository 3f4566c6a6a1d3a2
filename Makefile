# The two entry points: `make demo` and `make test`. Both install what is
# missing, configure and build first.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo win32 clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	bash examples/run-demo.sh $(BUILD)

# The 32-bit Windows DLL alone (make test builds and checks it too).
win32: deps
	cmake -S . -B $(BUILD)/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
	cmake --build $(BUILD)/win32 -j $(JOBS)

clean:
	rm -rf $(BUILD)

# The reading and delivery benchmarks (figures, not tests): bench/README.md. Sizes from the
# environment, e.g. BENCH_INBOX_SIZES="1000 10000" BENCH_ATTACHMENT_MB=256 make bench
.PHONY: bench
bench: configure
	cmake --build $(BUILD) -j $(JOBS) --target bench_tools
	bash bench/run.sh $(BUILD)
	bash bench/deliver/run.sh $${BENCH_DELIVER_COUNT:-10000}
