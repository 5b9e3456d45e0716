# The P-256 receipt signer and signature verification.

add_library(nimbrella_core_signer STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ReceiptSigner.cpp)
target_link_libraries(nimbrella_core_signer PUBLIC nimbrella_core_base nimbrella_core_records OpenSSL::Crypto)
target_link_libraries(nimbrella_core INTERFACE nimbrella_core_signer)

nimbrella_test(receipt_signer_test LABEL core
  SOURCES ${PROJECT_SOURCE_DIR}/tests/core/receipt_signer_test.cpp
  LIBS nimbrella_core_signer)

nimbrella_benchmark(bench_signer
  SOURCES ${PROJECT_SOURCE_DIR}/bench/signer.cpp
  LIBS nimbrella_core_signer)
