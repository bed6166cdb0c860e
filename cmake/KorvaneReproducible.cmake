# Two builds of one commit give the same programs, byte for byte, wherever
# the checkout and the build tree lie. The compiler writes the directories
# it was given into the debug information (and into __FILE__); the linker's
# build-id is a hash of the whole program, debug information included, so
# a different path changed even the stripped programs in the packages.
# Both directories are mapped to fixed names: the source tree to ".", as
# Debian's own builds do (a debugger started in the checkout finds the
# sources), the build tree, whatever it is called, to "build". GCC tries
# the last matching map first, so the build tree's wins when it lies
# inside the checkout.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
                    -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)
