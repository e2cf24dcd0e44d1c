# The two commands: `make demo` runs the main job, `make test` runs every suite.
.PHONY: all bootstrap build test demo bench package package-check clean

all: build

bootstrap:
	@tools/bootstrap

build: bootstrap
	cmake --preset x64 >/dev/null && cmake --build build/x64 -j$$(nproc)
	cmake --preset x86 >/dev/null && cmake --build build/x86 -j$$(nproc)

test: bootstrap
	@tools/run-tests

demo: bootstrap
	@tools/demo

bench: bootstrap
	@tools/bench-converter
	@tools/bench-extract
	@tools/bench-fax

# The release package in dist/, and the proof that two clean builds give it byte for byte.
package: bootstrap
	@tools/package

package-check: bootstrap
	@tools/package-check

clean:
	rm -rf build dist
