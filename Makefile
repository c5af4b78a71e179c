# make run  - install what is missing, build, start the program
# make test - install what is missing, build, run the whole test suite

BUILD_DIR ?= build
JOBS ?= 2

# Compiler, CMake, Qt 5 development files, a font with Chinese glyphs, and what the tests use:
# Xvfb for screenshots, iproute2 and util-linux for the private test networks.
PACKAGES := g++ make cmake qtbase5-dev qtbase5-dev-tools libqt5network5 fonts-noto-cjk \
            iproute2 util-linux xvfb xauth

.PHONY: run test build deps clean

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
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

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j$(JOBS)

run: build
	cd $(BUILD_DIR) && ./NuboTransmission

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS)

clean:
	rm -rf $(BUILD_DIR)
