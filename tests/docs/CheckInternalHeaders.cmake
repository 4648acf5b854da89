# cmake -DROOT=<source dir> -P CheckInternalHeaders.cmake
# A header whose first line reads "// Internal to src/<module>/" belongs to that module: only
# src/<module>/ and its tests (tests/<module>/) may include it. Everyone else goes through
# the module's contract header.
file(GLOB_RECURSE headers RELATIVE "${ROOT}/src" "${ROOT}/src/*.h")
set(internal "")
foreach(header ${headers})
  file(STRINGS "${ROOT}/src/${header}" first LIMIT_COUNT 1)
  if(first MATCHES "^// Internal to src/([a-z]+)/")
    set(said "${CMAKE_MATCH_1}")
    string(REGEX MATCH "^[a-z]+" folder "${header}")
    if(NOT said STREQUAL folder)
      message(FATAL_ERROR "src/${header} says it is internal to src/${said}/ but lies elsewhere")
    endif()
    list(APPEND internal "${header}")
  endif()
endforeach()
if(NOT internal)
  message(FATAL_ERROR "no internal header found; is the marker still \"// Internal to src/<module>/\"?")
endif()

file(GLOB_RECURSE sources RELATIVE "${ROOT}"
     "${ROOT}/src/*.[ch]" "${ROOT}/src/*.cpp" "${ROOT}/src/*.h"
     "${ROOT}/adapters/*.[ch]" "${ROOT}/adapters/*.cpp" "${ROOT}/bench/*.[ch]" "${ROOT}/bench/*.cpp"
     "${ROOT}/fuzz/*.[ch]" "${ROOT}/fuzz/*.cpp" "${ROOT}/tests/*.[ch]" "${ROOT}/tests/*.cpp")
set(offences "")
foreach(source ${sources})
  file(STRINGS "${ROOT}/${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line ${includes})
    string(REGEX MATCH "\"([^\"]+)\"" _ "${line}")
    set(included "${CMAKE_MATCH_1}")
    list(FIND internal "${included}" at)
    if(at GREATER -1)
      string(REGEX MATCH "^[a-z]+" owner "${included}")
      if(NOT source MATCHES "^(src|tests)/${owner}/")
        list(APPEND offences "${source} includes ${included}")
      endif()
    endif()
  endforeach()
endforeach()
if(offences)
  string(REPLACE ";" "\n  " list "${offences}")
  message(FATAL_ERROR "headers internal to a module included from outside it:\n  ${list}")
endif()
