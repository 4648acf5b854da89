# nox_module(NAME SOURCES ... DEPS ...): one static library per subsystem.
function(nox_module name)
  cmake_parse_arguments(M "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT M_SOURCES)
    # A subsystem without sources yet still gives a linkable (empty) library.
    set(M_SOURCES ${CMAKE_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} STATIC ${M_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/adapters/include)
  target_link_libraries(${name} PUBLIC ${M_DEPS} Threads::Threads PRIVATE nox_warnings)
endfunction()
