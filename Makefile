# `make demo` and `make test` (what `bash demo.sh` and `bash test.sh` run once make is
# installed): both install what is missing, configure and build first.
#   demo   the demo's packages, the demo's targets alone, then the demo
#   test   every package, the npm tools of the tests, everything built, every test run;
#          a test whose tool is missing fails (TOLVANE_REQUIRE_ALL_TOOLS=1)
# BUILD names the build folder (build/ by default), e.g. make test BUILD=build-fresh.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps deps-demo npm-deps configure configure-demo build build-demo test demo win32 clean

all: build

deps:
	@bash scripts/install-deps.sh test $(BUILD)

deps-demo:
	@bash scripts/install-deps.sh demo $(BUILD)

# The independent .msg reader of the tests (one npm ci from the lock file).
npm-deps: deps
	@bash scripts/install-npm-deps.sh $(BUILD)

# Configured means CMake's generated Makefile is there (scripts/configure.sh): a failed
# or interrupted configuration leaves none, and the next run configures again.
configure: deps
	@bash scripts/configure.sh $(BUILD) test

configure-demo: deps-demo
	@bash scripts/configure.sh $(BUILD) demo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

build-demo: configure-demo
	cmake --build $(BUILD) -j $(JOBS) --target demo_deps

test: npm-deps build
	@bash scripts/run-tests.sh $(BUILD) $(JOBS)

demo: build-demo
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
	@bash scripts/install-deps.sh bench $(BUILD)
	cmake --build $(BUILD) -j $(JOBS) --target bench_tools
	bash bench/run.sh $(BUILD)
	bash bench/deliver/run.sh $${BENCH_DELIVER_COUNT:-10000}
	bash bench/send/run.sh $(BUILD)
	cmake --build $(BUILD) -j $(JOBS) --target tolvane_corpus_walk
	bash bench/corpus/run.sh $(BUILD)
	cmake --build $(BUILD) -j $(JOBS) --target bench_compare_tools
	bash bench/compare/run.sh $(BUILD)
	cmake --build $(BUILD) -j $(JOBS) --target bench_smtp_tools && bash bench/smtp/run.sh $(BUILD)
	bash bench/pg/run.sh $(BUILD)
