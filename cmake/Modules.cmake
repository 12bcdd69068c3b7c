# One static library per module, its sources gathered from the module's tree.
function(qz_module name dir)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
  if(NOT srcs)
    # A module without sources yet still links.
    file(WRITE ${CMAKE_BINARY_DIR}/empty_${name}.cpp "")
    set(srcs ${CMAKE_BINARY_DIR}/empty_${name}.cpp)
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# One test executable per directory under tests/, labelled by the directory's
# LABEL file when it has one, else by the given default.
function(qz_tests_for module default_label)
  file(GLOB_RECURSE tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/${module}/*_test.cpp)
  set(dirs "")
  foreach(t ${tests})
    get_filename_component(d ${t} DIRECTORY)
    list(APPEND dirs ${d})
  endforeach()
  list(REMOVE_DUPLICATES dirs)
  foreach(d ${dirs})
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR}/tests ${d})
    string(REPLACE "/" "_" exe ${rel})
    string(TOLOWER "${exe}_tests" exe)
    file(GLOB srcs CONFIGURE_DEPENDS ${d}/*.cpp)
    add_executable(${exe} ${srcs})
    target_link_libraries(${exe} PRIVATE ${ARGN} GTest::gtest_main GTest::gmock)
    target_include_directories(${exe} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
    set(label ${default_label})
    if(EXISTS ${d}/LABEL)
      file(STRINGS ${d}/LABEL label LIMIT_COUNT 1)
    endif()
    # Both are compiled in (tests/TestPaths.h); the environment carries one value only,
    # since a list in ENVIRONMENT does not survive test discovery.
    target_compile_definitions(${exe} PRIVATE QZ_SOURCE_DIR="${PROJECT_SOURCE_DIR}" QZ_BINARY_DIR="${PROJECT_BINARY_DIR}")
    gtest_discover_tests(${exe} DISCOVERY_MODE PRE_TEST
      PROPERTIES LABELS ${label} ENVIRONMENT "QZ_BINARY_DIR=${PROJECT_BINARY_DIR}")
  endforeach()
endfunction()
