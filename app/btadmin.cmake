add_executable(btadmin btadmin.cpp)
target_link_libraries(btadmin PRIVATE swn_tracker swn_delivery)
target_compile_definitions(btadmin PRIVATE SWN_TRACKER_DIR="${SWN_TRACKER_DIR}")
install(TARGETS btadmin RUNTIME DESTINATION bin COMPONENT daemon)
