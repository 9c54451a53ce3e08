# The tool that writes the archives target's seed corpus (not a fuzz target: its name does not start
# with fuzz_, so scripts/fuzz does not run it).
add_executable(make_archive_seeds make_archive_seeds.cpp)
target_link_libraries(make_archive_seeds PRIVATE vardenix_fakes)
