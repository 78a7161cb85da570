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
    $<$<COMPILE_LANGUAGE:CXX>:-Os -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables -fno-stack-protector -fno-ident -ffunction-sections -fdata-sections
    -Wall -Wextra -Werror>)
set_source_files_properties(platform/windows/crt.cpp PROPERTIES COMPILE_OPTIONS -fno-tree-loop-distribute-patterns)
target_link_options(quenlo PRIVATE
    -nostdlib -Wl,--gc-sections -s -Wl,--subsystem,windows -Wl,--entry,${QUENLO_ENTRY})
target_link_libraries(quenlo PRIVATE kernel32 user32 shell32 advapi32)

set(QUENLO_EXE $<TARGET_FILE:quenlo>)
add_subdirectory(tests/product)
add_subdirectory(tests/e2e)
