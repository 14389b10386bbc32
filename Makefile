# Thin front for the CMake presets: every target calls a preset.
PACKAGES := g++-multilib qemu-user cmake libgtest-dev clang libclang-rt-14-dev nlohmann-json3-dev \
  libedit-dev libhiredis-dev redis-server
# The 32-bit build's hiredis, from the i386 architecture.
I386_PACKAGES := libhiredis-dev:i386
# The Windows builds' cross compilers and Wine, whose 32-bit half comes from the i386 architecture.
WINDOWS_PACKAGES := g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32 wine64 zip
BENCH_PACKAGES := libbenchmark-dev valgrind
JOBS ?= $(shell nproc)
# Seconds each fuzzer runs for in `make fuzz`, and in `make test` after the corpus runs.
FUZZ_SECONDS ?= 300
FUZZ_TEST_SECONDS ?= 20
# Extra cache settings for every configure step, e.g. CMAKE_FLAGS=-DQUILL_WERROR=ON as CI passes.
CMAKE_FLAGS ?=

.PHONY: all deps deps-windows build build-linux build-windows test test-linux test-windows demo \
	release bench bench-build fuzz fuzz-build clean

all: build

# Installs the Debian packages of the list that are missing (as root).
install_missing = @sh tools/install_packages.sh $(1)

# Configures preset $(1). A build folder configured for another source folder (the tree was
# copied or moved, which CMake refuses as a "different directory") is removed and made afresh.
configure = cache=build/$(1)/CMakeCache.txt; \
  home=$$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$$cache" 2>/dev/null); \
  if [ -n "$$home" ] && [ "$$(cd "$$home" 2>/dev/null && pwd -P)" != "$$(pwd -P)" ]; then \
    echo "build/$(1) was configured for $$home: configuring it afresh"; rm -rf "build/$(1)"; \
  fi; \
  cmake --preset $(1) $(CMAKE_FLAGS)

deps:
	$(call install_missing,$(PACKAGES))
	@dpkg --print-foreign-architectures | grep -qx i386 || { echo "adding the i386 architecture"; dpkg --add-architecture i386; }
	$(call install_missing,$(I386_PACKAGES))

deps-windows: deps
	@dpkg --print-foreign-architectures | grep -qx i386 || { echo "adding the i386 architecture"; dpkg --add-architecture i386; }
	$(call install_missing,$(WINDOWS_PACKAGES))

build: build-linux

build-linux: deps
	@$(call configure,i386)
	cmake --build --preset i386 -j $(JOBS)
	@$(call configure,native)
	cmake --build --preset native -j $(JOBS)

build-windows: deps-windows
	@$(call configure,win32)
	cmake --build --preset win32 -j $(JOBS)
	@$(call configure,win64)
	cmake --build --preset win64 -j $(JOBS)

# Every target: the Linux presets, then the Windows ones under Wine. `make test-linux` and
# `make test-windows` run one platform's alone.
test: test-linux test-windows

# The fuzzers run with a fixed seed here, so that a run repeats; `make fuzz` explores anew.
test-linux: build-linux fuzz-build bench-build
	sh fuzz/run_fuzzers.sh build/fuzz $(FUZZ_TEST_SECONDS) 1
	ctest --preset i386 -j $(JOBS)
	ctest --preset native -j $(JOBS)
	@$(call configure,release-x86_64)
	cmake --build --preset release-x86_64 -j $(JOBS)
	ctest --preset release-x86_64

# The Windows modules and programs, tests under Wine; a test that hangs there fails after 300 s.
# The 32-bit Windows tests need Wine's 32-bit loader, an i386 program: on a machine whose kernel
# runs none they are built but not run, and the line says so.
test-windows: build-windows
	@if /usr/lib/wine/wine --version >/dev/null 2>&1; then \
	  ctest --preset win32 -j $(JOBS) --timeout 300; \
	else \
	  echo "win32: NOT RUN: this machine cannot start Wine's 32-bit loader (/usr/lib/wine/wine, an i386 program); the win32 preset is built only"; \
	fi
	ctest --preset win64 -j $(JOBS) --timeout 300

# Builds the module and both tools (quillhost and quillstore, whose target is quillstore_tool).
# Only the session and the pool file reach the terminal; the build's output is kept in a log that
# is shown when it fails.
demo: deps
	@mkdir -p build && { $(call configure,i386) && cmake --build --preset i386 -j $(JOBS) \
	  --target quillhost quillstore quillstore_tool; } >build/demo-build.log 2>&1 || \
	  { cat build/demo-build.log; exit 1; }
	@mkdir -p build/i386/demo && cd build/i386/demo && rm -f demo.pool && \
	  qemu-i386 ../quillhost ../quillstore.so ../../../examples/demo.nut && \
	  echo "--- build/i386/demo/demo.pool as written:" && cat demo.pool

# The shipped modules optimised and stripped, each with its debug information beside it, packed
# with the programs, the user documents and checksums into
# dist/quillstore-VERSION-linux-i386.tar.gz, -linux-x86_64.tar.gz, -windows-x86.zip and
# -windows-x64.zip; dist/SHA256SUMS covers the archives.
release: deps-windows
	@$(call configure,release)
	cmake --build --preset release -j $(JOBS)
	@$(call configure,release-x86_64)
	cmake --build --preset release-x86_64 -j $(JOBS)
	@$(call configure,release-win32)
	cmake --build --preset release-win32 -j $(JOBS)
	@$(call configure,release-win64)
	cmake --build --preset release-win64 -j $(JOBS)

# Builds the native-release preset, runs every benchmark and writes BENCHMARKS.md (a few minutes).
bench: bench-build
	cmake --build --preset native-release -j $(JOBS) --target benchmarks

# The benchmark programs, built without running: `make test` builds them so that a change which
# breaks them is found then, not at the next `make bench`.
bench-build:
	$(call install_missing,$(PACKAGES) $(BENCH_PACKAGES))
	@$(call configure,native-release)
	cmake --build --preset native-release -j $(JOBS) --target quill_bench quill_icount

# The fuzzers, built with clang in the fuzz preset.
fuzz-build: deps
	@$(call configure,fuzz)
	cmake --build --preset fuzz -j $(JOBS)

# Runs every fuzzer on its corpus, then on new inputs for FUZZ_SECONDS each.
fuzz: fuzz-build
	sh fuzz/run_fuzzers.sh build/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build dist
