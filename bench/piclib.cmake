# Decoder benchmark against libjpeg-turbo: a plain timed loop that prints
# both rates and their ratio.
find_package(JPEG REQUIRED)
add_executable(dci_decode_bench ${CMAKE_CURRENT_LIST_DIR}/dci_decode_bench.cpp)
target_link_libraries(dci_decode_bench PRIVATE kdmdci kdm_picgen JPEG::JPEG)
