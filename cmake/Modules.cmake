# Files kept out of unity batches (CMakeLists.txt, QZ_UNITY), relative to the source root: their
# file-local names collide with another file's in the same batch. A new file that collides fails to
# compile with "redefinition of" or "is ambiguous": rename its local names, or add it here.
set(QZ_NO_UNITY
  Medley/Sources/Codec/VTDecompressionSession.cpp
  Platform/Media/PixelBuffer.cpp
  Platform/Time/Date.cpp
  Quarzadel/Capture/SyntheticToneSource.cpp
  RTMPMedley/Sources/RTMP/AMF/AMF3Serializer.cpp
  tests/Medley/Mixer/audio_mixer_by_single_track_test.cpp
  tests/Medley/Mixer/audio_mixer_track_test.cpp
  tests/Medley/Mixer/audio_monitor_test.cpp
  tests/Medley/Mixer/audio_node_test.cpp
  tests/Medley/Mixer/capture_session_test.cpp
  tests/Medley/Mixer/media_mixer_test.cpp
  tests/Platform/Media/pixel_conversion_test.cpp
  tests/Quarzadel/Capture/mic_capture_test.cpp
  tests/Quarzadel/Shell/own_files_program_test.cpp
  tests/Quarzadel/Shell/program_test.cpp
  tests/Quarzadel/Shell/share_picker_test.cpp
  tests/Quarzadel/Studio/publisher_hevc_fallback_test.cpp
  tests/Quarzadel/Studio/publisher_loop_test.cpp
  tests/Quarzadel/Studio/studio_engine_lifecycle_test.cpp
  tests/RTMPMedley/RTMP/Stream/timestamp_test.cpp
)

# Marks the sources listed in QZ_NO_UNITY, those that include Xlib, whose macros (None, Status,
# Bool, Success) would break the files after them, and those that include the kernel's own headers
# (<linux/tcp.h> redefines what <netinet/tcp.h> defines); called where their target is made (the
# property is per directory).
function(qz_keep_out_of_unity)
  foreach(src ${ARGN})
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${src})
    file(STRINGS ${src} alone REGEX "^#include <(X11|linux)/")
    if(rel IN_LIST QZ_NO_UNITY OR alone)
      set_source_files_properties(${src} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
    endif()
  endforeach()
endfunction()

# One static library per module, its sources gathered from the module's tree.
function(qz_module name dir)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
  if(NOT srcs)
    # A module without sources yet still links.
    file(WRITE ${CMAKE_BINARY_DIR}/empty_${name}.cpp "")
    set(srcs ${CMAKE_BINARY_DIR}/empty_${name}.cpp)
  endif()
  add_library(${name} STATIC ${srcs})
  qz_keep_out_of_unity(${srcs})
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
    qz_keep_out_of_unity(${srcs})
    target_link_libraries(${exe} PRIVATE ${ARGN} qz_test_main GTest::gmock)
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
