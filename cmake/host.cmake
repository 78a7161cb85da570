# Host build: the logic against the fake platform, for the unit tests.
find_package(GTest REQUIRED)

add_library(quenlo_fake_platform STATIC platform/fake/fake_platform.cpp)
target_include_directories(quenlo_fake_platform PUBLIC ${PROJECT_SOURCE_DIR})

add_library(quenlo_logic STATIC ${QUENLO_LOGIC_SOURCES})
target_compile_options(quenlo_logic PRIVATE -Wall -Wextra -Werror)
target_link_libraries(quenlo_logic PUBLIC quenlo_fake_platform)

add_subdirectory(tests/unit)
