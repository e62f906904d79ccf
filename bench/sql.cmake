# SQL engine against SQLite in memory on the same rows: a plain timed
# program that prints both times and their ratio per query.
find_package(SQLite3 REQUIRED)
add_executable(sql_bench ${CMAKE_CURRENT_LIST_DIR}/sql_bench.cpp)
target_link_libraries(sql_bench PRIVATE kdm_sql_memdb SQLite::SQLite3)
