# The two commands of the README: `make demo` and `make test`.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
NATIVE := build/native
WINDOWS := build/windows
# Seconds per fuzz target for `make fuzz`; `make test` runs each for a few.
FUZZ_SECONDS ?= 300

.PHONY: all setup native windows test test-native test-windows demo dist bench sanitize fuzz format clean

all: native windows

setup:
	bash scripts/setup.sh

native:
	cmake -S . -B $(NATIVE) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(NATIVE) -j $(JOBS)

windows:
	cmake -S . -B $(WINDOWS) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw64.cmake \
	  -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(WINDOWS) -j $(JOBS)

test: setup
	$(MAKE) native windows
	bash scripts/run-tests.sh

# One tree's tests alone, without the sanitizer and fuzz runs of `make test`.
test-native: setup native
	ctest --test-dir $(NATIVE) --output-on-failure -j 2

test-windows: setup windows
	bash scripts/wine-prefix.sh
	WINEPREFIX="$(CURDIR)/build/wine" wineserver -p60 2>/dev/null || true
	ctest --test-dir $(WINDOWS) --output-on-failure -j 2

demo: setup native windows
	bash scripts/demo.sh

# The release files in dist/ (README); SIGN_CERT and SIGN_KEY sign the executables.
dist: setup
	SIGN_CERT="$(SIGN_CERT)" SIGN_KEY="$(SIGN_KEY)" bash scripts/dist.sh

bench: setup native
	bash bench/run.sh

sanitize: setup
	bash scripts/sanitize.sh

fuzz: setup
	bash scripts/fuzz.sh $(FUZZ_SECONDS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build demo dist
