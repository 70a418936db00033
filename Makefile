# The two commands of the README, and what they are made of.
.PHONY: all setup build run test gallery benchmark fuzz clean

all: build

setup:
	@bash tools/setup.sh

build: setup
	@tools/build.sh

# Starts the key manager (on a virtual display, with a screenshot, when
# this machine has no display).
run: build
	@tools/run.sh

# Every test: native, Windows under Wine, and checks of the shipped binaries.
test: build
	@tools/run-tests.sh

# Pictures of every window under build/gallery/.
gallery: build
	@tools/gallery.sh

# Start-up and the 10,000-key list rebuild, each beside a baseline, the
# rebuild with 1,000 keys in the real agent, the key agent's signatures per
# second beside OpenSSH's ssh-agent, and key generation through the agent
# library beside ssh-keygen.
benchmark: build
	@tools/benchmark.sh

# libFuzzer on every target of tests/fuzz, built with clang from the build's
# own source lists (the settings file reader three minutes, the others one
# minute each); fails when a target does not build or anything is found.
fuzz: setup
	@tools/fuzz.sh

clean:
	rm -rf build
