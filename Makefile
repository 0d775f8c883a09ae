# The front door. `make test` is what CI runs.
.PHONY: all deps build test test-default test-asan demo bench bench-settings bench-menu bench-copy fuzz fuzz-smoke update-po install uninstall package format clean

JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 30
# Nautilus loads extensions only from its own folder under /usr, so that is where a working
# installation goes. Another PREFIX (or DESTDIR) stages the same layout elsewhere.
PREFIX ?= /usr
DESTDIR ?=

all: build

deps:
	@scripts/install-deps

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

test: test-default test-asan

test-default: build
	ctest --preset default -j $(JOBS)

test-asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

# The whole road from a send to the notification, in a throwaway session.
demo: build
	scripts/demo build/default

# Send latency and destination refresh figures, in a throwaway session. Not part of the tests.
bench: build
	bench/send_latency build/default

# From `ambrevoli --settings` to the settings window on a virtual display, with 50 destinations.
bench-settings: build
	build/default/bench/settings_open build/default/Ambrevoli/ambrevoli

# The Send To menu GNOME Files waits for, with 50 destinations: nothing moved, and 10 moved.
bench-menu: build
	build/default/bench/menu_cost

# ambrevoli-copy against cp -a: a tree, a 1 GiB file, an XFS clone, and the scale checks (100,000
# files, 50,000 in one folder, 1,000 levels deep) with peak memory (several minutes, a few GiB);
# then what watching a copy's progress costs against not watching it.
bench-copy: build
	bench/copy_vs_cp
	build/default/bench/progress_cost

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)

# Runs every fuzz target for FUZZ_SECONDS; any finding fails.
fuzz-smoke: fuzz
	scripts/fuzz-smoke build/fuzz $(FUZZ_SECONDS)

# Refreshes the catalogs' template (po/ambrevoli.pot) from the sources and merges it into every
# language's catalog; new texts then wait for their translators (the check in ctest says which).
update-po:
	scripts/update-po

# A release build of its own (build/install), installed under $(DESTDIR)$(PREFIX).
install: deps
	cmake --preset install -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build --preset install -j $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install build/install

# Removes exactly what the last `make install` put in place.
uninstall:
	DESTDIR="$(DESTDIR)" scripts/uninstall build/install/install_manifest.txt

# The Debian package, build/package/ambrevoli_<version>_<arch>.deb: a release build of its own with
# Debian's build flags (hardening included), packed by cpack from the same install rules as
# `make install`, then checked by lintian, which fails on any error or warning. UPDATE_FEED_URL and
# UPDATE_PUBLIC_KEY give it the update feed it trusts (kept in build/package for later runs).
# Debian 13's appstreamcli warns that the component id is no reverse domain name, which Ambrevoli's
# identifiers are not, by design; lintian reports any warning of it as a failed validation. The
# install check validates the metainfo with exactly that warning lowered. Debian 12's lintian has
# no such tag, and stops at a suppressed tag it does not know.
LINTIAN_SUPPRESS = $(shell lintian-explain-tags appstream-metadata-validation-failed >/dev/null 2>&1 && \
  echo --suppress-tags appstream-metadata-validation-failed)
DEB_BUILDFLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
package: deps
	cmake --preset package \
	  -DCMAKE_CXX_FLAGS="$$($(DEB_BUILDFLAGS) CPPFLAGS) $$($(DEB_BUILDFLAGS) CXXFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$($(DEB_BUILDFLAGS) LDFLAGS)" \
	  -DCMAKE_SHARED_LINKER_FLAGS="$$($(DEB_BUILDFLAGS) LDFLAGS)" \
	  -DCMAKE_MODULE_LINKER_FLAGS="$$($(DEB_BUILDFLAGS) LDFLAGS)" \
	  $(if $(UPDATE_FEED_URL),-DAMBREVOLI_UPDATE_FEED_URL="$(UPDATE_FEED_URL)") \
	  $(if $(UPDATE_PUBLIC_KEY),-DAMBREVOLI_UPDATE_PUBLIC_KEY="$(UPDATE_PUBLIC_KEY)")
	cmake --build --preset package -j $(JOBS)
	rm -f build/package/ambrevoli_*.deb
	cd build/package && cpack -G DEB
	lintian --fail-on error,warning $(LINTIAN_SUPPRESS) build/package/ambrevoli_*.deb

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
