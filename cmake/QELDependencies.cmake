# Every dependency is a Debian package found here; nothing is downloaded.

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)
find_package(BZip2 REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n)
pkg_check_modules(CRYPTOPP REQUIRED IMPORTED_TARGET libcrypto++)

# Qt 6 Widgets for the user interface only; the engine and the components
# never link it.
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets)

if(QEL_BUILD_TESTS)
  find_package(GTest REQUIRED)
  find_package(Qt6 REQUIRED COMPONENTS Test)
endif()
# SQLite is the peer of the benchmarks and of the tests that compare
# query results with it.
if(QEL_BUILD_TESTS OR (QEL_BUILD_BENCH AND NOT QEL_SANITIZE))
  find_package(SQLite3 REQUIRED)
endif()
