# Host builds: the logic against the fake platform. Plain for the unit tests
# (and memcheck), with sanitizers, or as libFuzzer targets.
option(QUENLO_SANITIZE "Build and run the unit tests under ASan and UBSan" OFF)
option(QUENLO_FUZZ "Build the libFuzzer targets (clang) instead of the unit tests" OFF)
set(QUENLO_FUZZ_SECONDS 60 CACHE STRING "How long each fuzz target runs as a test")

if(QUENLO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(QUENLO_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

add_library(quenlo_fake_platform STATIC platform/fake/fake_platform.cpp)
target_include_directories(quenlo_fake_platform PUBLIC ${PROJECT_SOURCE_DIR})

add_library(quenlo_logic STATIC ${QUENLO_LOGIC_SOURCES})
target_compile_options(quenlo_logic PRIVATE -Wall -Wextra -Werror)
target_link_libraries(quenlo_logic PUBLIC quenlo_fake_platform)

if(QUENLO_FUZZ)
  add_subdirectory(tests/fuzz)
else()
  find_package(GTest REQUIRED)
  add_subdirectory(tests/unit)
  add_subdirectory(bench)
endif()
