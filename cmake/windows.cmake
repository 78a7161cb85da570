# The product: a GUI-subsystem exe without a C runtime, importing only from the
# four system DLLs.
enable_language(RC)

# Nothing from the toolchain's default list of import libraries; the exe names
# its four itself.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_C_STANDARD_LIBRARIES "")

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(QUENLO_ENTRY _QuenloEntry@0)  # stdcall decoration on i686
else()
  set(QUENLO_ENTRY QuenloEntry)
endif()

add_executable(quenlo WIN32
    ${QUENLO_LOGIC_SOURCES}
    launcher/entry.cpp
    platform/windows/crt.cpp
    resources/version.rc)
target_compile_options(quenlo PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Os -flto -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables -fno-stack-protector -fno-ident -ffunction-sections -fdata-sections
    -Wall -Wextra -Werror>)
# Link-time optimisation takes a sixth off the code, which keeps it within one
# fewer 512-byte file block. The memset and memcpy that code generation may
# call stay out of it, or it could drop them before they are needed.
set_source_files_properties(platform/windows/crt.cpp PROPERTIES
    COMPILE_OPTIONS "-fno-lto;-fno-tree-loop-distribute-patterns")
target_link_options(quenlo PRIVATE
    -Os -flto -nostdlib -Wl,--gc-sections -s -Wl,--no-insert-timestamp -Wl,--subsystem,windows
    -Wl,--entry,${QUENLO_ENTRY})
target_link_libraries(quenlo PRIVATE kernel32 user32 shell32 advapi32)

set(QUENLO_EXE $<TARGET_FILE:quenlo>)
add_subdirectory(disc)
add_subdirectory(tests/product)
add_subdirectory(tests/disc)
add_subdirectory(tests/setup)
add_subdirectory(tests/debian)
add_subdirectory(tests/e2e)
add_subdirectory(bench)

# The release package: the exe, the example medium, the authors' README and the
# licence, with Windows line ends on the texts; and beside it the author tools'
# Debian package (disc/).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(QUENLO_ARCH win32)
else()
  set(QUENLO_ARCH win64)
endif()
configure_file(docs/medium-authors.txt ${CMAKE_BINARY_DIR}/package/README.txt @ONLY NEWLINE_STYLE WIN32)
configure_file(LICENSE ${CMAKE_BINARY_DIR}/package/LICENSE.txt @ONLY NEWLINE_STYLE WIN32)
install(TARGETS quenlo RUNTIME DESTINATION . COMPONENT zip)
install(FILES ${CMAKE_BINARY_DIR}/package/README.txt ${CMAKE_BINARY_DIR}/package/LICENSE.txt DESTINATION .
        COMPONENT zip)
install(DIRECTORY examples/medium/ DESTINATION medium COMPONENT zip)
# The author tools carry the product, so only its preset packages them.
if(QUENLO_ARCH STREQUAL win32)
  set(CPACK_GENERATOR ZIP DEB)
else()
  set(CPACK_GENERATOR ZIP)
endif()
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/disc/package.cmake)
set(CPACK_QUENLO_BUILD ${CMAKE_BINARY_DIR})
set(CPACK_QUENLO_SOURCE ${PROJECT_SOURCE_DIR})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The author tools, two Debian packages of one source, with their own version:
# quenlo-disc checks and masters (Python and xorriso are all it needs; signing
# wants osslsigncode and openssl); quenlo-disc-try tries an image under Wine,
# and brings Wine, the virtual display and window manager, the browsers that
# render the page (Chromium, with a font for Chinese, Japanese and Korean), the
# tools that picture it, the locales of other PCs and the sandbox. Wine's
# 32-bit side needs the i386 architecture, which apt cannot add by itself:
# only recommended, as is qemu, which runs the 32-bit exe where the kernel
# runs no 32-bit programs (inside the sandbox only; nothing is registered).
set(CPACK_DEBIAN_DEB_PACKAGE_NAME quenlo-disc)
set(CPACK_DEBIAN_DEBTRY_PACKAGE_NAME quenlo-disc-try)
set(CPACK_DEBIAN_PACKAGE_VERSION ${QUENLO_DISC_VERSION})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Quenlo developers <developers@quenlo.invalid>")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://github.com/quenlo/quenlo)
set(CPACK_DEBIAN_DEB_DESCRIPTION "check and master discs that open an HTML page with Quenlo
Quenlo opens an HTML page from a CD, DVD or USB stick on Windows. The
quenlo-disc command checks a medium as a user's PC will meet it and masters
it as an ISO image with quenlo.exe and autorun.inf. To try the image as a
user's PC meets it, install quenlo-disc-try.")
set(CPACK_DEBIAN_DEBTRY_DESCRIPTION "try Quenlo discs under Wine as a user's PC meets them
Quenlo opens an HTML page from a CD, DVD or USB stick on Windows. This package
lets quenlo-disc try run a disc image under Wine in a sandbox, on PCs of many
code pages, with a picture of each screen.")
set(CPACK_DEBIAN_DEB_PACKAGE_DEPENDS "python3, xorriso")
set(CPACK_DEBIAN_DEB_PACKAGE_RECOMMENDS "osslsigncode, openssl")
set(CPACK_DEBIAN_DEB_PACKAGE_SUGGESTS "quenlo-disc-try")
set(CPACK_DEBIAN_DEBTRY_PACKAGE_DEPENDS "quenlo-disc (= ${QUENLO_DISC_VERSION}), python3, bubblewrap, wine, wine64, xvfb, \
twm, xdotool, w3m, chromium, fonts-wqy-zenhei, imagemagick, locales")
set(CPACK_DEBIAN_DEBTRY_PACKAGE_RECOMMENDS "wine32, qemu-user")
set(CPACK_DEBIAN_DEB_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/disc/debian/postinst")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The example medium as a disc image, made by the command medium authors use.
if(QUENLO_ARCH STREQUAL win32)
  set(QUENLO_DISC ${CMAKE_BINARY_DIR}/quenlo-${PROJECT_VERSION}-example.iso)
  add_custom_target(disc
      COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/make-disc.sh --exe $<TARGET_FILE:quenlo>
              ${PROJECT_SOURCE_DIR}/examples/medium ${QUENLO_DISC}
      DEPENDS quenlo
      COMMENT "Making the example disc ${QUENLO_DISC}"
      VERBATIM)
endif()
set(CPACK_PACKAGE_FILE_NAME quenlo-${PROJECT_VERSION}-${QUENLO_ARCH})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
