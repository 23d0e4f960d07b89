# The two set-up commands of the README: `make demo` and `make test`.
# Both install what a fresh Debian machine lacks, then build.

BUILD_DIR ?= build
JOBS ?= $(shell nproc)

# Debian packages needed to build, test and demonstrate the helper
# (dnsmasq-base: the resolvers of the name lookup tests and the demo, the
# program alone, without a service that would start on the machine).
PACKAGES = cmake g++ make pkg-config libglib2.0-dev libre2-dev libgtest-dev \
           iproute2 iptables nftables conntrack util-linux iputils-ping socat \
           libcap2-bin man-db dpkg clang libclang-rt-14-dev valgrind procps \
           dnsmasq-base

.PHONY: all deps build test demo package hardening bench clean

all: build

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The Debian package: executable, manual page and README (see packaging/).
package: build
	cd $(BUILD_DIR) && cpack -G DEB

# Sanitizer, thread-checker and fuzzing runs (CI runs them after the tests).
hardening: build
	bash tools/ci/hardening.sh

# Start, stop, switch, takeover, monitor, memory and input-scale figures,
# inside the namespace test bed (some minutes; not part of `make test`).
bench: build
	LVH_BUILD_DIR=$(abspath $(BUILD_DIR)) bash tools/bench/bench.sh

demo: build
	LVH_BUILD_DIR=$(abspath $(BUILD_DIR)) bash tools/demo/demo.sh

clean:
	rm -rf $(BUILD_DIR)
