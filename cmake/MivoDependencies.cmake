# Debian 12 packages, installed by scripts/setup-deps.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(spdlog REQUIRED)
find_package(Boost 1.81 EXACT REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(CURL REQUIRED)
