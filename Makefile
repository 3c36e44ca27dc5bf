# The README's commands. Each one sets the machine up first, so a fresh clone
# needs nothing but `make`.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
JOBS ?= $(shell nproc)
# `make install` puts Vantry under PREFIX, inside DESTDIR when that is set.
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: setup build run test test-sanitize bench install package clean

setup:
	@bash scripts/setup.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@bash scripts/run.sh $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

$(SANITIZE_BUILD)/build.ninja:
	cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTRY_SANITIZE=ON

test-sanitize: setup $(SANITIZE_BUILD)/build.ninja
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)

# Installing changes nothing on the machine but the files it installs: it
# builds with the packages that are there, or names those missing and stops.
# The programs go in stripped, as in the package.
install:
	@bash scripts/setup.sh --check
	@test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --strip

# build/vantry_<version>_<arch>.deb
package: build
	cd $(BUILD) && cpack -G DEB

bench: build
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; "$$b"; done

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
