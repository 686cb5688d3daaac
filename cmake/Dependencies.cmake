# Every dependency is a Debian package found through pkg-config or CMake
# config files; nothing is downloaded or vendored.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(spdlog REQUIRED)
find_package(fmt REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(CURL REQUIRED)

pkg_check_modules(KVD_PKG REQUIRED IMPORTED_TARGET
  libwebsockets
  gstreamer-1.0 gstreamer-app-1.0 gstreamer-webrtc-1.0 gstreamer-sdp-1.0 gstreamer-video-1.0
  libavcodec libavformat libavutil libswscale
  openh264
  x11 xext xdamage xfixes xrandr xtst xscrnsaver xi xft xrender)

# Debian's libyuv ships no pkg-config file.
find_path(LIBYUV_INCLUDE_DIR libyuv.h REQUIRED)
find_library(LIBYUV_LIBRARY yuv REQUIRED)

add_library(kvd_deps INTERFACE)
target_include_directories(kvd_deps INTERFACE ${LIBYUV_INCLUDE_DIR})
target_link_libraries(kvd_deps INTERFACE
  PkgConfig::KVD_PKG spdlog::spdlog fmt::fmt nlohmann_json::nlohmann_json
  OpenSSL::Crypto OpenSSL::SSL CURL::libcurl ${LIBYUV_LIBRARY} Threads::Threads util rt)
add_library(kvd::deps ALIAS kvd_deps)
