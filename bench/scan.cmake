# bench_scan: generates a large template library and times a full scan of it
# (scan_vs_du.sh compares that with `du -s`).
if(TARGET loomwork_services)
  add_executable(bench_scan ${CMAKE_CURRENT_LIST_DIR}/bench_scan.cpp)
  target_link_libraries(bench_scan PRIVATE loomwork_services benchmark::benchmark)
endif()
