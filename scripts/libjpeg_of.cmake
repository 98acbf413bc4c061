# Prints (as a message) the libjpeg files a shared library loads, each with links resolved.
# Run as: cmake -DLIBRARY=path -P libjpeg_of.cmake
file(GET_RUNTIME_DEPENDENCIES LIBRARIES "${LIBRARY}" RESOLVED_DEPENDENCIES_VAR found
     PRE_INCLUDE_REGEXES "jpeg" PRE_EXCLUDE_REGEXES ".")
foreach(dependency IN LISTS found)
    file(REAL_PATH "${dependency}" resolved)
    message("${resolved}")
endforeach()
