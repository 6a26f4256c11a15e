# Flotilla: the two set-up commands (`make run`, `make test`) and the builds behind them.
# Each target installs what is missing, configures and builds; nothing touches ~/.wine.
.PHONY: all deps native windows windows-i686 asan test test-native test-windows run clean

JOBS ?= $(shell nproc)

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

# Every suite: native, sanitizers, the Windows side under Wine, and the 32-bit compile.
test: native windows windows-i686
	ctest --preset native
	$(MAKE) --no-print-directory asan
	ctest --preset windows

# The main job: the simulated stick and flotilla.exe under Wine.
run: native windows
	tools/run-main-job

clean:
	rm -rf build
