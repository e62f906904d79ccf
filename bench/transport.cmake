# Asynchronous commands against kdmrecorder versus a raw exchange of the
# same frames.
add_executable(remote_command_bench ${CMAKE_CURRENT_LIST_DIR}/remote_command_bench.cpp)
target_link_libraries(remote_command_bench PRIVATE kdmdbi_internal)
target_compile_definitions(remote_command_bench PRIVATE
  KDM_RECORDER_PATH="$<TARGET_FILE:kdmrecorder>")
add_dependencies(remote_command_bench kdmrecorder)
