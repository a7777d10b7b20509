# The scheduler's clients are started through the sandbox's process watch.
target_link_libraries(${PLEXARO_CORE_TARGET} PUBLIC plexaro_core_sandbox)
