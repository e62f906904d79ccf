# Test-picture generator of KdmDCI: the kdm_picgen library the picture tests
# and benchmarks link, and the kdm-picgen program.
find_package(JPEG REQUIRED)

add_library(kdm_picgen STATIC ${CMAKE_CURRENT_LIST_DIR}/picgen.cpp)
target_include_directories(kdm_picgen PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kdm_picgen PUBLIC JPEG::JPEG)

add_executable(kdm-picgen ${CMAKE_CURRENT_LIST_DIR}/picgen_main.cpp)
target_link_libraries(kdm-picgen PRIVATE kdm_picgen)
