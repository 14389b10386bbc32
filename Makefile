# Thin front for the CMake presets: every target calls a preset.
PACKAGES := g++-multilib qemu-user cmake libgtest-dev
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo bench fuzz clean

all: build

# Installs the Debian packages that are missing (as root), after refreshing the package lists.
deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi

build: deps
	cmake --preset i386 && cmake --build --preset i386 -j $(JOBS)
	cmake --preset native && cmake --build --preset native -j $(JOBS)

test: build
	ctest --preset i386 -j $(JOBS)
	ctest --preset native -j $(JOBS)

demo: deps
	cmake --preset i386 >/dev/null && cmake --build --preset i386 -j $(JOBS) --target demo

clean:
	rm -rf build
