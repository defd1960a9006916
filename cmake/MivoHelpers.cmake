include(GNUInstallDirs)

# mivo_add_library(name SOURCES ... [LIBS ...])
# A static library whose headers are included by their path from the repository root (installed
# below include/MivoKit). The libraries of kit/ and platform/ are the kit: they are installed and
# make up MivoKit::MivoKit.
function(mivo_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  # protoc's sources define the same file-level tables each: they cannot share a unity source.
  foreach(source IN LISTS ARG_SOURCES)
    if(source MATCHES "\\.pb\\.cc$")
      set_source_files_properties(${source} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
    endif()
  endforeach()
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}>
    $<BUILD_INTERFACE:${CMAKE_BINARY_DIR}/generated>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/MivoKit>)
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  mivo_count_as_kit(${name})
endfunction()

# Adds `name` to the kit's libraries when the calling folder is in kit/ or platform/.
function(mivo_count_as_kit name)
  file(RELATIVE_PATH folder ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  if(folder MATCHES "^(kit|platform)/")
    set_property(GLOBAL APPEND PROPERTY MIVO_KIT_LIBRARIES ${name})
  endif()
endfunction()

# mivo_add_test_folder(name LIBS ...)
# One GoogleTest executable from every .cpp in the calling folder.
function(mivo_add_test_folder name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} mivo_test_support GTest::gtest GTest::gmock mivo_test_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# mivo_asio_heavy_sources(file ...)
# Files whose Beast and Asio composed operations take a minute or more to optimise, longer under a
# sanitizer's instrumentation. The sanitizer builds compile them with less optimisation (-O0 under
# AddressSanitizer, -O1 under ThreadSanitizer, whose runs of the socket tests -O0 slows by a third)
# and without the fuzzers' coverage (no fuzz target reaches a socket): what the sanitizers check
# does not depend on it, and the code they hold waits on sockets. Optimised builds compile those
# outside the kit (the local peers that serve the tests and the demo) at -O1; the kit's own keep
# the build's optimisation.
function(mivo_asio_heavy_sources)
  file(RELATIVE_PATH folder ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  if(MIVO_SANITIZE)
    set(options -O0)
    if(MIVO_FUZZ)
      list(APPEND options -fno-sanitize=fuzzer-no-link)
    endif()
  elseif(MIVO_TSAN)
    set(options -O1)
  elseif(NOT folder MATCHES "^(kit|platform)/" AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
    set(options -O1)
  else()
    return()
  endif()
  set_source_files_properties(${ARGN} DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} PROPERTIES COMPILE_OPTIONS "${options}")
endfunction()

# mivo_quick_compiled_folder()
# For the calling folder and those below it: code that only steers the kit (test programs, fuzz
# targets) is compiled with less optimisation: -O0 under AddressSanitizer, -O1 under
# ThreadSanitizer and in optimised builds, which cuts its compile time by a fifth to a half. The
# kit's libraries, where the work runs, keep the build's optimisation.
macro(mivo_quick_compiled_folder)
  if(MIVO_SANITIZE)
    add_compile_options(-O0)
  elseif(MIVO_TSAN OR CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
    add_compile_options(-O1)
  endif()
endmacro()

# mivo_add_fuzz_coverage()
# libFuzzer's coverage (-fsanitize=fuzzer-no-link) for the fuzz targets and every library they
# link, directly or through others: the code a fuzzer's input can reach. The rest (the renderers,
# the conversation runtime, the GPU and audio stand-ins, tools and tests) is built without it,
# which spares its compile time and the sanitizer tests' run time. Called once every target exists.
function(mivo_add_fuzz_coverage)
  get_property(pending GLOBAL PROPERTY MIVO_FUZZ_CODE_TARGETS)
  list(APPEND pending mivo_fuzz_support)
  set(covered)
  while(pending)
    list(POP_FRONT pending name)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" name "${name}")
    if(NOT TARGET ${name} OR name IN_LIST covered)
      continue()
    endif()
    get_target_property(imported ${name} IMPORTED)
    get_target_property(type ${name} TYPE)
    if(imported OR NOT type MATCHES "^(STATIC_LIBRARY|OBJECT_LIBRARY)$")
      continue()
    endif()
    list(APPEND covered ${name})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer-no-link)
    get_target_property(links ${name} LINK_LIBRARIES)
    if(links)
      list(APPEND pending ${links})
    endif()
  endwhile()
  list(JOIN covered " " listed)
  message(STATUS "Fuzz coverage in: ${listed}")
endfunction()
