# Flotilla: the two set-up commands (`make run`, `make test`) and the builds behind them.
# Each target installs what is missing, configures and builds; nothing touches ~/.wine.
.PHONY: all deps native windows windows-i686 asan fuzz-build fuzz fuzz-corpus test test-native \
	test-windows run clean

JOBS ?= $(shell nproc)
# Seconds each fuzz target runs under `make fuzz`.
FUZZ_SECONDS ?= 60

all: native windows

deps:
	tools/install-deps

native: deps
	cmake --preset native
	cmake --build --preset native -j $(JOBS)

asan: deps
	cmake --preset native-asan
	cmake --build --preset native-asan -j $(JOBS)
	ctest --preset native-asan

# The libFuzzer targets (clang, ASan, UBSan); native only.
fuzz-build: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)

# Every fuzz target for FUZZ_SECONDS; fails on any crash, leak, hang or sanitizer report.
fuzz: fuzz-build
	tools/run-fuzz fuzz build/fuzz/bin tests/fuzz/corpus build/fuzz/run $(FUZZ_SECONDS)

# Every fuzz target over its seed corpus once, so an old finding that comes back fails.
fuzz-corpus: fuzz-build
	tools/run-fuzz corpus build/fuzz/bin tests/fuzz/corpus build/fuzz/corpus-run

windows: deps native
	cmake --preset windows
	cmake --build --preset windows -j $(JOBS)

windows-i686: deps
	cmake --preset windows-i686
	cmake --build --preset windows-i686 -j $(JOBS)

test-native: native
	ctest --preset native

test-windows: windows
	ctest --preset windows

# Every suite: native, sanitizers, the fuzz corpora, the Windows side under Wine, and the
# 32-bit build (compiled, and its binaries' imports and exports checked; not run).
test: native windows windows-i686
	ctest --preset native
	$(MAKE) --no-print-directory asan
	$(MAKE) --no-print-directory fuzz-corpus
	ctest --preset windows
	ctest --preset windows-i686

# The main job: the simulated stick and flotilla.exe under Wine.
run: native windows
	tools/run-main-job

clean:
	rm -rf build
