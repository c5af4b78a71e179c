# make run      - install what is missing, build, start the program in run/
# make test     - install what is missing, build, run the whole test suite
# make package  - the Debian package, in build/
# make test-qt6 - install Qt 6, build with it in build-qt6/ and run the tests that need no
#                 network namespace

BUILD_DIR ?= build
QT6_BUILD_DIR ?= build-qt6
RUN_DIR ?= run
JOBS ?= 2

# Compiler, CMake, Qt 5 development files, Qt's own translations, a font with Chinese glyphs, and
# what the tests use: Xvfb for screenshots and, with x11-utils, to read the window's WM_CLASS,
# iproute2 and util-linux for the private test networks, openssl and Perl's IO::Socket::SSL for the
# hand-made TLS sender, the desktop-file and AppStream validators, dpkg-shlibdeps (dpkg-dev), file
# and lintian for the package.
PACKAGES := g++ make cmake qtbase5-dev qtbase5-dev-tools libqt5network5 qttranslations5-l10n \
            libqt5sql5-sqlite libxxhash-dev libssl-dev \
            fonts-noto-cjk iproute2 util-linux xvfb xauth x11-utils desktop-file-utils appstream \
            dpkg-dev file lintian openssl libio-socket-ssl-perl
QT6_PACKAGES := qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite qt6-translations-l10n

.PHONY: run test build package test-qt6 deps deps-qt6 clean

# $(call install-missing,PACKAGES): apt-get install those not installed yet (as root), or say how.
define install-missing
	@missing=""; \
	for p in $(1); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    if [ "$$(id -u)" -eq 0 ]; then \
	        apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	    else \
	        echo "Missing packages. Run as root:"; \
	        echo "  apt-get install -y$$missing"; \
	        exit 1; \
	    fi; \
	fi
endef

deps:
	$(call install-missing,$(PACKAGES))

deps-qt6: deps
	$(call install-missing,$(QT6_PACKAGES))

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j$(JOBS)

# The program keeps config.ini and its work files in the folder it runs in, and by default stores
# received items next to itself: a copy in run/ keeps all of that out of build/, which `make clean`
# removes.
run: build
	mkdir -p $(RUN_DIR)
	cp -u --remove-destination $(BUILD_DIR)/NuboTransmission $(RUN_DIR)/
	cd $(RUN_DIR) && ./NuboTransmission

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS)

package: build
	cd $(BUILD_DIR) && cpack -G DEB

$(QT6_BUILD_DIR)/CMakeCache.txt: | deps-qt6
	cmake -S . -B $(QT6_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUBO_QT_MAJOR=6

test-qt6: deps-qt6 $(QT6_BUILD_DIR)/CMakeCache.txt
	cmake --build $(QT6_BUILD_DIR) -j$(JOBS)
	cd $(QT6_BUILD_DIR) && ctest --output-on-failure -j$(JOBS) -LE netns

clean:
	rm -rf $(BUILD_DIR) $(QT6_BUILD_DIR)
