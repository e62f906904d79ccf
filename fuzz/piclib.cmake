# Fuzz target of the KdmDCI decoder.
kdm_fuzz_target(dci_decode_fuzz ${CMAKE_CURRENT_LIST_DIR}/dci_decode_fuzz.cpp)
target_link_libraries(dci_decode_fuzz PRIVATE kdmdci_internal)
