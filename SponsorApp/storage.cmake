# Secure storage: the vault over a secret-store port and the records kept in it (no Qt).
# The Secret Service store on libsecret is declared with the other Linux adapters in
# linux.cmake.

add_library(nimbrella_storage STATIC
  ${CMAKE_CURRENT_LIST_DIR}/storage/KeychainVault.cpp
  ${CMAKE_CURRENT_LIST_DIR}/storage/StoredRecords.cpp
  ${CMAKE_CURRENT_LIST_DIR}/storage/VaultAccounts.cpp
  ${CMAKE_CURRENT_LIST_DIR}/storage/VaultError.cpp)
target_include_directories(nimbrella_storage PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(nimbrella_storage PUBLIC nimbrella_core)
set_target_properties(nimbrella_storage PROPERTIES AUTOMOC OFF)

nimbrella_test(storage_test LABEL storage
  SOURCES ${PROJECT_SOURCE_DIR}/tests/storage/storage_test.cpp
  LIBS nimbrella_storage)

nimbrella_fuzzer(fuzz_stored_records
  SOURCES ${PROJECT_SOURCE_DIR}/fuzz/stored_records.cpp
  LIBS nimbrella_storage)
