# The two commands: `make demo` runs the main job, `make test` runs every suite.
.PHONY: all bootstrap build test demo bench package package-check clean

all: build

bootstrap:
	@tools/bootstrap

build: bootstrap
	cmake --preset x64 >/dev/null && cmake --build build/x64 -j$$(nproc)
	cmake --preset x86 >/dev/null && cmake --build build/x86 -j$$(nproc)

# Everything that runs Wine runs with the address space laid out the same way
# every time (see cmake/wine-run): no process start fails at random.
STEADY := setarch -R

test: bootstrap
	@$(STEADY) tools/run-tests

demo: bootstrap
	@$(STEADY) tools/demo

bench: bootstrap
	@$(STEADY) tools/bench-converter
	@$(STEADY) tools/bench-extract
	@$(STEADY) tools/bench-fax

# The release package in dist/, and the proof that two clean builds give it byte for byte.
package: bootstrap
	@tools/package

package-check: bootstrap
	@$(STEADY) tools/package-check

clean:
	rm -rf build dist
