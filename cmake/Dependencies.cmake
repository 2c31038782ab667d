# Every third-party library the build links, found in one place.
find_package(Threads REQUIRED)
find_package(OpenSSL 3.0 REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)
find_package(Boost 1.81 REQUIRED)
find_package(GTest REQUIRED)
find_package(benchmark REQUIRED)

# Boost.Asio is used header-only; keep it off the deprecated interfaces.
add_library(corvel_asio INTERFACE)
target_link_libraries(corvel_asio INTERFACE Boost::headers Threads::Threads)
target_compile_definitions(corvel_asio INTERFACE BOOST_ASIO_NO_DEPRECATED BOOST_ASIO_NO_TS_EXECUTORS)

find_package(PkgConfig REQUIRED)
pkg_check_modules(AVAHI REQUIRED IMPORTED_TARGET avahi-client)

# Remote input: XTest over Xlib.
pkg_check_modules(XTEST REQUIRED IMPORTED_TARGET x11 xtst)
