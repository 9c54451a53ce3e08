# The rules target needs only the rule parser of Vardenix.FileCheck.
target_link_libraries(fuzz_rules PRIVATE vardenix_filecheck_rules)
