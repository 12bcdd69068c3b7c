find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(CURL REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(GTest REQUIRED)

pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET
  libavcodec libavformat libavutil libswresample libswscale libavfilter)
pkg_check_modules(X264 REQUIRED IMPORTED_TARGET x264)
pkg_check_modules(X265 REQUIRED IMPORTED_TARGET x265)
pkg_check_modules(OPUS REQUIRED IMPORTED_TARGET opus)
# Text of the compositor's screen objects.
pkg_check_modules(PANGOCAIRO REQUIRED IMPORTED_TARGET pangocairo fontconfig)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
# Preview windows and screen capture (XShm).
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11 xext)

# Debian's libyuv ships no pkg-config file.
find_path(LIBYUV_INCLUDE_DIR libyuv.h REQUIRED)
find_library(LIBYUV_LIBRARY yuv REQUIRED)
add_library(qz_libyuv INTERFACE)
target_include_directories(qz_libyuv INTERFACE ${LIBYUV_INCLUDE_DIR})
target_link_libraries(qz_libyuv INTERFACE ${LIBYUV_LIBRARY})

# Standalone Asio is header-only; it is compiled once (Platform/Net/AsioCompilation.cpp).
find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
add_library(qz_asio INTERFACE)
target_include_directories(qz_asio INTERFACE ${ASIO_INCLUDE_DIR})
target_compile_definitions(qz_asio INTERFACE ASIO_STANDALONE ASIO_SEPARATE_COMPILATION ASIO_NO_DEPRECATED)
target_link_libraries(qz_asio INTERFACE OpenSSL::SSL OpenSSL::Crypto Threads::Threads)

if(QZ_BENCH AND NOT QZ_SANITIZE)
  find_package(benchmark REQUIRED)
endif()
